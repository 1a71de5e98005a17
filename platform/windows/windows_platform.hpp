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

// First: <windows.h> without its MessageBox macro, which would rename the port below.
#include "platform/windows/unique.hpp"

#include "platform/crashes.hpp"
#include "platform/outbox.hpp"
#include "platform/platform.hpp"
#include "platform/resources.hpp"
#include "platform/transport.hpp"
#include "platform/ui.hpp"

namespace cobaltmoth::platform::windows {

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
// (1040 for any Italian variant, 1033 for every other language), and `icon` as icon 101.
std::shared_ptr<Resources> MakeWindowsResources(Icon icon);

// The message box and the report window, shown as COBALTMOTH_UI says at each call (see
// platform/ui.hpp): "gui" (the default) draws them; "console" writes them to standard output
// for hosts that run unattended (test hosts read them back), as common::MessageBoxTranscript
// and common::ReportTranscript give them, and the report window then answers its close box;
// "none" writes the same to standard error, when the process has one, and the report window
// answers its close box at once.
std::shared_ptr<MessageBox> MakeWindowsMessageBox();
std::shared_ptr<ReportWindow> MakeWindowsReportWindow();

// The desktop's message box, owned by `owner` (nullptr for none); returns once it is closed.
// An empty title is kDefaultMessageBoxTitle.
void ShowDesktopMessageBox(HWND owner, std::u16string_view prompt, std::int32_t style,
                           std::u16string_view title);

// The report window as a native dialog (platform/windows/report_dialog.cpp): the model's
// controls at their places in twips at the screen's DPI, centred, the model's picture as
// picture and window icon, "Courier New" 8.25 pt in the text box, the default button pressed
// by Enter (also from the text box; Ctrl+Enter is a new line there) and the cancel button by
// Esc. Modal without an owner: the thread's other windows are disabled until it is destroyed.
// Its message loop runs inside WaitForClick.
std::unique_ptr<ShownReportWindow> ShowReportDialog(const ReportWindowModel& model);

std::shared_ptr<Clipboard> MakeWindowsClipboard();
std::shared_ptr<Printer> MakeWindowsPrinter();
std::shared_ptr<Shell> MakeWindowsShell();

// The user's short date pattern with the year in full: the date part of Clock::NowText, for
// GetDateFormatW.
std::wstring NowDatePattern();

// Crashes caught by an unhandled-exception filter and std::terminate, reported from a thread
// of the library's own (platform/windows/crash_catcher.cpp).
std::shared_ptr<Crashes> MakeWindowsCrashes();

// The outbox's folder, %LOCALAPPDATA%\Cobaltmoth\Outbox, read from the environment at each
// call; its sender is cobaltmoth-send.exe beside the module that holds this code
// (platform/windows/windows_outbox.cpp).
std::shared_ptr<OutboxFolder> MakeWindowsOutboxFolder();
// The Event Log, through the event source the DLL registers (platform/windows/transport.cpp).
std::shared_ptr<Transport> MakeWindowsTransport();

// UTF-16 to the ANSI code page ("?" for what it cannot hold), and back.
std::string ToAnsi(std::u16string_view text);
std::u16string FromAnsi(std::string_view bytes);

}  // namespace cobaltmoth::platform::windows
