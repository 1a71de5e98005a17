// bughandling/error_windows.hpp - the windows of a reported error: the message box's prompt
// and the report window as Raise shows them, and the same windows for a crash, shown by a
// fresh process (the program cobaltmoth-crash) from a request the crashed process wrote.
//
// A crash's request is UTF-8: these fields, each ended by a NUL, then the report text:
//   message box wanted ("1" or "0"), report window wanted, the windows' title, module,
//   procedure, line, number, description, support fax, support e-mail
//
// Thread-safety: the host's thread that reports the error.
#pragma once

#include <cstdint>
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
  const runtime::TextPiece* report = nullptr;
};
void WriteCrashWindowsRequest(runtime::TextOut& out, const CrashWindows& windows);

// Shows the windows a request asks for, on `platform`; false for a request it cannot read.
bool ShowCrashWindows(const std::shared_ptr<const platform::Platform>& platform,
                      std::string_view request);

}  // namespace cobaltmoth::bughandling
