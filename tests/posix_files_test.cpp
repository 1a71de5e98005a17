// The POSIX backend on real files: bytes on disk, failures of the file system, a process
// killed while tracing, the locale's clock.
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/proc_stac.hpp>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "child_process.hpp"
#include "fakes.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::U8;

const std::string kRule(80, '*');

// The path of `name` in `dir`, as the host gives it.
std::u16string In(const testing::TempDir& dir, const std::string& name) {
  return text::FromUtf8(dir / name);
}

std::string ReadBytes(const std::u16string& path) {
  std::ifstream in(U8(path), std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Replaces the date and time of every start banner with "DATE", checking its shape.
std::string WithoutDates(std::string log) {
  static const std::regex banner(" begin at [^\r\n]+\r\n");
  return std::regex_replace(log, banner, " begin at DATE\r\n");
}

std::string Header(const std::string& title) {
  return kRule + "\r\n* Start Log Procedure Stack for " + title + " begin at DATE\r\n" + kRule +
         "\r\n\r\n";
}

TEST(PosixTextFile, AppendsWindows1252WithCrLfAndNeverTruncates) {
  TempDir dir;
  const std::u16string path = In(dir, "log.txt");
  std::ofstream(U8(path), std::ios::binary) << "earlier\r\n";
  const auto files = platform::MakePosixFileSystem();
  {
    auto stream = files->OpenTextFileForAppending(path);
    stream->WriteLine(u"o\u00BB\u00BB\u00BB \u20AC\u65E5");
    stream->Write(u"a");
    stream->WriteBlankLines(2);
    stream->Close();
    EXPECT_RUNTIME_ERROR(stream->WriteLine(u"closed"), 52, "Bad file name or number");
  }
  files->OpenTextFileForAppending(path)->WriteLine(u"again");
  EXPECT_EQ(ReadBytes(path), "earlier\r\no\xBB\xBB\xBB \x80?\r\na\r\n\r\nagain\r\n");
}

TEST(PosixTextFile, FailuresBecomeTheHostsRunTimeErrors) {
  TempDir dir;
  const auto files = platform::MakePosixFileSystem();
  EXPECT_RUNTIME_ERROR(files->OpenTextFileForAppending(In(dir, "missing/log.txt")), 76,
                       "Path not found");
  std::ofstream(U8(In(dir, "plain")), std::ios::binary) << "x";
  EXPECT_RUNTIME_ERROR(files->OpenTextFileForAppending(In(dir, "plain/log.txt")), 76,
                       "Path not found");
  EXPECT_RUNTIME_ERROR(files->OpenTextFileForAppending(dir.path().u16string()), 75,
                       "Path/File access error");
  EXPECT_RUNTIME_ERROR(files->OpenTextFileForAppending(u""), 52, "Bad file name or number");
  EXPECT_RUNTIME_ERROR(files->OpenTextFileForAppending(std::u16string(u"a\0b", 3)), 52,
                       "Bad file name or number");
  auto full = files->OpenTextFileForAppending(u"/dev/full");
  EXPECT_RUNTIME_ERROR(full->WriteLine(u"x"), 61, "Disk full");
}

TEST(PosixTextFile, AFolderThatCannotBeWrittenIsPermissionDenied) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  // Root writes anywhere, so the check runs in a child that has given up root.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    try {
      platform::MakePosixFileSystem()->OpenTextFileForAppending(In(dir, "log.txt"));
    } catch (const Error& e) {
      ::_exit(e.Number() == 70 && U8(e.Description()) == "Permission denied" ? 0 : 3);
    }
    ::_exit(4);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PosixTracer, WritesTheLogOnDiskByteForByte) {
  TempDir dir;
  {
    auto t = std::make_shared<ProcStac>();
    t->Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
    EXPECT_EQ(t->LogFilePath(), In(dir, "Payroll_stacklog.txt"));
    t->LogOnFile(true);
    ProcScope main(*t, "modMain", "Main");
    t->PrintComment("caf\xC3\xA9 \xE2\x82\xAC");
  }
  EXPECT_EQ(WithoutDates(ReadBytes(In(dir, "Payroll_stacklog.txt"))),
            Header("Payroll.exe ver. 1.2.30") +
                "o\xBB\xBB\xBB Enter modMain::Main\r\n"
                "| ### caf\xE9 \x80 ###\r\n"
                "o\xAB\xAB\xAB Exit  modMain::Main\r\n"
                "\r\n" + kRule + "\r\n* End Log Procedure Stack for Payroll.exe ver. 1.2.30\r\n" +
                kRule + "\r\n\r\n");
}

TEST(PosixTracer, AMissingFolderFailsUntilItExistsThenTheLogStartsWithItsHeader) {
  TempDir dir;
  ProcStac t;
  t.Init("Payroll", 1, 2, 30, (dir.path() / "logs").string(), ExeStandard);
  t.LogOnFile(true);
  EXPECT_RUNTIME_ERROR(t.EnterProc("modMain", "Main"), 76, "Path not found");
  EXPECT_RUNTIME_ERROR(t.PrintComment("still no folder"), 76, "Path not found");
  fs::create_directory(dir.path() / "logs");
  t.EnterProc("frmOrders", "Form_Load");
  EXPECT_EQ(WithoutDates(ReadBytes(t.LogFilePath())),
            Header("Payroll.exe ver. 1.2.30") + "|  o\xBB\xBB\xBB Enter frmOrders::Form_Load\r\n");
}

TEST(PosixTracer, AFullDiskFailsEachLineAndTheNextGoodPathGetsAHeader) {
  TempDir dir;
  ProcStac t;
  t.Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
  t.LogFilePath("/dev/full");
  EXPECT_RUNTIME_ERROR(t.PrintComment("one"), 61, "Disk full");
  EXPECT_RUNTIME_ERROR(t.PrintComment("two"), 61, "Disk full");
  t.LogFilePath(U8(In(dir, "good.txt")));
  t.PrintComment("three");
  EXPECT_EQ(WithoutDates(ReadBytes(In(dir, "good.txt"))),
            Header("Payroll.exe ver. 1.2.30") + "| ### three ###\r\n");
}

TEST(PosixTracer, AProcessKilledWhileTracingLosesNoLine) {
  TempDir dir;
  constexpr int kCalls = 500;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ProcStac t;
    t.Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
    t.LogOnFile(true);
    for (int i = 0; i < kCalls; ++i) t.EnterProc("m", "p" + std::to_string(i));
    const char done = 'x';
    if (::write(ready[1], &done, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char done = 0;
  ASSERT_EQ(::read(ready[0], &done, 1), 1);
  ::close(ready[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  std::string expected = Header("Payroll.exe ver. 1.2.30");
  std::string indent;
  for (int i = 0; i < kCalls; ++i) {
    expected += indent + "o\xBB\xBB\xBB Enter m::p" + std::to_string(i) + "\r\n";
    indent += "|  ";
  }
  EXPECT_EQ(WithoutDates(ReadBytes(In(dir, "Payroll_stacklog.txt"))), expected);
}

TEST(PosixTracer, EntriesCarryTheErrorLineTheHostSet) {
  ProcStac t;
  t.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
  t.EnterProc("frmOrders", "Form_Load");
  SetErl(120);
  t.EnterProc("frmOrders", "cmdSave_Click");
  SetErl(0);
  t.EnterProc("modDb", "SaveOrder");
  const std::string dump = U8(t.Dump());
  EXPECT_NE(dump.find("cmdSave_Click        called @ line 120 by Form_Load\r\n"), std::string::npos);
  EXPECT_NE(dump.find("- SaveOrder           \r\n"), std::string::npos);
}

TEST(PosixClock, WritesTheLocalesShortDateWithTheFullYearAndItsTime) {
  const std::string now = U8(platform::MakeLocaleClock("C")->NowText());
  EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)"))) << now;
  // An unknown locale falls back to the same form.
  const std::string fallback = U8(platform::MakeLocaleClock("xx_NOWHERE")->NowText());
  EXPECT_TRUE(std::regex_match(fallback, std::regex(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)")))
      << fallback;
  // An Italian user reads day, month and year, and the time with its own separator.
  const auto italian = platform::MakeLocaleClock("it_IT.UTF-8");
  const std::string date = U8(italian->NowText());
  if (date == now) GTEST_SKIP() << "the it_IT.UTF-8 locale is not installed";
  const platform::LocalTime t = italian->Now();
  char expected[16];
  std::snprintf(expected, sizeof expected, "%02d/%02d/%04d ", t.day, t.month, t.year);
  EXPECT_EQ(date.substr(0, 11), expected) << date;
  EXPECT_TRUE(std::regex_match(date.substr(11), std::regex(R"(\d\d:\d\d:\d\d)"))) << date;
  EXPECT_EQ(U8(italian->TimeSeparator()), ":");
}

}  // namespace
}  // namespace cobaltmoth
