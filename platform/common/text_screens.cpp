// The message box and the report window as text (platform/common/text_screens.hpp).
#include "platform/common/text_screens.hpp"

#include "runtime/text.hpp"

namespace cobaltmoth::platform::common {
namespace {

constexpr char kEscape = '\x1b';

void AppendLine(std::string& out, std::u16string_view text, std::string_view line_end) {
  out += TerminalText(text, line_end);
  out += line_end;
}

std::u16string CaptionOf(const platform::ReportWindowModel& window, std::u16string_view name,
                         std::int32_t index = -1) {
  const platform::WindowControl* control = window.Find(name, index);
  return control == nullptr ? std::u16string() : control->caption;
}

}  // namespace

std::string TerminalText(std::u16string_view text, std::string_view line_end) {
  std::u16string shown;
  shown.reserve(text.size());
  std::string out;
  const auto flush = [&] {
    out += runtime::ToUtf8(shown);
    shown.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit == u'\r' || unit == u'\n') {
      flush();
      out += line_end;
      if (unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    } else if ((unit < 0x20 && unit != u'\t') || (unit >= 0x7F && unit <= 0x9F)) {
      shown += u'?';
    } else {
      shown += unit;
    }
  }
  flush();
  return out;
}

std::string MessageBoxScreen(std::u16string_view prompt, std::int32_t style,
                             std::u16string_view title, std::string_view line_end) {
  std::u16string heading;
  switch (style & 0x70) {
    case 16:
      heading = u"(X) ";
      break;
    case 32:
      heading = u"(?) ";
      break;
    case 48:
      heading = u"(!) ";
      break;
    case 64:
      heading = u"(i) ";
      break;
    default:
      break;
  }
  heading += title.empty() ? platform::kDefaultMessageBoxTitle : title;
  std::string out(line_end);
  AppendLine(out, heading, line_end);
  AppendLine(out, prompt, line_end);
  out += line_end;
  out += "[ OK ]";
  return out;
}

std::string MessageBoxNotice(std::u16string_view prompt, std::u16string_view title) {
  std::string out;
  AppendLine(out, title.empty() ? platform::kDefaultMessageBoxTitle : title, "\n");
  AppendLine(out, prompt, "\n");
  return out;
}

std::int32_t ReportButtonForKey(const platform::ReportWindowModel& window, char key) {
  if (key == '\r' || key == '\n') return window.DefaultButton();
  if (key == kEscape) return window.CancelButton();
  const char lower = (key >= 'A' && key <= 'Z') ? static_cast<char>(key - 'A' + 'a') : key;
  for (std::int32_t i = 0; i < 4; ++i) {
    if (kReportKeys[i] == lower && window.Find(u"cmdReport", i) != nullptr) return i;
  }
  return -1;
}

std::string ReportActions(const platform::ReportWindowModel& window,
                          std::string_view line_end) {
  std::string out;
  for (std::int32_t i = 0; i < 4; ++i) {
    if (window.Find(u"cmdReport", i) == nullptr) continue;
    if (!out.empty()) out += "  ";
    out += '[';
    out += kReportKeys[i];
    out += "] ";
    out += TerminalText(CaptionOf(window, u"cmdReport", i), line_end);
  }
  out += line_end;
  std::string keys;
  const std::int32_t enter = window.DefaultButton();
  const std::int32_t escape = window.CancelButton();
  if (enter >= 0) {
    keys += "Enter: " + TerminalText(CaptionOf(window, u"cmdReport", enter), line_end);
  }
  if (escape >= 0) {
    if (!keys.empty()) keys += "  ";
    keys += "Esc: " + TerminalText(CaptionOf(window, u"cmdReport", escape), line_end);
  }
  if (!keys.empty()) {
    out += keys;
    out += line_end;
  }
  return out;
}

std::string ReportScreen(const platform::ReportWindowModel& window,
                         std::string_view line_end) {
  std::string out(line_end);
  AppendLine(out, window.title, line_end);
  out += line_end;
  AppendLine(out, CaptionOf(window, u"Label1", 0), line_end);
  out += line_end;
  AppendLine(out, window.Text(), line_end);
  out += line_end;
  AppendLine(out, CaptionOf(window, u"Label1", 1), line_end);
  AppendLine(out, CaptionOf(window, u"Label1", 2) + u" " + CaptionOf(window, u"SupportFax"),
             line_end);
  AppendLine(out, CaptionOf(window, u"Label1", 3) + u" " + CaptionOf(window, u"SupportMail"),
             line_end);
  out += line_end;
  out += ReportActions(window, line_end);
  return out;
}

std::string ReportNotice(const platform::ReportWindowModel& window) {
  std::string out;
  AppendLine(out, window.title, "\n");
  AppendLine(out, window.Text(), "\n");
  return out;
}

std::u16string MessageBoxTranscript(std::u16string_view prompt, std::int32_t style,
                                    std::u16string_view title) {
  std::u16string shown = u"[MsgBox ";
  runtime::AppendDecimal(shown, style);
  shown += u"] ";
  shown += title.empty() ? platform::kDefaultMessageBoxTitle : title;
  shown += u"\r\n";
  shown += prompt;
  shown += u"\r\n";
  return shown;
}

std::u16string ReportTranscript(const platform::ReportWindowModel& window) {
  using Kind = platform::WindowControl::Kind;
  std::u16string shown = u"[Report] ";
  shown += window.title;
  shown += u"\r\n";
  for (const platform::WindowControl& control : window.controls) {
    if (control.kind != Kind::kLabel && control.kind != Kind::kButton) continue;
    shown += control.name;
    if (control.index >= 0) {
      shown += u"(";
      runtime::AppendDecimal(shown, control.index);
      shown += u")";
    }
    shown += u": ";
    shown += control.caption;
    shown += u"\r\n";
  }
  shown += u"[txtError]\r\n";
  shown += window.Text();
  shown += u"\r\n";
  return shown;
}

}  // namespace cobaltmoth::platform::common
