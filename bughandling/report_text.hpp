// bughandling/report_text.hpp - the texts of the bug handler: the report, its error table,
// the bug log's banners and the report window's text.
//
// Pure functions from data to text; ProcBug gathers the data. Every line break is CR LF.
//
// The error table, for module FRMMAIN, procedure CMDOK_CLICK and line 120 (each line 36
// characters; a column is as wide as the longer of its header and its value):
//
//   ************************************
//   * Module Name * Proc Name   * Line *
//   ************************************
//   * FRMMAIN     * CMDOK_CLICK * 120  *
//   ************************************
//
// The report:
//
//   The Application:
//   ----------------
//   Name:    Payroll.EXE ver. 1.2.30
//   OS Path: /opt/payroll/Payroll.EXE
//
//   The Error:
//   ----------
//   An error has occurred in /opt/payroll/Payroll.EXE.
//   The error probably occurred in this internal procedure
//
//   <the error table, module and procedure in upper case>
//
//   Technical References for this error:
//   ------------------------------------
//   VB Error number:      11
//   VB Error description: Division by zero
//
//   <the tracer's Dump, when there is an enabled tracer, then an empty line>
//   Active Log Files:                           (only when a log is on)
//   -----------------
//   Bug Log File Path:    /opt/payroll/Payroll_buglog.txt
//   Proc Stack File Path: /opt/payroll/Payroll_stacklog.txt
//
//
//   Current Enviroment Variables:
//   -----------------------------
//   HOME=/home/payroll
//   ...
//
// ("Technical References for this error: " and "The error probably occurred in this internal
// procedure " end in a blank; "Enviroment" is the report's own spelling.)
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "runtime/text.hpp"
#include "support/log_section.hpp"

namespace cobaltmoth::bughandling {

// Eighty dashes: the bug log's banner rule.
inline constexpr std::u16string_view kDashLine =
    u"--------------------------------------------------------------------------------";

// The bug log's sections.
inline constexpr support::SectionMarks kBugLogMarks{kDashLine, u"Start Log Error",
                                                    u"End Log Error Stack"};

// The five-line table of module, procedure and line (the names in upper case), each line
// ending in CR LF. Widths are the host's 16-bit integers: a border longer than 32767
// characters raises 6 "Overflow".
void AppendErrorTable(runtime::TextOut& out, std::u16string_view module_name,
                      std::u16string_view proc_name, std::int32_t line_number);
std::u16string ErrorTable(std::u16string_view module_name, std::u16string_view proc_name,
                          std::int32_t line_number);

// What the report is made of.
struct ReportFacts {
  std::u16string_view app_title;      // "Payroll.EXE ver. 1.2.30"
  std::u16string_view app_full_path;  // folder, separator, application file
  std::u16string_view module_name;    // where the error happened
  std::u16string_view proc_name;
  std::int32_t line_number = 0;
  std::int32_t number = 0;            // the error's number and description
  std::u16string_view description;
  // The tracer's Dump (each line ending in CR LF), or none.
  const runtime::TextPiece* dump = nullptr;
  bool bug_log_on = false;            // LogOnFile of the bug handler...
  std::u16string_view bug_log_path;   // ...and its LogFilePath
  bool stack_log_on = false;          // LogOnFile of its tracer...
  std::u16string_view stack_log_path;  // ...and the tracer's LogFilePath
  const runtime::TextPiece* environment = nullptr;  // "NAME=value" lines, each ending in CR LF
};

// The report text (see above), as it comes; it always ends with a line break.
void AppendReport(runtime::TextOut& out, const ReportFacts& facts);
// The same, with the dump's text (empty for none) and the environment as the host's Environ$
// lists it ("NAME=value" in order, ending at the first empty entry).
std::u16string BuildReport(ReportFacts facts, std::u16string_view dump,
                           const std::vector<std::u16string>& environment);

// The report with its environment's secrets filtered (delivery/secret_filter.hpp): what leaves
// the machine, and what the bug log holds with RedactSecrets on.
std::u16string FilterReportSecrets(std::u16string_view report);

// The report window's date line, "dddd, dd mmmm yyyy - hh:nn:ss", with the weekday and month
// names and the time separator of the user's locale: "Sunday, 06 December 2026 - 09:41:07",
// "domenica, 06 dicembre 2026 - 09:41:07".
std::u16string WindowDateLine(const platform::LocalTime& now, std::u16string_view time_separator,
                              std::u16string_view day_name, std::u16string_view month_name);

// The report window's text: an empty line, the date line, an empty line, "From:    " user,
// "Company: " company, "E-Mail:  " prompt, an empty line, then the report.
std::u16string WindowText(std::u16string_view date_line, std::u16string_view user,
                          std::u16string_view company, std::u16string_view email_prompt,
                          std::u16string_view report);

}  // namespace cobaltmoth::bughandling
