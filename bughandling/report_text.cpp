#include "bughandling/report_text.hpp"

#include <algorithm>

#include "component/base/host_error.hpp"
#include "component/base/log_section.hpp"
#include "component/base/text.hpp"

namespace cobaltmoth::bughandling {
namespace {

constexpr std::u16string_view kCrLf = u"\r\n";
constexpr std::int64_t kMaxInteger = 32767;  // the host's 16-bit Integer

// "* " + cell + blanks to one more than the width.
void AppendCell(std::u16string& out, std::u16string_view cell, std::size_t width) {
  out += u"* ";
  out += cell;
  out.append(width - cell.size() + 1, u' ');
}

void AppendTwoDigits(std::u16string& out, int value) {
  if (value >= 0 && value < 10) out += u'0';
  text::AppendDecimal(out, value);
}

}  // namespace

std::u16string ErrorTable(std::u16string_view module_name, std::u16string_view proc_name,
                          std::int32_t line_number) {
  const std::u16string line_text = text::Decimal(line_number);
  const std::u16string_view headers[] = {u"Module Name", u"Proc Name", u"Line"};
  const std::u16string_view values[] = {module_name, proc_name, line_text};
  std::size_t widths[3];
  std::int64_t border = 10;
  for (int i = 0; i < 3; ++i) {
    widths[i] = std::max(headers[i].size(), values[i].size());
    border += static_cast<std::int64_t>(widths[i]);
    if (static_cast<std::int64_t>(widths[i]) > kMaxInteger || border > kMaxInteger) {
      host::RaiseRuntime(host::kOverflow);
    }
  }
  const std::u16string border_line(static_cast<std::size_t>(border), u'*');
  std::u16string out;
  out.reserve(5 * (border_line.size() + 2));
  for (const auto* row : {headers, values}) {
    out += border_line;
    out += kCrLf;
    for (int i = 0; i < 3; ++i) AppendCell(out, row[i], widths[i]);
    out += u'*';
    out += kCrLf;
  }
  out += border_line;
  out += kCrLf;
  return out;
}

namespace {

// A heading of the report, underlined with as many dashes as it has characters up to its
// trailing blank.
void AppendHeading(std::u16string& out, std::u16string_view heading) {
  out += heading;
  out += kCrLf;
  out.append(heading.find_last_not_of(u' ') + 1, u'-');
  out += kCrLf;
}

}  // namespace

std::u16string BuildReport(const ReportFacts& facts) {
  const VoxError& record = *facts.record;
  std::u16string error_block = u"An error has occurred in ";
  error_block += facts.app_full_path;
  error_block += u".";
  error_block += kCrLf;
  error_block += u"The error probably occurred in this internal procedure ";
  error_block += kCrLf;
  error_block += kCrLf;
  error_block += ErrorTable(text::UCase(record.ModuleName), text::UCase(record.ProcName),
                            record.LineNumber);
  error_block += kCrLf;
  AppendHeading(error_block, u"Technical References for this error: ");
  error_block += u"VB Error number:      ";
  text::AppendDecimal(error_block, record.Number);
  error_block += kCrLf;
  error_block += u"VB Error description: ";
  error_block += record.Descr;

  std::u16string environment;
  AppendHeading(environment, u"Current Enviroment Variables:");
  if (facts.environment != nullptr) {
    for (const std::u16string& entry : *facts.environment) {
      if (entry.empty()) break;  // the host's Environ$ ends at the first empty entry
      environment += entry;
      environment += kCrLf;
    }
  }

  std::u16string log_lines;
  if (facts.bug_log_on) {
    log_lines += u"Bug Log File Path:    ";
    log_lines += facts.bug_log_path;
    log_lines += kCrLf;
  }
  if (facts.stack_log_on) {
    log_lines += u"Proc Stack File Path: ";
    log_lines += facts.stack_log_path;
    log_lines += kCrLf;
  }

  std::u16string report;
  AppendHeading(report, u"The Application:");
  report += u"Name:    ";
  report += facts.app_title;
  report += kCrLf;
  report += u"OS Path: ";
  report += facts.app_full_path;
  report += kCrLf;
  report += kCrLf;
  AppendHeading(report, u"The Error:");
  report += error_block;
  report += kCrLf;
  report += kCrLf;
  if (!facts.dump.empty()) {
    report += facts.dump;
    report += kCrLf;
  }
  if (!log_lines.empty()) {
    AppendHeading(report, u"Active Log Files:");
    report += log_lines;
    report += kCrLf;
    report += kCrLf;
  }
  report += environment;
  return report;
}

std::u16string BugLogStartLine(std::u16string_view app_title, std::u16string_view now_text) {
  return SectionLine(u"Start Log Error", app_title, now_text);
}

std::u16string BugLogEndLine(std::u16string_view app_title) {
  return SectionLine(u"End Log Error Stack", app_title);
}

std::u16string WindowDateLine(const platform::LocalTime& now, std::u16string_view time_separator,
                              std::u16string_view day_name, std::u16string_view month_name) {
  std::u16string line(day_name);
  line += u", ";
  AppendTwoDigits(line, now.day);
  line += u' ';
  line += month_name;
  line += u' ';
  text::AppendDecimal(line, now.year);
  line += u" - ";
  AppendTwoDigits(line, now.hour);
  line += time_separator;
  AppendTwoDigits(line, now.minute);
  line += time_separator;
  AppendTwoDigits(line, now.second);
  return line;
}

std::u16string WindowText(std::u16string_view date_line, std::u16string_view user,
                          std::u16string_view company, std::u16string_view email_prompt,
                          std::u16string_view report) {
  std::u16string out(kCrLf);
  out += date_line;
  out += kCrLf;
  out += kCrLf;
  out += u"From:    ";
  out += user;
  out += kCrLf;
  out += u"Company: ";
  out += company;
  out += kCrLf;
  out += u"E-Mail:  ";
  out += email_prompt;
  out += kCrLf;
  out += kCrLf;
  out += report;
  return out;
}

}  // namespace cobaltmoth::bughandling
