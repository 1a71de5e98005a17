// Faults a host, a broken environment or a full disk can bring: what can stand at a log's path,
// a host without standard streams or with one nobody reads, and processes killed while they
// write. Every case runs where a fault cannot hang or kill the test: children with alarms.
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "child_process.hpp"
#include "fakes.hpp"

namespace cobaltmoth {
namespace {

using testing::ExitCode;
using testing::ReadFile;
using testing::RunDetached;
using testing::TempDir;
using testing::WriteString;

// The error number of a comment written to the stack log at `path` (0: written).
int CommentTo(const std::string& path) {
  ProcStac tracer;
  tracer.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
  tracer.LogFilePath(path);
  try {
    tracer.PrintComment("note");
  } catch (const Error& e) {
    return e.Number();
  }
  return 0;
}

TEST(FaultyLogPath, OnlyRegularFilesAndDevicesAreLogsAndNothingWaits) {
  TempDir dir;
  ::mkfifo((dir / "fifo").c_str(), 0600);
  ::symlink((dir / "target").c_str(), (dir / "link").c_str());
  ::mkdir((dir / "folder").c_str(), 0700);
  ::symlink((dir / "folder").c_str(), (dir / "folder link").c_str());
  const int listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = dir / "socket";
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  // A FIFO with a reader present would take the log without a word: it is refused too.
  const int reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  const std::pair<std::string, int> cases[] = {
      {dir / "fifo", 75},   {dir / "socket", 75}, {dir / "folder", 75},
      {dir / "link", 75},   {"/dev/null", 0},     {dir / "folder link/log.txt", 0},
      {dir / "new.txt", 0},
  };
  const testing::DetachedRun run = RunDetached([&cases](int report) {
    for (const auto& [path, number] : cases) {
      WriteString(report, path + " " + std::to_string(CommentTo(path)) + "\n");
    }
    return 0;
  });
  ::close(reader);
  ::close(listening);
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

// Kills children that write to `path` with `write` at random moments up to `most_us` into
// their run (ten times that in a sanitized build, whose children start and write that much
// slower), `kills` times or for `seconds`, whichever comes first.
void KillWhileWriting(const std::string& path, int kills, int seconds, int most_us,
                      const std::function<void(const std::string&, int)>& write) {
#ifdef __SANITIZE_ADDRESS__
  most_us *= 10;
#endif
  std::mt19937 random(20261206);
  platform::DefaultPlatform();  // made once here, not in each child
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (int i = 0; i < kills && std::chrono::steady_clock::now() < end; ++i) {
    int started[2];
    ASSERT_EQ(::pipe(started), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      ::alarm(5);
      ::close(started[0]);
      ::close(started[1]);  // the child runs: the moment is measured from here
      write(path, i);
      ::_exit(0);
    }
    ::close(started[1]);
    char none;
    static_cast<void>(::read(started[0], &none, 1));  // end of file: the child has begun
    ::close(started[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % most_us));
    ::kill(child, SIGKILL);
    testing::WaitChild(child, 5000);
  }
}

// A stack log's line glued onto a cut one holds a second line's start: a "|" that does not
// begin the line, or a rule's "*" after other text.
bool MergedTraceLine(const std::string& line) {
  if (line.find('|', 1) != std::string::npos) return true;
  const std::size_t text = line.find_first_not_of('*');
  return text != std::string::npos && text > 1 && line.find('*', text) != std::string::npos;
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

TEST(KilledWhileWriting, TracedLinesAndReportsAreNeverGluedTogether) {
  TempDir dir;
  // Each mode on its own log; the mapped one is left with a killed writer's zeros at its end
  // after each kill, which the next writer cuts before its section.
  for (const StackLogMode mode : {StackLogMode::kWriteThrough, StackLogMode::kMapped}) {
    const auto trace = [mode](const std::string& path, int run) {
      ProcStac tracer;
      tracer.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
      tracer.LogFilePath(path);
      tracer.LogMode(mode);
      for (int line = 0;; ++line) {
        tracer.PrintComment("L" + std::to_string(run) + " " + std::string(line % 5000, 'x'));
      }
    };
    KillWhileWriting(dir / (mode == StackLogMode::kMapped ? "mapped.txt" : "stack.txt"), 2000,
                     mode == StackLogMode::kMapped ? 6 : 8, 3000, trace);
  }
  EXPECT_EQ(CommentTo(dir / "mapped.txt"), 0);  // cuts the last writer's zeros
  const std::string mapped = ReadFile(dir / "mapped.txt");
  EXPECT_GT(mapped.size(), 100000u);
  EXPECT_EQ(mapped.find('\0'), std::string::npos);
  EXPECT_EQ(FirstMerged(mapped, MergedTraceLine), "");
  KillWhileWriting(dir / "bug.txt", 500, 6, 20000, [](const std::string& path, int run) {
    ProcBug bug;
    bug.Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
    bug.LogFilePath(path);
    bug.LogOnFile(true);
    bug.Raise("m", "p", run, std::string(1 << 16, 'x'), 1);
  });
  const std::string stack = ReadFile(dir / "stack.txt");
  const std::string bug = ReadFile(dir / "bug.txt");
  EXPECT_GT(stack.size(), 100000u);
  EXPECT_GT(bug.size(), 100000u);
  EXPECT_EQ(FirstMerged(stack, MergedTraceLine), "");
  EXPECT_EQ(FirstMerged(bug, MergedReportLine), "");
}

}  // namespace
}  // namespace cobaltmoth
