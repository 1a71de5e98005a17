#include <cobaltmoth/proc_stac.hpp>

#include <utility>
#include <vector>

#include "platform/common/error_line.hpp"
#include "platform/crashes.hpp"
#include "platform/platform.hpp"
#include "platform/probes.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"
#include "support/log_section.hpp"
#include "tracing/app_identity.hpp"
#include "tracing/keyed_stack.hpp"
#include "tracing/stack_log_format.hpp"
#include "tracing/stack_log_writer.hpp"
#include "tracing/stack_record.hpp"

namespace cobaltmoth {

using tracing::StackLogLineKind;
using tracing::StackRecord;

namespace {
constexpr std::u16string_view kClassName = u"ProcStac";

// The names of an entry in UTF-8, for the probes: the site's own, or converted.
struct Utf8Names {
  explicit Utf8Names(const StackRecord& entry) {
    if (const ProcSite* site = entry.Site()) {
      module_name = site->ModuleNameUtf8();
      proc_name = site->ProcNameUtf8();
    } else {
      module_text = runtime::ToUtf8(entry.ModuleName());
      proc_text = runtime::ToUtf8(entry.ProcName());
      module_name = module_text;
      proc_name = proc_text;
    }
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

  std::string module_text;
  std::string proc_text;
  std::string_view module_name;
  std::string_view proc_name;
};

// The probes fire from here, out of the way of the common road: only while a tracer is
// attached (see platform/probes.hpp).
[[gnu::noinline, gnu::cold]] void ProbeEnter(const StackRecord& entry, std::int32_t depth) {
  const Utf8Names names(entry);
  platform::probes::Enter(names.module_name, names.proc_name, depth, entry.CalledByLineNumber());
}
[[gnu::noinline, gnu::cold]] void ProbeExit(const StackRecord& entry, std::int32_t depth,
                                            bool found) {
  const Utf8Names names(entry);
  platform::probes::Exit(names.module_name, names.proc_name, depth, found);
}
}  // namespace

// The tracer is also a thread's procedure stack for a crash's report: it tells the platform
// it lives on the thread that makes it, and again on the thread that pushes onto it whenever
// that is another one (a tracer made on one thread may trace for another), until it is
// terminated. A thread is told apart by the address of its own error line.
struct ProcStac::Impl final : platform::TracedThread {
  explicit Impl(std::shared_ptr<const platform::Platform> services)
      : thread_error_line(services->error_line == platform::common::ThreadErrorLine()),
        platform(std::move(services)) {
    if (platform->crashes) platform->crashes->TracerStarted(this);
  }
  ~Impl() { Untrack(); }

  // The calling thread pushes onto the tracer, which last traced for another thread.
  [[gnu::noinline, gnu::cold]] void MoveToThisThread() noexcept {
    tracing_thread = &runtime::thread_error_line;
    if (tracked && platform->crashes) platform->crashes->TracerStarted(this);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void Untrack() noexcept {
    if (tracked && platform->crashes) platform->crashes->TracerEnded(this);
    tracked = false;
  }

  bool Dumps() const noexcept override { return ready && enabled; }
  void WriteDump(runtime::TextOut& out) const noexcept override {
    tracing::AppendDump(out, app, stack.BottomFirst());
  }

  bool Innermost(std::u16string_view* module_name,
                 std::u16string_view* proc_name) const noexcept override {
    const std::int32_t count = stack.Count();
    if (count == 0) return false;
    *module_name = stack.At(count).ModuleName();
    *proc_name = stack.At(count).ProcName();
    return true;
  }

  // Raises the not-initialised error until Init has run, and error 91 once Terminate has
  // discarded the stack.
  void CheckReady() const {
    if (ready) [[likely]] return;
    if (!initialized) runtime::RaiseNotInitialized(kClassName);
    runtime::RaiseRuntime(runtime::kObjectNotSet);
  }

  std::u16string Title() const { return app.Title(); }

  // The host's current error-line number; the calling thread's own is read directly.
  std::int32_t CurrentErl() const {
    return thread_error_line ? runtime::thread_error_line : platform->error_line->Erl();
  }

  // Whether entries and exits take the common road: the guarded operations may run, tracing
  // is enabled, and nothing is logged. Kept up to date by every change of those settings.
  void Refresh() noexcept {
    ready = initialized && !terminated;
    active = ready && enabled;
    quiet = active && !log_on_file;
  }

  // Pushes an entry whose names `fill` puts into the new top record, then announces it.
  template <typename Fill>
  void Enter(Fill fill) {
    if (!quiet) [[unlikely]] {
      CheckReady();
      if (!enabled) return;
    }
    StackRecord& entry = stack.Next();
    fill(entry);
    entry.CalledByLineNumber(CurrentErl());
    stack.Push();
    if (tracing_thread != &runtime::thread_error_line) [[unlikely]] MoveToThisThread();
    if (!quiet || platform::probes::EnterAttached()) [[unlikely]] AnnounceEnter(entry);
  }

  // Tells an attached tracer and the stack log of the new top entry.
  [[gnu::noinline]] void AnnounceEnter(StackRecord& entry) {
    if (platform::probes::EnterAttached()) [[unlikely]] ProbeEnter(entry, stack.Count());
    if (log_on_file) LogEntry(entry, StackLogLineKind::Enter);
  }

  // Tells an attached tracer and the stack log that the top entry leaves: as the exit that
  // matched it (`found`) or as one never reported.
  void AnnounceExit(bool found) {
    StackRecord& entry = stack.Top();
    if (platform::probes::ExitAttached()) [[unlikely]] ProbeExit(entry, stack.Count(), found);
    if (log_on_file) {
      LogEntry(entry, found ? StackLogLineKind::Exit : StackLogLineKind::ExitNotFound);
    }
  }

  // The exit of the topmost entry whose key these names make: every entry above it is
  // unwound as an exit never reported. When none matches, the stack ends empty and error 9
  // is raised, as for the key below position 1.
  void ExitNames(std::u16string_view module_name, std::u16string_view proc_name) {
    for (std::int32_t i = stack.Count();; --i) {
      if (i == 0) runtime::RaiseRuntime(runtime::kSubscriptOutOfRange);
      if (stack.KeyMatches(i, module_name, proc_name)) break;
      if (log_on_file || platform::probes::ExitAttached()) AnnounceExit(false);
      stack.Pop();
    }
    if (log_on_file || platform::probes::ExitAttached()) [[unlikely]] AnnounceExit(true);
    stack.Pop();
  }

  // The exit through a site: the top entry, when it was made through this very site, is the
  // match with no text compared.
  void ExitSite(const ProcSite& site) {
    const std::int32_t top = stack.Count();
    if (active && top > 0 && stack.At(top).Site() == &site) [[likely]] {
      if (!quiet || platform::probes::ExitAttached()) [[unlikely]] return ExitTop();
      stack.PopSite();
      return;
    }
    ExitNamesOf(site);
  }

  // The exit of the top entry, told to an attached tracer and the stack log.
  [[gnu::noinline]] void ExitTop() {
    AnnounceExit(true);
    stack.Pop();
  }

  // The exit through a site on any other road: its names are the site's own, so the top entry
  // made through it still matches at once, by the same text.
  [[gnu::noinline]] void ExitNamesOf(const ProcSite& site) {
    CheckReady();
    if (!enabled) return;
    ExitNames(site.ModuleName(), site.ProcName());
  }

  void EnterSite(const ProcSite& site) {
    Enter([&](StackRecord& entry) { entry.Refer(site); });
  }

  void LogEntry(StackRecord& entry, StackLogLineKind kind) {
    if (!log_stream) [[unlikely]] {
      OpenStackLog();
      // An empty LogFilePath opens nothing: the stack log is off and the line is dropped.
      if (!log_stream) return;
    }
    log_lines.Write(stack.Count(), kind, entry);
  }

  void LogComment(std::u16string_view comment) {
    if (!log_stream) OpenStackLog();
    if (!log_stream) return;
    log_lines.WriteComment(stack.Count(), comment);
  }

  // Opens the log with its header; a log that failed to open, or to take its header, is
  // tried again at the next line.
  void OpenStackLog() {
    if (log_file_path.empty()) return;
    log_stream = support::OpenLogSection(*platform->files, log_file_path, tracing::kStackLogMarks,
                                Title(), platform->clock->NowText(), Mapped());
    log_lines.Attach(log_stream.get());
  }

  // Whether the log is to be opened mapped: as the host set it, else as the environment says.
  bool Mapped() const {
    if (log_mode != StackLogMode::kUnset) return log_mode == StackLogMode::kMapped;
    return platform->environment->Holds(u"COBALTMOTH_LOG_MODE=mapped");
  }

  // Writes the footer and closes the log.
  void CloseStackLog() {
    if (!log_stream) return;
    log_lines.Attach(nullptr);
    support::CloseLogSection(log_stream, tracing::kStackLogMarks, Title());
  }

  // What every entry and exit reads comes first.
  bool quiet = false;  // see Refresh
  bool active = false;  // ready and enabled: entries and exits are made
  bool ready = false;  // initialized and not terminated: the guarded operations may run
  bool tracked = true;  // known to the platform's crash handling as its thread's tracer
  const std::int32_t* tracing_thread = &runtime::thread_error_line;  // the thread it traces for
  bool enabled = true;
  bool log_on_file = false;
  bool thread_error_line;  // the platform's Erl is the calling thread's cobaltmoth::Erl()
  tracing::KeyedStack stack;
  bool initialized = false;
  bool terminated = false;  // Terminate has discarded the stack
  std::shared_ptr<const platform::Platform> platform;
  std::u16string log_file_path;
  StackLogMode log_mode = StackLogMode::kUnset;
  tracing::AppIdentity app;
  std::unique_ptr<platform::TextStream> log_stream;
  tracing::StackLogWriter log_lines;  // writes to log_stream
};

ProcSite::ProcSite(std::u16string_view module_name, std::u16string_view proc_name)
    : module_name_(module_name),
      proc_name_(proc_name),
      module_name_utf8_(runtime::ToUtf8(module_name)),
      proc_name_utf8_(runtime::ToUtf8(proc_name)) {
  tracing::sites_made.fetch_add(1, std::memory_order_relaxed);
}

ProcSite::ProcSite(std::string_view module_name, std::string_view proc_name)
    : ProcSite(runtime::FromUtf8(module_name), runtime::FromUtf8(proc_name)) {}

ProcStac::ProcStac() : ProcStac(platform::DefaultPlatform()) {}

ProcStac::ProcStac(std::shared_ptr<const platform::Platform> platform)
    : impl_(std::make_unique<Impl>(std::move(platform))) {}

ProcStac::~ProcStac() {
  try {
    Terminate();
  } catch (...) {
    // The footer could not be written; a destructor has no one to tell.
  }
}

void ProcStac::Init(std::u16string_view app_name, std::int16_t app_major,
                    std::int16_t app_minor, std::int16_t app_revision,
                    std::u16string_view app_path, std::int32_t project_type) {
  Impl& m = *impl_;
  m.app.Set(app_name, app_major, app_minor, app_revision, project_type, /*upper_case=*/false);
  m.log_file_path.assign(app_path);
  m.log_file_path += m.platform->path_separator;
  m.log_file_path += app_name;
  m.log_file_path += u"_stacklog.txt";
  m.initialized = true;
  m.Refresh();
}

void ProcStac::Init(std::string_view app_name, std::int16_t app_major, std::int16_t app_minor,
                    std::int16_t app_revision, std::string_view app_path,
                    std::int32_t project_type) {
  Init(runtime::FromUtf8(app_name), app_major, app_minor, app_revision, runtime::FromUtf8(app_path),
       project_type);
}

std::u16string ProcStac::Dump() {
  Impl& m = *impl_;
  m.CheckReady();
  return tracing::FormatDump(m.app, m.stack.BottomFirst());
}

void ProcStac::EnterProc(std::u16string_view module_name, std::u16string_view proc_name) {
  impl_->Enter([&](StackRecord& entry) { entry.Hold(module_name, proc_name); });
}

void ProcStac::EnterProc(std::string_view module_name, std::string_view proc_name) {
  EnterProc(runtime::FromUtf8(module_name), runtime::FromUtf8(proc_name));
}

void ProcStac::EnterProc(const ProcSite& site) { impl_->EnterSite(site); }

void ProcStac::ExitProc(std::u16string_view module_name, std::u16string_view proc_name) {
  Impl& m = *impl_;
  m.CheckReady();
  if (!m.enabled) return;
  m.ExitNames(module_name, proc_name);
}

void ProcStac::ExitProc(std::string_view module_name, std::string_view proc_name) {
  ExitProc(runtime::FromUtf8(module_name), runtime::FromUtf8(proc_name));
}

void ProcStac::ExitProc(const ProcSite& site) { impl_->ExitSite(site); }

void ProcStac::PrintComment(std::u16string_view comment) {
  Impl& m = *impl_;
  m.CheckReady();
  if (m.enabled || m.log_on_file) m.LogComment(comment);
}

void ProcStac::PrintComment(std::string_view comment) { PrintComment(runtime::FromUtf8(comment)); }

void ProcStac::Terminate() {
  impl_->Untrack();
  impl_->CloseStackLog();
  impl_->stack.Clear();
  impl_->terminated = true;
  impl_->Refresh();
}

void ProcStac::LogOnFile(bool value) noexcept {
  impl_->log_on_file = value;
  impl_->Refresh();
}
bool ProcStac::LogOnFile() const noexcept { return impl_->log_on_file; }

void ProcStac::LogFilePath(std::u16string_view value) { impl_->log_file_path.assign(value); }
void ProcStac::LogFilePath(std::string_view value) {
  impl_->log_file_path = runtime::FromUtf8(value);
}
const std::u16string& ProcStac::LogFilePath() const noexcept { return impl_->log_file_path; }

void ProcStac::LogMode(StackLogMode value) noexcept { impl_->log_mode = value; }
StackLogMode ProcStac::LogMode() const noexcept { return impl_->log_mode; }

void ProcStac::Enabled(bool value) noexcept {
  impl_->enabled = value;
  impl_->Refresh();
}
bool ProcStac::Enabled() const noexcept { return impl_->enabled; }

ProcScope::ProcScope(ProcStac& stack, std::u16string_view module_name,
                     std::u16string_view proc_name)
    : stack_(&stack), module_name_(module_name), proc_name_(proc_name) {
  stack_->EnterProc(module_name_, proc_name_);
}

ProcScope::ProcScope(ProcStac& stack, std::string_view module_name, std::string_view proc_name)
    : ProcScope(stack, runtime::FromUtf8(module_name), runtime::FromUtf8(proc_name)) {}

ProcScope::~ProcScope() {
  if (stack_ == nullptr) return;
  try {
    stack_->ExitProc(module_name_, proc_name_);
  } catch (...) {
    // A destructor must not throw; Exit() is there for a caller who wants the error.
  }
}

void ProcScope::Exit() {
  ProcStac* stack = std::exchange(stack_, nullptr);
  if (stack != nullptr) stack->ExitProc(module_name_, proc_name_);
}

ProcSiteScope::ProcSiteScope(ProcStac& stack, const ProcSite& site)
    : stack_(&stack), site_(&site) {
  stack.impl_->EnterSite(site);
}

ProcSiteScope::~ProcSiteScope() {
  if (stack_ == nullptr) return;
  try {
    stack_->impl_->ExitSite(*site_);
  } catch (...) {
    // A destructor must not throw; Exit() is there for a caller who wants the error.
  }
}

void ProcSiteScope::Exit() {
  ProcStac* stack = std::exchange(stack_, nullptr);
  if (stack != nullptr) stack->impl_->ExitSite(*site_);
}

}  // namespace cobaltmoth
