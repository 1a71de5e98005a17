#include "tracing/stack_log_format.hpp"

#include "component/base/log_section.hpp"
#include "component/base/text.hpp"

namespace cobaltmoth::tracing {
namespace {

constexpr std::size_t kNameField = 20;
constexpr std::u16string_view kCrLf = u"\r\n";

// A number with at least three digits, zero-filled on the left.
void AppendThreeDigits(std::u16string& out, std::int32_t value) {
  if (value >= 0 && value < 100) out += u'0';
  if (value >= 0 && value < 10) out += u'0';
  text::AppendDecimal(out, value);
}

// Left-aligned in a field of 20 characters, filled with blanks; a longer name stays whole.
void AppendNameField(std::u16string& out, std::u16string_view name) {
  out += name;
  if (name.size() < kNameField) out.append(kNameField - name.size(), u' ');
}

}  // namespace

std::u16string AppTitle(std::u16string_view app_file, std::u16string_view major,
                        std::u16string_view minor, std::u16string_view revision) {
  std::u16string title(app_file);
  title += u" ver. ";
  title += major;
  title += u'.';
  title += minor;
  title += u'.';
  title += revision;
  return title;
}

std::u16string FormatDump(std::u16string_view app_title,
                          const std::vector<const StackRecord*>& bottom_first) {
  const auto n = static_cast<std::int32_t>(bottom_first.size());
  std::u16string out;
  out.reserve(3 * 82 + app_title.size() + 30 + bottom_first.size() * 110);
  out += kRuleLine;
  out += kCrLf;
  out += u"* Stack Procedure Tree for ";
  out += app_title;
  out += kCrLf;
  out += kRuleLine;
  out += kCrLf;
  for (std::int32_t p = n; p >= 1; --p) {
    const StackRecord& entry = *bottom_first[p - 1];
    out += u"Stack Element ";
    AppendThreeDigits(out, p);
    out += u" of ";
    AppendThreeDigits(out, n);
    out += u' ';
    AppendNameField(out, entry.ModuleName());
    out += u" - ";
    AppendNameField(out, entry.ProcName());
    if (entry.CalledByLineNumber() != 0) {
      out += u" called @ line ";
      text::AppendDecimal(out, entry.CalledByLineNumber());
      if (p != 1) {
        out += u" by ";
        out += bottom_first[p - 2]->ProcName();
      }
    }
    out += kCrLf;
  }
  out += kRuleLine;
  out += kCrLf;
  return out;
}

void AppendTraceLine(std::u16string& out, std::int32_t depth, StackLogLineKind kind,
                     std::u16string_view module_name, std::u16string_view proc_name,
                     std::int32_t line_number) {
  for (std::int32_t i = 1; i < depth; ++i) out += u"|  ";
  switch (kind) {
    case StackLogLineKind::Enter:
      out += u"o\u00BB\u00BB\u00BB Enter ";
      break;
    case StackLogLineKind::Exit:
      out += u"o\u00AB\u00AB\u00AB Exit  ";
      break;
    case StackLogLineKind::ExitNotFound:
      out += u"o*** Exit  ";
      break;
    case StackLogLineKind::Comment:
      out += u"| ### ";
      out += module_name;
      out += u" ###";
      return;
  }
  out += module_name;
  out += u"::";
  out += proc_name;
  if (kind == StackLogLineKind::Enter && line_number != 0) {
    out += u"called @ line ";
    text::AppendDecimal(out, line_number);
    out += u' ';
  } else if (kind == StackLogLineKind::ExitNotFound) {
    out += u" (Exit point not found...maybe used \"exit sub\")";
  }
}

std::u16string SectionStartLine(std::u16string_view app_title, std::u16string_view now_text) {
  return SectionLine(u"Start Log Procedure Stack", app_title, now_text);
}

std::u16string SectionEndLine(std::u16string_view app_title) {
  return SectionLine(u"End Log Procedure Stack", app_title);
}

}  // namespace cobaltmoth::tracing
