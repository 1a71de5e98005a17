#include "bughandling/report_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_platform.hpp"

namespace cobaltmoth::bughandling {
namespace {

using testing::U8;

VoxError Record() {
  VoxError r;
  r.ModuleName = u"frmOrders";
  r.ProcName = u"cmdSave_Click";
  r.Number = 11;
  r.Descr = u"Division by zero";
  r.LineNumber = 120;
  r.isCritical = false;
  return r;
}

const std::string kHead =
    "The Application:\r\n"
    "----------------\r\n"
    "Name:    Payroll.EXE ver. 1.2.30\r\n"
    "OS Path: C:\\Apps\\Payroll.EXE\r\n"
    "\r\n"
    "The Error:\r\n"
    "----------\r\n"
    "An error has occurred in C:\\Apps\\Payroll.EXE.\r\n"
    "The error probably occurred in this internal procedure \r\n"
    "\r\n"
    "**************************************\r\n"
    "* Module Name * Proc Name     * Line *\r\n"
    "**************************************\r\n"
    "* FRMORDERS   * CMDSAVE_CLICK * 120  *\r\n"
    "**************************************\r\n"
    "\r\n"
    "Technical References for this error: \r\n"
    "------------------------------------\r\n"
    "VB Error number:      11\r\n"
    "VB Error description: Division by zero\r\n"
    "\r\n";
const std::string kEnvironment =
    "Current Enviroment Variables:\r\n"
    "-----------------------------\r\n"
    "PATH=/usr/bin\r\n"
    "HOME=/home/payroll\r\n";

struct Report {
  VoxError record = Record();
  std::vector<std::u16string> environment = {u"PATH=/usr/bin", u"HOME=/home/payroll"};
  ReportFacts facts;
  Report() {
    facts.app_title = u"Payroll.EXE ver. 1.2.30";
    facts.app_full_path = u"C:\\Apps\\Payroll.EXE";
    facts.record = &record;
    facts.environment = &environment;
  }
  std::string Text() { return U8(BuildReport(facts)); }
};

TEST(ErrorTable, ColumnsAreAsWideAsTheirLongerCell) {
  EXPECT_EQ(U8(ErrorTable(u"FRMMAIN", u"CMDOK_CLICK", 120)),
            "************************************\r\n"
            "* Module Name * Proc Name   * Line *\r\n"
            "************************************\r\n"
            "* FRMMAIN     * CMDOK_CLICK * 120  *\r\n"
            "************************************\r\n");
  // A one-letter module keeps the header's width; line 0 prints as 0; long lines widen.
  EXPECT_EQ(U8(ErrorTable(u"M", u"P", 0)),
            "**********************************\r\n"
            "* Module Name * Proc Name * Line *\r\n"
            "**********************************\r\n"
            "* M           * P         * 0    *\r\n"
            "**********************************\r\n");
  EXPECT_NE(U8(ErrorTable(u"M", u"P", -2147483647 - 1)).find("* -2147483648 *\r\n"),
            std::string::npos);
}

TEST(ErrorTable, ABorderPast32767CharactersOverflows) {
  // 11 + 9 + 4 + 10 = 34 fixed; a module name of 32767 - 23 = 32744 fills it exactly.
  const std::u16string fits(32767 - 23, u'M');
  EXPECT_EQ(ErrorTable(fits, u"P", 1).find(u"\r\n"), 32767u);
  EXPECT_RUNTIME_ERROR(ErrorTable(fits + u"M", u"P", 1), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(ErrorTable(u"M", std::u16string(40000, u'P'), 1), 6, "Overflow");
}

TEST(BuildReport, WithATracerAndBothLogs) {
  Report r;
  const std::u16string dump = u"*DUMP LINE 1*\r\n*DUMP LINE 2*\r\n";
  r.facts.dump = dump;
  r.facts.bug_log_on = true;
  r.facts.bug_log_path = u"C:\\Apps\\Payroll_buglog.txt";
  r.facts.stack_log_on = true;
  r.facts.stack_log_path = u"C:\\Apps\\Payroll_stacklog.txt";
  EXPECT_EQ(r.Text(), kHead +
                          "*DUMP LINE 1*\r\n*DUMP LINE 2*\r\n"
                          "\r\n"
                          "Active Log Files:\r\n"
                          "-----------------\r\n"
                          "Bug Log File Path:    C:\\Apps\\Payroll_buglog.txt\r\n"
                          "Proc Stack File Path: C:\\Apps\\Payroll_stacklog.txt\r\n"
                          "\r\n"
                          "\r\n" +
                          kEnvironment);
}

TEST(BuildReport, WithoutTracerOrLogsTheEnvironmentFollowsTheError) {
  Report r;
  EXPECT_EQ(r.Text(), kHead + kEnvironment);
  // Only the tracer's log is on.
  r.facts.stack_log_on = true;
  r.facts.stack_log_path = u"/tmp/s.txt";
  EXPECT_EQ(r.Text(), kHead +
                          "Active Log Files:\r\n-----------------\r\n"
                          "Proc Stack File Path: /tmp/s.txt\r\n\r\n\r\n" +
                          kEnvironment);
}

TEST(BuildReport, AnEmptyEnvironmentKeepsItsHeadingAndAnEmptyEntryEndsIt) {
  Report r;
  r.environment.clear();
  EXPECT_EQ(r.Text(), kHead + "Current Enviroment Variables:\r\n-----------------------------\r\n");
  r.environment = {u"A=1", u"", u"B=2"};
  EXPECT_EQ(r.Text(),
            kHead + "Current Enviroment Variables:\r\n-----------------------------\r\nA=1\r\n");
}

TEST(BuildReport, NamesAppearOnlyInTheTableInUpperCase) {
  Report r;
  r.record.ModuleName = u"m\u00F3dulo";
  r.record.ProcName = u"x";
  const std::string text = r.Text();
  EXPECT_NE(text.find("* M\xC3\x93" "DULO      * X         * 120  *\r\n"), std::string::npos);
  EXPECT_EQ(text.find("m\xC3\xB3" "dulo"), std::string::npos);
}

TEST(WindowText, DateLineInEachLanguage) {
  const platform::LocalTime t{2026, 3, 2, 1, 9, 5, 7};  // Monday 2 March 2026, 09:05:07
  EXPECT_EQ(U8(WindowDateLine(t, u":", false)), "Monday, 02 March 2026 - 09:05:07");
  EXPECT_EQ(U8(WindowDateLine(t, u":", true)), "luned\xC3\xAC, 02 marzo 2026 - 09:05:07");
  const platform::LocalTime sunday{2026, 12, 6, 0, 23, 59, 0};
  EXPECT_EQ(U8(WindowDateLine(sunday, u".", true)), "domenica, 06 dicembre 2026 - 23.59.00");
  EXPECT_EQ(U8(WindowDateLine(sunday, u":", false)), "Sunday, 06 December 2026 - 23:59:00");
}

TEST(WindowText, HeaderThenTheReport) {
  EXPECT_EQ(U8(WindowText(u"Sunday, 06 December 2026 - 09:41:07", u"Ada Lovelace", u"",
                          u"<Enter you e-mail address>", u"REPORT\r\n")),
            "\r\n"
            "Sunday, 06 December 2026 - 09:41:07\r\n"
            "\r\n"
            "From:    Ada Lovelace\r\n"
            "Company: \r\n"
            "E-Mail:  <Enter you e-mail address>\r\n"
            "\r\n"
            "REPORT\r\n");
}

TEST(BugLogBanners, StartAndEndLines) {
  EXPECT_EQ(U8(BugLogStartLine(u"Payroll.EXE ver. 1.2.30", u"12/06/2026 09:41:07")),
            "* Start Log Error for Payroll.EXE ver. 1.2.30 begin at 12/06/2026 09:41:07");
  EXPECT_EQ(U8(BugLogEndLine(u"Payroll.EXE ver. 1.2.30")),
            "* End Log Error Stack for Payroll.EXE ver. 1.2.30");
  EXPECT_EQ(kDashLine, std::u16string(80, u'-'));
}

}  // namespace
}  // namespace cobaltmoth::bughandling
