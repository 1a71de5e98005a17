// Faults a host, a broken environment or a full disk can bring: what can stand at a log's path,
// a host without standard streams or with one nobody reads, and processes killed while they
// write. Every case runs where a fault cannot hang or kill the test: children with alarms.
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.hpp"
#include "fakes.hpp"
#include "platform/posix/ring_log.hpp"

namespace cobaltmoth {
namespace {

using testing::CommentTo;
using testing::ExitCode;
using testing::ReadFile;
using testing::RunDetached;
using testing::TempDir;
using testing::WriteString;

TEST(FaultyLogPath, OnlyRegularFilesAndDevicesAreLogsAFullDiskIs61AndNothingWaits) {
  TempDir dir;
  ::mkfifo((dir / "fifo").c_str(), 0600);
  ::symlink((dir / "target").c_str(), (dir / "link").c_str());
  ::mkdir((dir / "folder").c_str(), 0700);
  ::symlink((dir / "folder").c_str(), (dir / "folder link").c_str());
  ASSERT_EQ(::mknod((dir / "socket").c_str(), S_IFSOCK | 0600, 0), 0);
  // A FIFO with a reader present would take the log without a word: it is refused too.
  const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  const std::pair<std::string, int> cases[] = {
      {dir / "fifo", 75}, {dir / "socket", 75}, {dir / "folder", 75}, {dir / "link", 75},
      {"/dev/null", 0},   {"/dev/full", 61},    {dir / "folder link/log.txt", 0},
      {dir / "new.txt", 0}};
  const testing::DetachedRun run = RunDetached([&cases](int report) {
    for (const auto& [path, number] : cases) {
      WriteString(report, path + " " + std::to_string(CommentTo(path)) + "\n");
    }
    return 0;
  });
  ::close(reader);
  std::string expected;
  for (const auto& [path, number] : cases) expected += path + " " + std::to_string(number) + "\n";
  EXPECT_EQ(ExitCode(run.status), 0);
  EXPECT_EQ(run.report, expected);
  EXPECT_FALSE(std::filesystem::exists(dir / "target")) << "the link was followed";
  // A new log is its owner's alone; an existing one keeps its mode.
  struct stat info {};
  ASSERT_EQ(::stat((dir / "new.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  testing::WriteFile(dir / "old.txt", "x\r\n");
  ::chmod((dir / "old.txt").c_str(), 0644);
  EXPECT_EQ(CommentTo(dir / "old.txt"), 0);
  ASSERT_EQ(::stat((dir / "old.txt").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

TEST(FaultyLogPath, ALogEndingInsideALineIsEndedBeforeTheNextSection) {
  TempDir dir;
  testing::WriteFile(dir / "log.txt", "| ### cut sho");
  EXPECT_EQ(CommentTo(dir / "log.txt"), 0);
  const std::string log = ReadFile(dir / "log.txt");
  EXPECT_EQ(log.substr(0, 15 + 80), "| ### cut sho\r\n" + std::string(80, '*')) << log;
}

// The host's standard error, made as the test wants it, for a Raise that shows its texts
// there (COBALTMOTH_UI=none); the child reports its own end.
int RaiseWithStandardError(int report, const std::function<void()>& set_up) {
  set_up();
  ::setenv("COBALTMOTH_UI", "none", 1);
  ProcBug bug;
  bug.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
  bug.LogOnMsgBox(true);
  bug.LogOnReport(true);
  const auto start = std::chrono::steady_clock::now();
  bug.Raise("frmOrders", "cmdSave_Click", 11, std::string(200000, 'x'), 120);
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  WriteString(report, seconds < 8 ? "returned" : "returned late");
  return 0;
}

TEST(FaultyStandardError, AReaderThatHasGoneOrNeverReadsCostsAShortWaitAndNoSignal) {
  const std::function<void()> set_ups[] = {
      [] {  // a pipe whose reader has gone: writing raises SIGPIPE unless it is held off
        int ends[2];
        if (::pipe(ends) != 0) ::_exit(9);
        ::dup2(ends[1], STDERR_FILENO);
        ::close(ends[0]);
      },
      [] {  // a small pipe, already full, that nobody drains
        int ends[2];
        if (::pipe(ends) != 0) ::_exit(9);
        ::fcntl(ends[1], F_SETPIPE_SZ, 4096);
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        while (::write(ends[1], "full", 4) > 0) {
        }
        ::fcntl(ends[1], F_SETFL, 0);
        ::dup2(ends[1], STDERR_FILENO);
      },
      [] { ::close(STDERR_FILENO); },
  };
  for (const auto& set_up : set_ups) {
    const testing::DetachedRun run =
        RunDetached([&set_up](int report) { return RaiseWithStandardError(report, set_up); }, 20,
                    20000);
    EXPECT_EQ(ExitCode(run.status), 0) << "the host died";
    EXPECT_EQ(run.report, "returned");
  }
}

TEST(FaultyStandardError, AClosedStandardErrorIsNeverALogsDescriptor) {
  TempDir dir;
  const std::string log = dir / "Payroll_stacklog.txt";
  const testing::DetachedRun run = RunDetached([&dir](int) {
    ::close(STDERR_FILENO);
    ::setenv("COBALTMOTH_UI", "none", 1);
    auto tracer = std::make_shared<ProcStac>();
    tracer->Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
    tracer->PrintComment("open");
    ProcBug bug;
    bug.Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
    bug.LogOnMsgBox(true);
    bug.ProcStack(tracer);
    bug.Raise("frmOrders", "cmdSave_Click", 11, "Division by zero", 120);
    return ::fcntl(STDERR_FILENO, F_GETFD) == -1 ? 0 : 3;
  });
  EXPECT_EQ(ExitCode(run.status), 0) << "a library file took descriptor 2";
  EXPECT_EQ(ReadFile(log).find("Division by zero"), std::string::npos) << ReadFile(log);
}

// --- Processes killed while they write: every line is whole or visibly cut. ------------------

// Kills children that write to `path` with `write` at random moments up to `most_us` after
// they have set up (`write` tells so on its descriptor), `kills` times or for `seconds`,
// whichever comes first.
void KillWhileWriting(const std::string& path, int kills, int seconds, int most_us,
                      const std::function<void(const std::string&, int, int)>& write) {
  std::mt19937 random(20261206);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (int i = 0; i < kills && std::chrono::steady_clock::now() < end; ++i) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(10);
      write(path, i, ready[1]);
      ::_exit(0);
    }
    ::close(ready[1]);
    testing::ReadToEnd(ready[0], 5000);  // the child closes its end, or dies
    ::close(ready[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % most_us));
    ::kill(child, SIGKILL);
    testing::WaitChild(child, 5000);
  }
}

constexpr int kKills = 2000;
// The kills land within this many microseconds of a writer's start: past its log's open, under
// the sanitizer too, whose slow writer seldom meets its drain mid-write.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kKillWithinUs = 60000;
constexpr bool kDrainsAreCut = false;
#else
constexpr int kKillWithinUs = 3000;
constexpr bool kDrainsAreCut = true;
#endif

// Checks a kill loop's stack log against what its writers were told: the comments of run r,
// in one section, carry 0, 1, 2... x's; each of the returned[r] calls that returned has its
// line there whole and in order, and only the line of the call the kill stopped may follow,
// whole or cut. The first line that breaks this, or the first run with a line lost; "" if none.
std::string FirstLostOrBrokenLine(const std::string& log, const int* returned) {
  std::vector<int> whole(kKills, 0);
  int run = -1, count = 0;
  bool cut = false;
  std::size_t start = 0;
  for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    if (line.starts_with("*")) run = -1;  // a header: the next writer's section
    if (!line.starts_with("|") || line == "| ### note ###") continue;
    if (run < 0) {
      run = std::atoi(line.c_str() + std::min<std::size_t>(7, line.size()));
      count = 0, cut = false;
    }
    const std::string expected =
        "| ### L" + std::to_string(run) + " " + std::string(count % 5000, 'x') + " ###";
    if (cut || run >= kKills || !(expected + "\r").starts_with(line)) return line.substr(0, 120);
    if (line == expected) {
      whole[run] = ++count;
    } else {
      cut = true;
    }
  }
  for (int r = 0; r < kKills; ++r) {
    if (whole[r] < returned[r] || whole[r] > returned[r] + 1) {
      return "run " + std::to_string(r) + ": " + std::to_string(whole[r]) + " whole lines, " +
             std::to_string(returned[r]) + " calls returned";
    }
  }
  return "";
}

// A bug log's section starts with a rule of dashes: glued onto a cut line, it follows text.
bool MergedReportLine(const std::string& line) {
  const std::size_t rule = line.find("----------");
  return rule != std::string::npos && line.find_first_not_of('-') != std::string::npos;
}

std::string FirstMerged(const std::string& log, bool (*merged)(const std::string&)) {
  std::size_t start = 0;
  for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = log.substr(start, end - start);
    if (merged(line)) return line.substr(0, 120);
  }
  return "";
}

TEST(KilledWhileWriting, EveryReturnedCallsLineIsWholeInEitherModeAndReportsAreNeverGlued) {
  TempDir dir;
  // Each stack log mode on its own log; each writer counts the calls that returned to it,
  // returned[kKills] the writers that found the log ending inside a line (a drain killed
  // mid-write), returned[kKills + 1] those that found a ring grown past its size.
  constexpr std::size_t kShared = (kKills + 2) * sizeof(int);
  const auto ring_size = static_cast<off_t>(::sysconf(_SC_PAGESIZE) + platform::posix::kRingBytes);
  auto* returned = static_cast<int*>(
      ::mmap(nullptr, kShared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  for (const StackLogMode mode : {StackLogMode::kWriteThrough, StackLogMode::kMapped}) {
    std::fill_n(returned, kKills + 2, 0);
    const std::string log_path = dir / (mode == StackLogMode::kMapped ? "mapped.txt" : "stack.txt");
    KillWhileWriting(log_path, kKills, 5, kKillWithinUs, [&](const std::string& path, int run,
                                                            int ready) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      char end[2] = {'\r', '\n'};
      if (::pread(fd, end, 2, ::lseek(fd, 0, SEEK_END) - 2) == 2 && end[1] != '\n') {
        std::atomic_ref<int>(returned[kKills]).fetch_add(1);
      }
      ::close(fd);
      struct stat ring {};
      if (::stat((path + ".ring").c_str(), &ring) == 0 && ring.st_size > ring_size) {
        std::atomic_ref<int>(returned[kKills + 1]).fetch_add(1);
      }
      ProcStac tracer;
      tracer.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
      tracer.LogFilePath(path);
      tracer.LogMode(mode);
      ::close(ready);
      for (int line = 0;; ++line) {
        tracer.PrintComment("L" + std::to_string(run) + " " + std::string(line % 5000, 'x'));
        std::atomic_ref<int>(returned[run]).store(line + 1);
      }
    });
    EXPECT_GT(ReadFile(log_path).size(), 10000u);
    if (mode == StackLogMode::kMapped && kDrainsAreCut) {
      EXPECT_GT(returned[kKills], 0) << "no drain was cut";
    }
    EXPECT_EQ(returned[kKills + 1], 0) << "a ring grew";
    EXPECT_EQ(CommentTo(log_path), 0);  // empties the last writer's ring, if it left one
    EXPECT_FALSE(std::filesystem::exists(log_path + ".ring"));
    EXPECT_EQ(ReadFile(log_path).find('\0'), std::string::npos);
    EXPECT_EQ(FirstLostOrBrokenLine(ReadFile(log_path), returned), "");
  }
  ::munmap(returned, kShared);
  KillWhileWriting(dir / "bug.txt", 500, 6, 20000, [](const std::string& path, int run,
                                                      int ready) {
    const std::string description(1 << 13, 'x');
    ProcBug bug;  // set up before the clock starts: opening the settings is slow under ASan
    bug.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
    bug.LogFilePath(path);
    bug.LogOnFile(true);
    ::close(ready);
    for (;; ++run) bug.Raise("m", "p", run, description, 1);
  });
  const std::string bug = ReadFile(dir / "bug.txt");
  EXPECT_GT(bug.size(), 10000u);
  EXPECT_EQ(FirstMerged(bug, MergedReportLine), "");
}

// --- Crashes: a host per kind of crash (tests/crash_host.cpp), run as a child. --------------

struct CrashRun {
  int status = -1;
  std::int64_t ms = 0;  // from the start to the end of the host
  std::string log;     // the bug log afterwards
  std::string errors;  // the host's standard error: the windows, with COBALTMOTH_UI=none
};

// Runs the crash host in `mode` with its logs in `folder`, `environment` added to ours, and
// kills it `kill_after_us` microseconds after it says it is crashing, when that is not negative.
CrashRun RunCrashHost(const std::string& mode, const std::string& folder,
                      std::vector<std::string> environment = {}, int kill_after_us = -1) {
  CrashRun run;
  int errors[2];
  if (::pipe2(errors, O_CLOEXEC) != 0) return run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(errors[1], STDERR_FILENO);
    ::setenv("COBALTMOTH_UI", "none", 1);
    for (std::string& entry : environment) ::putenv(entry.data());
    ::alarm(20);
    ::execl(COBALTMOTH_TEST_CRASH_HOST, "crash_host", mode.c_str(), folder.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(errors[1]);
  if (kill_after_us >= 0) {
    for (struct pollfd p {errors[0], POLLIN, 0};
         run.errors.find("crashing\n") == std::string::npos && ::poll(&p, 1, 20000) > 0;) {
      char byte;
      if (::read(errors[0], &byte, 1) != 1) break;
      run.errors += byte;
    }
    ::usleep(static_cast<useconds_t>(kill_after_us));
    ::kill(pid, SIGKILL);
  }
  run.errors += testing::ReadToEnd(errors[0], 20000);
  ::close(errors[0]);
  run.status = testing::WaitChild(pid, 20000);
  run.ms = std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start).count();
  run.log = ReadFile(folder + "/Payroll_buglog.txt");
  return run;
}

int Count(const std::string& text, const std::string& part) {
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

std::string Between(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t start = text.find(from);
  if (start == std::string::npos) return "";
  return text.substr(start, text.find(to, start) - start);
}

bool DiedOf(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

// The sanitizer keeps SIGSEGV to itself: these run in the normal build.
#if defined(__SANITIZE_ADDRESS__)
#define SKIP_UNDER_SANITIZER() GTEST_SKIP() << "the sanitizer takes SIGSEGV"
#else
#define SKIP_UNDER_SANITIZER() (void)0
#endif

TEST(Crashes, EachKindIsReportedOnceThenEndsTheHostAsItWouldHave) {
  struct Kind {
    const char* mode;
    int signal;
    const char* description;
    const char* frame;  // the crashing function, named with its file in the native stack
  };
  const Kind kinds[] = {
      {"segv", SIGSEGV, "SIGSEGV: invalid memory reference at address 0x0\r\n",
       "WriteThroughNull(int*) at "},
      {"overflow", SIGSEGV, "SIGSEGV: stack overflow at address 0x", "Recurse(int) at "},
      {"fpe", SIGFPE, "SIGFPE: division by zero at address 0x", "Divide(int) at "},
      {"abort", SIGABRT, "SIGABRT: aborted\r\n", " main at "},
      {"terminate", SIGABRT, "uncaught exception std::runtime_error: disk on fire\r\n",
       " main at "},
  };
  for (const Kind& kind : kinds) {
#if defined(__SANITIZE_ADDRESS__)
    if (kind.signal != SIGABRT) continue;  // the sanitizer's own handler takes the faults
#endif
    SCOPED_TRACE(kind.mode);
    TempDir dir;
    const CrashRun run = RunCrashHost(kind.mode, dir.path());
    EXPECT_TRUE(DiedOf(run.status, kind.signal)) << run.status;
    EXPECT_EQ(Count(run.log, "* Start Log Error for Payroll.EXE"), 1);
    EXPECT_EQ(Count(run.log, "* End Log Error Stack for Payroll.EXE"), 1);
    for (const std::string& part : std::vector<std::string>{
             "* MODDB       * SAVEORDER * 120  *", "Stack Element 003 of 003 modDb ",
          "VB Error number:      " + std::to_string(kind.signal)}) {
      EXPECT_EQ(Count(run.log, part), 1) << part;
    }
    EXPECT_NE(run.log.find(std::string("VB Error description: ") + kind.description),
              std::string::npos);
    EXPECT_NE(Between(run.log, "Native Stack:", "Other Threads:").find(kind.frame),
              std::string::npos) << Between(run.log, "Native Stack:", "Other Threads:");
    EXPECT_NE(Between(run.log, "Other Threads:\r\n--------------\r\nThread ", "Active Log")
                  .find("Stack Element 002 of 002 modWorker            - Wait"),
              std::string::npos);
  }
}

TEST(Crashes, ARaisedErrorsNativeStackNamesTheHostsOwnFrames) {
  TempDir dir;
  const CrashRun run = RunCrashHost("raise", dir.path(), {"NATIVE_STACK=1"});
  EXPECT_EQ(run.status, 0);
  const std::string native = Between(run.log, "Native Stack:", "Active Log Files:");
  EXPECT_NE(native.find(" main at "), std::string::npos) << run.log;
  // Below the frames, each module once by its whole path: the host's own among them.
  const std::string host = std::filesystem::canonical(COBALTMOTH_TEST_CRASH_HOST).string();
  const std::string modules = "\r\n" + Between(native, "\r\nModules:\r\n", "\r\n\r\n") + "\r\n";
  EXPECT_EQ(Count(modules, "\r\n" + host + "\r\n"), 1) << native;
}

TEST(Crashes, TheMappedStackLogTheReportNamesHoldsEveryLineOfItsRing) {
  TempDir dir;
  const CrashRun run = RunCrashHost(
      "abort", dir.path(),
      {"STACK_LOG=1", "COBALTMOTH_LOG_MODE=mapped", "COBALTMOTH_CRASH_PROGRAM=/nonexistent"});
  EXPECT_TRUE(DiedOf(run.status, SIGABRT)) << run.status;
  EXPECT_NE(run.log.find(dir / "Payroll_stacklog.txt"), std::string::npos);
  const std::string stack = ReadFile(dir / "Payroll_stacklog.txt");
  EXPECT_TRUE(stack.ends_with("o\xBB\xBB\xBB Enter frmMain::Form_Load\r\n|  o\xBB\xBB\xBB Enter "
                              "frmOrders::cmdSave_Click\r\n|  |  o\xBB\xBB\xBB Enter "
                              "modDb::SaveOrder\r\n"))
      << stack;
}

TEST(Crashes, TheReportIsARaisedErrorsWithTheStacksAddedAndItsWindowsAreShownOutside) {
  SKIP_UNDER_SANITIZER();
  TempDir dir;
  const std::vector<std::string> windows = {"SHOW_WINDOWS=1"};
  const std::string raised = RunCrashHost("raise", dir.path(), windows).log;
  ::unlink((dir / "Payroll_buglog.txt").c_str());
  CrashRun crashed = RunCrashHost("segv", dir.path(), windows);
  const std::string stacks = Between(crashed.log, "Native Stack:", "Active Log Files:");
  ASSERT_FALSE(stacks.empty());
  crashed.log.erase(crashed.log.find(stacks), stacks.size());
  const auto without_time = [](std::string log) {
    const std::size_t at = log.find(" begin at ");
    return log.erase(at, log.find("\r\n", at) - at);
  };
  EXPECT_EQ(without_time(crashed.log), without_time(raised));
  EXPECT_NE(crashed.errors.find("Error in module modDb in the procedure SaveOrder at line 120"),
            std::string::npos) << crashed.errors;
  EXPECT_NE(crashed.errors.find("Description=SIGSEGV: invalid memory reference at address 0x0"),
            std::string::npos);
  const std::size_t frame = stacks.find("#00 ");
  EXPECT_NE(crashed.errors.find(stacks.substr(frame, stacks.find('\r', frame) - frame)),
            std::string::npos);
}

TEST(Crashes, TheDateIsWrittenInTheCharactersOfTheUsersTimeLocale) {
  // A Korean date ("2026년 12월 07일 00시 15분 17초") under a user whose LC_CTYPE is "C": the
  // crash's banner decodes it as the Raise's does, and the log writes the Hangul as "?".
  TempDir dir, locales;
  const std::string folder = testing::LocaleFolder(locales, "ko_KR.UTF-8", "ko_KR", "UTF-8");
  std::vector<std::string> korean = {"LC_ALL=", "LANG=C", "LC_TIME=ko_KR.UTF-8"};
  if (!folder.empty()) korean.push_back("LOCPATH=" + folder);
  const std::regex date(R"(\d{4}\? \d\d\? \d\d\? \d\d\? \d\d\? \d\d\?)");
  for (const char* mode : {"raise", "abort"}) {
    const std::string log = RunCrashHost(mode, dir.path(), korean).log;
    const std::string banner = Between(log, " begin at ", "\r\n");
    EXPECT_TRUE(std::regex_match(banner.substr(std::min<std::size_t>(banner.size(), 10)), date))
        << mode << ": " << banner;
    ::unlink((dir / "Payroll_buglog.txt").c_str());
  }
}

TEST(Crashes, KilledWhileReportingItLeavesEveryEarlierLineWhole) {
  SKIP_UNDER_SANITIZER();
  TempDir dir;
  const std::string earlier = RunCrashHost("raise", dir.path()).log;
  std::mt19937 random(20261206);
  for (int i = 0; i < 12; ++i) RunCrashHost("segv", dir.path(), {}, random() % 150000);
  const std::string log = ReadFile(dir / "Payroll_buglog.txt");
  EXPECT_EQ(log.substr(0, earlier.size()), earlier);
  const int started = Count(log, "* Start Log Error for Payroll.EXE");
  EXPECT_GT(started, 1);
  EXPECT_LT(Count(log, "* End Log Error Stack for Payroll.EXE"), started);  // some were cut
  EXPECT_EQ(FirstMerged(log, MergedReportLine), "");
}

// Hosts that go their own ways (tests/crash_host.cpp): each gets its whole report, as often as
// it crashed, and ends as the crash has it, within 10 s.
TEST(Crashes, HostsThatGoTheirOwnWaysGetWholeReportsAndEndByTheCrashWithinTenSeconds) {
  SKIP_UNDER_SANITIZER();
  TempDir tools;
  testing::WriteFile(tools / "slow-ui", "#!/bin/sh\nexec sleep 3\n");
  testing::WriteFile(tools / "no-interpreter", "#!/nonexistent/sh\n");
  ::chmod((tools / "slow-ui").c_str(), 0700);
  ::chmod((tools / "no-interpreter").c_str(), 0700);
  struct Host {
    const char* mode;
    std::vector<std::string> environment;
    int status;  // the signal it dies of, or 100 + the signal its forked child died of
    std::vector<std::string> in_log;     // each in the log
    std::vector<std::string> in_errors;  // each on its standard error
    int reports = 1;                     // whole reports, -1 for any
  };
  const std::string slow_windows = "COBALTMOTH_UI_PROGRAM=" + (tools / "slow-ui");
  const Host hosts[] = {
      {"churn", {}, SIGSEGV, {"\r\nActive Log Files:\r\n"}, {}},
      {"exit-during-windows", {"COBALTMOTH_UI=gui", "DISPLAY=:99", slow_windows}, SIGSEGV,
       {"* MODWORKER   * WAIT      * 0    *"}, {}},
      {"during-raise", {"COBALTMOTH_UI=gui", "DISPLAY=:99", slow_windows}, SIGSEGV,
       {"* MODWORKER   * WAIT      * 0    *"}, {}},
      {"borrowed", {}, SIGSEGV,
       {"* MODWORKER   * OVERFLOW  * 0    *", "SIGSEGV: stack overflow at address 0x7"}, {}},
      {"fork", {}, 100 + SIGSEGV,
       {"* MODDB       * SAVEORDER * 120  *", "Other Threads:\r\n--------------\r\n\r\n"}, {}},
      {"recover", {}, SIGABRT, {"SIGSEGV: invalid", "SIGABRT: aborted"}, {"recovered\n"}, 2},
      {"small-altstack", {}, SIGSEGV, {"SIGSEGV: stack overflow at address 0x7"}, {}},
      {"second-handler", {"COBALTMOTH_CATCH_CRASHES=1"}, SIGSEGV, {"* MODDB       * SAVEORDER"}, {}},
      {"huge-env", {"SHOW_WINDOWS=1"}, SIGSEGV, {"WriteThroughNull(int*) at "},
       {"Error in module modDb in the procedure SaveOrder at line 120"}},
      {"segv", {"COBALTMOTH_CRASH_PROGRAM=" + (tools / "no-interpreter")}, SIGSEGV,
       {"Frames not named: " + (tools / "no-interpreter") + " could not be started (ENOENT)"},
       {}},
      {"deep", {}, SIGSEGV, {"Stack Element 20003 of 20003 modDeep "}, {}},
      {"no-stdin", {}, SIGSEGV, {"* MODDB       * SAVEORDER * 120  *"}, {}},
      {"fsize", {}, SIGSEGV, {}, {"raised 61\nSIGXFSZ blocked 0 pending 0\n"}, -1},
  };
  for (const Host& host : hosts) {
    SCOPED_TRACE(host.mode);
    TempDir dir;
    const CrashRun run = RunCrashHost(host.mode, dir.path(), host.environment);
    EXPECT_TRUE(host.status > 100 ? ExitCode(run.status) == host.status
                                  : DiedOf(run.status, host.status)) << run.status;
    EXPECT_LT(run.ms, 10000);
    EXPECT_EQ(run.log.find('\0'), std::string::npos);
    const std::size_t crashed = run.errors.find("crashing\n");  // the others are stopped then
    EXPECT_LE(Count(run.errors.substr(std::min(crashed, run.errors.size())), "tick"), 1);
    if (host.reports >= 0) {
      EXPECT_EQ(Count(run.log, "* Start Log Error for Payroll.EXE"), host.reports) << run.log;
      EXPECT_EQ(Count(run.log, "* End Log Error Stack for Payroll.EXE ver. 1.2.30\r\n"),
                host.reports);
    }
    for (const std::string& part : host.in_log) EXPECT_EQ(Count(run.log, part), 1) << part;
    for (const std::string& part : host.in_errors) {
      EXPECT_NE(run.errors.find(part), std::string::npos) << part << " in " << run.errors;
    }
    if (host.reports < 0) {
      EXPECT_EQ(run.log.size(), 3000u);  // the file size limit
    }
  }
}

// A mapped stack log's lock is its writer's: a child it forked keeps no lock once the writer
// has crashed, and the next writer maps the log.
TEST(Crashes, AMappedLogsLockDoesNotOutliveItsWriterInAForkedChild) {
  TempDir dir;
  const CrashRun run = RunCrashHost("fork-mapped", dir.path(), {"COBALTMOTH_LOG_MODE=mapped"});
  EXPECT_TRUE(DiedOf(run.status, SIGABRT)) << run.status;
  const std::size_t at = run.errors.find("holder ");
  ASSERT_NE(at, std::string::npos) << run.errors;
  const pid_t holder = std::stoi(run.errors.substr(at + 7));
  EXPECT_EQ(::kill(holder, 0), 0);  // still there
  ProcStac next;
  next.LogMode(StackLogMode::kMapped);
  next.Init("Payroll", 1, 2, 30, dir.path().string(), ExeStandard);
  next.LogOnFile(true);
  EXPECT_NO_THROW(next.EnterProc("modNext", "Run"));
  ::kill(holder, SIGKILL);
}

TEST(Crashes, LettingGoPutsBackWhatTheHostHad) {
  const auto run = RunDetached([](int) {
    struct sigaction own {};
    own.sa_handler = [](int) {};
    ::sigaction(SIGSEGV, &own, nullptr);
    const auto handler = [] {
      struct sigaction now {};
      ::sigaction(SIGSEGV, nullptr, &now);
      return now.sa_handler;
    };
    const std::terminate_handler terminate = std::get_terminate();
    ProcBug first, second;
    first.CatchCrashes(true);
    second.CatchCrashes(true);
    if (handler() == own.sa_handler || std::get_terminate() == terminate) return 1;
    first.CatchCrashes(false);  // not the armed one: nothing changes
    if (handler() == own.sa_handler) return 2;
    second.Terminate();
    return handler() == own.sa_handler && std::get_terminate() == terminate ? 0 : 3;
  });
  EXPECT_EQ(ExitCode(run.status), 0) << run.errors;
}

}  // namespace
}  // namespace cobaltmoth
