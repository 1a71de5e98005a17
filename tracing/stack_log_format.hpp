// tracing/stack_log_format.hpp - the texts of the stack dump and the stack log.
//
// Pure functions from data to text; the tracer decides when each is written. Every line the
// functions return is without its CR LF, except the whole Dump text, in which every line ends
// with CR LF. Examples of each are in cobaltmoth/proc_stac.hpp; in short:
//
//   Dump entry:   "Stack Element 003 of 003 frmOrders            - cmdSave_Click        "
//                 "called @ line 120 by Form_Load"   (one line)
//   entry line:   "|  o»»» Enter frmOrders::cmdSave_Clickcalled @ line 120 "
//   exit line:    "|  o««« Exit  frmOrders::cmdSave_Click"
//   lost exit:    "|  o*** Exit  modDb::SaveOrder (Exit point not found...maybe used "exit sub")"
//   comment:      "|  | ### loading orders ###"
//
// Names longer than the dump's 20-character fields are shown whole.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "runtime/text.hpp"
#include "support/log_section.hpp"
#include "tracing/stack_record.hpp"

namespace cobaltmoth::tracing {

// What a stack log line describes.
enum class StackLogLineKind : std::int32_t {
  ExitNotFound = -1,
  Enter = 0,
  Exit = 1,
  Comment = 2,
};

// Eighty asterisks.
inline constexpr std::u16string_view kRuleLine =
    u"********************************************************************************";

// The stack log's sections.
inline constexpr support::SectionMarks kStackLogMarks{kRuleLine, u"Start Log Procedure Stack",
                                             u"End Log Procedure Stack"};

// The whole Dump text of a stack given bottom (position 1) first.
void AppendDump(runtime::TextOut& out, const runtime::TextPiece& app_title,
                std::span<const StackRecord> bottom_first);
std::u16string FormatDump(const runtime::TextPiece& app_title,
                          std::span<const StackRecord> bottom_first);

// Appends the stack log line of one entry, exit, lost exit or comment at stack depth `depth`.
// A comment's text comes as `module_name`.
void AppendTraceLine(std::u16string& out, std::int32_t depth, StackLogLineKind kind,
                     std::u16string_view module_name, std::u16string_view proc_name,
                     std::int32_t line_number);

}  // namespace cobaltmoth::tracing
