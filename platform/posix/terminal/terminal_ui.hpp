// platform/posix/terminal/terminal_ui.hpp - the message box, the report window and the
// clipboard in the terminal, for a Linux process that has no display.
//
// The terminal is the process's controlling terminal, /dev/tty, and only while the process
// group is in its foreground. There the message box waits for one key and the report window
// offers its four buttons as keys (platform/common/text_screens.hpp draws both); the
// terminal's settings are put back on every way out, signals included. With no terminal (none
// at all, or a process group in the background) or with COBALTMOTH_UI=none nothing ever
// waits: the texts go to standard error (none at all with "none") and the call returns at
// once, so a host that runs unattended is never blocked. Standard error is the host's: a
// reader that has gone or a pipe nobody drains costs at most a short wait, never a signal.
//
// Every text is written as UTF-8. CR LF, and a lone CR or LF, become the terminal's line end:
// LF when the terminal turns LF into CR LF itself (OPOST and ONLCR set), CR LF otherwise; on
// standard error, LF.
//
// A terminal has no clipboard that the library could own: Copy keeps the text in a private
// file (mode 0600, in $XDG_RUNTIME_DIR, $TMPDIR or /tmp) and hands back its path, so that the
// user is told where the text is.
//
// Thread-safety: the objects may be used from any thread; waiting for a key is serialised
// across the process, since the terminal's settings and the signal handlers are the process's.
#pragma once

#include <memory>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::posix::terminal {

// How long a text may take to go out on standard error before the rest is dropped.
inline constexpr int kStandardErrorLimitMs = 2000;

struct TerminalUi {
  std::shared_ptr<MessageBox> message_box;
  std::shared_ptr<ReportWindow> report_window;
  std::shared_ptr<Clipboard> clipboard;
};
TerminalUi MakeTerminalUi();

}  // namespace cobaltmoth::platform::posix::terminal
