// The terminal front end of the message box, the report window and the clipboard
// (platform/posix/terminal/terminal_ui.hpp).
#include "platform/posix/terminal/terminal_ui.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>

#include "platform/common/text_screens.hpp"
#include "platform/posix/fd.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::terminal {
namespace {

using posix::UniqueFd;

constexpr char kEscape = '\x1b';

// --- Waiting for a key with the terminal's settings always put back. -------------------------
//
// While a key is awaited the terminal reads without a line editor and without echo. The
// settings it had are put back when the wait ends, and also when a signal that ends or stops
// the process arrives meanwhile: the handler puts them back, gives the signal its previous
// disposition and raises it again. When the process goes on afterwards (a handler of the host's
// that returns, or a stopped process that is continued) the wait starts over in the foreground,
// or ends as if the terminal were gone. The handlers are installed only while waiting.

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGTSTP, SIGQUIT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];

std::mutex g_wait_mutex;  // one wait at a time: the state below is the process's
int g_tty = -1;
struct termios g_saved_modes;
struct sigaction g_previous[kSignalCount];
volatile sig_atomic_t g_installed[kSignalCount];
volatile sig_atomic_t g_signalled = 0;

// Runs in the waiting thread inside ppoll, or in another thread of the host that does not block
// the signal, where the raised signal may end the process at once: so the modes are put back
// here first.
extern "C" void RestoreAndRaise(int signal_number) {
  const int saved_errno = errno;
  ::tcsetattr(g_tty, TCSANOW, &g_saved_modes);
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == signal_number && g_installed[i]) {
      ::sigaction(signal_number, &g_previous[i], nullptr);
      g_installed[i] = 0;
    }
  }
  g_signalled = 1;
  ::raise(signal_number);  // pending until the wait lets it through, then as before
  errno = saved_errno;
}

bool InForeground(int fd) noexcept { return ::tcgetpgrp(fd) == ::getpgrp(); }

// The terminal without line editor and echo while it is armed (g_wait_mutex held by the
// caller, the signals blocked outside the wait itself).
class RawMode {
 public:
  RawMode() noexcept = default;
  ~RawMode() { Disarm(); }
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;

  bool Arm(int fd) noexcept {
    Disarm();
    struct termios modes;
    if (::tcgetattr(fd, &modes) != 0) return false;
    g_tty = fd;
    g_saved_modes = modes;
    g_signalled = 0;
    for (int i = 0; i < kSignalCount; ++i) {
      struct sigaction previous;
      if (::sigaction(kSignals[i], nullptr, &previous) != 0) continue;
      if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler == SIG_IGN) continue;
      struct sigaction action {};
      action.sa_handler = RestoreAndRaise;
      sigemptyset(&action.sa_mask);
      for (const int s : kSignals) sigaddset(&action.sa_mask, s);
      action.sa_flags = 0;
      g_previous[i] = previous;
      if (::sigaction(kSignals[i], &action, nullptr) == 0) g_installed[i] = 1;
    }
    modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    modes.c_cc[VMIN] = 1;
    modes.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &modes) != 0) {
      RestoreHandlers();
      return false;
    }
    armed_ = true;
    return true;
  }

  void Disarm() noexcept {
    if (!armed_) return;
    armed_ = false;
    ::tcsetattr(g_tty, TCSANOW, &g_saved_modes);
    RestoreHandlers();
  }

 private:
  static void RestoreHandlers() noexcept {
    for (int i = 0; i < kSignalCount; ++i) {
      if (g_installed[i]) {
        g_installed[i] = 0;
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
      }
    }
  }

  bool armed_ = false;
};

// Blocks the signals above while it lives; a signal that arrived meanwhile takes effect when the
// mask is put back.
class SignalsBlocked {
 public:
  SignalsBlocked() noexcept {
    sigemptyset(&blocked_);
    for (const int s : kSignals) sigaddset(&blocked_, s);
    ::pthread_sigmask(SIG_BLOCK, &blocked_, &previous_);
  }
  ~SignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  // The mask the process had: the one to wait with.
  const sigset_t* Previous() const noexcept { return &previous_; }
  // Lets a pending signal take effect (as the process had it), then blocks again.
  void LetThrough() noexcept {
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    ::pthread_sigmask(SIG_BLOCK, &blocked_, nullptr);
  }

 private:
  sigset_t blocked_;
  sigset_t previous_;
};

// What WaitForKey gives besides a key's first byte.
constexpr int kTerminalGone = -1;
constexpr int kOtherKey = -2;  // a key that sends an escape sequence (arrows, F1, ...)

// Reads whatever more arrives within `milliseconds`: the rest of one key.
void DrainKey(int fd, int milliseconds) noexcept {
  struct pollfd p {fd, POLLIN, 0};
  char discard[64];
  while (::poll(&p, 1, milliseconds) > 0 && (p.revents & POLLIN)) {
    if (::read(fd, discard, sizeof discard) <= 0) return;
  }
}

// The controlling terminal, open only while the process group is in its foreground.
class Terminal {
 public:
  // The terminal of a process in the foreground, or one that is not Valid().
  static Terminal OpenForeground() {
    Terminal t;
    int fd =
        posix::RetryOnEintr([] { return ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); });
    UniqueFd owner(posix::AboveStandardStreams(fd));
    if (!owner.Valid()) return t;
    fd = owner.Get();
    struct termios modes;
    if (!InForeground(fd) || ::tcgetattr(fd, &modes) != 0) return t;
    t.line_end_ = ((modes.c_oflag & OPOST) && (modes.c_oflag & ONLCR)) ? "\n" : "\r\n";
    t.fd_ = std::move(owner);
    return t;
  }

  bool Valid() const noexcept { return fd_.Get() >= 0; }
  std::string_view LineEnd() const noexcept { return line_end_; }
  void Write(std::string_view bytes) const noexcept { posix::WriteAll(fd_.Get(), bytes); }

  // Writes `screen` once the terminal reads keys one by one (so nothing typed in answer to it
  // is echoed or held in a line), then waits for one key: its first byte, kOtherKey or
  // kTerminalGone.
  int WaitForKey(std::string_view screen) const {
    std::lock_guard<std::mutex> lock(g_wait_mutex);
    const int fd = fd_.Get();
    // The signals can arrive only inside ppoll, so none is lost between arming and waiting;
    // the modes are put back (RawMode's end) before the mask is (SignalsBlocked's end).
    SignalsBlocked signals;
    RawMode raw;
    if (!raw.Arm(fd)) return kTerminalGone;
    Write(screen);
    for (;;) {
      if (g_signalled) {
        // The handler has put the modes back and raised the signal again: it takes effect
        // now. A process that goes on waits again, if its terminal is still its own.
        raw.Disarm();
        signals.LetThrough();
        if (!InForeground(fd) || !raw.Arm(fd)) return kTerminalGone;
        continue;
      }
      struct pollfd p {fd, POLLIN, 0};
      const int ready = ::ppoll(&p, 1, nullptr, signals.Previous());
      if (ready < 0) {
        if (errno == EINTR) continue;
        return kTerminalGone;
      }
      if (!(p.revents & POLLIN)) return kTerminalGone;  // hang-up, error
      unsigned char byte = 0;
      const ssize_t got = posix::RetryOnEintr([&] { return ::read(fd, &byte, 1); });
      if (got != 1) return kTerminalGone;  // end of file, read error
      if (byte == kEscape) {
        struct pollfd more {fd, POLLIN, 0};
        if (::poll(&more, 1, 30) > 0) {
          DrainKey(fd, 30);
          return kOtherKey;
        }
        return kEscape;
      }
      if (byte >= 0x80) DrainKey(fd, 0);  // the rest of a UTF-8 character
      return byte;
    }
  }

 private:
  UniqueFd fd_;
  std::string_view line_end_ = "\n";
};

Terminal OpenTerminalUnlessNone() {
  if (UiModeFromEnvironment() == UiMode::kNone) return Terminal();
  return Terminal::OpenForeground();
}

// Standard error, with no terminal: never waits long, never SIGPIPE.
void Notify(std::string_view text) {
  posix::WriteToForeign(STDERR_FILENO, text, kStandardErrorLimitMs);
}

// --- The ports. ------------------------------------------------------------------------------

class TerminalMessageBox final : public MessageBox {
 public:
  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    const Terminal tty = OpenTerminalUnlessNone();
    if (!tty.Valid()) {
      Notify(common::MessageBoxNotice(prompt, title));
      return;
    }
    const std::string screen = common::MessageBoxScreen(prompt, style, title, tty.LineEnd());
    if (tty.WaitForKey(screen) != kTerminalGone) tty.Write(tty.LineEnd());
  }
};

// The report window in the terminal: the four buttons as keys; the text is shown, not edited.
class ShownInTerminal final : public ShownReportWindow {
 public:
  ShownInTerminal(const ReportWindowModel& model, std::shared_ptr<MessageBox> message_box)
      : model_(model), message_box_(std::move(message_box)), tty_(OpenTerminalUnlessNone()) {
    if (!tty_.Valid()) Notify(common::ReportNotice(model_));
  }

  Click WaitForClick() override {
    Click click;
    click.text = model_.Text();
    if (!tty_.Valid()) return click;  // nothing to wait for: as the window's close box
    std::string screen = first_ ? common::ReportScreen(model_, tty_.LineEnd())
                                : std::string(tty_.LineEnd()) +
                                      common::ReportActions(model_, tty_.LineEnd());
    first_ = false;
    for (;;) {
      const int key = tty_.WaitForKey(screen);
      screen.clear();
      if (key == kTerminalGone) return click;
      if (key < 0) continue;
      const std::int32_t button = common::ReportButtonForKey(model_, static_cast<char>(key));
      if (button < 0) continue;
      click.button = button;
      return click;
    }
  }

  void ShowMessage(std::u16string_view prompt, std::int32_t style,
                   std::u16string_view title) override {
    message_box_->Show(prompt, style, title);
  }

 private:
  ReportWindowModel model_;
  std::shared_ptr<MessageBox> message_box_;
  Terminal tty_;
  bool first_ = true;
};

class TerminalReportWindow final : public ReportWindow {
 public:
  explicit TerminalReportWindow(std::shared_ptr<MessageBox> message_box)
      : message_box_(std::move(message_box)) {}

  std::unique_ptr<ShownReportWindow> Show(const ReportWindowModel& model) override {
    return std::make_unique<ShownInTerminal>(model, message_box_);
  }

 private:
  std::shared_ptr<MessageBox> message_box_;
};

// Where the clipboard's text goes: the user's runtime folder, else the temporary folder.
std::string ClipboardFolder() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] == '/') return value;
  }
  return "/tmp";
}

class TerminalClipboard final : public Clipboard {
 public:
  std::u16string SetText(std::u16string_view text) override {
    std::string path = ClipboardFolder() + "/cobaltmoth-report-XXXXXX.txt";
    // Mode 0600, created exclusively.
    UniqueFd file(posix::AboveStandardStreams(::mkostemps(path.data(), 4, O_CLOEXEC)));
    if (!file.Valid()) posix::RaisePosixError(errno);
    int error = posix::WriteAll(file.Get(), runtime::ToUtf8(text));
    if (::close(file.Release()) != 0 && errno != EINTR && error == 0) error = errno;
    if (error != 0) {
      ::unlink(path.c_str());
      posix::RaisePosixError(error);
    }
    return runtime::FromUtf8(path);
  }
};

}  // namespace

TerminalUi MakeTerminalUi() {
  TerminalUi ui;
  ui.message_box = std::make_shared<TerminalMessageBox>();
  ui.report_window = std::make_shared<TerminalReportWindow>(ui.message_box);
  ui.clipboard = std::make_shared<TerminalClipboard>();
  return ui;
}

}  // namespace cobaltmoth::platform::posix::terminal
