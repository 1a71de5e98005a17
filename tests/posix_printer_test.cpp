// The POSIX printer with stand-in spooler commands: shell scripts in a private folder that
// record their arguments and standard input, and fail with a message when told to.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

#include "fake_platform.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/shell/postscript.hpp"
#include "platform/ui.hpp"
#include "temp_dir.hpp"

namespace cobaltmoth {
namespace {

using testing::TempDir;

const std::u16string kReport =
    u"Payroll 1.2.30 \u00BB modDb.SaveOrder\r\nError 11: Division by zero (\u00E8)\r\n";

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A stand-in command at dir/name: it writes its arguments, one a line, to name.argv and its
// standard input to name.stdin, then runs `tail` (a message and an exit status).
std::string StandIn(const TempDir& dir, const std::string& name, const std::string& tail = "") {
  const std::string path = dir / name;
  std::ofstream(path) << "#!/bin/sh\n"
                      << "printf '%s\\n' \"$0\" \"$@\" > '" << path << ".argv'\n"
                      << "cat > '" << path << ".stdin'\n"
                      << tail << "\n";
  ::chmod(path.c_str(), 0755);
  return path;
}

// No child of this process is left unreaped.
void ExpectNoZombie() {
  int status = 0;
  EXPECT_LE(::waitpid(-1, &status, WNOHANG), 0);
}

TEST(PosixPrinter, HandsThePostScriptToLpOnItsStandardInput) {
  TempDir dir;
  const std::string lp = StandIn(dir, "lp");
  platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12);
  EXPECT_EQ(Read(lp + ".argv"), lp + "\n-s\n");  // the default destination, quietly
  EXPECT_EQ(Read(lp + ".stdin"), platform::PostScriptDocument(kReport, u"Courier", 12));
  ExpectNoZombie();
}

TEST(PosixPrinter, TheSpoolersMessageReachesTheCaller) {
  TempDir dir;
  const std::string lp =
      StandIn(dir, "lp", "echo '  lp: Error - No default destination.' >&2\nexit 1");
  EXPECT_HOST_ERROR(
      platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12), 482,
      "Cobaltmoth", "lp: Error - No default destination.");
  ExpectNoZombie();
}

TEST(PosixPrinter, AFailureWithoutAMessageIsPrinterError) {
  TempDir dir;
  const std::string lp = StandIn(dir, "lp", "exit 3");
  EXPECT_RUNTIME_ERROR(
      platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12), 482,
      "Printer error");
  const std::string killed = StandIn(dir, "killed", "kill -9 $$");
  EXPECT_RUNTIME_ERROR(
      platform::MakePosixPrinter(killed, dir / "lpr")->PrintDocument(kReport, u"Courier", 12),
      482, "Printer error");
  ExpectNoZombie();
}

TEST(PosixPrinter, ACommandThatStopsReadingFailsWithoutSigpipe) {
  // Many pages, more than a socket buffer holds, to a command that never reads them.
  TempDir dir;
  const std::string lp = dir / "lp";
  std::ofstream(lp) << "#!/bin/sh\necho 'lp: Error - Unsupported document-format' >&2\nexit 1\n";
  ::chmod(lp.c_str(), 0755);
  std::u16string long_text;
  for (int i = 0; i < 40000; ++i) long_text += u"a line of the report that goes on for a while\n";
  EXPECT_HOST_ERROR(
      platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(long_text, u"Courier", 12),
      482, "Cobaltmoth", "lp: Error - Unsupported document-format");
  ExpectNoZombie();
}

TEST(PosixPrinter, WithoutLpItUsesLpr) {
  TempDir dir;
  const std::string lpr = StandIn(dir, "lpr");
  platform::MakePosixPrinter(dir / "lp", lpr)->PrintDocument(kReport, u"Courier", 12);
  EXPECT_EQ(Read(lpr + ".argv"), lpr + "\n");
  EXPECT_EQ(Read(lpr + ".stdin"), platform::PostScriptDocument(kReport, u"Courier", 12));
  ExpectNoZombie();
}

TEST(PosixPrinter, WithNeitherLpNorLprTheErrorSaysSo) {
  TempDir dir;
  EXPECT_RUNTIME_ERROR(
      platform::MakePosixPrinter(dir / "lp", dir / "lpr")->PrintDocument(kReport, u"Courier", 12),
      482,
      "Printer error: cannot start the print spooler's command " + (dir / "lp") + " or " +
          (dir / "lpr") + " (No such file or directory)");
}

TEST(PosixPrinter, TheCommandsAreFoundInPath) {
  TempDir dir;
  StandIn(dir, "cobaltmoth-test-lp");
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path == nullptr ? "" : old_path;
  ::setenv("PATH", (dir.path().string() + ":" + saved).c_str(), 1);
  platform::MakePosixPrinter("cobaltmoth-test-lp", "cobaltmoth-test-lpr")
      ->PrintDocument(u"x", u"Courier", 12);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(Read(dir / "cobaltmoth-test-lp.stdin"),
            platform::PostScriptDocument(u"x", u"Courier", 12));
}

// The host's signal settings: SIGCHLD and SIGINT ignored, SIGUSR1 blocked; restored after.
class HostSignals {
 public:
  HostSignals() {
    old_child_ = ::signal(SIGCHLD, SIG_IGN);
    old_interrupt_ = ::signal(SIGINT, SIG_IGN);
    sigset_t block;
    ::sigemptyset(&block);
    ::sigaddset(&block, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask_);
  }
  ~HostSignals() {
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    ::signal(SIGINT, old_interrupt_);
    ::signal(SIGCHLD, old_child_);
  }
  HostSignals(const HostSignals&) = delete;
  HostSignals& operator=(const HostSignals&) = delete;

 private:
  sighandler_t old_child_;
  sighandler_t old_interrupt_;
  sigset_t old_mask_;
};

TEST(PosixPrinter, WorksWhenTheHostIgnoresSigchldAndGivesTheCommandCleanSignals) {
  TempDir dir;
  HostSignals host;
  const std::string lp =
      StandIn(dir, "lp",
              "exec grep -E '^Sig(Blk|Ign):' /proc/self/status > '" + (dir / "signals") + "'");
  platform::MakePosixPrinter(lp, dir / "lpr")->PrintDocument(kReport, u"Courier", 12);
  EXPECT_EQ(Read(lp + ".stdin"), platform::PostScriptDocument(kReport, u"Courier", 12));
  // Nothing blocked, nothing ignored: of the kernel's masks only glibc's two internal signals
  // (32 and 33, which posix_spawn itself leaves ignored in the child) may be set.
  std::istringstream masks(Read(dir / "signals"));
  std::string blocked_name, blocked, ignored_name, ignored;
  masks >> blocked_name >> blocked >> ignored_name >> ignored;
  EXPECT_EQ(blocked_name + blocked, "SigBlk:0000000000000000");
  EXPECT_EQ(ignored_name, "SigIgn:");
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & ~0x180000000ull, 0u) << ignored;

  // Without an exit status to collect, the spooler's message still tells a failure.
  const std::string failing =
      StandIn(dir, "failing", "echo 'lp: Error - The printer or class does not exist.' >&2\nexit 1");
  EXPECT_HOST_ERROR(
      platform::MakePosixPrinter(failing, dir / "lpr")->PrintDocument(kReport, u"Courier", 12),
      482, "Cobaltmoth", "lp: Error - The printer or class does not exist.");
}

}  // namespace
}  // namespace cobaltmoth
