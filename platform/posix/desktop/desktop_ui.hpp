// platform/posix/desktop/desktop_ui.hpp - the message box, the report window and the clipboard on a Linux
// desktop, drawn by the program cobaltmoth-ui.
//
// The library starts cobaltmoth-ui and waits for it; that is what makes both windows modal,
// and no host ever links a toolkit. The program gets its texts over a socket (never on the
// command line) and reports back over it (platform/posix/desktop/ui_channel.hpp): the answer of a
// message box, every button of the report window with the text the box holds at that moment.
// The library then runs the window's own action (copy, print, mail, close) on its model, so
// the desktop and the terminal forms behave alike; a message box that an action shows is drawn
// by the same program, over the report window.
//
// The desktop form is tried when COBALTMOTH_UI is "gui", unset or empty and DISPLAY names a
// display. A program that cannot be found or started, cannot open the display, crashes, or
// hangs (no sign of life within the limits below) is ended and counts as "no display": the
// call goes to the fallback (the terminal form) and the host never crashes or hangs for it.
//
// The clipboard: Copy starts cobaltmoth-ui detached as the clipboard's owner. It serves the
// text until another program takes the clipboard or for ten minutes, after the window has
// gone too, and the host does not wait for it beyond its word that it owns the clipboard.
//
// Thread-safety: each call runs on the calling thread; a message box finds the report window
// that the same thread has open.
#pragma once

#include <memory>
#include <string>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::gui {

struct GuiOptions {
  std::string program;             // the path of cobaltmoth-ui; empty: there is none
  int start_limit_ms = 20000;      // from the start until the program's first word
  int silence_limit_ms = 30000;    // the longest silence of a running program
};

// Where cobaltmoth-ui is: $COBALTMOTH_UI_PROGRAM when set; else the first executable of the
// installed program beside the library (its libexec folder relative to the library's own
// folder), the installed program's absolute path, and the program of the build tree. Empty
// when there is none.
std::string FindUiProgram();

// Whether the desktop form is to be tried now (COBALTMOTH_UI and DISPLAY).
bool DesktopWanted();

// The desktop forms; each hands the call to `fallback` when the desktop form is not wanted or
// not possible. `options.program` empty means FindUiProgram() at each call.
std::shared_ptr<MessageBox> MakeGuiMessageBox(GuiOptions options,
                                              std::shared_ptr<MessageBox> fallback);
std::shared_ptr<ReportWindow> MakeGuiReportWindow(GuiOptions options,
                                                  std::shared_ptr<ReportWindow> fallback);
// A clipboard owner that starts but cannot take the clipboard raises 521 "Can't open
// Clipboard"; a program that cannot be started hands the text to `fallback`.
std::shared_ptr<Clipboard> MakeGuiClipboard(GuiOptions options,
                                            std::shared_ptr<Clipboard> fallback);

}  // namespace cobaltmoth::platform::gui
