// bughandling/error_windows.hpp - the windows of a reported error: the message box's prompt
// and the report window as Raise shows them, and for a crash what a fresh process (the program
// cobaltmoth-crash, or rundll32 on Windows) does from a request the crashed process wrote: the
// report's delivery (delivery/), then the same windows.
//
// A crash's request is UTF-8: these fields, each ended by a NUL, then the report text:
//   message box wanted ("1" or "0"), report window wanted, the windows' title, module,
//   procedure, line, number, description, support fax, support e-mail, the ReportTo list in
//   effect ("" for no delivery), the application's name and version ("1.2.30"), the main
//   executable's module name, the crashed process's id
//
// Thread-safety: the host's thread that reports the error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::bughandling {

// The message box's prompt:
//   Error in module frmMain in the procedure cmdOK_Click at line 120
//
//   The technical references for this error is: 
//       Number: 11
//       Description=Division by zero
// (" at line 120" only for a line other than 0).
std::u16string ErrorPrompt(std::u16string_view module_name, std::u16string_view proc_name,
                           std::int32_t line_number, std::int32_t number,
                           std::u16string_view description);

// Loads the report window with its captions, fills it (the date in the user's locale, the
// machine's owner and organisation, the e-mail prompt and `report`) and shows it modally.
void ShowReportWindow(const std::shared_ptr<const platform::Platform>& platform,
                      std::u16string_view title, std::u16string_view support_fax,
                      std::u16string_view support_mail, std::u16string_view report);

// What a crash's windows show, as the crashed process writes it for the program that shows
// them (see above); the report is written by `report`. Nothing is allocated.
struct CrashWindows {
  bool message_box = false;
  bool report_window = false;
  const runtime::TextPiece* title = nullptr;
  std::u16string_view module_name;
  std::u16string_view proc_name;
  std::int32_t line_number = 0;
  std::int32_t number = 0;
  std::u16string_view description;
  std::u16string_view support_fax;
  std::u16string_view support_mail;
  std::u16string_view report_to;
  std::u16string_view app_name;
  std::u16string_view app_version;
  std::u16string_view main_module;
  std::uint32_t process_id = 0;
  const runtime::TextPiece* report = nullptr;
};
void WriteCrashWindowsRequest(runtime::TextOut& out, const CrashWindows& windows);

// Delivers the crash's report where the request says, then shows the windows it asks for, on
// `platform`; false for a request it cannot read. `read_minidump` reads the minidump the
// report names, for an error tracker (Windows).
bool ShowCrashWindows(const std::shared_ptr<const platform::Platform>& platform,
                      std::string_view request,
                      std::function<std::string(std::u16string_view)> read_minidump = {});

}  // namespace cobaltmoth::bughandling
