// platform/common/text_screens.hpp - the message box and the report window as text, for
// the front ends that have no windows: a terminal, standard error, a console host's output.
//
// Pure functions of what a window would show (platform/ui.hpp's report window model, a
// message box's prompt, style and title); the front ends write what they return.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::common {

// `text` as UTF-8 for a terminal: every CR LF, lone CR and lone LF as `line_end`, control
// characters other than tab (C0, DEL and C1, which could drive the terminal) as "?".
std::string TerminalText(std::u16string_view text, std::string_view line_end);

// The message box as written to a terminal, before it waits for a key. An empty title is
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
std::int32_t ReportButtonForKey(const platform::ReportWindowModel& window, char key);

// The line of actions, from the buttons' captions, ending in `line_end`:
//
//   [c] Copy to Clipboard  [p] Print Report  [m] Send E-Mail  [q] Close\n
//   Enter: Send E-Mail  Esc: Close\n
std::string ReportActions(const platform::ReportWindowModel& window, std::string_view line_end);

// The report window as written to a terminal (the text box is shown, not edited: a terminal
// has no room for an editor beside the host's own output, so the text is the one the bug
// handler wrote):
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
std::string ReportScreen(const platform::ReportWindowModel& window, std::string_view line_end);

// The report window on standard error, with no terminal: its title and the report text.
//
//   <window title>\n
//   <the report text>\n
std::string ReportNotice(const platform::ReportWindowModel& window);

// A console host's transcript of a message box (UTF-16, CR LF):
//   [MsgBox 16] Payroll\r\n
//   Disk full\r\n
std::u16string MessageBoxTranscript(std::u16string_view prompt, std::int32_t style,
                                    std::u16string_view title);

// A console host's transcript of the report window: its title, each label and button with
// its caption in the window's order, then the text box's text.
//   [Report] <title>\r\n
//   Label1(0): <caption>\r\n
//   ...
//   [txtError]\r\n
//   <the report text>\r\n
std::u16string ReportTranscript(const platform::ReportWindowModel& window);

}  // namespace cobaltmoth::platform::common
