// The windows of a reported error, for Raise and for a crash (bughandling/error_windows.hpp).
#include "bughandling/error_windows.hpp"

#include <vector>

#include "bughandling/report_text.hpp"
#include "delivery/deliverer.hpp"
#include "delivery/settings.hpp"
#include "platform/resources.hpp"
#include "platform/ui.hpp"
#include "report/frm_report.hpp"
#include "support/sys_info.hpp"

namespace cobaltmoth::bughandling {

std::u16string ErrorPrompt(std::u16string_view module_name, std::u16string_view proc_name,
                           std::int32_t line_number, std::int32_t number,
                           std::u16string_view description) {
  std::u16string prompt = u"Error in module ";
  prompt += module_name;
  prompt += u" in the procedure ";
  prompt += proc_name;
  if (line_number != 0) {
    prompt += u" at line ";
    runtime::AppendDecimal(prompt, line_number);
  }
  prompt += u"\r\n\r\nThe technical references for this error is: \r\n    Number: ";
  runtime::AppendDecimal(prompt, number);
  prompt += u"\r\n    Description=";
  prompt += description;
  return prompt;
}

void ShowReportWindow(const std::shared_ptr<const platform::Platform>& platform,
                      std::u16string_view title, std::u16string_view support_fax,
                      std::u16string_view support_mail, std::u16string_view report) {
  const support::SysInfo sys_info(platform->registry);
  platform::Clock& clock = *platform->clock;
  const platform::LocalTime now = clock.Now();
  const std::u16string date = WindowDateLine(now, clock.TimeSeparator(),
                                             clock.DayName(now.weekday),
                                             clock.MonthName(now.month));
  const std::u16string email_prompt =
      platform->resources->LoadResString(platform::kEmailPromptId);
  report::frmReport form(platform);
  form.Form_Load();
  form.Caption(title);
  form.Text(WindowText(date, sys_info.User(), sys_info.Company(), email_prompt, report));
  form.SupportFax(support_fax);
  form.SupportMail(support_mail);
  form.ShowModal();
}

void WriteCrashWindowsRequest(runtime::TextOut& out, const CrashWindows& windows) {
  const auto field = [&out](std::u16string_view text) {
    out.Append(text);
    out.Append(u'\0');
  };
  field(windows.message_box ? u"1" : u"0");
  field(windows.report_window ? u"1" : u"0");
  if (windows.title != nullptr) windows.title->WriteTo(out);
  field({});
  field(windows.module_name);
  field(windows.proc_name);
  out.AppendDecimal(windows.line_number);
  field({});
  out.AppendDecimal(windows.number);
  field({});
  field(windows.description);
  field(windows.support_fax);
  field(windows.support_mail);
  field(windows.report_to);
  field(windows.app_name);
  field(windows.app_version);
  field(windows.main_module);
  out.AppendDecimal(windows.process_id);
  field({});
  if (windows.report != nullptr) windows.report->WriteTo(out);
}

namespace {

bool ParseNumber(std::u16string_view text, std::int32_t* value) {
  std::int64_t result = 0;
  const bool negative = !text.empty() && text[0] == u'-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || text.size() > 10) return false;
  for (const char16_t unit : text) {
    if (unit < u'0' || unit > u'9') return false;
    result = result * 10 + (unit - u'0');
  }
  if (negative) result = -result;
  if (result < INT32_MIN || result > INT32_MAX) return false;
  *value = static_cast<std::int32_t>(result);
  return true;
}

}  // namespace

bool ShowCrashWindows(const std::shared_ptr<const platform::Platform>& platform,
                      std::string_view request,
                      std::function<std::string(std::u16string_view)> read_minidump) {
  const std::u16string text = runtime::FromUtf8(request);
  std::vector<std::u16string_view> fields;
  std::size_t at = 0;
  for (int i = 0; i < 15; ++i) {
    const std::size_t end = text.find(u'\0', at);
    if (end == std::u16string::npos) return false;
    fields.emplace_back(std::u16string_view(text).substr(at, end - at));
    at = end + 1;
  }
  std::int32_t line = 0;
  std::int32_t number = 0;
  std::int32_t process = 0;
  if (!ParseNumber(fields[5], &line) || !ParseNumber(fields[6], &number) ||
      !ParseNumber(fields[14], &process)) {
    return false;
  }
  const std::u16string_view report = std::u16string_view(text).substr(at);
  if (!fields[10].empty()) {
    delivery::Record record;
    record.crash = true;
    record.app_name = fields[11];
    record.app_version = fields[12];
    record.number = number;
    record.description = fields[7];
    record.module_name = fields[3];
    record.proc_name = fields[4];
    record.line = line;
    record.critical = true;
    record.process_id = static_cast<std::uint32_t>(process);
    record.report = FilterReportSecrets(report);
    delivery::Complete(record, fields[13]);
    delivery::Tracker tracker{
        .outbox = platform->outbox,
        .options = delivery::ReadTrackerOptions(*platform, fields[11], fields[12]),
        .read_minidump = std::move(read_minidump)};
    delivery::Deliverer(platform->transport, fields[10], std::move(tracker))
        .Deliver(std::move(record));
  }
  if (fields[0] == u"1") {
    platform->message_box->Show(ErrorPrompt(fields[3], fields[4], line, number, fields[7]),
                                platform::kCritical, fields[2]);
  }
  if (fields[1] == u"1") ShowReportWindow(platform, fields[2], fields[8], fields[9], report);
  return true;
}

}  // namespace cobaltmoth::bughandling
