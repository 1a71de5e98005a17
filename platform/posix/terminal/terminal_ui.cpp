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

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/resources.hpp"
#include "platform/ui.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth::platform {
namespace console {
namespace {

constexpr char kEscape = '\x1b';

void AppendLine(std::string& out, std::u16string_view text, std::string_view line_end) {
  out += TerminalText(text, line_end);
  out += line_end;
}

std::u16string CaptionOf(report::frmReport& form, std::u16string_view name,
                         std::int32_t index = -1) {
  const report::Control* control = form.Find(name, index);
  return control == nullptr ? std::u16string() : control->caption;
}

// The index of the first button with the given flag, or -1.
std::int16_t ButtonWhere(report::frmReport& form, bool report::Control::*flag) {
  for (const report::Control& c : form.Controls()) {
    if (c.kind == report::Control::Kind::kButton && c.*flag) {
      return static_cast<std::int16_t>(c.index);
    }
  }
  return -1;
}

// Every byte reaches the descriptor or the descriptor has failed; a failure is not reported,
// since there is nowhere left to show the text.
void WriteAll(int fd, std::string_view bytes) noexcept {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Owns a file descriptor; the destructor closes it.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { Reset(); }
  int Get() const noexcept { return fd_; }
  int Release() noexcept { return std::exchange(fd_, -1); }
  void Reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

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
    int fd;
    do {
      fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return t;
    UniqueFd owner(fd);
    struct termios modes;
    if (!InForeground(fd) || ::tcgetattr(fd, &modes) != 0) return t;
    t.line_end_ = ((modes.c_oflag & OPOST) && (modes.c_oflag & ONLCR)) ? "\n" : "\r\n";
    t.fd_ = std::move(owner);
    return t;
  }

  bool Valid() const noexcept { return fd_.Get() >= 0; }
  std::string_view LineEnd() const noexcept { return line_end_; }
  void Write(std::string_view bytes) const noexcept { WriteAll(fd_.Get(), bytes); }

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
      const ssize_t got = ::read(fd, &byte, 1);
      if (got < 0 && errno == EINTR) continue;
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

// --- The ports. ------------------------------------------------------------------------------

class ConsoleMessageBox final : public MessageBox {
 public:
  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    const Terminal tty = OpenTerminalUnlessNone();
    if (!tty.Valid()) {
      WriteAll(STDERR_FILENO, MessageBoxNotice(prompt, title));
      return;
    }
    if (tty.WaitForKey(MessageBoxScreen(prompt, style, title, tty.LineEnd())) != kTerminalGone) {
      tty.Write(tty.LineEnd());
    }
  }
};

// The four buttons as keys; the text is shown but not edited (see ReportScreen).
class ConsoleReportWindow final : public ReportWindow {
 public:
  void ShowModal(report::frmReport& form) override {
    const Terminal tty = OpenTerminalUnlessNone();
    if (!tty.Valid()) {
      WriteAll(STDERR_FILENO, ReportNotice(form));
      form.Unload();
      return;
    }
    std::string screen = ReportScreen(form, tty.LineEnd());
    while (!form.Unloaded()) {
      const int key = tty.WaitForKey(screen);
      screen.clear();
      if (key == kTerminalGone) {
        form.Unload();  // as the window's close box
        break;
      }
      const std::int16_t button =
          key < 0 ? std::int16_t{-1} : ReportButtonForKey(form, static_cast<char>(key));
      if (button < 0) continue;
      form.cmdReport_Click(button);
      if (!form.Unloaded()) {
        screen.assign(tty.LineEnd());
        screen += ReportActions(form, tty.LineEnd());
      }
    }
  }
};

// Where the clipboard's text goes: the user's runtime folder, else the temporary folder.
std::string ClipboardFolder() {
  for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] == '/') return value;
  }
  return "/tmp";
}

// A terminal has no clipboard that the library could own, so the text is kept in a private
// file whose name the user is told.
class ConsoleClipboard final : public Clipboard {
 public:
  explicit ConsoleClipboard(std::shared_ptr<Resources> resources)
      : resources_(std::move(resources)) {}

  void SetText(std::u16string_view text) override {
    std::string path = ClipboardFolder() + "/cobaltmoth-report-XXXXXX.txt";
    const int fd = ::mkostemps(path.data(), 4, O_CLOEXEC);  // mode 0600, created exclusively
    if (fd < 0) RaisePosixError(errno);
    UniqueFd file(fd);
    const std::string bytes = text::ToUtf8(text);
    std::string_view left = bytes;
    while (!left.empty()) {
      const ssize_t written = ::write(file.Get(), left.data(), left.size());
      if (written < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::unlink(path.c_str());
        RaisePosixError(error);
      }
      left.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::close(file.Release()) != 0 && errno != EINTR) {
      const int error = errno;
      ::unlink(path.c_str());
      RaisePosixError(error);
    }

    std::u16string note = resources_->LanguageId() == 1040
                              ? u"Il testo del report \u00E8 nel file "
                              : u"The report's text is in the file ";
    note += text::FromUtf8(path);
    note += resources_->LanguageId() == 1040 ? u" (un terminale non ha clipboard)."
                                             : u" (a terminal has no clipboard).";
    const Terminal tty = OpenTerminalUnlessNone();
    if (tty.Valid()) {
      std::string line(tty.LineEnd());
      AppendLine(line, note, tty.LineEnd());
      tty.Write(line);
    } else {
      std::string line;
      AppendLine(line, note, "\n");
      WriteAll(STDERR_FILENO, line);
    }
  }

 private:
  std::shared_ptr<Resources> resources_;
};

}  // namespace

UiMode UiModeFromName(const char* name) noexcept {
  if (name == nullptr || *name == '\0' || std::strcmp(name, "gui") == 0) return UiMode::kGui;
  if (std::strcmp(name, "none") == 0) return UiMode::kNone;
  return UiMode::kConsole;
}

UiMode UiModeFromEnvironment() noexcept { return UiModeFromName(std::getenv("COBALTMOTH_UI")); }

std::string TerminalText(std::u16string_view text, std::string_view line_end) {
  std::u16string shown;
  shown.reserve(text.size());
  std::string out;
  const auto flush = [&] {
    out += text::ToUtf8(shown);
    shown.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'\r' || unit == u'\n') {
      flush();
      out += line_end;
      if (unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else if ((unit < 0x20 && unit != u'\t') || (unit >= 0x7F && unit <= 0x9F)) {
      shown += u'?';
    } else {
      shown += unit;
    }
  }
  flush();
  return out;
}

std::string MessageBoxScreen(std::u16string_view prompt, std::int32_t style,
                             std::u16string_view title, std::string_view line_end) {
  std::u16string heading;
  switch (style & 0x70) {
    case 16:
      heading = u"(X) ";
      break;
    case 32:
      heading = u"(?) ";
      break;
    case 48:
      heading = u"(!) ";
      break;
    case 64:
      heading = u"(i) ";
      break;
    default:
      break;
  }
  heading += title.empty() ? host::kProjectSource : title;
  std::string out(line_end);
  AppendLine(out, heading, line_end);
  AppendLine(out, prompt, line_end);
  out += line_end;
  out += "[ OK ]";
  return out;
}

std::string MessageBoxNotice(std::u16string_view prompt, std::u16string_view title) {
  std::string out;
  AppendLine(out, title.empty() ? host::kProjectSource : title, "\n");
  AppendLine(out, prompt, "\n");
  return out;
}

std::int16_t ReportButtonForKey(report::frmReport& form, char key) {
  if (key == '\r' || key == '\n') return ButtonWhere(form, &report::Control::is_default);
  if (key == kEscape) return ButtonWhere(form, &report::Control::is_cancel);
  const char lower = (key >= 'A' && key <= 'Z') ? static_cast<char>(key - 'A' + 'a') : key;
  for (std::int16_t i = 0; i < 4; ++i) {
    if (kReportKeys[i] == lower && form.Find(u"cmdReport", i) != nullptr) return i;
  }
  return -1;
}

std::string ReportActions(report::frmReport& form, std::string_view line_end) {
  std::string out;
  for (std::int16_t i = 0; i < 4; ++i) {
    if (form.Find(u"cmdReport", i) == nullptr) continue;
    if (!out.empty()) out += "  ";
    out += '[';
    out += kReportKeys[i];
    out += "] ";
    out += TerminalText(CaptionOf(form, u"cmdReport", i), line_end);
  }
  out += line_end;
  std::string keys;
  const std::int16_t enter = ButtonWhere(form, &report::Control::is_default);
  const std::int16_t escape = ButtonWhere(form, &report::Control::is_cancel);
  if (enter >= 0) keys += "Enter: " + TerminalText(CaptionOf(form, u"cmdReport", enter), line_end);
  if (escape >= 0) {
    if (!keys.empty()) keys += "  ";
    keys += "Esc: " + TerminalText(CaptionOf(form, u"cmdReport", escape), line_end);
  }
  if (!keys.empty()) {
    out += keys;
    out += line_end;
  }
  return out;
}

std::string ReportScreen(report::frmReport& form, std::string_view line_end) {
  std::string out(line_end);
  AppendLine(out, form.Caption(), line_end);
  out += line_end;
  AppendLine(out, CaptionOf(form, u"Label1", 0), line_end);
  out += line_end;
  AppendLine(out, form.Text(), line_end);
  out += line_end;
  AppendLine(out, CaptionOf(form, u"Label1", 1), line_end);
  AppendLine(out, CaptionOf(form, u"Label1", 2) + u" " + CaptionOf(form, u"SupportFax"), line_end);
  AppendLine(out, CaptionOf(form, u"Label1", 3) + u" " + CaptionOf(form, u"SupportMail"),
             line_end);
  out += line_end;
  out += ReportActions(form, line_end);
  return out;
}

std::string ReportNotice(report::frmReport& form) {
  std::string out;
  AppendLine(out, form.Caption(), "\n");
  AppendLine(out, form.Text(), "\n");
  return out;
}

}  // namespace console

std::shared_ptr<MessageBox> MakeConsoleMessageBox() {
  return std::make_shared<console::ConsoleMessageBox>();
}

std::shared_ptr<ReportWindow> MakeConsoleReportWindow() {
  return std::make_shared<console::ConsoleReportWindow>();
}

std::shared_ptr<Clipboard> MakeConsoleClipboard() {
  return std::make_shared<console::ConsoleClipboard>(MakePosixResources());
}

}  // namespace cobaltmoth::platform
