#include <cobaltmoth/proc_bug.hpp>

#include <gtest/gtest.h>

#include <string>

#include "fake_platform.hpp"
#include "platform/resources.hpp"

namespace cobaltmoth {
namespace {

using testing::FakePlatform;
using testing::U8;

const std::string kDashes(80, '-');
const std::string kRule(80, '*');
const std::u16string kBugLog = u"C:\\Apps\\Payroll_buglog.txt";
const std::string kTitle = "Payroll.EXE ver. 1.2.30";

std::string BugLogBlock(const std::string& title, const std::string& report) {
  return kDashes + "\r\n* Start Log Error for " + title + " begin at 12/06/2026 09:41:07\r\n" +
         kDashes + "\r\n\r\n" + report + "\r\n" + kDashes + "\r\n* End Log Error Stack for " +
         title + "\r\n" + kDashes + "\r\n\r\n";
}

// The report of frmOrders / cmdSave_Click at line 120, error 11 "Division by zero", with the
// given middle part (dump and log files) and the fake environment.
std::string Report(const std::string& middle, const std::string& full_path = "C:\\Apps\\Payroll.EXE",
                   const std::string& title = kTitle, const std::string& table =
                       "**************************************\r\n"
                       "* Module Name * Proc Name     * Line *\r\n"
                       "**************************************\r\n"
                       "* FRMORDERS   * CMDSAVE_CLICK * 120  *\r\n"
                       "**************************************\r\n") {
  return "The Application:\r\n----------------\r\nName:    " + title + "\r\nOS Path: " + full_path +
         "\r\n\r\nThe Error:\r\n----------\r\nAn error has occurred in " + full_path +
         ".\r\nThe error probably occurred in this internal procedure \r\n\r\n" + table +
         "\r\nTechnical References for this error: \r\n------------------------------------\r\n"
         "VB Error number:      11\r\nVB Error description: Division by zero\r\n\r\n" +
         middle +
         "Current Enviroment Variables:\r\n-----------------------------\r\n"
         "PATH=/usr/bin\r\nHOME=/home/payroll\r\nLANG=C\r\n";
}

class ProcBugTest : public ::testing::Test {
 protected:
  std::shared_ptr<ProcBug> NewHandler(bool init = true) {
    auto bug = std::make_shared<ProcBug>(fake_.platform);
    if (init) bug->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
    return bug;
  }
  std::shared_ptr<ProcStac> NewTracer() {
    auto tracer = std::make_shared<ProcStac>(fake_.platform);
    tracer->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
    return tracer;
  }
  static void LogTheError(ProcBug& bug) {
    bug.LogErrorToFile(u"frmOrders", u"cmdSave_Click", 11, u"Division by zero", 120);
  }
  std::string BugLog() const { return fake_.files->Bytes(kBugLog); }

  FakePlatform fake_;
};

TEST_F(ProcBugTest, ANewHandlerStartsWithItsDefaults) {
  auto bug = NewHandler(false);
  EXPECT_TRUE(bug->Enabled());
  EXPECT_TRUE(bug->EndOnError());
  EXPECT_FALSE(bug->LogOnFile());
  EXPECT_FALSE(bug->LogOnMsgBox());
  EXPECT_FALSE(bug->LogOnReport());
  EXPECT_EQ(bug->LogFilePath(), u"");
  EXPECT_EQ(bug->ProcStack(), nullptr);
  EXPECT_EQ(bug->SupportFax(), fake_.platform->resources->LoadResString(1001));
  EXPECT_EQ(bug->SupportMail(), fake_.platform->resources->LoadResString(1002));
  EXPECT_FALSE(bug->SupportFax().empty());
  EXPECT_NE(U8(bug->SupportMail()).find('@'), std::string::npos);
  // Setting them changes the object, not the table.
  bug->SupportFax("+1 555 0100");
  bug->SupportMail(u"help@example.org");
  EXPECT_EQ(U8(bug->SupportFax()), "+1 555 0100");
  EXPECT_EQ(NewHandler(false)->SupportMail(), fake_.platform->resources->LoadResString(1002));
}

TEST_F(ProcBugTest, InitSetsTheUpperCaseFileNameAndTheBugLogPath) {
  auto bug = NewHandler(false);
  bug->LogFilePath(u"before.txt");
  bug->Init(u"ORDERS", 2, 1, 35, u"C:\\Apps", DllActiveX);
  EXPECT_EQ(U8(bug->LogFilePath()), "C:\\Apps\\ORDERS_buglog.txt");
  bug->LogErrorToFile(u"m", u"p", 1, u"d", 0);
  const std::string log = U8(text::FromUtf8(fake_.files->Bytes(u"C:\\Apps\\ORDERS_buglog.txt")));
  EXPECT_NE(log.find("Name:    ORDERS.DLL ver. 2.1.35\r\nOS Path: C:\\Apps\\ORDERS.DLL\r\n"),
            std::string::npos);
  // A path set after Init stays; a folder ending in a separator doubles it.
  bug->LogFilePath(u"after.txt");
  EXPECT_EQ(U8(bug->LogFilePath()), "after.txt");
  bug->Init(u"ORDERS", 2, 1, 35, u"C:\\Apps\\", OcxActiveXControl);
  EXPECT_EQ(U8(bug->LogFilePath()), "C:\\Apps\\\\ORDERS_buglog.txt");
}

TEST_F(ProcBugTest, AnUnknownProjectTypeKeepsTheFileName) {
  auto fresh = NewHandler(false);
  fresh->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", 4);
  fresh->LogErrorToFile(u"m", u"p", 1, u"d");
  EXPECT_NE(BugLog().find("Name:     ver. 1.2.30\r\nOS Path: C:\\Apps\\\r\n"), std::string::npos);
  auto bug = NewHandler();
  bug->Init(u"Payroll", 1, 2, 31, u"C:\\Apps", -1);
  bug->LogFilePath(u"other.txt");
  bug->LogErrorToFile(u"m", u"p", 1, u"d");
  EXPECT_NE(fake_.files->Bytes(u"other.txt").find("Name:    Payroll.EXE ver. 1.2.31\r\n"),
            std::string::npos);
}

TEST_F(ProcBugTest, OneObjectAppendsOneBlockAfterEarlierContent) {
  fake_.files->files[kBugLog] = "earlier\r\n";
  auto bug = NewHandler();
  bug->LogOnFile(true);
  LogTheError(*bug);
  bug.reset();
  EXPECT_EQ(BugLog(),
            "earlier\r\n" +
                BugLogBlock(kTitle, Report("Active Log Files:\r\n-----------------\r\n"
                                           "Bug Log File Path:    C:\\Apps\\Payroll_buglog.txt"
                                           "\r\n\r\n\r\n")));
}

TEST_F(ProcBugTest, TheReportCarriesTheTracersDumpAndItsLog) {
  auto tracer = NewTracer();
  tracer->EnterProc(u"frmOrders", u"cmdSave_Click");
  tracer->LogOnFile(true);
  auto bug = NewHandler();
  bug->ProcStack(tracer);
  LogTheError(*bug);
  bug->Terminate();
  const std::string dump =
      kRule + "\r\n* Stack Procedure Tree for Payroll.exe ver. 1.2.30\r\n" + kRule +
      "\r\nStack Element 001 of 001 frmOrders            - cmdSave_Click       \r\n" + kRule +
      "\r\n";
  EXPECT_EQ(BugLog(), BugLogBlock(kTitle, Report(dump + "\r\nActive Log Files:\r\n"
                                                        "-----------------\r\n"
                                                        "Proc Stack File Path: "
                                                        "C:\\Apps\\Payroll_stacklog.txt\r\n\r\n\r\n")));
}

TEST_F(ProcBugTest, ADisabledTracerGivesNoDump) {
  auto tracer = NewTracer();
  tracer->EnterProc(u"frmOrders", u"cmdSave_Click");
  tracer->Enabled(false);
  auto bug = NewHandler();
  bug->ProcStack(tracer);
  LogTheError(*bug);
  bug->Terminate();
  EXPECT_EQ(BugLog(), BugLogBlock(kTitle, Report("")));
}

TEST_F(ProcBugTest, AnEmptyEnvironmentAndAOneLetterModule) {
  fake_.environment->entries.clear();
  auto bug = NewHandler();
  bug->LogErrorToFile(u"m", u"cmdSave_Click", 11, u"Division by zero", 120);
  bug->Terminate();
  std::string report = Report("", "C:\\Apps\\Payroll.EXE", kTitle,
                              "**************************************\r\n"
                              "* Module Name * Proc Name     * Line *\r\n"
                              "**************************************\r\n"
                              "* M           * CMDSAVE_CLICK * 120  *\r\n"
                              "**************************************\r\n");
  report.erase(report.find("PATH="));
  EXPECT_EQ(BugLog(), BugLogBlock(kTitle, report));
}

TEST_F(ProcBugTest, NothingIsWrittenBeforeInitWhilePassiveOrWithoutAPath) {
  auto bug = NewHandler(false);
  bug->LogFilePath(kBugLog);
  LogTheError(*bug);
  auto passive = NewHandler();
  passive->Enabled(false);
  LogTheError(*passive);
  auto nowhere = NewHandler();
  nowhere->LogFilePath(u"");
  LogTheError(*nowhere);
  bug->Terminate();
  passive->Terminate();
  nowhere->Terminate();
  EXPECT_EQ(fake_.files->opens, 0);
}

TEST_F(ProcBugTest, AFailedOpenReachesTheCallerAndIsRetriedWithItsBanner) {
  auto bug = NewHandler();
  fake_.files->open_failures = 1;
  fake_.files->open_error = 76;
  EXPECT_RUNTIME_ERROR(LogTheError(*bug), 76, "Path not found");
  LogTheError(*bug);
  bug->Terminate();
  EXPECT_EQ(BugLog(), BugLogBlock(kTitle, Report("")));
}

TEST_F(ProcBugTest, ATracerThatWasNeverInitialisedFailsTheReport) {
  auto tracer = std::make_shared<ProcStac>(fake_.platform);
  auto bug = NewHandler();
  bug->ProcStack(tracer);
  EXPECT_HOST_ERROR(LogTheError(*bug), -2147220503, "Cobaltmoth.dll - Class ProcStac",
                    "You must initialize this class with Init sub before using any method");
}

TEST_F(ProcBugTest, TerminateClosesTheLogThenEndsAndReleasesTheTracer) {
  auto tracer = NewTracer();
  tracer->PrintComment(u"before");
  auto bug = NewHandler();
  bug->ProcStack(tracer);
  EXPECT_EQ(tracer.use_count(), 2);
  bug->Terminate();
  bug->Terminate();
  EXPECT_EQ(bug->ProcStack(), nullptr);
  EXPECT_EQ(tracer.use_count(), 1);
  // The tracer was terminated once: one footer, and it now refuses to trace.
  const std::string stack_log = fake_.files->Bytes(u"C:\\Apps\\Payroll_stacklog.txt");
  EXPECT_EQ(stack_log.find("* End Log Procedure Stack"), stack_log.rfind("* End Log Procedure Stack"));
  EXPECT_NE(stack_log.find("* End Log Procedure Stack"), std::string::npos);
  EXPECT_RUNTIME_ERROR(tracer->Dump(), 91, "Object variable or With block variable not set");
  EXPECT_FALSE(fake_.files->Exists(kBugLog));
}

TEST_F(ProcBugTest, ReleasingTheHandlerTerminatesItsTracer) {
  auto tracer = NewTracer();
  auto bug = NewHandler();
  bug->ProcStack(tracer);
  bug.reset();
  EXPECT_RUNTIME_ERROR(tracer->Dump(), 91, "Object variable or With block variable not set");
}

}  // namespace
}  // namespace cobaltmoth
