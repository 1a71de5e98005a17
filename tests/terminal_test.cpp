// The terminal front end: its screens byte for byte, then the message box, the report window
// and the clipboard driven in a pseudo-terminal, on a process without a terminal, and with
// COBALTMOTH_UI=none. Every child process has an alarm and the parent waits with deadlines, so
// a fault fails the test instead of hanging it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "child_process.hpp"
#include "component/screens/text_screens.hpp"
#include "fakes.hpp"
#include "platform/posix/terminal/terminal_ui.hpp"
#include "platform/ui.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth {
namespace {

using platform::UiMode;
using platform::UiModeFromName;
using screens::MessageBoxScreen;
using screens::ReportActions;
using screens::ReportButtonForKey;
using screens::ReportScreen;
using screens::TerminalText;
using testing::DetachedRun;
using testing::ExitCode;
using testing::FakePlatform;
using testing::kChildAlarmSeconds;
using testing::kThrew;
using testing::kWaitMs;
using testing::ReadToEnd;
using testing::RunDetached;
using testing::WaitChild;
using testing::WriteString;

const char kReportText[] = "Error 11 Division by zero\r\nin modDb.SaveOrder line 120";

// A loaded report window on fakes that record every action into the journal; the message box
// and the report window are the terminal's.
struct ConsoleForm {
  explicit ConsoleForm(std::int32_t language = 1033) {
    fake.language = language;
    const platform::terminal::TerminalUi terminal = platform::terminal::MakeTerminalUi();
    fake.platform->message_box = terminal.message_box;
    fake.platform->report_window = terminal.report_window;
    form = std::make_unique<report::frmReport>(fake.platform);
    form->Form_Load();
    form->Caption(u"Payroll");
    form->Text(text::FromUtf8(kReportText));
    form->SupportFax(u"+44 20 7946 0381");
    form->SupportMail(u"support@example.com");
  }
  std::string Journal() const {
    std::string all;
    for (const std::string& line : fake.journal->lines) all += line + "\n";
    return all;
  }
  FakePlatform fake;
  std::unique_ptr<report::frmReport> form;
};

const char kEnglishScreen[] =
    "\n"
    "Payroll\n"
    "\n"
    "An unexpected error happens during the application's use. Owing to this, the program would "
    "be ended and some data would be lost.\n"
    "\n"
    "Error 11 Division by zero\n"
    "in modDb.SaveOrder line 120\n"
    "\n"
    "For solving this problem you can send this report using fax or e-mail to:\n"
    "Fax Support: +44 20 7946 0381\n"
    "E-Mail Support: support@example.com\n"
    "\n"
    "[c] Copy to Clipboard  [p] Print Report  [m] Send E-Mail  [q] Close\n"
    "Enter: Send E-Mail  Esc: Close\n";

// Every LF of `text` as CR LF: what a terminal that turns LF into CR LF shows.
std::string Crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// --- The screens. ----------------------------------------------------------------------------

TEST(ConsoleScreens, TerminalTextTurnsEveryLineBreakIntoTheLineEndAndHidesControls) {
  EXPECT_EQ(TerminalText(u"a\r\nb\rc\nd\r\n\r\n", "\r\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
  EXPECT_EQ(TerminalText(u"a\r\nb", "\n"), "a\nb");
  EXPECT_EQ(TerminalText(u"\x1b[2Jx\ty\x07\x7f\x9b", "\n"), "?[2Jx\ty???");
  EXPECT_EQ(TerminalText(u"\u00E8 \U0001F600", "\n"), "\xC3\xA8 \xF0\x9F\x98\x80");
}

TEST(ConsoleScreens, MessageBoxShowsItsIconMarkTitlePromptAndOk) {
  EXPECT_EQ(MessageBoxScreen(u"Disk full\r\nTry again", platform::kExclamation, u"Payroll", "\n"),
            "\n(!) Payroll\nDisk full\nTry again\n\n[ OK ]");
  EXPECT_EQ(MessageBoxScreen(u"Stop", platform::kCritical, u"", "\r\n"),
            "\r\n(X) Cobaltmoth\r\nStop\r\n\r\n[ OK ]");
  EXPECT_EQ(MessageBoxScreen(u"Done", platform::kOkOnly, u"T", "\n"), "\nT\nDone\n\n[ OK ]");
  EXPECT_EQ(screens::MessageBoxNotice(u"Disk full\r\nTry again", u""),
            "Cobaltmoth\nDisk full\nTry again\n");
}

TEST(ConsoleScreens, ReportWindowShowsLabelsTextContactsAndKeys) {
  ConsoleForm english;
  EXPECT_EQ(ReportScreen(english.form->Model(), "\n"), kEnglishScreen);
  EXPECT_EQ(ReportScreen(english.form->Model(), "\r\n"), Crlf(kEnglishScreen));
  EXPECT_EQ(screens::ReportNotice(english.form->Model()),
            "Payroll\nError 11 Division by zero\nin modDb.SaveOrder line 120\n");
}

TEST(ConsoleScreens, ReportKeysKeepTheirLettersInItalian) {
  ConsoleForm italian(1040);
  EXPECT_EQ(ReportActions(italian.form->Model(), "\r\n"),
            "[c] Copia  [p] Stampa  [m] Prepara E-mail  [q] Chiudi\r\n"
            "Enter: Prepara E-mail  Esc: Chiudi\r\n");
}

TEST(ConsoleScreens, KeysPressTheirButtonsEnterTheDefaultEscTheCancel) {
  ConsoleForm f;
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), 'c'), report::kCopy);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), 'C'), report::kCopy);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), 'p'), report::kPrint);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), 'M'), report::kSendMail);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), 'q'), report::kClose);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), '\r'), report::kSendMail);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), '\n'), report::kSendMail);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), '\x1b'), report::kClose);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), 'x'), -1);
  EXPECT_EQ(ReportButtonForKey(f.form->Model(), ' '), -1);
}

TEST(ConsoleScreens, UiModeComesFromItsName) {
  EXPECT_EQ(UiModeFromName(nullptr), UiMode::kGui);
  EXPECT_EQ(UiModeFromName(""), UiMode::kGui);
  EXPECT_EQ(UiModeFromName("console"), UiMode::kConsole);
  EXPECT_EQ(UiModeFromName("gui"), UiMode::kGui);
  EXPECT_EQ(UiModeFromName("none"), UiMode::kNone);
  EXPECT_EQ(UiModeFromName("NONE"), UiMode::kGui);
}

// --- Child processes. ------------------------------------------------------------------------

bool SameModes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The child's exit codes.
constexpr int kModesChanged = 3;

// A child on a new pseudo-terminal that is its controlling terminal, its process group in the
// foreground. `body` runs there with the write end of a report pipe and returns the exit code;
// the child fails with kModesChanged when the terminal's settings differ afterwards.
class PtyChild {
 public:
  explicit PtyChild(std::function<int(int report)> body,
                    std::function<void(termios&)> set_up = nullptr) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::close(pipe_fds[0]);
      ::alarm(kChildAlarmSeconds);
      termios before;
      ::tcgetattr(STDIN_FILENO, &before);
      if (set_up) {
        set_up(before);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &before);
        ::tcgetattr(STDIN_FILENO, &before);
      }
      int code = 0;
      try {
        code = body(pipe_fds[1]);
      } catch (...) {
        code = kThrew;
      }
      termios after;
      ::tcgetattr(STDIN_FILENO, &after);
      if (code == 0 && !SameModes(before, after)) code = kModesChanged;
      ::_exit(code);
    }
    ::close(pipe_fds[1]);
    report_fd_ = pipe_fds[0];
  }
  ~PtyChild() {
    if (pid_ > 0 && !finished_) WaitChild(pid_, 0);
    if (master_ >= 0) ::close(master_);
    if (report_fd_ >= 0) ::close(report_fd_);
  }
  PtyChild(const PtyChild&) = delete;
  PtyChild& operator=(const PtyChild&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // Reads the screen until `text` appears after what earlier waits consumed.
  bool WaitFor(const std::string& text, int milliseconds = kWaitMs) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
      const std::size_t at = screen.find(text, consumed_);
      if (at != std::string::npos) {
        consumed_ = at + text.size();
        return true;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0 || !ReadSome(static_cast<int>(left))) return false;
    }
  }

  void Send(std::string_view keys) { WriteString(master_, std::string(keys)); }

  // The terminal's settings as the child's side has them now.
  termios Modes() const {
    termios modes{};
    ::tcgetattr(master_, &modes);
    return modes;
  }

  // Polls the settings until `wanted` holds.
  bool ModesBecome(const std::function<bool(const termios&)>& wanted) {
    for (int i = 0; i < kWaitMs / 5; ++i) {
      if (wanted(Modes())) return true;
      ::usleep(5000);
    }
    return false;
  }

  bool Running() { return ::waitpid(pid_, &status_, WNOHANG) == 0; }

  // Reads the rest of the screen and the report, and returns the child's wait status (-1 when
  // it did not end in time).
  int Finish(int milliseconds = kWaitMs) {
    while (ReadSome(50)) {
    }
    const int status = finished_ ? status_ : WaitChild(pid_, milliseconds);
    finished_ = true;
    while (ReadSome(0)) {
    }
    report = ReadToEnd(report_fd_, 1000);
    return status;
  }

  std::string screen;  // everything the child wrote to the terminal
  std::string report;  // what it wrote to the report pipe

 private:
  bool ReadSome(int milliseconds) {
    struct pollfd p {master_, POLLIN, 0};
    if (::poll(&p, 1, milliseconds) <= 0) return false;
    char buffer[4096];
    const ssize_t n = ::read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // EIO once the child has closed the terminal
    screen.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  int report_fd_ = -1;
  int status_ = 0;
  bool finished_ = false;
  std::size_t consumed_ = 0;
};

bool Canonical(const termios& t) { return (t.c_lflag & ICANON) && (t.c_lflag & ECHO); }

// --- The message box in a terminal. ----------------------------------------------------------

TEST(ConsoleMessageBox, ShowsOnTheTerminalWaitsForOneKeyAndRestoresTheModes) {
  PtyChild child([](int report) {
    platform::terminal::MakeTerminalUi().message_box->Show(u"Disk full\r\nTry again \u00E8", platform::kExclamation,
                                            u"Payroll");
    WriteString(report, "returned");
    return 0;
  });
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitFor("[ OK ]")) << child.screen;
  EXPECT_FALSE(Canonical(child.Modes()));  // one key at a time, no echo
  ::usleep(100 * 1000);
  EXPECT_TRUE(child.Running());
  child.Send("x");
  EXPECT_EQ(ExitCode(child.Finish()), 0);
  EXPECT_EQ(child.report, "returned");
  EXPECT_EQ(child.screen, "\r\n(!) Payroll\r\nDisk full\r\nTry again \xC3\xA8\r\n\r\n[ OK ]\r\n");
  EXPECT_TRUE(Canonical(child.Modes()));
}

TEST(ConsoleMessageBox, WritesCrLfItselfWhereTheTerminalDoesNot) {
  PtyChild child(
      [](int) {
        platform::terminal::MakeTerminalUi().message_box->Show(u"a\nb", platform::kOkOnly, u"T");
        return 0;
      },
      [](termios& t) { t.c_oflag &= ~static_cast<tcflag_t>(OPOST); });
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitFor("[ OK ]")) << child.screen;
  child.Send("\r");
  EXPECT_EQ(ExitCode(child.Finish()), 0);
  EXPECT_EQ(child.screen, "\r\nT\r\na\r\nb\r\n\r\n[ OK ]\r\n");
}

TEST(ConsoleMessageBox, InterruptOrTerminateRestoresTheModesBeforeTheProcessEnds) {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    PtyChild child([](int) {
      platform::terminal::MakeTerminalUi().message_box->Show(u"wait", platform::kOkOnly, u"T");
      return 0;
    });
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitFor("[ OK ]")) << child.screen;
    ASSERT_FALSE(Canonical(child.Modes()));
    if (signal_number == SIGINT) {
      child.Send("\x03");  // Ctrl-C: the terminal sends SIGINT to its foreground group
    } else {
      ::kill(child.Pid(), SIGTERM);
    }
    const int status = child.Finish();
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_TRUE(Canonical(child.Modes())) << signal_number;
  }
}

// What the host's own SIGINT handler saw, in the child.
volatile sig_atomic_t g_host_handler_calls = 0;
volatile sig_atomic_t g_host_handler_saw_canonical = 0;
extern "C" void HostInterruptHandler(int) {
  termios t;
  if (::tcgetattr(STDIN_FILENO, &t) == 0 && Canonical(t)) g_host_handler_saw_canonical = 1;
  g_host_handler_calls = g_host_handler_calls + 1;
}

TEST(ConsoleMessageBox, AHostHandlerRunsWithTheModesRestoredAndTheWaitGoesOn) {
  PtyChild child([](int report) {
    struct sigaction host {};
    host.sa_handler = HostInterruptHandler;
    sigemptyset(&host.sa_mask);
    ::sigaction(SIGINT, &host, nullptr);
    platform::terminal::MakeTerminalUi().message_box->Show(u"wait", platform::kOkOnly, u"T");
    struct sigaction now {};
    ::sigaction(SIGINT, nullptr, &now);
    struct sigaction stop {};
    ::sigaction(SIGTSTP, nullptr, &stop);
    WriteString(report, "calls=" + std::to_string(g_host_handler_calls) +
                            " canonical=" + std::to_string(g_host_handler_saw_canonical) +
                            " host-handler-kept=" +
                            std::to_string(now.sa_handler == HostInterruptHandler) +
                            " tstp-default=" + std::to_string(stop.sa_handler == SIG_DFL));
    return 0;
  });
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitFor("[ OK ]")) << child.screen;
  ASSERT_FALSE(Canonical(child.Modes()));
  child.Send("\x03");
  // Put back for the host's handler, then one key at a time again for the rest of the wait.
  ::usleep(100 * 1000);
  ASSERT_TRUE(child.ModesBecome([](const termios& t) { return !Canonical(t); }));
  EXPECT_TRUE(child.Running());
  child.Send("\x1a");  // Ctrl-Z: the group is orphaned, so the stop is dropped and the wait goes on
  ::usleep(100 * 1000);
  ASSERT_TRUE(child.ModesBecome([](const termios& t) { return !Canonical(t); }));
  EXPECT_TRUE(child.Running());
  child.Send("k");
  EXPECT_EQ(ExitCode(child.Finish()), 0) << child.screen;
  EXPECT_EQ(child.report, "calls=1 canonical=1 host-handler-kept=1 tstp-default=1");
}

// --- The report window in a terminal. --------------------------------------------------------

// The child's report window; it reports the journal of the actions that reached the fakes.
int ShowReportWindow(int report) {
  ConsoleForm f;
  f.form->ShowModal();
  WriteString(report, f.Journal() + (f.form->Unloaded() ? "unloaded" : "still loaded"));
  return 0;
}

const std::string kActions =
    "[c] Copy to Clipboard  [p] Print Report  [m] Send E-Mail  [q] Close\r\n"
    "Enter: Send E-Mail  Esc: Close\r\n";

const std::string kMailJournal =
    "probe\n"
    "find /private/~mail.htm\n"
    "delete /private/~mail.htm\n"
    "execute open [/usr/bin/mailer] "
    "[mailto:cobaltmoth-support@example.com?subject=[Bug%20Report]%20Application%20Payroll] 1\n";

TEST(ConsoleReportWindow, EachKeyRunsItsActionUntilClose) {
  PtyChild child(ShowReportWindow);
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitFor(Crlf(kEnglishScreen))) << child.screen;
  EXPECT_EQ(child.screen, Crlf(kEnglishScreen));
  child.Send("c");
  // The model confirms the copy in the terminal's message box, which waits for its own key.
  ASSERT_TRUE(child.WaitFor(
      "\r\nCobaltmoth\r\nReport is copied to clipboard. It's now possible paste the report in "
      "another application using the classical command PASTE or CTRL-V\r\n\r\n[ OK ]"))
      << child.screen;
  child.Send(" ");
  ASSERT_TRUE(child.WaitFor("\r\n\r\n" + kActions)) << child.screen;
  child.Send("x");  // no such key: nothing happens
  child.Send("P");
  ASSERT_TRUE(child.WaitFor("\r\n" + kActions)) << child.screen;
  child.Send("m");
  ASSERT_TRUE(child.WaitFor("\r\n" + kActions)) << child.screen;
  EXPECT_TRUE(child.Running());
  child.Send("q");
  EXPECT_EQ(ExitCode(child.Finish()), 0) << child.screen;
  EXPECT_EQ(child.report, "clipboard " + std::string(kReportText) + "\n" +
                              "print Courier 12 " + kReportText + "\n" + kMailJournal +
                              "unloaded");
  EXPECT_TRUE(Canonical(child.Modes()));
}

TEST(ConsoleReportWindow, EnterSendsTheMailArrowsDoNothingAndEscCloses) {
  PtyChild child(ShowReportWindow);
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitFor(kActions)) << child.screen;
  child.Send("\x1b[A");  // an arrow key is not Esc
  ::usleep(100 * 1000);
  child.Send("\r");
  ASSERT_TRUE(child.WaitFor("\r\n" + kActions)) << child.screen;
  EXPECT_TRUE(child.Running());
  child.Send("\x1b");
  EXPECT_EQ(ExitCode(child.Finish()), 0) << child.screen;
  EXPECT_EQ(child.report, kMailJournal + "unloaded");
}

TEST(ConsoleReportWindow, EscAloneClosesWithoutAnAction) {
  PtyChild child(ShowReportWindow);
  ASSERT_TRUE(child.Started());
  ASSERT_TRUE(child.WaitFor(kActions)) << child.screen;
  child.Send("\x1b");
  EXPECT_EQ(ExitCode(child.Finish()), 0) << child.screen;
  EXPECT_EQ(child.report, "unloaded");
}

// --- Without a terminal, or with COBALTMOTH_UI=none: nothing waits. --------------------------

int ShowBoth(int report) {
  platform::terminal::MakeTerminalUi().message_box->Show(u"Disk full\r\nTry again", platform::kCritical,
                                          u"Payroll");
  ShowReportWindow(report);
  return 0;
}

const char kNotices[] =
    "Payroll\nDisk full\nTry again\n"
    "Payroll\nError 11 Division by zero\nin modDb.SaveOrder line 120\n";

TEST(ConsoleWithoutTerminal, TextsGoToStandardErrorAndNothingWaits) {
  const DetachedRun run = RunDetached([](int report) {
    ::unsetenv("COBALTMOTH_UI");
    return ShowBoth(report);
  });
  EXPECT_EQ(ExitCode(run.status), 0);
  EXPECT_EQ(run.errors, kNotices);
  EXPECT_EQ(run.report, "unloaded");
  EXPECT_LT(run.seconds, 3.0);
}

TEST(ConsoleWithoutTerminal, NoneNeverUsesTheTerminalEvenWhenThereIsOne) {
  PtyChild child([](int report) {
    ::setenv("COBALTMOTH_UI", "none", 1);
    return ShowBoth(report);
  });
  ASSERT_TRUE(child.Started());
  EXPECT_EQ(ExitCode(child.Finish()), 0);  // no key was sent
  EXPECT_EQ(child.screen, Crlf(kNotices));  // its standard error is the terminal
  EXPECT_EQ(child.report, "unloaded");
}

TEST(ConsoleWithoutTerminal, ABackgroundProcessGroupDoesNotWait) {
  PtyChild child([](int report) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setpgid(0, 0);  // a group of its own, not the terminal's foreground
      ::_exit(ShowBoth(report));
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
  });
  ASSERT_TRUE(child.Started());
  EXPECT_EQ(ExitCode(child.Finish()), 0);
  EXPECT_EQ(child.screen, Crlf(kNotices));
  EXPECT_EQ(child.report, "unloaded");
}

// --- The clipboard. --------------------------------------------------------------------------

TEST(ConsoleClipboard, KeepsTheTextInAPrivateFileAndGivesItsPath) {
  testing::TempDir dir;
  ::setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
  const auto clipboard = platform::terminal::MakeTerminalUi().clipboard;
  const std::string path = testing::U8(clipboard->SetText(u"Report\r\n\u00E8 \U0001F600"));
  EXPECT_EQ(path.rfind(dir / "cobaltmoth-report-", 0), 0u) << path;
  EXPECT_EQ(path.substr(path.size() - 4), ".txt");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  EXPECT_EQ(bytes.str(), "Report\r\n\xC3\xA8 \xF0\x9F\x98\x80");
  ::setenv("XDG_RUNTIME_DIR", (dir / "missing").c_str(), 1);
  EXPECT_RUNTIME_ERROR(clipboard->SetText(u"Report"), 76, "Path not found");
  ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace cobaltmoth
