// platform/posix/desktop/desktop_ui.hpp - the message box, the report window and the
// clipboard on a Linux desktop, drawn by the program cobaltmoth-ui.
//
// The library starts cobaltmoth-ui and waits for it; that is what makes both windows modal,
// and no host ever links a toolkit. The program gets its texts over a socket (never on the
// command line) and reports back over it (platform/posix/desktop/ui_channel.hpp): the answer of
// a message box, every press of the report window with the text the box holds at that moment.
// A message box over the report window (an action's) is drawn by the same program.
//
// The desktop form is tried when COBALTMOTH_UI asks for windows and DISPLAY names a display.
// A program that cannot be found or started, cannot open the display, crashes, or hangs (does
// not take a request or keeps silent beyond the limits below) is ended and counts as "no
// display": the call goes to the fallback given (the terminal's forms), a report window that
// was shown goes on there with the text it had, and the host never crashes or hangs for it.
//
// The clipboard: Copy starts cobaltmoth-ui detached as the clipboard's owner. It serves the
// text until another program takes the clipboard or for ten minutes, after the window has
// gone too, and the host does not wait for it beyond its word that it owns the clipboard.
//
// Thread-safety: each call runs on the calling thread; the objects keep no state between
// calls.
#pragma once

#include <memory>
#include <string>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::posix::desktop {

struct DesktopOptions {
  std::string program;             // the path of cobaltmoth-ui; empty: FindUiProgram()
  int start_limit_ms = 20000;      // from the start until the program's first word
  int silence_limit_ms = 30000;    // the longest a running program may take to answer, to
                                   // take a request or to say that it is alive
};

// Where cobaltmoth-ui is: $COBALTMOTH_UI_PROGRAM when set; else the installed program beside
// the library (its libexec folder relative to the library's own folder), then at its installed
// path; a library that runs from its build tree also tries the program built beside it. Empty
// when there is none.
std::string FindUiProgram();

// Whether the desktop form is to be tried now (COBALTMOTH_UI and DISPLAY).
bool DesktopWanted();

struct DesktopUi {
  std::shared_ptr<MessageBox> message_box;
  std::shared_ptr<ReportWindow> report_window;
  // A clipboard owner that starts but cannot take the clipboard raises 521 "Can't open
  // Clipboard"; a program that cannot be started hands the text to the fallback.
  std::shared_ptr<Clipboard> clipboard;
};
DesktopUi MakeDesktopUi(DesktopOptions options, std::shared_ptr<MessageBox> fallback_box,
                        std::shared_ptr<ReportWindow> fallback_window,
                        std::shared_ptr<Clipboard> fallback_clipboard);

}  // namespace cobaltmoth::platform::posix::desktop
