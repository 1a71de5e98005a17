#include <cobaltmoth/proc_bug.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bughandling/error_windows.hpp"
#include "bughandling/report_text.hpp"
#include "fakes.hpp"
#include "platform/common/crash_handling.hpp"
#include "platform/crashes.hpp"

namespace cobaltmoth {
namespace {

using testing::FakePlatform;
using testing::U8;

const std::string kDashes(80, '-');
const std::string kRule(80, '*');
const std::u16string kBugLog = u"C:\\Apps\\Payroll_buglog.txt";
const std::string kTitle = "Payroll.EXE ver. 1.2.30";
const std::string kWindowTitle = kTitle + " - Unexpected error";
const std::string kBugLogFiles =
    "Active Log Files:\r\n-----------------\r\nBug Log File Path:    C:\\Apps\\Payroll_buglog.txt"
    "\r\n\r\n\r\n";

std::string BugLogBlock(const std::string& title, const std::string& report) {
  return kDashes + "\r\n* Start Log Error for " + title + " begin at 12/06/2026 09:41:07\r\n" +
         kDashes + "\r\n\r\n" + report + "\r\n" + kDashes + "\r\n* End Log Error Stack for " +
         title + "\r\n" + kDashes + "\r\n\r\n";
}

// The report of frmOrders / cmdSave_Click at line 120, error 11 "Division by zero", with the
// given middle part (dump and log files) and the fake environment.
std::string Report(const std::string& middle) {
  const std::string path = "C:\\Apps\\Payroll.EXE";
  return "The Application:\r\n----------------\r\nName:    " + kTitle + "\r\nOS Path: " + path +
         "\r\n\r\nThe Error:\r\n----------\r\nAn error has occurred in " + path +
         ".\r\nThe error probably occurred in this internal procedure \r\n\r\n"
         "**************************************\r\n"
         "* Module Name * Proc Name     * Line *\r\n"
         "**************************************\r\n"
         "* FRMORDERS   * CMDSAVE_CLICK * 120  *\r\n"
         "**************************************\r\n"
         "\r\nTechnical References for this error: \r\n------------------------------------\r\n"
         "VB Error number:      11\r\nVB Error description: Division by zero\r\n\r\n" +
         middle +
         "Current Enviroment Variables:\r\n-----------------------------\r\n"
         "PATH=/usr/bin\r\nHOME=/home/payroll\r\nLANG=C\r\n";
}

class ProcBugTest : public ::testing::Test {
 protected:
  static void LogTheError(ProcBug& bug) {
    bug.LogErrorToFile(u"frmOrders", u"cmdSave_Click", 11, u"Division by zero", 120);
  }
  std::string BugLog() const { return fake_.files->Bytes(kBugLog); }

  FakePlatform fake_;
};

TEST_F(ProcBugTest, InitSetsTheUpperCaseFileNameAndTheBugLogPathAndTheContactsAreTheObjects) {
  auto bug = fake_.NewHandler(false);
  // The support contacts come from the table and belong to the object.
  EXPECT_EQ(U8(bug->SupportFax() + u"|" + bug->SupportMail()),
            "+44 20 7946 0381|cobaltmoth-support@example.com");
  bug->SupportMail(u"help@example.org");
  EXPECT_EQ(U8(fake_.NewHandler(false)->SupportMail()), "cobaltmoth-support@example.com");
  bug->LogFilePath(u"before.txt");
  bug->Init(u"ORDERS", 2, 1, 35, u"C:\\Apps", DllActiveX);
  EXPECT_EQ(U8(bug->LogFilePath()), "C:\\Apps\\ORDERS_buglog.txt");
  bug->LogErrorToFile(u"m", u"p", 1, u"d", 0);
  EXPECT_NE(fake_.files->Bytes(u"C:\\Apps\\ORDERS_buglog.txt")
                .find("Name:    ORDERS.DLL ver. 2.1.35\r\nOS Path: C:\\Apps\\ORDERS.DLL\r\n"),
            std::string::npos);
  // The kinds of project are the tracer's; an unknown one keeps the upper-case file name.
  bug->Init(u"ORDERS", 2, 1, 36, u"C:\\Apps", -1);
  bug->LogErrorToFile(u"m", u"p", 1, u"d");
  EXPECT_NE(fake_.files->Bytes(u"C:\\Apps\\ORDERS_buglog.txt").find("ORDERS.DLL ver. 2.1.36\r\n"),
            std::string::npos);
}

TEST_F(ProcBugTest, OneObjectAppendsOneBlockWithTheTracersDumpAndBothLogsAfterEarlierContent) {
  fake_.files->files[kBugLog] = "earlier\r\n";
  auto tracer = fake_.NewTracer();
  tracer->EnterProc(u"frmOrders", u"cmdSave_Click");
  tracer->LogOnFile(true);
  auto bug = fake_.NewHandler();
  bug->LogOnFile(true);
  bug->ProcStack(tracer);
  LogTheError(*bug);
  bug.reset();
  const std::string dump =
      kRule + "\r\n* Stack Procedure Tree for Payroll.exe ver. 1.2.30\r\n" + kRule +
      "\r\nStack Element 001 of 001 frmOrders            - cmdSave_Click       \r\n" + kRule +
      "\r\n";
  std::string logs = kBugLogFiles;
  logs.insert(logs.size() - 4, "Proc Stack File Path: C:\\Apps\\Payroll_stacklog.txt\r\n");
  EXPECT_EQ(BugLog(), "earlier\r\n" + BugLogBlock(kTitle, Report(dump + "\r\n" + logs)));
}

// The platform's crash handling as the bug handler and the tracers see it.
class RecordingCrashes final : public platform::Crashes {
 public:
  const platform::CrashReporter* armed = nullptr;
  std::vector<const platform::TracedThread*> tracers;
  void TracerStarted(const platform::TracedThread* tracer) noexcept override {
    tracers.push_back(tracer);
  }
  void TracerEnded(const platform::TracedThread* tracer) noexcept override {
    std::erase(tracers, tracer);
  }
  bool Catch(const platform::CrashReporter* reporter) override {
    armed = reporter;
    return true;
  }
  void Release(const platform::CrashReporter* reporter) noexcept override {
    if (armed == reporter) armed = nullptr;
  }
  std::u16string NativeStack() override { return u"Native Stack:\r\n-------------\r\n#00 x\r\n"; }
};

TEST_F(ProcBugTest, InitCatchesCrashesWhenTheEnvironmentOrTheSettingsSaySoUnlessTheHostSaidNo) {
  auto crashes = std::make_shared<RecordingCrashes>();
  fake_.platform->crashes = crashes;
  const auto caught_after_init = [&](bool host_says_no) {
    ProcBug bug(fake_.platform);
    if (host_says_no) bug.CatchCrashes(false);
    bug.Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
    const bool caught = crashes->armed != nullptr && bug.CatchCrashes();
    bug.Terminate();
    EXPECT_EQ(crashes->armed, nullptr) << "Terminate lets go";
    return caught;
  };
  EXPECT_FALSE(caught_after_init(false));
  fake_.environment->entries.push_back(u"COBALTMOTH_CATCH_CRASHES=1");
  EXPECT_TRUE(caught_after_init(false));
  EXPECT_FALSE(caught_after_init(true));
  fake_.environment->entries.pop_back();
  auto& setting = fake_.registry->keys[{platform::kHkeyCurrentUser, u"Software\\Cobaltmoth"}];
  for (const std::uint8_t value : {1, 2}) {
    setting[u"CatchCrashes"] = {platform::kRegDword, {value, 0, 0, 0}};
    EXPECT_EQ(caught_after_init(false), value == 1);
  }
}

// The table a crash reads the threads' stacks from: a tracer is filed under the thread that
// last pushed onto it, a forked child keeps only the forking thread's, and a tracer's end waits
// while a report reads the table.
TEST(TracedThreads, FollowTheThreadThatPushedTheForkAndTheReportThatReads) {
  struct Tracer final : platform::TracedThread {
    bool Dumps() const noexcept override { return true; }
    void WriteDump(runtime::TextOut&) const noexcept override {}
    bool Innermost(std::u16string_view*, std::u16string_view*) const noexcept override {
      return false;
    }
  } made_on_7, made_on_8, second_on_8;
  platform::common::TracedThreads table;
  table.Add(7, &made_on_7);
  table.Add(8, &made_on_8);
  table.Add(8, &second_on_8);
  table.Add(8, &made_on_7);  // thread 8 pushes onto the tracer made on 7
  EXPECT_EQ(table.Innermost(7), nullptr);
  EXPECT_EQ(table.Innermost(8), &made_on_7);

  table.StartReading();
  std::atomic<bool> ended{false};
  std::thread ending([&] {
    table.Remove(&made_on_7,
                 []() noexcept { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    ended = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(ended);
  table.StopReading();
  ending.join();
  EXPECT_EQ(table.Innermost(8), &second_on_8);

  table.Forked(8, 42);
  EXPECT_EQ(table.Innermost(42), &second_on_8);
  table.Forked(99, 43);  // forked by a thread that traces nothing: no stack is the child's
  EXPECT_EQ(table.Innermost(42), nullptr);
  EXPECT_EQ(table.Innermost(43), nullptr);
}

TEST_F(ProcBugTest, ACrashIsReportedLikeARaisedErrorWithItsStacksAfterTheDump) {
  auto crashes = std::make_shared<RecordingCrashes>();
  fake_.platform->crashes = crashes;
  auto tracer = fake_.NewTracer();
  tracer->EnterProc(u"frmOrders", u"cmdSave_Click");
  auto bug = fake_.NewHandler();
  bug->LogOnFile(true);
  bug->LogOnMsgBox(true);
  bug->LogOnReport(true);
  bug->ProcStack(tracer);
  bug->NativeStack(true);
  bug->ReportTo(u"journal");
  bug->CatchCrashes(true);
  ASSERT_EQ(crashes->tracers.size(), 1u);
  fake_.error_line->line = 120;
  const std::u16string_view native_text =
      u"Native Stack:\r\n-------------\r\n#00 0x1 payroll+0x1 b\r\n";
  const runtime::ViewPiece native(native_text);
  const runtime::ViewPiece others(u"Other Threads:\r\n--------------\r\n");
  const runtime::ViewPiece environment(u"PATH=/usr/bin\r\nHOME=/home/payroll\r\nLANG=C\r\n");
  const platform::CrashFacts facts{.number = 11, .description = u"Division by zero",
                                   .now_text = fake_.clock->now, .tracer = crashes->tracers[0],
                                   .native_stack = &native, .other_threads = &others,
                                   .environment = &environment};
  std::u16string written;
  runtime::StringOut out(written);
  crashes->armed->WriteCrashReport(out, facts);
  const std::string dump = U8(tracer->Dump());
  const std::string report = Report(dump + "\r\n" + U8(native_text) + "\r\nOther Threads:\r\n"
                                    "--------------\r\n\r\n" + kBugLogFiles);
  EXPECT_EQ(U8(written), BugLogBlock(kTitle, report));
  // The delivery and the windows, from the request a crashed process hands to another.
  std::u16string request;
  runtime::StringOut request_out(request);
  crashes->armed->WriteWindowRequest(request_out, facts);
  ASSERT_TRUE(bughandling::ShowCrashWindows(fake_.platform, runtime::ToUtf8(request)));
  EXPECT_EQ(fake_.journal->lines.at(0), "deliver datagram /run/systemd/journal/socket");
  EXPECT_EQ(fake_.journal->lines.at(1),
            "msgbox 16 [" + kWindowTitle + "] Error in module frmOrders in the procedure "
            "cmdSave_Click at line 120\r\n\r\nThe technical references for this error is: "
            "\r\n    Number: 11\r\n    Description=Division by zero");
  EXPECT_EQ(fake_.journal->lines.at(2), "window [" + kWindowTitle + "]");
  const std::string window_text = U8(fake_.report_window->shown.Text());
  EXPECT_EQ(window_text.substr(window_text.size() - report.size()), report);
  // A request cut short, or with a line that is no number, shows nothing.
  const std::size_t line = request.find(u"120");
  for (const std::u16string& broken : {request.substr(0, request.find(u'\0', 8)),
                                       request.substr(0, line) + u"x" + request.substr(line)}) {
    EXPECT_FALSE(bughandling::ShowCrashWindows(fake_.platform, runtime::ToUtf8(broken)));
  }
  EXPECT_EQ(fake_.journal->lines.size(), 4u);
  // Raise's own report carries the native stack when asked to.
  bug->Raise(u"frmOrders", u"cmdSave_Click", 11, u"Division by zero", 120);
  EXPECT_NE(BugLog().find(dump + "\r\nNative Stack:\r\n-------------\r\n#00 x\r\n\r\nActive"),
            std::string::npos);
}

TEST_F(ProcBugTest, AFailedOpenReachesTheCallerAndIsRetriedWithItsBanner) {
  // The retried report: no dump of a disabled tracer, a one-letter module padded in the table
  // and an empty environment under its heading.
  fake_.environment->entries.clear();
  auto tracer = fake_.NewTracer();
  tracer->EnterProc(u"frmOrders", u"cmdSave_Click");
  tracer->Enabled(false);
  auto bug = fake_.NewHandler();
  bug->ProcStack(tracer);
  fake_.files->open_failures = 1;
  fake_.files->open_error = 76;
  const auto log = [&] {
    bug->LogErrorToFile(u"m", u"cmdSave_Click", 11, u"Division by zero", 120);
  };
  EXPECT_RUNTIME_ERROR(log(), 76, "Path not found");
  log();
  bug->Terminate();
  std::string report = Report("");
  report.replace(report.find("FRMORDERS"), 9, "M        ");
  report.erase(report.find("PATH="));
  EXPECT_EQ(BugLog(), BugLogBlock(kTitle, report));
}

TEST_F(ProcBugTest, NothingIsWrittenBeforeInitWhilePassiveOrWithoutAPath) {
  const std::shared_ptr<ProcBug> handlers[] = {fake_.NewHandler(false), fake_.NewHandler(),
                                               fake_.NewHandler()};
  handlers[0]->LogFilePath(kBugLog);
  handlers[1]->Enabled(false);
  handlers[2]->LogFilePath(u"");
  for (const auto& bug : handlers) LogTheError(*bug), bug->Terminate();
  EXPECT_EQ(fake_.files->opens, 0);
}

TEST_F(ProcBugTest, ATracerThatWasNeverInitialisedFailsTheReport) {
  auto tracer = std::make_shared<ProcStac>(fake_.platform);
  auto bug = fake_.NewHandler();
  bug->ProcStack(tracer);
  EXPECT_HOST_ERROR(LogTheError(*bug), -2147220503, "Cobaltmoth.dll - Class ProcStac",
                    "You must initialize this class with Init sub before using any method");
}

TEST_F(ProcBugTest, TerminateOrReleaseClosesTheLogThenEndsAndReleasesTheTracer) {
  auto tracer = fake_.NewTracer();
  tracer->PrintComment(u"before");
  auto bug = fake_.NewHandler();
  bug->ProcStack(tracer);
  EXPECT_EQ(tracer.use_count(), 2);
  bug->Terminate();
  bug->Terminate();
  EXPECT_EQ(bug->ProcStack(), nullptr);
  EXPECT_EQ(tracer.use_count(), 1);
  // The tracer was terminated once: one footer, and it now refuses to trace.
  const std::string stack_log = fake_.files->Bytes(u"C:\\Apps\\Payroll_stacklog.txt");
  const std::size_t end = stack_log.find("* End Log Procedure Stack");
  EXPECT_TRUE(end != std::string::npos && end == stack_log.rfind("* End Log Procedure Stack"));
  EXPECT_RUNTIME_ERROR(tracer->Dump(), 91, "Object variable or With block variable not set");
  EXPECT_FALSE(fake_.files->Exists(kBugLog));
  // A handler released without Terminate ends its tracer too.
  auto other = fake_.NewTracer();
  fake_.NewHandler()->ProcStack(other);
  EXPECT_RUNTIME_ERROR(other->Dump(), 91, "Object variable or With block variable not set");
}

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
  std::shared_ptr<ProcBug> NewHandler(bool msg_box, bool file, bool report) {
    auto bug = fake_.NewHandler();
    bug->LogOnMsgBox(msg_box);
    bug->LogOnFile(file);
    bug->LogOnReport(report);
    return bug;
  }
  void RaiseIt(ProcBug& bug, bool critical = false) {
    bug.Raise(u"frmMain", u"cmdOK_Click", &error_, 120, critical);
  }
  std::vector<std::string>& Journal() { return fake_.journal->lines; }

  FakePlatform fake_;
  HostErr error_;
};

TEST_F(RaiseTest, EveryCombinationOfTheFlagsRunsItsStepsInOrderDeliveryWhateverTheyAre) {
  for (int flags = 0; flags < 8; ++flags) {
    FakePlatform fake;
    const bool box = flags & 1, file = flags & 2, window = flags & 4;
    // What each modal step and the delivery find in the bug log tells the order.
    const auto seen = [&] { fake.journal->Add(fake.files->Exists(kBugLog) ? "log" : "no log"); };
    fake.message_box->on_show = seen;
    fake.report_window->on_show = seen;
    fake.transport->on_send = seen;
    auto bug = fake.NewHandler();
    bug->LogOnMsgBox(box);
    bug->LogOnFile(file);
    bug->LogOnReport(window);
    bug->ReportTo(u"syslog");
    bug->Raise(u"frmMain", u"cmdOK_Click", &error_, 120, false);
    std::vector<std::string> expected;
    if (box) expected = {"msgbox 16 [" + kWindowTitle + "] " + kPrompt, "no log"};
    expected.push_back("deliver datagram /dev/log");
    expected.push_back(file ? "log" : "no log");
    if (window) {
      expected.push_back("window [" + kWindowTitle + "]");
      expected.push_back(file ? "log" : "no log");
      expected.push_back("window closed");
    }
    EXPECT_EQ(fake.journal->lines, expected) << "flags " << flags;
    EXPECT_EQ(fake.files->Exists(kBugLog), file) << "flags " << flags;
    EXPECT_FALSE(bug->EndOnError()) << "flags " << flags;
  }
  EXPECT_EQ(error_.reads, "DNDNDNDNDNDNDNDN");  // Description, then Number, each time
}

TEST_F(RaiseTest, OnlyTheFirstCallOfAnObjectIsHandledAlsoWhenItWasPassiveOrFailed) {
  auto bug = NewHandler(true, false, false);
  RaiseIt(*bug, false);
  bug->EndOnError(true);
  RaiseIt(*bug, false);
  EXPECT_EQ(Journal().size(), 1u);
  EXPECT_TRUE(bug->EndOnError());
  RaiseIt(*NewHandler(true, false, false));  // another object handles its own first call
  EXPECT_EQ(Journal().size(), 2u);
  error_.reads.clear();
  auto passive = NewHandler(true, true, true);
  passive->Enabled(false);
  RaiseIt(*passive);
  passive->Enabled(true);
  RaiseIt(*passive);
  EXPECT_TRUE(passive->EndOnError());
  EXPECT_EQ(error_.reads, "");  // a passive call does not read the error
  ProcBug early(fake_.platform);
  early.LogOnMsgBox(true);
  EXPECT_HOST_ERROR(RaiseIt(early), -2147220503, "Cobaltmoth.dll - Class ProcBug",
                    "You must initialize this class with Init sub before using any method");
  early.Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
  RaiseIt(early);
  EXPECT_EQ(Journal().size(), 2u);
  EXPECT_EQ(fake_.files->opens, 0);
}

TEST_F(RaiseTest, AMissingErrorObjectOrAFailingStepEndsRaiseAndKeepsEndOnError) {
  auto bug = NewHandler(true, true, true);
  EXPECT_RUNTIME_ERROR(bug->Raise(u"m", u"p", static_cast<const ErrorObject*>(nullptr)), 424,
                       "Object required");
  EXPECT_EQ(fake_.files->opens, 0);
  auto failing = NewHandler(false, true, true);
  fake_.files->open_failures = 1;
  fake_.files->open_error = 70;
  EXPECT_RUNTIME_ERROR(RaiseIt(*failing, false), 70, "Permission denied");
  EXPECT_TRUE(Journal().empty());
  EXPECT_TRUE(bug->EndOnError() && failing->EndOnError());
}

TEST_F(RaiseTest, EndOnErrorTakesTheCriticalityAndDefaultsToCritical) {
  auto bug = NewHandler(false, false, false);
  bug->EndOnError(false);
  bug->Raise(u"m", u"p", &error_);
  EXPECT_TRUE(bug->EndOnError());
  // Enabled cleared during a modal step skips the steps after it; the call was handled.
  auto other = NewHandler(true, true, true);
  fake_.message_box->on_show = [&] { other->Enabled(false); };
  RaiseIt(*other, false);
  EXPECT_EQ(Journal().size(), 1u);
  EXPECT_EQ(fake_.files->opens, 0);
  EXPECT_FALSE(other->EndOnError());
}

TEST_F(RaiseTest, LineZeroLeavesTheLineOutOfThePromptButNotOutOfTheTableAndCppErrorsPass) {
  auto bug = NewHandler(true, true, false);
  bug->Raise("frmMain", "cmdOK_Click", 11, "Division by zero");
  EXPECT_EQ(Journal()[0], "msgbox 16 [" + kWindowTitle +
                              "] Error in module frmMain in the procedure cmdOK_Click\r\n\r\n"
                              "The technical references for this error is: \r\n"
                              "    Number: 11\r\n    Description=Division by zero");
  bug->Terminate();
  EXPECT_NE(fake_.files->Bytes(kBugLog).find("* FRMMAIN     * CMDOK_CLICK * 0    *\r\n"),
            std::string::npos);
  // A C++ error is raised as it is.
  NewHandler(true, false, false)
      ->Raise(u"modDb", u"SaveOrder", Error(61, u"Cobaltmoth", u"Disk full"), 7);
  EXPECT_NE(Journal()[1].find("at line 7\r\n\r\nThe technical references for this error is: "
                              "\r\n    Number: 61\r\n    Description=Disk full"),
            std::string::npos);
}

TEST_F(RaiseTest, TheWindowShowsTheDateOwnerPromptAndReportInTheUsersLanguage) {
  fake_.registry->SetText(platform::kHkeyLocalMachine,
                          u"Software\\Microsoft\\Windows\\CurrentVersion", u"RegisteredOwner",
                          u"Ada Lovelace");
  fake_.language = 1040;
  fake_.clock->italian = true;
  auto bug = NewHandler(false, false, true);
  bug->SupportFax(u"+39 000");
  bug->SupportMail(u"other@example.net");
  RaiseIt(*bug, true);
  const platform::ReportWindowModel& shown = fake_.report_window->shown;
  const std::string text = U8(shown.Text());
  EXPECT_EQ(U8(shown.title), "Payroll.EXE ver. 1.2.30 - Errore non previsto");
  EXPECT_EQ(text.substr(0, text.find("The Application:")),
            "\r\ndomenica, 06 dicembre 2026 - 09:41:07\r\n\r\n"
            "From:    Ada Lovelace\r\n"
            "Company: \r\n"
            "E-Mail:  <Aggiungi il tuo indirizzo e-mail>\r\n\r\n");
  EXPECT_NE(text.find("VB Error description: Division by zero\r\n"), std::string::npos);
  EXPECT_EQ(U8(shown.Find(u"SupportFax")->caption + u"|" + shown.Find(u"SupportMail")->caption +
               u"|" + shown.Find(u"cmdReport", 3)->caption),
            "+39 000|other@example.net|Chiudi");
  EXPECT_TRUE(bug->EndOnError());
}

TEST(BugReport, AnErrorTableBorderPast32767CharactersOverflows) {
  // 11 + 9 + 4 + 10 = 34 fixed; a module name of 32767 - 23 = 32744 fills it exactly.
  const std::u16string fits(32767 - 23, u'M');
  EXPECT_EQ(bughandling::ErrorTable(fits, u"P", 1).find(u"\r\n"), 32767u);
  EXPECT_RUNTIME_ERROR(bughandling::ErrorTable(fits + u"M", u"P", 1), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(bughandling::ErrorTable(u"M", std::u16string(40000, u'P'), 1), 6,
                       "Overflow");
}

TEST(BugReport, TheWindowsDateLineTakesTheLocalesNamesAndSeparator) {
  const platform::LocalTime t{2026, 3, 2, 1, 9, 5, 7};  // Monday 2 March 2026, 09:05:07
  EXPECT_EQ(U8(bughandling::WindowDateLine(t, u".", u"luned\u00EC", u"marzo")),
            "luned\xC3\xAC, 02 marzo 2026 - 09.05.07");
}

TEST(BugReport, TwoThreadsRaisingAtOnceEachWriteTheirOwnWholeReports) {
  // Each thread has its objects (nothing is shared between objects but the platform); each
  // bug log must hold exactly the reports one thread alone writes.
  FakePlatform fake;
  const auto raise = [&fake](std::u16string path, std::int32_t number, int times) {
    for (int i = 0; i < times; ++i) {
      auto bug = fake.NewHandler();
      bug->LogFilePath(path);
      bug->LogOnFile(true);
      bug->Raise(u"frmOrders", u"cmdSave_Click", number, u"Division by zero", 120);
    }
  };
  std::thread first(raise, u"first.txt", 11, 50);
  std::thread second(raise, u"second.txt", 12, 50);
  first.join();
  second.join();
  const std::string both[] = {fake.files->Bytes(u"first.txt"), fake.files->Bytes(u"second.txt")};
  fake.files->files.clear();
  raise(u"first.txt", 11, 1);
  raise(u"second.txt", 12, 1);
  std::string expected[2];
  for (int i = 0; i < 50; ++i) {
    expected[0] += fake.files->Bytes(u"first.txt");
    expected[1] += fake.files->Bytes(u"second.txt");
  }
  EXPECT_TRUE(both[0] == expected[0] && both[1] == expected[1]);
}

}  // namespace
}  // namespace cobaltmoth
