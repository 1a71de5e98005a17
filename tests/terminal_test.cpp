// The terminal front end: its screens byte for byte, then the message box, the report window
// and the clipboard in a pseudo-terminal, without a terminal, and with COBALTMOTH_UI=none.
// Every child process has an alarm and the parent waits with deadlines, so a fault fails the
// test instead of hanging it.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstring>

#include "child_process.hpp"
#include "fakes.hpp"
#include "platform/common/text_screens.hpp"
#include "platform/posix/terminal/terminal_ui.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth {
namespace {

using platform::UiMode;
using testing::ExitCode;
using testing::WriteString;

// A loaded report window on fakes; its message box and window are the terminal's.
struct Form {
  explicit Form(std::int32_t language = 1033) {
    fake.language = language;
    const auto terminal = platform::posix::terminal::MakeTerminalUi();
    fake.platform->message_box = terminal.message_box;
    fake.platform->report_window = terminal.report_window;
    form.Form_Load();
    form.Caption(u"Payroll");
    form.Text(u"Error 11 Division by zero\r\nin modDb.SaveOrder line 120");
    form.SupportFax(u"+44 20 7946 0381");
    form.SupportMail(u"support@example.com");
  }
  testing::FakePlatform fake;
  report::frmReport form{fake.platform};
};

const std::string kActions =
    "[c] Copy to Clipboard  [p] Print Report  [m] Send E-Mail  [q] Close\r\n"
    "Enter: Send E-Mail  Esc: Close\r\n";
const std::string kScreen =
    "\r\nPayroll\r\n\r\nAn unexpected error happens during the application's use. Owing to "
    "this, the program would be ended and some data would be lost.\r\n\r\n"
    "Error 11 Division by zero\r\nin modDb.SaveOrder line 120\r\n\r\n"
    "For solving this problem you can send this report using fax or e-mail to:\r\n"
    "Fax Support: +44 20 7946 0381\r\nE-Mail Support: support@example.com\r\n\r\n" + kActions;

TEST(TerminalScreens, TextsKeysAndModesByteForByte) {
  using platform::common::TerminalText;
  EXPECT_EQ(TerminalText(u"a\r\nb\rc\nd\r\n\r\n", "\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
  EXPECT_EQ(TerminalText(u"\x1b[2Jx\ty\x07\x7f\x9b \u00E8", "\n"), "?[2Jx\ty??? \xC3\xA8");
  EXPECT_EQ(platform::common::MessageBoxScreen(u"Disk full\r\nTry again", platform::kExclamation,
                                      u"Payroll", "\n"),
            "\n(!) Payroll\nDisk full\nTry again\n\n[ OK ]");
  EXPECT_EQ(platform::common::MessageBoxScreen(u"Stop", platform::kCritical, u"", "\r\n"),
            "\r\n(X) Cobaltmoth\r\nStop\r\n\r\n[ OK ]");
  EXPECT_EQ(platform::common::MessageBoxNotice(u"Disk full\r\nTry again", u""),
            "Cobaltmoth\nDisk full\nTry again\n");
  // The report window's screen and notice are compared where the terminal shows them, below.
  Form english;
  const platform::ReportWindowModel& model = english.form.Model();
  EXPECT_EQ(platform::common::ReportActions(Form(1040).form.Model(), "\n"),
            "[c] Copia  [p] Stampa  [m] Prepara E-mail  [q] Chiudi\n"
            "Enter: Prepara E-mail  Esc: Chiudi\n");
  std::string pressed;
  for (const char key : std::string("cCpMq\r\n\x1bx ")) {
    pressed += std::to_string(platform::common::ReportButtonForKey(model, key)) + " ";
  }
  EXPECT_EQ(pressed, "0 0 1 2 3 2 2 3 -1 -1 ");
  for (const auto& [name, mode] : {std::pair{(const char*)nullptr, UiMode::kGui},
                                   {"", UiMode::kGui}, {"console", UiMode::kConsole},
                                   {"none", UiMode::kNone}, {"NONE", UiMode::kGui}}) {
    EXPECT_EQ(platform::UiModeFromName(name), mode) << (name == nullptr ? "(unset)" : name);
  }
}

// --- A child on a pseudo-terminal that is its controlling terminal, in the foreground. ------

bool Canonical(const termios& t) { return (t.c_lflag & ICANON) && (t.c_lflag & ECHO); }

// `body` runs in the child with the write end of a report pipe and returns the exit code; the
// child exits with 3 when the terminal's settings differ afterwards.
class PtyChild {
 public:
  explicit PtyChild(std::function<int(int report)> body) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::alarm(testing::kChildAlarmSeconds);
      termios before{}, after{};
      ::tcgetattr(STDIN_FILENO, &before);
      const int code = body(ends[1]);
      ::tcgetattr(STDIN_FILENO, &after);
      const bool same = before.c_lflag == after.c_lflag && before.c_iflag == after.c_iflag &&
                        std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc) == 0;
      ::_exit(code == 0 && !same ? 3 : code);
    }
    ::close(ends[1]);
    report_fd_ = ends[0];
  }
  ~PtyChild() {
    if (pid_ > 0 && status_ == -2) testing::WaitChild(pid_, 0);
    ::close(master_);
    ::close(report_fd_);
  }

  // Reads the screen until `text` appears after what earlier waits consumed.
  bool WaitFor(const std::string& text) {
    for (int i = 0; i < testing::kWaitMs / 50; ++i) {
      if (const std::size_t at = screen.find(text, consumed_); at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      ReadSome(50);
    }
    return false;
  }
  void Send(std::string_view keys) { WriteString(master_, std::string(keys)); }
  termios Modes() const {
    termios modes{};
    ::tcgetattr(master_, &modes);
    return modes;
  }
  bool Running() { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  pid_t Pid() const { return pid_; }
  // Reads the rest of the screen and the report; the wait status (-1: killed at the deadline).
  int Finish() {
    while (ReadSome(50)) continue;
    status_ = testing::WaitChild(pid_, testing::kWaitMs);
    while (ReadSome(0)) continue;
    report = testing::ReadToEnd(report_fd_, 1000);
    return status_;
  }

  std::string screen;  // everything the child wrote to the terminal
  std::string report;  // what it wrote to the report pipe

 private:
  bool ReadSome(int milliseconds) {
    struct pollfd p {master_, POLLIN, 0};
    char buffer[4096];
    if (::poll(&p, 1, milliseconds) <= 0) return false;
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n > 0) screen.append(buffer, static_cast<std::size_t>(n));
    return n > 0;  // EIO once the child has closed the terminal
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int report_fd_ = -1;
  int status_ = -2;
  std::size_t consumed_ = 0;
};

void ShowBox(const char16_t* prompt = u"wait") {
  platform::posix::terminal::MakeTerminalUi().message_box->Show(prompt, platform::kExclamation,
                                                          u"Payroll");
}

TEST(TerminalMessageBox, InterruptOrTerminateRestoresTheModesBeforeTheProcessEnds) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    PtyChild child([](int) {
      ::signal(SIGINT, SIG_DFL);  // a host started in the background inherits SIGINT ignored
      ShowBox();
      return 0;
    });
    ASSERT_TRUE(child.WaitFor("[ OK ]")) << child.screen;
    if (signal_number == SIGINT) {
      child.Send("\x03");  // Ctrl-C: the terminal signals its foreground group
    } else {
      ::kill(child.Pid(), SIGTERM);
    }
    const int status = child.Finish();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_TRUE(Canonical(child.Modes())) << signal_number;
  }
}

volatile sig_atomic_t g_host_handler_saw_canonical = -1;
extern "C" void HostInterruptHandler(int) {
  termios t;
  g_host_handler_saw_canonical = ::tcgetattr(STDIN_FILENO, &t) == 0 && Canonical(t);
}

TEST(TerminalMessageBox, AHostHandlerRunsWithTheModesRestoredAndTheWaitGoesOn) {
  PtyChild child([](int report) {
    struct sigaction host {};
    host.sa_handler = HostInterruptHandler;
    ::sigaction(SIGINT, &host, nullptr);
    ShowBox();
    struct sigaction now {}, stop {};
    ::sigaction(SIGINT, nullptr, &now);
    ::sigaction(SIGTSTP, nullptr, &stop);
    WriteString(report, "canonical=" + std::to_string(g_host_handler_saw_canonical) +
                            " kept=" + std::to_string(now.sa_handler == HostInterruptHandler) +
                            " tstp=" + std::to_string(stop.sa_handler == SIG_DFL));
    return 0;
  });
  ASSERT_TRUE(child.WaitFor("[ OK ]")) << child.screen;
  child.Send("\x03");
  // Ctrl-Z: the group is orphaned, so the stop is dropped and the wait goes on.
  for (const char* key : {"\x1a", "k"}) {
    ::usleep(150 * 1000);
    EXPECT_TRUE(child.Running());
    EXPECT_FALSE(Canonical(child.Modes()));
    child.Send(key);
  }
  EXPECT_EQ(ExitCode(child.Finish()), 0) << child.screen;
  EXPECT_EQ(child.report, "canonical=1 kept=1 tstp=1");
}

// The child's report window; it reports the actions that reached the fakes.
int ShowReportWindow(int report) {
  Form f;
  f.form.ShowModal();
  std::string journal;
  for (const std::string& line : f.fake.journal->lines) journal += line + "\n";
  WriteString(report, journal + (f.form.Unloaded() ? "unloaded" : "still loaded"));
  return 0;
}

const std::string kMail =
    "probe\nfind /private/~mail.htm\ndelete /private/~mail.htm\n"
    "execute open [/usr/bin/mailer] "
    "[mailto:cobaltmoth-support@example.com?subject=[Bug%20Report]%20Application%20Payroll] 1\n";

TEST(TerminalReportWindow, KeysRunTheirActionsUntilCloseArrowsDoNothing) {
  PtyChild child(ShowReportWindow);
  ASSERT_TRUE(child.WaitFor(kScreen)) << child.screen;
  EXPECT_EQ(child.screen, kScreen);
  child.Send("c");  // the copy is confirmed in the terminal's message box, which waits too
  ASSERT_TRUE(child.WaitFor("\r\nCobaltmoth\r\nReport is copied to clipboard."));
  child.Send(" ");
  for (const char* keys : {"xP", "\x1b[A", "\r"}) {  // an arrow key is not Esc
    child.Send(keys);
    ::usleep(100 * 1000);
  }
  ASSERT_TRUE(child.WaitFor("\r\n" + kActions + "\r\n" + kActions)) << child.screen;
  child.Send("\x1b");
  EXPECT_EQ(ExitCode(child.Finish()), 0) << child.screen;
  EXPECT_EQ(child.report, "clipboard Error 11 Division by zero\r\nin modDb.SaveOrder line 120\n"
                          "print Courier 12 Error 11 Division by zero\r\nin modDb.SaveOrder line "
                          "120\n" + kMail + "unloaded");
  EXPECT_TRUE(Canonical(child.Modes()));
}

// --- Without a terminal, or with COBALTMOTH_UI=none: nothing waits. --------------------------

int ShowBoth(int report) {
  ShowBox(u"Disk full");
  return ShowReportWindow(report);
}
const char kNotices[] =
    "Payroll\nDisk full\nPayroll\nError 11 Division by zero\nin modDb.SaveOrder line 120\n";

TEST(TerminalUnattended, TheTextsGoToStandardErrorAndNothingWaits) {
  const testing::DetachedRun detached = testing::RunDetached(ShowBoth);
  EXPECT_EQ(ExitCode(detached.status), 0);
  EXPECT_EQ(detached.errors, kNotices);
  EXPECT_EQ(detached.report, "unloaded");
  // None never uses a terminal, even in the foreground of one; nor does a background group.
  for (const bool background : {false, true}) {
    PtyChild child([background](int report) {
      ::setenv("COBALTMOTH_UI", background ? "console" : "none", 1);
      if (background) {
        if (const pid_t pid = ::fork(); pid != 0) {
          return ExitCode(testing::WaitChild(pid, testing::kWaitMs));
        }
        ::setpgid(0, 0);  // a group of its own, not the terminal's foreground one
      }
      return ShowBoth(report);
    });
    EXPECT_EQ(ExitCode(child.Finish()), 0);  // no key was sent
    std::string crlf;
    for (const char c : std::string(kNotices)) crlf += c == '\n' ? "\r\n" : std::string(1, c);
    EXPECT_EQ(child.screen, crlf) << background;  // its standard error is the terminal
  }
}

TEST(TerminalClipboard, KeepsTheTextInAPrivateFileAndGivesItsPath) {
  testing::TempDir dir;
  testing::ScopedEnv env;
  env.Set("XDG_RUNTIME_DIR", dir.path());
  const auto clipboard = platform::posix::terminal::MakeTerminalUi().clipboard;
  const std::string path = testing::U8(clipboard->SetText(u"Report\r\n\u00E8 \U0001F600"));
  EXPECT_EQ(path.rfind(dir / "cobaltmoth-report-", 0), 0u) << path;
  EXPECT_EQ(path.substr(path.size() - 4), ".txt");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(testing::ReadFile(path), "Report\r\n\xC3\xA8 \xF0\x9F\x98\x80");
  env.Set("XDG_RUNTIME_DIR", dir / "missing");
  EXPECT_RUNTIME_ERROR(clipboard->SetText(u"Report"), 76, "Path not found");
}

}  // namespace
}  // namespace cobaltmoth
