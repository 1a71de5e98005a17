#include <cobaltmoth/proc_bug.hpp>

#include <optional>
#include <utility>

#include "bughandling/error_windows.hpp"
#include "bughandling/report_text.hpp"
#include "bughandling/vox_error.hpp"
#include "delivery/deliverer.hpp"
#include "delivery/secret_filter.hpp"
#include "delivery/settings.hpp"
#include "platform/crashes.hpp"
#include "platform/outbox.hpp"
#include "platform/platform.hpp"
#include "platform/probes.hpp"
#include "platform/registry.hpp"
#include "platform/resources.hpp"
#include "platform/transport.hpp"
#include "platform/ui.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"
#include "support/log_section.hpp"
#include "tracing/app_identity.hpp"

namespace cobaltmoth {

using bughandling::VoxError;

namespace {
using platform::kSupportFaxId;
using platform::kSupportMailId;
using platform::kUnexpectedErrorId;
constexpr std::u16string_view kClassName = u"ProcBug";
constexpr std::u16string_view kCrLf = u"\r\n";
// Names longer than this are cut in a crash's error table, which may not fail.
constexpr std::size_t kCrashNameLimit = 4096;
// A crash's environment line, as the secret filter holds it (longer ones are filtered).
char16_t g_crash_environment_line[16384];

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

// Whether the host's environment or the user's settings turn the catching of crashes on:
// COBALTMOTH_CATCH_CRASHES=1, or the DWORD 1 in Software\Cobaltmoth\CatchCrashes.
bool CrashCatchingWanted(const platform::Platform& platform) {
  if (platform.environment->Holds(u"COBALTMOTH_CATCH_CRASHES=1")) return true;
  platform::RegKey key;
  platform::RegValue value;
  return platform.registry &&
         platform.registry->OpenKey(platform::kHkeyCurrentUser, u"Software\\Cobaltmoth", &key) ==
             platform::RegStatus::kOk &&
         key->QueryValue(u"CatchCrashes", &value) == platform::RegStatus::kOk &&
         value.type == platform::kRegDword && value.data.size() == 4 && value.data[0] == 1 &&
         value.data[1] == 0 && value.data[2] == 0 && value.data[3] == 0;
}

// A crash's stack part: the crashing thread's dump, its native stack, the other threads'.
class CrashStacks final : public runtime::TextPiece {
 public:
  explicit CrashStacks(const platform::CrashFacts& facts) : facts_(facts) {}
  void WriteTo(runtime::TextOut& out) const override {
    if (facts_.tracer != nullptr && facts_.tracer->Dumps()) {
      facts_.tracer->WriteDump(out);
      out.Append(kCrLf);
    }
    if (facts_.native_stack != nullptr) {
      facts_.native_stack->WriteTo(out);
      out.Append(kCrLf);
    }
    if (facts_.other_threads != nullptr) facts_.other_threads->WriteTo(out);
  }

 private:
  const platform::CrashFacts& facts_;
};

// Tells an attached tracer that an error is about to be reported (see platform/probes.hpp).
void ProbeRaise(const VoxError& record) {
  platform::probes::Raise(runtime::ToUtf8(record.ModuleName), runtime::ToUtf8(record.ProcName),
                          record.Number, record.LineNumber, record.isCritical,
                          runtime::ToUtf8(record.Descr));
}
}  // namespace

// The bug handler is also the one a crash reports to, while it catches them.
struct ProcBug::Impl final : platform::CrashReporter {
  explicit Impl(std::shared_ptr<const platform::Platform> services)
      : platform(std::move(services)),
        support_fax(platform->resources->LoadResString(kSupportFaxId)),
        support_mail(platform->resources->LoadResString(kSupportMailId)) {}
  ~Impl() { CatchCrashes(false); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // The report of one error, as the bug log and the report window show it (`filtered`: with
  // the environment's secrets filtered, as RedactSecrets asks of them). While Raise reports,
  // the report is made at the first step that needs it and kept for the others: its file
  // step, its delivery and its window take one stack dump and one native stack.
  std::u16string BuildReport(const VoxError& record, bool filtered) const {
    if (!raising || !raised_report) {
      std::u16string report = MakeReport(record);
      if (!raising) return filtered ? bughandling::FilterReportSecrets(report) : report;
      raised_report = std::move(report);
    }
    return filtered ? bughandling::FilterReportSecrets(*raised_report) : *raised_report;
  }

  std::u16string MakeReport(const VoxError& record) const {
    std::u16string dump;
    if (proc_stack && proc_stack->Enabled()) dump = proc_stack->Dump();
    if (native_stack && platform->crashes) {
      if (!dump.empty()) dump += kCrLf;
      dump += platform->crashes->NativeStack();
    }
    const std::vector<std::u16string> environment = platform->environment->Entries();
    bughandling::ReportFacts facts = Facts();
    facts.module_name = record.ModuleName;
    facts.proc_name = record.ProcName;
    facts.line_number = record.LineNumber;
    facts.number = record.Number;
    facts.description = record.Descr;
    return bughandling::BuildReport(facts, dump, environment);
  }

  // What every report says of the application and the logs.
  bughandling::ReportFacts Facts() const noexcept {
    bughandling::ReportFacts facts;
    facts.app_title = app_title;
    facts.app_full_path = app_full_path;
    facts.bug_log_on = log_on_file;
    facts.bug_log_path = log_file_path;
    facts.stack_log_on = proc_stack && proc_stack->LogOnFile();
    if (facts.stack_log_on) facts.stack_log_path = proc_stack->LogFilePath();
    return facts;
  }

  void CheckInit() const {
    if (!initialized) runtime::RaiseNotInitialized(kClassName);
  }

  // AppTitle + " - " + the words for an unexpected error: the title of both windows.
  std::u16string WindowTitle() const {
    return app_title + u" - " + platform->resources->LoadResString(kUnexpectedErrorId);
  }

  // The message-box step.
  void ShowErrorBox(const VoxError& record) {
    if (!initialized || !enabled) return;
    platform->message_box->Show(
        bughandling::ErrorPrompt(record.ModuleName, record.ProcName, record.LineNumber,
                                 record.Number, record.Descr),
        platform::kCritical, WindowTitle());
  }

  // The report-window step: the window loaded with its captions, filled and shown modally.
  void ShowErrorReport(const VoxError& record) {
    if (!initialized || !enabled) return;
    bughandling::ShowReportWindow(platform, WindowTitle(), support_fax, support_mail,
                                  BuildReport(record, redact_secrets));
  }

  // The delivery step: the report, its secrets filtered, to every destination of ReportTo.
  void Deliver(const VoxError& error) noexcept {
    if (!initialized || !enabled || !deliverer) return;
    try {
      delivery::Record record;
      record.app_name = app_name;
      record.app_version = app_version;
      record.number = error.Number;
      record.description = error.Descr;
      record.module_name = error.ModuleName;
      record.proc_name = error.ProcName;
      record.line = error.LineNumber;
      record.critical = error.isCritical;
      record.process_id = origin.process_id;
      record.report = BuildReport(error, /*filtered=*/true);
      delivery::Complete(record, origin.main_module);
      deliverer->Deliver(std::move(record));
    } catch (...) {
      // A report that cannot be made (an error table too wide) is not delivered.
    }
  }

  // "1.2.30"
  std::u16string AppVersion() const {
    return app.app_major + u"." + app.app_minor + u"." + app.app_revision;
  }

  // ReportTo and RedactSecrets from the first place that has each, and the destinations.
  void ReadDeliverySettings() {
    const delivery::Settings settings(*platform);
    report_to = settings.Text(delivery::kReportToSetting, report_to_set);
    redact_secrets = settings.Switch(delivery::kRedactSecretsSetting, redact_secrets_set);
    deliverer.reset();
    delivered_to.clear();
    if (report_to.empty() || !platform->transport) return;
    app_version = AppVersion();
    delivery::Tracker tracker;
    if (report_to.find(u"://") != std::u16string::npos && platform->outbox) {
      tracker = {.outbox = platform->outbox,
                 .options = delivery::ReadTrackerOptions(*platform, app_name, app_version)};
    }
    deliverer = std::make_unique<delivery::Deliverer>(platform->transport, report_to,
                                                      std::move(tracker));
    delivered_to = deliverer->Items();
    origin = platform->transport->Here();
  }

  // Catching crashes: armed with the platform (which may have none to offer), or released.
  void CatchCrashes(bool on) {
    if (on && platform->crashes) {
      crash_window_title = WindowTitle();
      catching = platform->crashes->Catch(this);
    } else if (catching) {
      platform->crashes->Release(this);
      catching = false;
    }
  }

  // --- A crash's report, written from inside the crash: nothing here may allocate. ---------

  // The module and procedure of the crashing thread's innermost traced entry.
  static void CrashSite(const platform::CrashFacts& facts, bughandling::ReportFacts* report) {
    if (facts.tracer != nullptr) {
      facts.tracer->Innermost(&report->module_name, &report->proc_name);
    }
    report->module_name = report->module_name.substr(0, kCrashNameLimit);
    report->proc_name = report->proc_name.substr(0, kCrashNameLimit);
  }

  bughandling::ReportFacts CrashReportFacts(const platform::CrashFacts& facts,
                                            const runtime::TextPiece& stacks,
                                            const runtime::TextPiece& environment) const noexcept {
    bughandling::ReportFacts report = Facts();
    CrashSite(facts, &report);
    report.line_number = platform->error_line->Erl();
    report.number = facts.number;
    report.description = facts.description;
    report.dump = &stacks;
    report.environment = redact_secrets ? &environment : facts.environment;
    return report;
  }

  void WriteCrashReport(runtime::TextOut& out,
                        const platform::CrashFacts& facts) const noexcept override {
    const CrashStacks stacks(facts);
    const delivery::FilteredPiece environment(facts.environment, g_crash_environment_line);
    const runtime::ViewPiece title(app_title);
    // A section the bug log has open already (an error logged before) takes the report; else
    // the report has a section of its own, as a first error would.
    if (!bug_log_stream)
      support::AppendSectionStart(out, bughandling::kBugLogMarks, title, facts.now_text);
    bughandling::AppendReport(out, CrashReportFacts(facts, stacks, environment));
    support::AppendSectionEnd(out, bughandling::kBugLogMarks, title);
  }

  std::u16string_view BugLogPath() const noexcept override {
    return initialized && enabled && log_on_file ? std::u16string_view(log_file_path)
                                                 : std::u16string_view();
  }

  // The program that shows the windows also delivers the report.
  bool ShowsWindows() const noexcept override {
    return initialized && enabled && (log_on_msg_box || log_on_report || !delivered_to.empty());
  }

  void WriteWindowRequest(runtime::TextOut& out,
                          const platform::CrashFacts& facts) const noexcept override {
    // The report again, as the report window shows it.
    class Report final : public runtime::TextPiece {
     public:
      explicit Report(const bughandling::ReportFacts& facts) : facts_(facts) {}
      void WriteTo(runtime::TextOut& out) const override { bughandling::AppendReport(out, facts_); }

     private:
      const bughandling::ReportFacts& facts_;
    };
    const CrashStacks stacks(facts);
    const delivery::FilteredPiece environment(facts.environment, g_crash_environment_line);
    const bughandling::ReportFacts report_facts = CrashReportFacts(facts, stacks, environment);
    const Report report(report_facts);
    const runtime::ViewPiece title(crash_window_title);
    bughandling::CrashWindows windows;
    windows.message_box = log_on_msg_box;
    windows.report_window = log_on_report;
    windows.title = &title;
    windows.module_name = report_facts.module_name;
    windows.proc_name = report_facts.proc_name;
    windows.line_number = report_facts.line_number;
    windows.number = report_facts.number;
    windows.description = report_facts.description;
    windows.support_fax = support_fax;
    windows.support_mail = support_mail;
    if (!delivered_to.empty()) {
      windows.report_to = delivered_to;
      windows.app_name = app_name;
      windows.app_version = app_version;
      windows.main_module = origin.main_module;
      windows.process_id = origin.process_id;
    }
    windows.report = &report;
    bughandling::WriteCrashWindowsRequest(out, windows);
  }

  // The file step: appends the report to the bug log, opening it first when needed.
  void LogErrorToFile(const VoxError& record) {
    if (!initialized || !enabled) return;
    if (!bug_log_stream) OpenBugLog();
    // An empty LogFilePath opens nothing: the report has nowhere to go and is not written.
    if (!bug_log_stream) return;
    bug_log_stream->Write(BuildReport(record, redact_secrets));
  }

  // Opens the bug log with its start banner; a log that failed to open is tried again,
  // banner first, at the next report.
  void OpenBugLog() {
    if (log_file_path.empty()) return;
    bug_log_stream =
        support::OpenLogSection(*platform->files, log_file_path, bughandling::kBugLogMarks,
                                app_title, platform->clock->NowText());
  }

  // Writes the end banner and closes the bug log.
  void CloseBugLog() {
    if (!bug_log_stream) return;
    support::CloseLogSection(bug_log_stream, bughandling::kBugLogMarks, app_title);
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
  std::u16string app_title;      // AppFile + " ver. " + major + "." + minor + "." + revision
  std::u16string app_full_path;  // AppPath + separator + AppFile
  bool initialized = false;
  bool native_stack = false;
  bool catching = false;              // armed as the process's crash reporter
  bool catching_set_by_host = false;  // CatchCrashes was called: Init leaves it as it is
  std::u16string crash_window_title;  // made when armed: a crash cannot make it
  std::unique_ptr<platform::TextStream> bug_log_stream;
  bool raise_done = false;  // set by the first Raise, never cleared
  // Delivery: what the host set, what is in effect, where reports go, and what the crash's
  // request says (made here: a crash cannot make it).
  std::u16string app_name;  // as given to Init
  std::optional<std::u16string> report_to_set;
  std::optional<bool> redact_secrets_set;
  std::u16string report_to;
  bool redact_secrets = false;
  std::unique_ptr<delivery::Deliverer> deliverer;  // none while ReportTo sends nowhere
  std::u16string delivered_to;                     // its items, for a crash's helper
  platform::Origin origin;
  std::u16string app_version;
  // Set while Raise reports; the report of its error, once a step has made it.
  bool raising = false;
  mutable std::optional<std::u16string> raised_report;
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
  m.app_title = m.app.Title();
  m.app_full_path = m.app_path + m.platform->path_separator + m.app.app_file;
  m.app_name.assign(app_name);
  m.initialized = true;
  m.ReadDeliverySettings();
  if (m.catching || (!m.catching_set_by_host && CrashCatchingWanted(*m.platform))) {
    m.CatchCrashes(true);
  }
  if (m.platform->outbox) m.platform->outbox->StartSenderWhenNotEmpty();  // reports left queued
}

void ProcBug::Init(std::string_view app_name, std::int16_t app_major, std::int16_t app_minor,
                   std::int16_t app_revision, std::string_view app_path,
                   std::int32_t project_type) {
  Init(runtime::FromUtf8(app_name), app_major, app_minor, app_revision, runtime::FromUtf8(app_path),
       project_type);
}

void ProcBug::Raise(std::u16string_view module_name, std::u16string_view proc_name,
                    const ErrorObject* error, std::int32_t on_line_number, bool is_critical) {
  Impl& m = *impl_;
  if (m.raise_done) return;
  m.raise_done = true;  // one error per object, whatever happens next
  if (!m.enabled) return;
  m.CheckInit();
  if (error == nullptr) runtime::RaiseRuntime(runtime::kObjectRequired);
  VoxError record;
  record.Descr = error->Description();
  record.LineNumber = on_line_number;
  record.ModuleName.assign(module_name);
  record.ProcName.assign(proc_name);
  record.Number = error->Number();
  record.isCritical = is_critical;
  if (platform::probes::RaiseAttached()) ProbeRaise(record);
  struct Raising {
    Impl& m;
    explicit Raising(Impl& impl) : m(impl) { m.raising = true; }
    ~Raising() {
      m.raising = false;
      m.raised_report.reset();
    }
  } raising(m);
  if (m.log_on_msg_box) m.ShowErrorBox(record);
  if (m.log_on_file) {
    try {
      m.LogErrorToFile(record);
    } catch (...) {
      m.Deliver(record);  // a bug log that failed is no reason to keep the report back
      throw;
    }
  }
  m.Deliver(record);
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
  Raise(runtime::FromUtf8(module_name), runtime::FromUtf8(proc_name), number,
        runtime::FromUtf8(description), on_line_number, is_critical);
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
  LogErrorToFile(runtime::FromUtf8(module_name), runtime::FromUtf8(proc_name), number,
                 runtime::FromUtf8(description), line_number);
}

void ProcBug::Terminate() {
  impl_->CatchCrashes(false);
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
void ProcBug::LogFilePath(std::string_view value) {
  impl_->log_file_path = runtime::FromUtf8(value);
}
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
void ProcBug::SupportFax(std::string_view value) { impl_->support_fax = runtime::FromUtf8(value); }
const std::u16string& ProcBug::SupportFax() const noexcept { return impl_->support_fax; }
void ProcBug::SupportMail(std::u16string_view value) { impl_->support_mail.assign(value); }
void ProcBug::SupportMail(std::string_view value) {
  impl_->support_mail = runtime::FromUtf8(value);
}
const std::u16string& ProcBug::SupportMail() const noexcept { return impl_->support_mail; }
void ProcBug::CatchCrashes(bool value) {
  impl_->catching_set_by_host = true;
  impl_->CatchCrashes(value);
}
bool ProcBug::CatchCrashes() const noexcept { return impl_->catching; }
void ProcBug::NativeStack(bool value) noexcept { impl_->native_stack = value; }
bool ProcBug::NativeStack() const noexcept { return impl_->native_stack; }
void ProcBug::ReportTo(std::u16string_view value) {
  impl_->report_to_set.emplace(value);
  impl_->ReadDeliverySettings();
}
void ProcBug::ReportTo(std::string_view value) { ReportTo(runtime::FromUtf8(value)); }
const std::u16string& ProcBug::ReportTo() const noexcept { return impl_->report_to; }
void ProcBug::RedactSecrets(bool value) {
  impl_->redact_secrets_set = value;
  impl_->ReadDeliverySettings();
}
bool ProcBug::RedactSecrets() const noexcept { return impl_->redact_secrets; }

}  // namespace cobaltmoth
