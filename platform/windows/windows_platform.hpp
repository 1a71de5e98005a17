// platform/windows/windows_platform.hpp - the Windows backend of the platform interface.
//
// Files through the Win32 file functions (single-byte text in the ANSI code page), the clock
// through the user's locale, the registry through its ANSI functions, the string table from
// the module's own STRINGTABLE resources in the user's UI language, and the message box,
// clipboard, printer and shell of the desktop. Windows error codes become the host's run-time
// errors in one place, RaiseWindowsError.
//
// Thread-safety: every port may be used from any thread; a TextStream belongs to its owner.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// The one place where a Windows system error code becomes the host's run-time error
// (3 path not found -> 76 "Path not found", 5 access denied -> 70 "Permission denied",
// 112 disk full -> 61 "Disk full", ...).
[[noreturn]] void RaiseWindowsError(std::uint32_t error_code);

// The host run-time error number for a Windows system error code.
std::int32_t RuntimeErrorForWindowsError(std::uint32_t error_code) noexcept;

std::shared_ptr<FileSystem> MakeWindowsFileSystem();
std::shared_ptr<Clock> MakeWindowsClock();
std::shared_ptr<Environment> MakeWindowsEnvironment();
std::shared_ptr<Registry> MakeWindowsRegistry();
// The texts of the STRINGTABLE of the module that holds this code, in the user's UI language
// (1040 for any Italian variant, 1033 for every other language), and icon 101.
std::shared_ptr<Resources> MakeWindowsResources();

// How the message box and the report window are shown, from COBALTMOTH_UI: "gui" (the
// default) draws them; "console" writes them to standard output and returns, for hosts that
// run unattended (test hosts read them back), the message box as
//   [MsgBox 16] <title>
//   <prompt>
// and "none" shows nothing.
enum class UiMode { kGui, kConsole, kNone };
UiMode WindowsUiMode() noexcept;

std::shared_ptr<MessageBox> MakeWindowsMessageBox(UiMode mode);
// The report window: with kGui a native modal dialog (MakeDialogReportWindow); with kNone the
// form is unloaded at once, so Raise goes on as if the user had closed it; with kConsole its
// title, captions and text are first written to standard output, then it is unloaded:
//   [Report] <title>
//   Label1(0): <caption>     (each label and button, in the form's order)
//   [txtError]
//   <the window's text>
std::shared_ptr<ReportWindow> MakeWindowsReportWindow(UiMode mode);
// The report window as a native modal dialog (platform/windows/report_dialog.cpp): the
// model's controls at their places in twips at the screen's DPI, centred, icon 101 as picture
// and window icon, "Courier New" 8.25 pt in the text box, Send E-Mail the default button
// (Enter, also from the text box; Ctrl+Enter is a new line there) and Close the cancel button
// (Esc); every button takes the text as the box holds it. Modal without an owner: the
// thread's other windows are disabled while it is open.
std::shared_ptr<ReportWindow> MakeDialogReportWindow();
std::shared_ptr<Clipboard> MakeWindowsClipboard();
std::shared_ptr<Printer> MakeWindowsPrinter();
std::shared_ptr<Shell> MakeWindowsShell();

// UTF-16 to the ANSI code page ("?" for what it cannot hold), and back.
std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view bytes);

}  // namespace cobaltmoth::platform
