// The report window's model: its controls, their captions, and the four actions.
#include "report/frm_report.hpp"

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.hpp"
#include "fake_ui.hpp"

namespace cobaltmoth::report {
namespace {

using testing::FakePlatform;
using testing::FakeUi;
using testing::U8;

const std::string kMail = "cobaltmoth-support@example.com";

class FrmReportTest : public ::testing::Test {
 protected:
  FrmReportTest() : ui_(fake_), form_(fake_.platform) {}
  std::vector<std::string>& Journal() { return ui_.journal->lines; }
  FakePlatform fake_;
  FakeUi ui_;
  frmReport form_;
};

TEST_F(FrmReportTest, TheDesignHasEveryControlAtItsPlace) {
  ASSERT_EQ(form_.Controls().size(), 12u);
  const Control& text = *form_.Find(u"txtError");
  EXPECT_EQ(text.kind, Control::Kind::kTextBox);
  EXPECT_EQ((std::vector<int>{text.left, text.top, text.width, text.height, text.tab_index}),
            (std::vector<int>{60, 720, 9135, 4395, 0}));
  const Control& close = *form_.Find(u"cmdReport", 3);
  EXPECT_EQ((std::vector<int>{close.left, close.top, close.width, close.height, close.tab_index}),
            (std::vector<int>{7800, 6240, 1335, 495, 10}));
  EXPECT_TRUE(close.is_cancel);
  EXPECT_TRUE(form_.Find(u"cmdReport", 2)->is_default);
  EXPECT_TRUE(form_.Find(u"Label1", 0)->word_wrap);
  EXPECT_TRUE(form_.Find(u"SupportMail")->auto_size);
  EXPECT_EQ(form_.Find(u"Image1")->tab_index, -1);
  // Focus order: the text box, then Copy, Print, Send E-Mail, Close (labels take none).
  std::vector<std::string> focus(11);
  for (const Control& c : form_.Controls()) {
    if (c.tab_index >= 0 && c.kind != Control::Kind::kLabel) {
      focus[static_cast<std::size_t>(c.tab_index)] = U8(c.name) + std::to_string(c.index);
    }
  }
  std::vector<std::string> order;
  for (const auto& f : focus) if (!f.empty()) order.push_back(f);
  EXPECT_EQ(order, (std::vector<std::string>{"txtError-1", "cmdReport0", "cmdReport1",
                                             "cmdReport2", "cmdReport3"}));
  EXPECT_EQ(U8(form_.Caption()), "Form1");
  EXPECT_EQ(form_.Icon(), nullptr);
}

TEST_F(FrmReportTest, LoadingGivesTaggedControlsTheirCaptionsInTheUsersLanguage) {
  form_.Form_Load();
  EXPECT_EQ(U8(form_.Find(u"cmdReport", 0)->caption), "Copy to Clipboard");
  EXPECT_EQ(U8(form_.Find(u"Label1", 2)->caption), "Fax Support:");
  EXPECT_EQ(U8(form_.Find(u"SupportFax")->caption), "Label2");  // no tag: design caption
  ASSERT_NE(form_.Icon(), nullptr);
  EXPECT_EQ(form_.Icon()->width, 32);
  EXPECT_EQ(form_.Image1Picture()->ico.size(), form_.Icon()->ico.size());
  fake_.resources->language = 1040;
  frmReport italian(fake_.platform);
  italian.Form_Load();
  const std::vector<std::string> expected = {"Copia", "Stampa", "Prepara E-mail", "Chiudi"};
  for (std::int16_t i = 0; i < 4; ++i) {
    EXPECT_EQ(U8(italian.Find(u"cmdReport", i)->caption), expected[static_cast<std::size_t>(i)]);
  }
  EXPECT_EQ(U8(italian.Find(u"Label1", 3)->caption), "Supporto via e-mail:");
}

TEST_F(FrmReportTest, CopyPutsTheEditedTextOnTheClipboardThenConfirms) {
  form_.Form_Load();
  form_.Text(u"edited by the user \u00E8");
  form_.cmdReport_Click(kCopy);
  form_.Text(u"");
  form_.cmdReport_Click(kCopy);
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "clipboard edited by the user \xC3\xA8",
                           "msgbox 0 [] Report is copied to clipboard. It's now possible paste "
                           "the report in another application using the classical command PASTE "
                           "or CTRL-V",
                           "clipboard ",
                           "msgbox 0 [] Report is copied to clipboard. It's now possible paste "
                           "the report in another application using the classical command PASTE "
                           "or CTRL-V"}));
  EXPECT_FALSE(form_.Unloaded());
}

TEST_F(FrmReportTest, PrintSendsTheTextAsTheBoxHoldsItInCourier12) {
  form_.Text(u"line 1\r\nline 2");
  form_.cmdReport_Click(kPrint);
  EXPECT_EQ(Journal(), (std::vector<std::string>{"print Courier 12 line 1\r\nline 2"}));
}

TEST_F(FrmReportTest, SendMailHandsTheSubjectToTheHtmProgramWithOnlyBlanksEscaped) {
  form_.Caption(u"Payroll.EXE ver. 1.2.30 - a&b?c#d \"q\" $(x);");
  form_.SupportMail(u"someone-else@example.net");
  form_.cmdReport_Click(kSendMail);
  EXPECT_EQ(Journal(),
            (std::vector<std::string>{
                "probe", "find /private/~mail.htm", "delete /private/~mail.htm",
                "execute open [/usr/bin/mailer] [mailto:" + kMail +
                    "?subject=[Bug%20Report]%20Application%20Payroll.EXE%20ver.%201.2.30%20-%20"
                    "a&b?c#d%20\"q\"%20$(x);] 1"}));
}

TEST_F(FrmReportTest, WithoutAnHtmProgramTheUserIsToldAndNothingStarts) {
  ui_.shell->find_code = 31;
  form_.cmdReport_Click(kSendMail);
  EXPECT_EQ(Journal(), (std::vector<std::string>{"probe", "find /private/~mail.htm",
                                                  "delete /private/~mail.htm",
                                                  "msgbox 0 [] Unable to find Mail program"}));
  Journal().clear();
  ui_.shell->find_code = 42;
  ui_.shell->program = u"   ";
  form_.cmdReport_Click(kSendMail);
  EXPECT_EQ(Journal().back(), "msgbox 0 [] Unable to find Mail program");
}

TEST_F(FrmReportTest, FailuresAreShownAndNeverReachTheHost) {
  ui_.clipboard->fail_with = 70;
  ui_.printer->fail_with = u"lp: Error - No default destination.";
  form_.cmdReport_Click(kCopy);
  form_.cmdReport_Click(kPrint);
  EXPECT_EQ(Journal(), (std::vector<std::string>{
                           "msgbox 48 [] Permission denied",
                           "msgbox 48 [] lp: Error - No default destination."}));
  EXPECT_FALSE(form_.Unloaded());
}

TEST_F(FrmReportTest, CloseUnloadsAndOtherIndexesDoNothing) {
  form_.cmdReport_Click(4);
  form_.cmdReport_Click(-1);
  EXPECT_TRUE(Journal().empty());
  EXPECT_FALSE(form_.Unloaded());
  form_.cmdReport_Click(kClose);
  EXPECT_TRUE(form_.Unloaded());
}

}  // namespace
}  // namespace cobaltmoth::report
