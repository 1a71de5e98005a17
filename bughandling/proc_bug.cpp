#include <cobaltmoth/proc_bug.hpp>

#include <utility>

#include "bughandling/report_text.hpp"
#include "bughandling/vox_error.hpp"
#include "component/base/host_error.hpp"
#include "component/base/log_section.hpp"
#include "component/base/text.hpp"
#include "component/resources/string_ids.hpp"
#include "component/resources/string_table.hpp"
#include "platform/platform.hpp"
#include "platform/probes.hpp"
#include "platform/resources.hpp"
#include "platform/ui.hpp"
#include "report/frm_report.hpp"
#include "support/sys_info.hpp"
#include "tracing/app_identity.hpp"

namespace cobaltmoth {

using bughandling::VoxError;

namespace {
using strings::kEmailPromptId;
using strings::kSupportFaxId;
using strings::kSupportMailId;
using strings::kUnexpectedErrorId;
constexpr std::u16string_view kClassName = u"ProcBug";

// An error handed over as a number and a description.
class PlainErrorObject final : public ErrorObject {
 public:
  PlainErrorObject(std::int32_t number, std::u16string_view description)
      : number_(number), description_(description) {}
  std::u16string Description() const override { return description_; }
  std::int32_t Number() const override { return number_; }

 private:
  std::int32_t number_;
  std::u16string description_;
};

// Tells an attached tracer that an error is about to be reported (see platform/probes.hpp).
void ProbeRaise(const VoxError& record) {
  probes::Raise(text::ToUtf8(record.ModuleName), text::ToUtf8(record.ProcName), record.Number,
                record.LineNumber, record.isCritical, text::ToUtf8(record.Descr));
}
}  // namespace

struct ProcBug::Impl {
  explicit Impl(std::shared_ptr<const platform::Platform> services)
      : platform(std::move(services)),
        support_fax(platform->resources->LoadResString(kSupportFaxId)),
        support_mail(platform->resources->LoadResString(kSupportMailId)) {}

  // AppFile + " ver. " + major + "." + minor + "." + revision.
  std::u16string AppTitle() const { return app.Title(); }

  // AppPath + separator + AppFile.
  std::u16string AppFullPath() const {
    return app_path + platform->path_separator + app.app_file;
  }

  // The report of one error, as the bug log and the report window show it.
  std::u16string BuildReport(const VoxError& record) const {
    const std::u16string title = AppTitle();
    const std::u16string full_path = AppFullPath();
    std::u16string dump;
    if (proc_stack && proc_stack->Enabled()) dump = proc_stack->Dump();
    const std::vector<std::u16string> environment = platform->environment->Entries();
    bughandling::ReportFacts facts;
    facts.app_title = title;
    facts.app_full_path = full_path;
    facts.record = &record;
    facts.dump = dump;
    facts.bug_log_on = log_on_file;
    facts.bug_log_path = log_file_path;
    facts.stack_log_on = proc_stack && proc_stack->LogOnFile();
    if (facts.stack_log_on) facts.stack_log_path = proc_stack->LogFilePath();
    facts.environment = &environment;
    return bughandling::BuildReport(facts);
  }

  void CheckInit() const {
    if (!initialized) host::RaiseNotInitialized(kClassName);
  }

  // AppTitle + " - " + the words for an unexpected error: the title of both windows.
  std::u16string WindowTitle() const {
    return AppTitle() + u" - " + platform->resources->LoadResString(kUnexpectedErrorId);
  }

  // The message-box step.
  void ShowErrorBox(const VoxError& record) {
    if (!initialized || !enabled) return;
    const std::u16string title = WindowTitle();
    std::u16string prompt = u"Error in module ";
    prompt += record.ModuleName;
    prompt += u" in the procedure ";
    prompt += record.ProcName;
    if (record.LineNumber != 0) {
      prompt += u" at line ";
      text::AppendDecimal(prompt, record.LineNumber);
    }
    prompt += u"\r\n\r\nThe technical references for this error is: \r\n    Number: ";
    text::AppendDecimal(prompt, record.Number);
    prompt += u"\r\n    Description=";
    prompt += record.Descr;
    platform->message_box->Show(prompt, platform::kCritical, title);
  }

  // The report-window step: the window loaded with its captions, filled and shown modally.
  void ShowErrorReport(const VoxError& record) {
    if (!initialized || !enabled) return;
    const SysInfo sys_info(platform->registry);
    platform::Clock& clock = *platform->clock;
    const platform::LocalTime now = clock.Now();
    const std::u16string date = bughandling::WindowDateLine(
        now, clock.TimeSeparator(), clock.DayName(now.weekday), clock.MonthName(now.month));
    const std::u16string user = sys_info.User();
    const std::u16string company = sys_info.Company();
    const std::u16string email_prompt = platform->resources->LoadResString(kEmailPromptId);
    const std::u16string report = BuildReport(record);
    const std::u16string window_text =
        bughandling::WindowText(date, user, company, email_prompt, report);
    report::frmReport form(platform);
    form.Form_Load();
    form.Caption(WindowTitle());
    form.Text(window_text);
    form.SupportFax(support_fax);
    form.SupportMail(support_mail);
    form.ShowModal();
  }

  // The file step: appends the report to the bug log, opening it first when needed.
  void LogErrorToFile(const VoxError& record) {
    if (!initialized || !enabled) return;
    if (!bug_log_stream) OpenBugLog();
    // An empty LogFilePath opens nothing: the report has nowhere to go and is not written.
    if (!bug_log_stream) return;
    bug_log_stream->Write(BuildReport(record));
  }

  // Opens the bug log with its start banner; a log that failed to open is tried again,
  // banner first, at the next report.
  void OpenBugLog() {
    if (log_file_path.empty()) return;
    bug_log_stream =
        OpenLogSection(*platform->files, log_file_path, bughandling::kDashLine,
                       bughandling::BugLogStartLine(AppTitle(), platform->clock->NowText()));
  }

  // Writes the end banner and closes the bug log.
  void CloseBugLog() {
    if (!bug_log_stream) return;
    CloseLogSection(bug_log_stream, bughandling::kDashLine,
                    bughandling::BugLogEndLine(AppTitle()));
  }

  std::shared_ptr<const platform::Platform> platform;
  bool enabled = true;
  bool end_on_error = true;
  std::u16string log_file_path;
  bool log_on_file = false;
  bool log_on_msg_box = false;
  bool log_on_report = false;
  std::u16string support_fax;
  std::u16string support_mail;
  std::shared_ptr<ProcStac> proc_stack;
  tracing::AppIdentity app;
  std::u16string app_path;
  bool initialized = false;
  std::unique_ptr<platform::TextStream> bug_log_stream;
  bool raise_done = false;  // set by the first Raise, never cleared
};

ProcBug::ProcBug() : ProcBug(platform::DefaultPlatform()) {}

ProcBug::ProcBug(std::shared_ptr<const platform::Platform> platform)
    : impl_(std::make_unique<Impl>(std::move(platform))) {}

ProcBug::~ProcBug() {
  try {
    Terminate();
  } catch (...) {
    // The end banner could not be written; a destructor has no one to tell.
  }
}

void ProcBug::Init(std::u16string_view app_name, std::int16_t app_major,
                   std::int16_t app_minor, std::int16_t app_revision,
                   std::u16string_view app_path, std::int32_t project_type) {
  Impl& m = *impl_;
  m.app.Set(app_name, app_major, app_minor, app_revision, project_type, /*upper_case=*/true);
  m.app_path.assign(app_path);
  m.log_file_path = m.app_path + m.platform->path_separator;
  m.log_file_path += app_name;
  m.log_file_path += u"_buglog.txt";
  m.initialized = true;
}

void ProcBug::Init(std::string_view app_name, std::int16_t app_major, std::int16_t app_minor,
                   std::int16_t app_revision, std::string_view app_path,
                   std::int32_t project_type) {
  Init(text::FromUtf8(app_name), app_major, app_minor, app_revision, text::FromUtf8(app_path),
       project_type);
}

void ProcBug::Raise(std::u16string_view module_name, std::u16string_view proc_name,
                    const ErrorObject* error, std::int32_t on_line_number, bool is_critical) {
  Impl& m = *impl_;
  if (m.raise_done) return;
  m.raise_done = true;  // one error per object, whatever happens next
  if (!m.enabled) return;
  m.CheckInit();
  if (error == nullptr) host::RaiseRuntime(host::kObjectRequired);
  VoxError record;
  record.Descr = error->Description();
  record.LineNumber = on_line_number;
  record.ModuleName.assign(module_name);
  record.ProcName.assign(proc_name);
  record.Number = error->Number();
  record.isCritical = is_critical;
  if (probes::RaiseAttached()) ProbeRaise(record);
  if (m.log_on_msg_box) m.ShowErrorBox(record);
  if (m.log_on_file) m.LogErrorToFile(record);
  if (m.log_on_report) m.ShowErrorReport(record);
  m.end_on_error = record.isCritical;
}

void ProcBug::Raise(std::u16string_view module_name, std::u16string_view proc_name,
                    const Error& error, std::int32_t on_line_number, bool is_critical) {
  const PlainErrorObject object(error.Number(), error.Description());
  Raise(module_name, proc_name, &object, on_line_number, is_critical);
}

void ProcBug::Raise(std::u16string_view module_name, std::u16string_view proc_name,
                    std::int32_t number, std::u16string_view description,
                    std::int32_t on_line_number, bool is_critical) {
  const PlainErrorObject object(number, description);
  Raise(module_name, proc_name, &object, on_line_number, is_critical);
}

void ProcBug::Raise(std::string_view module_name, std::string_view proc_name,
                    std::int32_t number, std::string_view description,
                    std::int32_t on_line_number, bool is_critical) {
  Raise(text::FromUtf8(module_name), text::FromUtf8(proc_name), number,
        text::FromUtf8(description), on_line_number, is_critical);
}

void ProcBug::LogErrorToFile(std::u16string_view module_name, std::u16string_view proc_name,
                             std::int32_t number, std::u16string_view description,
                             std::int32_t line_number) {
  VoxError record;
  record.Descr.assign(description);
  record.LineNumber = line_number;
  record.ModuleName.assign(module_name);
  record.ProcName.assign(proc_name);
  record.Number = number;
  impl_->LogErrorToFile(record);
}

void ProcBug::LogErrorToFile(std::string_view module_name, std::string_view proc_name,
                             std::int32_t number, std::string_view description,
                             std::int32_t line_number) {
  LogErrorToFile(text::FromUtf8(module_name), text::FromUtf8(proc_name), number,
                 text::FromUtf8(description), line_number);
}

void ProcBug::Terminate() {
  impl_->CloseBugLog();
  if (impl_->proc_stack) {
    const std::shared_ptr<ProcStac> tracer = std::move(impl_->proc_stack);
    tracer->Terminate();
  }
}

void ProcBug::LogOnReport(bool value) noexcept { impl_->log_on_report = value; }
bool ProcBug::LogOnReport() const noexcept { return impl_->log_on_report; }
void ProcBug::LogOnMsgBox(bool value) noexcept { impl_->log_on_msg_box = value; }
bool ProcBug::LogOnMsgBox() const noexcept { return impl_->log_on_msg_box; }
void ProcBug::LogOnFile(bool value) noexcept { impl_->log_on_file = value; }
bool ProcBug::LogOnFile() const noexcept { return impl_->log_on_file; }
void ProcBug::LogFilePath(std::u16string_view value) { impl_->log_file_path.assign(value); }
void ProcBug::LogFilePath(std::string_view value) { impl_->log_file_path = text::FromUtf8(value); }
const std::u16string& ProcBug::LogFilePath() const noexcept { return impl_->log_file_path; }
void ProcBug::EndOnError(bool value) noexcept { impl_->end_on_error = value; }
bool ProcBug::EndOnError() const noexcept { return impl_->end_on_error; }
void ProcBug::Enabled(bool value) noexcept { impl_->enabled = value; }
bool ProcBug::Enabled() const noexcept { return impl_->enabled; }
void ProcBug::ProcStack(std::shared_ptr<ProcStac> tracer) noexcept {
  impl_->proc_stack = std::move(tracer);
}
const std::shared_ptr<ProcStac>& ProcBug::ProcStack() const noexcept { return impl_->proc_stack; }
void ProcBug::SupportFax(std::u16string_view value) { impl_->support_fax.assign(value); }
void ProcBug::SupportFax(std::string_view value) { impl_->support_fax = text::FromUtf8(value); }
const std::u16string& ProcBug::SupportFax() const noexcept { return impl_->support_fax; }
void ProcBug::SupportMail(std::u16string_view value) { impl_->support_mail.assign(value); }
void ProcBug::SupportMail(std::string_view value) { impl_->support_mail = text::FromUtf8(value); }
const std::u16string& ProcBug::SupportMail() const noexcept { return impl_->support_mail; }

}  // namespace cobaltmoth
