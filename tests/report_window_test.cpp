// The report window: its model, its captions, its modal loop and the four actions.
#include "report/frm_report.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.hpp"

namespace cobaltmoth::report {
namespace {

using platform::Click;
using platform::WindowControl;
using testing::FakePlatform;
using testing::U8;

const std::string kMail = "cobaltmoth-support@example.com";
const std::string kCopied =
    "window msgbox 0 [] Report is copied to clipboard. It's now possible paste the report in "
    "another application using the classical command PASTE or CTRL-V";

class ReportWindowTest : public ::testing::Test {
 protected:
  ReportWindowTest() : form_(fake_.platform) { form_.Form_Load(); }
  // Shows the window, the user pressing `clicks` in turn (then the close box).
  std::vector<std::string>& Show(std::vector<Click> clicks) {
    fake_.report_window->clicks.assign(clicks.begin(), clicks.end());
    form_.ShowModal();
    return fake_.journal->lines;
  }
  FakePlatform fake_;
  frmReport form_;
};

TEST_F(ReportWindowTest, TheDesignHasEveryControlAtItsPlaceAndLoadsItsCaptions) {
  const platform::ReportWindowModel& model = form_.Model();
  ASSERT_EQ(model.controls.size(), 12u);
  EXPECT_EQ(U8(model.title), "Form1");
  EXPECT_EQ((std::vector<int>{model.width, model.height}), (std::vector<int>{9225, 6795}));
  // Each control: name(index) kind left,top width x height tab tag, and its flags.
  std::string layout;
  for (const WindowControl& c : model.controls) {
    layout += U8(c.name) + "(" + std::to_string(c.index) + ") " +
              std::to_string(static_cast<int>(c.kind)) + " " + std::to_string(c.left) + "," +
              std::to_string(c.top) + " " + std::to_string(c.width) + "x" +
              std::to_string(c.height) + " " + std::to_string(c.tab_index) + " " + U8(c.tag) +
              (c.auto_size ? " auto" : "") + (c.word_wrap ? " wrap" : "") +
              (c.is_default ? " default" : "") + (c.is_cancel ? " cancel" : "") + "\n";
  }
  EXPECT_EQ(layout,
            "Image1(-1) 0 120,120 480x480 -1 \n"
            "Label1(0) 1 780,120 8355x495 2 101 wrap\n"
            "txtError(-1) 2 60,720 9135x4395 0 \n"
            "Label1(1) 1 60,5280 9075x195 3 102\n"
            "Label1(2) 1 60,5580 480x195 4 103 auto\n"
            "SupportFax(-1) 1 1560,5580 480x195 6  auto\n"
            "Label1(3) 1 60,5880 480x195 5 104 auto\n"
            "SupportMail(-1) 1 1560,5880 480x195 7  auto\n"
            "cmdReport(0) 3 2160,6240 1335x495 1 201\n"
            "cmdReport(1) 3 3600,6240 1335x495 8 202\n"
            "cmdReport(2) 3 5040,6240 1335x495 9 203 default\n"
            "cmdReport(3) 3 7800,6240 1335x495 10 299 cancel\n");
  EXPECT_EQ(model.CancelButton(), 3);
  EXPECT_EQ(model.DefaultButton(), 2);
  // Tagged controls take the table's texts, in the user's language; others keep theirs.
  EXPECT_EQ(U8(model.Find(u"Label1", 2)->caption), "Fax Support:");
  EXPECT_EQ(U8(model.Find(u"SupportFax")->caption), "Label2");
  EXPECT_EQ(model.picture.width, 32);
  EXPECT_EQ(model.picture.rgba.size(), 32u * 32u * 4u);
  fake_.language = 1040;
  frmReport italian(fake_.platform);
  italian.Form_Load();
  std::string captions;
  for (std::int32_t i = 0; i < 4; ++i) {
    captions += U8(italian.Model().Find(u"cmdReport", i)->caption) + "|";
  }
  EXPECT_EQ(captions, "Copia|Stampa|Prepara E-mail|Chiudi|");
}

TEST_F(ReportWindowTest, EveryActionTakesTheTextAsTheBoxHoldsIt) {
  form_.Caption(u"Payroll");
  form_.Text(u"the report");
  const auto& journal = Show({{kCopy, u"edited by the user \u00E8"}, {kPrint, u"line 1\r\nline 2"},
                              {7, u""}, {kCopy, u""}, {kClose, u""}});
  EXPECT_EQ(journal, (std::vector<std::string>{
                         "window [Payroll]", "clipboard edited by the user \xC3\xA8", kCopied,
                         "print Courier 12 line 1\r\nline 2", "clipboard line 1\r\nline 2",
                         kCopied, "window closed"}));
  EXPECT_TRUE(form_.Unloaded());
  EXPECT_EQ(U8(form_.Text()), "line 1\r\nline 2");
}

TEST_F(ReportWindowTest, SendMailHandsTheSubjectToTheHtmProgramWithOnlyBlanksEscaped) {
  form_.Caption(u"Payroll.EXE ver. 1.2.30 - a&b?c#d \"q\" $(x);");
  form_.SupportMail(u"someone-else@example.net");
  Show({{kSendMail, u""}});
  EXPECT_EQ(fake_.journal->lines[4],
            "execute open [/usr/bin/mailer] [mailto:" + kMail +
                "?subject=[Bug%20Report]%20Application%20Payroll.EXE%20ver.%201.2.30%20-%20"
                "a&b?c#d%20\"q\"%20$(x);] 1");
  fake_.journal->lines.clear();
  fake_.shell->find_code = 31;  // no program for .htm files
  form_.cmdReport_Click(kSendMail);
  fake_.shell->find_code = 42;
  fake_.shell->program = u"   ";
  form_.cmdReport_Click(kSendMail);
  EXPECT_EQ(fake_.journal->lines,
            (std::vector<std::string>{"probe", "find /private/~mail.htm",
                                      "delete /private/~mail.htm",
                                      "msgbox 0 [] Unable to find Mail program", "probe",
                                      "find /private/~mail.htm", "delete /private/~mail.htm",
                                      "msgbox 0 [] Unable to find Mail program"}));
}

TEST_F(ReportWindowTest, FailuresAreShownOverTheWindowAndNeverReachTheHost) {
  fake_.clipboard->fail_with = 70;
  fake_.printer->fail_with = u"lp: Error - No default destination.";
  Show({{kCopy, u""}, {kPrint, u""}});
  EXPECT_EQ(fake_.journal->lines,
            (std::vector<std::string>{"window [Form1]", "window msgbox 48 [] Permission denied",
                                      "window msgbox 48 [] lp: Error - No default destination.",
                                      "window closed"}));
}

TEST_F(ReportWindowTest, WithoutAClipboardTheUserIsToldWhereTheTextIs) {
  fake_.clipboard->kept_in = u"/run/user/1000/cobaltmoth-report-x.txt";
  fake_.language = 1040;
  Show({{kCopy, u"text"}});
  EXPECT_EQ(fake_.journal->lines[2],
            "window msgbox 0 [] Il testo del report \xC3\xA8 nel file "
            "/run/user/1000/cobaltmoth-report-x.txt (un terminale non ha clipboard).");
}

}  // namespace
}  // namespace cobaltmoth::report
