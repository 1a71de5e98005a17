// platform/posix/terminal/terminal_ui.hpp - the message box, the report window and the clipboard in the
// terminal, for a Linux process that has no display.
//
// COBALTMOTH_UI chooses the front end, read again at every call: "gui" (the desktop, when
// there is a display; also when the variable is unset or empty), "console" or "none"; any
// other value counts as "console". These are the terminal's forms: the desktop's own
// (platform/posix/desktop/desktop_ui.hpp) hands its calls here when it cannot show a window, and here
// "gui" means the terminal.
//
// The terminal is the process's controlling terminal, /dev/tty, and only while the process
// group is in its foreground. There the message box waits for one key and the report window
// offers its four buttons as keys; the terminal's settings are put back on every way out,
// signals included. With no terminal (none at all, or a process group in the background) or
// with COBALTMOTH_UI=none nothing ever waits: the texts go to standard error and the call
// returns at once, so a host that runs unattended is never blocked.
//
// Every text is written as UTF-8. CR LF, and a lone CR or LF, become the terminal's line end:
// LF when the terminal turns LF into CR LF itself (OPOST and ONLCR set), CR LF otherwise; on
// standard error, LF. Control characters other than tab (which could drive the terminal) are
// shown as "?".
//
// Thread-safety: the objects may be used from any thread; waiting for a key is serialised
// across the process, since the terminal's settings and the signal handlers are the process's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cobaltmoth::report {
class frmReport;
}

namespace cobaltmoth::platform::console {

enum class UiMode { kGui, kConsole, kNone };

// The front end a value of COBALTMOTH_UI names: nullptr and "" are kGui, unknown values
// kConsole.
UiMode UiModeFromName(const char* name) noexcept;
// The front end COBALTMOTH_UI names now.
UiMode UiModeFromEnvironment() noexcept;

// `text` as UTF-8 for the terminal: every CR LF, lone CR and lone LF as `line_end`, control
// characters other than tab (C0, DEL and C1) as "?".
std::string TerminalText(std::u16string_view text, std::string_view line_end);

// The message box as written to the terminal, before it waits for a key. An empty title is
// "Cobaltmoth"; the style's icon becomes a mark before the title: "(X) " critical, "(?) "
// question, "(!) " exclamation, "(i) " information. With line_end "\n", for Show(u"Disk
// full\r\nTry again", kExclamation, u"Payroll"):
//
//   \n
//   (!) Payroll\n
//   Disk full\n
//   Try again\n
//   \n
//   [ OK ]
//
// (the cursor stays after "[ OK ]"; a line end follows once a key is pressed).
std::string MessageBoxScreen(std::u16string_view prompt, std::int32_t style,
                             std::u16string_view title, std::string_view line_end);

// The message box on standard error, with no terminal: the title and the prompt.
//
//   Payroll\n
//   Disk full\n
//   Try again\n
std::string MessageBoxNotice(std::u16string_view prompt, std::u16string_view title);

// The key of each button of the report window, the same in every language: c Copy, p Print,
// m Send E-Mail, q Close. Enter presses the default button and Esc the cancel button as well.
inline constexpr char kReportKeys[4] = {'c', 'p', 'm', 'q'};

// The button a key presses (letters in either case; '\r' and '\n' the default button, '\x1b'
// the cancel button), or -1 for any other key.
std::int16_t ReportButtonForKey(report::frmReport& form, char key);

// The line of actions, from the buttons' captions, ending in `line_end`:
//
//   [c] Copy to Clipboard  [p] Print Report  [m] Send E-Mail  [q] Close\n
//   Enter: Send E-Mail  Esc: Close\n
std::string ReportActions(report::frmReport& form, std::string_view line_end);

// The report window as written to the terminal (the text box is shown, not edited: a
// terminal has no room for an editor beside the host's own output, so the text is the one the
// bug handler wrote):
//
//   \n
//   <window title>\n
//   \n
//   <caption of Label1(0)>\n
//   \n
//   <the report text, its CR LF as line ends>\n
//   \n
//   <caption of Label1(1)>\n
//   <caption of Label1(2)> <caption of SupportFax>\n
//   <caption of Label1(3)> <caption of SupportMail>\n
//   \n
//   <ReportActions>
std::string ReportScreen(report::frmReport& form, std::string_view line_end);

// The report window on standard error, with no terminal: its title and the report text.
//
//   <window title>\n
//   <the report text>\n
std::string ReportNotice(report::frmReport& form);

}  // namespace cobaltmoth::platform::console
