#include "bughandling/report_text.hpp"

#include <algorithm>
#include <initializer_list>

#include "delivery/secret_filter.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::bughandling {
namespace {

constexpr std::u16string_view kCrLf = u"\r\n";
constexpr std::int64_t kMaxInteger = 32767;  // the host's 16-bit Integer
constexpr std::u16string_view kEnvironmentHeading = u"Current Enviroment Variables:";

// A run of one character.
void AppendRun(runtime::TextOut& out, char16_t unit, std::size_t count) {
  char16_t run[64];
  std::fill(run, run + 64, unit);
  for (; count > 64; count -= 64) out.Append(std::u16string_view(run, 64));
  out.Append(std::u16string_view(run, count));
}

void AppendTwoDigits(std::u16string& out, int value) {
  if (value >= 0 && value < 10) out += u'0';
  runtime::AppendDecimal(out, value);
}

// A heading of the report, underlined with as many dashes as it has characters up to its
// trailing blank.
void AppendHeading(runtime::TextOut& out, std::u16string_view heading) {
  out.Append(heading);
  out.Append(kCrLf);
  AppendRun(out, u'-', heading.find_last_not_of(u' ') + 1);
  out.Append(kCrLf);
}

// The environment as the host's Environ$ lists it, ending at the first empty entry.
class EnvironmentList final : public runtime::TextPiece {
 public:
  explicit EnvironmentList(const std::vector<std::u16string>& entries) : entries_(entries) {}
  void WriteTo(runtime::TextOut& out) const override {
    for (const std::u16string& entry : entries_) {
      if (entry.empty()) break;
      out.Append(entry);
      out.Append(kCrLf);
    }
  }

 private:
  const std::vector<std::u16string>& entries_;
};

}  // namespace

void AppendErrorTable(runtime::TextOut& out, std::u16string_view module_name,
                      std::u16string_view proc_name, std::int32_t line_number) {
  runtime::BufferOut<16> line_text;
  line_text.AppendDecimal(line_number);
  const std::u16string_view headers[] = {u"Module Name", u"Proc Name", u"Line"};
  const std::u16string_view values[] = {module_name, proc_name, line_text.View()};
  std::size_t widths[3];
  std::int64_t border = 10;
  for (int i = 0; i < 3; ++i) {
    widths[i] = std::max(headers[i].size(), values[i].size());
    border += static_cast<std::int64_t>(widths[i]);
    if (static_cast<std::int64_t>(widths[i]) > kMaxInteger || border > kMaxInteger) {
      runtime::RaiseRuntime(runtime::kOverflow);
    }
  }
  for (int row = 0; row < 2; ++row) {
    AppendRun(out, u'*', static_cast<std::size_t>(border));
    out.Append(kCrLf);
    for (int i = 0; i < 3; ++i) {
      out.Append(u"* ");
      const std::u16string_view cell = row == 0 ? headers[i] : values[i];
      // Module and procedure are shown in upper case.
      if (row == 1 && i < 2) {
        out.AppendUpper(cell);
      } else {
        out.Append(cell);
      }
      AppendRun(out, u' ', widths[i] - cell.size() + 1);
    }
    out.Append(u'*');
    out.Append(kCrLf);
  }
  AppendRun(out, u'*', static_cast<std::size_t>(border));
  out.Append(kCrLf);
}

std::u16string ErrorTable(std::u16string_view module_name, std::u16string_view proc_name,
                          std::int32_t line_number) {
  std::u16string table;
  runtime::StringOut out(table);
  AppendErrorTable(out, module_name, proc_name, line_number);
  return table;
}

namespace {

// The parts, then CR LF.
void AppendLine(runtime::TextOut& out, std::initializer_list<std::u16string_view> parts) {
  for (const std::u16string_view part : parts) out.Append(part);
  out.Append(kCrLf);
}

}  // namespace

void AppendReport(runtime::TextOut& out, const ReportFacts& facts) {
  AppendHeading(out, u"The Application:");
  AppendLine(out, {u"Name:    ", facts.app_title});
  AppendLine(out, {u"OS Path: ", facts.app_full_path});
  out.Append(kCrLf);
  AppendHeading(out, u"The Error:");
  AppendLine(out, {u"An error has occurred in ", facts.app_full_path, u"."});
  AppendLine(out, {u"The error probably occurred in this internal procedure "});
  out.Append(kCrLf);
  AppendErrorTable(out, facts.module_name, facts.proc_name, facts.line_number);
  out.Append(kCrLf);
  AppendHeading(out, u"Technical References for this error: ");
  out.Append(u"VB Error number:      ");
  out.AppendDecimal(facts.number);
  out.Append(kCrLf);
  AppendLine(out, {u"VB Error description: ", facts.description});
  out.Append(kCrLf);
  if (facts.dump != nullptr) {
    facts.dump->WriteTo(out);
    out.Append(kCrLf);
  }
  if (facts.bug_log_on || facts.stack_log_on) {
    AppendHeading(out, u"Active Log Files:");
    if (facts.bug_log_on) {
      out.Append(u"Bug Log File Path:    ");
      out.Append(facts.bug_log_path);
      out.Append(kCrLf);
    }
    if (facts.stack_log_on) {
      out.Append(u"Proc Stack File Path: ");
      out.Append(facts.stack_log_path);
      out.Append(kCrLf);
    }
    out.Append(kCrLf);
    out.Append(kCrLf);
  }
  AppendHeading(out, kEnvironmentHeading);
  if (facts.environment != nullptr) facts.environment->WriteTo(out);
}

std::u16string BuildReport(ReportFacts facts, std::u16string_view dump,
                           const std::vector<std::u16string>& environment) {
  const runtime::ViewPiece dump_part(dump);
  const EnvironmentList environment_part(environment);
  if (!dump.empty()) facts.dump = &dump_part;
  facts.environment = &environment_part;
  std::u16string report;
  runtime::StringOut out(report);
  AppendReport(out, facts);
  return report;
}

std::u16string FilterReportSecrets(std::u16string_view report) {
  std::u16string heading;
  runtime::StringOut out(heading);
  AppendHeading(out, kEnvironmentHeading);
  const std::size_t at = report.rfind(heading);
  if (at == std::u16string_view::npos) return std::u16string(report);
  const std::size_t lines = at + heading.size();
  return std::u16string(report.substr(0, lines)) +
         delivery::FilterEnvironment(report.substr(lines));
}

std::u16string WindowDateLine(const platform::LocalTime& now, std::u16string_view time_separator,
                              std::u16string_view day_name, std::u16string_view month_name) {
  std::u16string line(day_name);
  line += u", ";
  AppendTwoDigits(line, now.day);
  line += u' ';
  line += month_name;
  line += u' ';
  runtime::AppendDecimal(line, now.year);
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
