// delivery/record.hpp - one report as it goes out to every destination: its facts, the report
// itself, its one-line summary and its fingerprint.
//
// The summary, for a raised error and for a crash (" at line N" only for a line other than 0;
// control characters of the description as blanks, a description longer than 1,000 characters
// cut there and ended with an ellipsis, U+2026):
//   Payroll 1.2.30: error 11 in frmOrders.cmdSave_Click at line 120: Division by zero
//   Payroll 1.2.30: crash 6 in modDb.SaveOrder at line 120: SIGABRT: aborted
//
// The fingerprint names the fault the same way on any machine, run and system: FNV-1a 64 over
// the UTF-8 of
//   number "\n" LCase(module) "\n" LCase(procedure)
// and, for a crash, "\n" and the name of each of the innermost three named frames of the
// host's main executable (a name without its module, address, offset, file or line; none when
// the frames could not be named), written as 16 lower-case hexadecimal digits.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cobaltmoth::delivery {

inline constexpr std::size_t kSummaryDescription = 1000;

struct Record {
  bool crash = false;
  std::u16string app_name = {};     // as given to Init: "Payroll"
  std::u16string app_version = {};  // "1.2.30"
  std::int32_t number = 0;
  std::u16string description = {};
  std::u16string module_name = {};  // where it happened; a crash's innermost traced entry
  std::u16string proc_name = {};
  std::int32_t line = 0;
  bool critical = false;            // what the host said; always for a crash
  std::uint32_t process_id = 0;     // the process reported on
  std::u16string report = {};       // the whole report (CR LF), the environment's secrets filtered
  // The frames of the report's native stack as it writes them, one a line:
  // "#00 0x000055d1c2a1e364 payroll+0x2364 SaveOrder(Order const&) at /src/db.cpp:31".
  std::vector<std::u16string> native_stack = {};
  // The whole paths of the modules those frames are in, as the report lists them below.
  std::vector<std::u16string> modules = {};
  std::string fingerprint = {};     // 16 lower-case hexadecimal digits
  std::uint32_t folded = 0;         // records of this fingerprint folded away before this one
};

// The frame lines and module paths of the report's "Native Stack:" section into `record`.
void ReadNativeStack(Record& record);

// The innermost three named frames of `module` (compared in any case), their names alone.
std::vector<std::u16string> NamedFramesOf(std::span<const std::u16string> native_stack,
                                          std::u16string_view module);

std::string Fingerprint(std::int32_t number, std::u16string_view module_name,
                        std::u16string_view proc_name, std::span<const std::u16string> frames);

// The native stack from the report, then the fingerprint (a crash's with the frames of
// `main_module`).
void Complete(Record& record, std::u16string_view main_module);

std::u16string Summary(const Record& record);

// UTF-8 with LF line breaks: a CR LF, or a CR alone, becomes LF.
std::string Utf8Lines(std::u16string_view text);
// The size of Utf8Lines(text), without making it.
std::size_t Utf8LinesSize(std::u16string_view text) noexcept;

}  // namespace cobaltmoth::delivery
