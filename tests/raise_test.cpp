// Raise from the host's error handler, against fakes of every window and service.
#include <cobaltmoth/proc_bug.hpp>

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.hpp"
#include "fake_ui.hpp"
#include "support/c_reg_settings.hpp"

namespace cobaltmoth {
namespace {

using testing::FakePlatform;
using testing::FakeUi;
using testing::U8;

const std::u16string kBugLog = u"C:\\Apps\\Payroll_buglog.txt";
const std::string kTitle = "Payroll.EXE ver. 1.2.30 - Unexpected error";
const std::string kPrompt =
    "Error in module frmMain in the procedure cmdOK_Click at line 120\r\n\r\n"
    "The technical references for this error is: \r\n"
    "    Number: 11\r\n"
    "    Description=Division by zero";

class HostErr final : public ErrorObject {
 public:
  mutable std::string reads;  // the order in which Raise read the object
  std::u16string Description() const override {
    reads += "D";
    return u"Division by zero";
  }
  std::int32_t Number() const override {
    reads += "N";
    return 11;
  }
};

class RaiseTest : public ::testing::Test {
 protected:
  RaiseTest() : ui_(fake_) {}
  std::shared_ptr<ProcBug> NewHandler(bool msg_box, bool file, bool report) {
    auto bug = std::make_shared<ProcBug>(fake_.platform);
    bug->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
    bug->LogOnMsgBox(msg_box);
    bug->LogOnFile(file);
    bug->LogOnReport(report);
    return bug;
  }
  void RaiseIt(ProcBug& bug, bool critical = false) {
    bug.Raise(u"frmMain", u"cmdOK_Click", &error_, 120, critical);
  }
  std::vector<std::string>& Journal() { return ui_.journal->lines; }

  FakePlatform fake_;
  FakeUi ui_;
  HostErr error_;
};

TEST_F(RaiseTest, EveryCombinationOfTheFlagsRunsItsStepsInOrder) {
  for (int flags = 0; flags < 8; ++flags) {
    FakePlatform fake;
    FakeUi ui(fake);
    const bool box = flags & 1, file = flags & 2, window = flags & 4;
    // What each modal step finds in the bug log tells the order.
    ui.message_box->on_show = [&] { ui.journal->Add(fake.files->Exists(kBugLog) ? "log" : "no log"); };
    ui.report_window->script = [&](report::frmReport& form) {
      ui.journal->Add(fake.files->Exists(kBugLog) ? "log" : "no log");
      form.Unload();
    };
    ProcBug bug(fake.platform);
    bug.Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
    bug.LogOnMsgBox(box);
    bug.LogOnFile(file);
    bug.LogOnReport(window);
    bug.Raise(u"frmMain", u"cmdOK_Click", &error_, 120, false);
    std::vector<std::string> expected;
    if (box) expected = {"msgbox 16 [" + kTitle + "] " + kPrompt, "no log"};
    if (window) {
      expected.push_back("window [" + kTitle + "]");
      expected.push_back(file ? "log" : "no log");
      expected.push_back("window closed");
    }
    EXPECT_EQ(ui.journal->lines, expected) << "flags " << flags;
    EXPECT_EQ(fake.files->Exists(kBugLog), file) << "flags " << flags;
    EXPECT_FALSE(bug.EndOnError()) << "flags " << flags;
  }
  EXPECT_EQ(error_.reads, "DNDNDNDNDNDNDNDN");  // Description, then Number, each time
}

TEST_F(RaiseTest, OnlyTheFirstCallOfAnObjectIsHandled) {
  auto bug = NewHandler(true, false, false);
  RaiseIt(*bug, false);
  bug->EndOnError(true);
  RaiseIt(*bug, false);
  EXPECT_EQ(Journal().size(), 1u);
  EXPECT_TRUE(bug->EndOnError());
  // Another object handles its own first call.
  RaiseIt(*NewHandler(true, false, false));
  EXPECT_EQ(Journal().size(), 2u);
}

TEST_F(RaiseTest, APassiveFirstCallUsesTheObjectUp) {
  auto bug = NewHandler(true, true, true);
  bug->Enabled(false);
  RaiseIt(*bug);
  bug->Enabled(true);
  RaiseIt(*bug);
  EXPECT_TRUE(Journal().empty());
  EXPECT_EQ(fake_.files->opens, 0);
  EXPECT_TRUE(bug->EndOnError());
  EXPECT_EQ(error_.reads, "");
}

TEST_F(RaiseTest, BeforeInitItFailsAndTheObjectIsUsedUp) {
  ProcBug bug(fake_.platform);
  bug.LogOnMsgBox(true);
  EXPECT_HOST_ERROR(RaiseIt(bug), -2147220503, "Cobaltmoth.dll - Class ProcBug",
                    "You must initialize this class with Init sub before using any method");
  bug.Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
  RaiseIt(bug);
  EXPECT_TRUE(Journal().empty());
}

TEST_F(RaiseTest, AMissingErrorObjectFailsBeforeAnythingIsShownOrWritten) {
  auto bug = NewHandler(true, true, true);
  EXPECT_RUNTIME_ERROR(bug->Raise(u"m", u"p", static_cast<const ErrorObject*>(nullptr)), 424,
                       "Object required");
  EXPECT_TRUE(Journal().empty());
  EXPECT_EQ(fake_.files->opens, 0);
  EXPECT_TRUE(bug->EndOnError());
}

TEST_F(RaiseTest, EndOnErrorTakesTheCriticalityAndDefaultsToCritical) {
  auto bug = NewHandler(false, false, false);
  bug->EndOnError(false);
  bug->Raise(u"m", u"p", &error_);
  EXPECT_TRUE(bug->EndOnError());
  auto other = NewHandler(false, false, false);
  RaiseIt(*other, false);
  EXPECT_FALSE(other->EndOnError());
}

TEST_F(RaiseTest, LineZeroLeavesTheLineOutOfThePromptButNotOutOfTheTable) {
  auto bug = NewHandler(true, true, false);
  bug->Raise("frmMain", "cmdOK_Click", 11, "Division by zero");
  EXPECT_EQ(Journal()[0], "msgbox 16 [" + kTitle +
                              "] Error in module frmMain in the procedure cmdOK_Click\r\n\r\n"
                              "The technical references for this error is: \r\n"
                              "    Number: 11\r\n    Description=Division by zero");
  bug->Terminate();
  EXPECT_NE(fake_.files->Bytes(kBugLog).find("* FRMMAIN     * CMDOK_CLICK * 0    *\r\n"),
            std::string::npos);
}

TEST_F(RaiseTest, ClearingEnabledDuringAModalStepSkipsTheStepsAfterIt) {
  auto bug = NewHandler(true, true, true);
  ui_.message_box->on_show = [&] { bug->Enabled(false); };
  RaiseIt(*bug, false);
  EXPECT_EQ(Journal().size(), 1u);
  EXPECT_EQ(fake_.files->opens, 0);
  EXPECT_FALSE(bug->EndOnError());  // the record was handled all the same
}

TEST_F(RaiseTest, AFailingStepEndsRaiseAndKeepsEndOnError) {
  auto bug = NewHandler(false, true, true);
  fake_.files->open_failures = 1;
  fake_.files->open_error = 70;
  EXPECT_RUNTIME_ERROR(RaiseIt(*bug, false), 70, "Permission denied");
  EXPECT_TRUE(Journal().empty());
  EXPECT_TRUE(bug->EndOnError());
}

TEST_F(RaiseTest, TheWindowShowsTheDateOwnerPromptAndReportInTheUsersLanguage) {
  CRegSettings machine(fake_.registry);
  machine.RootKey(0x80000002);
  machine.AppName(u"Windows");
  machine.Company(u"Microsoft");
  machine.SaveSetting(u"CurrentVersion", u"RegisteredOwner", u"Ada Lovelace");
  fake_.resources->language = 1040;
  auto bug = NewHandler(false, false, true);
  bug->SupportFax(u"+39 000");
  bug->SupportMail(u"other@example.net");
  std::u16string fax, mail, close_caption;
  ui_.report_window->script = [&](report::frmReport& form) {
    fax = form.Find(u"SupportFax")->caption;
    mail = form.Find(u"SupportMail")->caption;
    close_caption = form.Find(u"cmdReport", 3)->caption;
    form.cmdReport_Click(report::kClose);
  };
  RaiseIt(*bug, true);
  const std::string text = U8(ui_.report_window->shown_text);
  EXPECT_EQ(U8(ui_.report_window->shown_caption), "Payroll.EXE ver. 1.2.30 - Errore non previsto");
  EXPECT_EQ(text.substr(0, text.find("The Application:")),
            "\r\ndomenica, 06 dicembre 2026 - 09:41:07\r\n\r\n"
            "From:    Ada Lovelace\r\n"
            "Company: \r\n"
            "E-Mail:  <Aggiungi il tuo indirizzo e-mail>\r\n\r\n");
  EXPECT_NE(text.find("VB Error description: Division by zero\r\n"), std::string::npos);
  EXPECT_EQ(U8(fax), "+39 000");
  EXPECT_EQ(U8(mail), "other@example.net");
  EXPECT_EQ(U8(close_caption), "Chiudi");
  EXPECT_TRUE(bug->EndOnError());
}

TEST_F(RaiseTest, ACppErrorCanBeRaisedAsItIs) {
  auto bug = NewHandler(true, false, false);
  bug->Raise(u"modDb", u"SaveOrder", Error(61, u"Cobaltmoth", u"Disk full"), 7);
  EXPECT_NE(Journal()[0].find("at line 7\r\n\r\nThe technical references for this error is: "
                              "\r\n    Number: 61\r\n    Description=Disk full"),
            std::string::npos);
}

}  // namespace
}  // namespace cobaltmoth
