#include "tracing/stack_log_format.hpp"

#include "runtime/text.hpp"

namespace cobaltmoth::tracing {
namespace {

constexpr std::size_t kNameField = 20;
constexpr std::u16string_view kCrLf = u"\r\n";

// A number with at least three digits, zero-filled on the left.
void AppendThreeDigits(runtime::TextOut& out, std::int32_t value) {
  if (value >= 0 && value < 100) out.Append(u'0');
  if (value >= 0 && value < 10) out.Append(u'0');
  out.AppendDecimal(value);
}

// Left-aligned in a field of 20 characters, filled with blanks; a longer name stays whole.
void AppendNameField(runtime::TextOut& out, std::u16string_view name) {
  out.Append(name);
  constexpr std::u16string_view kBlanks = u"                    ";
  if (name.size() < kNameField) out.Append(kBlanks.substr(0, kNameField - name.size()));
}

}  // namespace

void AppendDump(runtime::TextOut& out, const runtime::TextPiece& app_title,
                std::span<const StackRecord> bottom_first) {
  const auto n = static_cast<std::int32_t>(bottom_first.size());
  out.Append(kRuleLine);
  out.Append(kCrLf);
  out.Append(u"* Stack Procedure Tree for ");
  app_title.WriteTo(out);
  out.Append(kCrLf);
  out.Append(kRuleLine);
  out.Append(kCrLf);
  for (std::int32_t p = n; p >= 1; --p) {
    const StackRecord& entry = bottom_first[static_cast<std::size_t>(p - 1)];
    out.Append(u"Stack Element ");
    AppendThreeDigits(out, p);
    out.Append(u" of ");
    AppendThreeDigits(out, n);
    out.Append(u' ');
    AppendNameField(out, entry.ModuleName());
    out.Append(u" - ");
    AppendNameField(out, entry.ProcName());
    if (entry.CalledByLineNumber() != 0) {
      out.Append(u" called @ line ");
      out.AppendDecimal(entry.CalledByLineNumber());
      if (p != 1) {
        out.Append(u" by ");
        out.Append(bottom_first[static_cast<std::size_t>(p - 2)].ProcName());
      }
    }
    out.Append(kCrLf);
  }
  out.Append(kRuleLine);
  out.Append(kCrLf);
}

std::u16string FormatDump(const runtime::TextPiece& app_title,
                          std::span<const StackRecord> bottom_first) {
  std::u16string dump;
  dump.reserve(3 * 82 + 60 + bottom_first.size() * 110);
  runtime::StringOut out(dump);
  AppendDump(out, app_title, bottom_first);
  return dump;
}

void AppendTraceLine(std::u16string& out, std::int32_t depth, StackLogLineKind kind,
                     std::u16string_view module_name, std::u16string_view proc_name,
                     std::int32_t line_number) {
  using namespace std::string_view_literals;  // lengths known when compiled
  std::u16string_view marker = u"o\u00BB\u00BB\u00BB Enter "sv;
  if (kind == StackLogLineKind::Exit) marker = u"o\u00AB\u00AB\u00AB Exit  "sv;
  if (kind == StackLogLineKind::ExitNotFound) marker = u"o*** Exit  "sv;
  if (kind == StackLogLineKind::Comment) marker = u"| ### "sv;
  const std::u16string_view between = kind == StackLogLineKind::Comment ? u" ###"sv : u"::"sv;
  if (kind == StackLogLineKind::Comment) proc_name = {};
  // One "|  " a level below the entry's, then the pieces: the line is sized once.
  const std::size_t levels = depth > 1 ? static_cast<std::size_t>(depth - 1) : 0;
  const std::size_t start = out.size();
  out.resize(start + 3 * levels + marker.size() + module_name.size() + between.size() +
             proc_name.size());
  char16_t* next = out.data() + start;
  for (std::size_t i = 0; i < levels; ++i, next += 3) next[0] = u'|', next[1] = next[2] = u' ';
  for (const std::u16string_view piece : {marker, module_name, between, proc_name}) {
    next += piece.copy(next, piece.size());
  }
  if (kind == StackLogLineKind::Enter && line_number != 0) {
    out += u"called @ line ";
    runtime::AppendDecimal(out, line_number);
    out += u' ';
  } else if (kind == StackLogLineKind::ExitNotFound) {
    out += u" (Exit point not found...maybe used \"exit sub\")";
  }
}
}  // namespace cobaltmoth::tracing
