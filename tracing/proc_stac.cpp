#include <cobaltmoth/proc_stac.hpp>

#include <utility>
#include <vector>

#include "component/base/host_error.hpp"
#include "component/base/log_section.hpp"
#include "component/base/text.hpp"
#include "platform/platform.hpp"
#include "support/collection_ex_obj.hpp"
#include "tracing/app_identity.hpp"
#include "tracing/stack_log_format.hpp"
#include "tracing/stack_record.hpp"

namespace cobaltmoth {

using tracing::StackLogLineKind;
using tracing::StackRecord;

namespace {
constexpr std::u16string_view kClassName = u"ProcStac";
// Records kept for reuse by later entries, and the longest names such a record may hold.
constexpr std::size_t kSpareRecords = 16;
constexpr std::size_t kSpareNameCapacity = 256;
}  // namespace

struct ProcStac::Impl {
  explicit Impl(std::shared_ptr<const platform::Platform> services)
      : platform(std::move(services)), stack(std::make_unique<CollectionExObj>()) {}

  // Raises the not-initialised error until Init has run.
  void CheckInit() const {
    if (!initialized) host::RaiseNotInitialized(kClassName);
  }

  // Raises error 91 once Terminate has discarded the stack.
  void CheckStack() const {
    if (!stack) host::RaiseRuntime(host::kObjectNotSet);
  }

  std::u16string Title() const { return app.Title(); }

  // Sets `key` to the key of an entry: LCase(module + "::" + proc + "::" + position).
  static void MakeKey(std::u16string& key, std::u16string_view module_name,
                      std::u16string_view proc_name, std::int64_t position) {
    key.clear();
    key += module_name;
    key += u"::";
    key += proc_name;
    key += u"::";
    text::LCaseInPlace(key);
    text::AppendDecimal(key, position);
  }

  // A record for a new entry, reusing one that an exit gave back when there is one.
  std::shared_ptr<StackRecord> NewRecord(std::u16string_view module_name,
                                         std::u16string_view proc_name) {
    if (spare_records.empty()) return std::make_shared<StackRecord>(module_name, proc_name);
    std::shared_ptr<StackRecord> record = std::move(spare_records.back());
    spare_records.pop_back();
    record->Reuse(module_name, proc_name);
    return record;
  }

  // Removes the top entry; its record is kept for reuse when nothing else holds it and its
  // names are short.
  void PopTop(std::int32_t position) {
    ObjectRef item = stack->RemoveAt(position);
    if (item.use_count() != 1 || spare_records.size() >= kSpareRecords) return;
    auto record = std::static_pointer_cast<StackRecord>(std::move(item));
    if (record->ModuleName().capacity() + record->ProcName().capacity() <= kSpareNameCapacity) {
      spare_records.push_back(std::move(record));
    }
  }

  // Whether a stored key is the key of these names at this position, that is
  // LCase(module + "::" + proc + "::" + position), compared without building it.
  static bool KeyMatches(std::u16string_view stored, std::u16string_view module_name,
                         std::u16string_view proc_name, std::int32_t position) {
    std::size_t at = 0;
    const auto take = [&](std::u16string_view part, bool lower) {
      if (stored.size() - at < part.size()) return false;
      for (const char16_t unit : part) {
        if (stored[at++] != (lower ? text::LowerUnit(unit) : unit)) return false;
      }
      return true;
    };
    char16_t digits[12];
    std::size_t first = sizeof digits / sizeof digits[0];
    for (std::int32_t v = position; first == 12 || v != 0; v /= 10) {
      digits[--first] = static_cast<char16_t>(u'0' + v % 10);
    }
    return take(module_name, true) && take(u"::", false) && take(proc_name, true) &&
           take(u"::", false) && take({digits + first, 12 - first}, false) &&
           at == stored.size();
  }

  const StackRecord& RecordAt(std::int32_t position) {
    return *static_cast<const StackRecord*>(stack->ItemAt(position).get());
  }

  void WriteStackLog(std::u16string_view module_name, std::u16string_view proc_name,
                     std::int32_t line_number, StackLogLineKind kind) {
    if (!log_stream) OpenStackLog();
    // An empty LogFilePath opens nothing: the stack log is off and the line is dropped.
    if (!log_stream) return;
    line.clear();
    tracing::AppendTraceLine(line, stack->Count(), kind, module_name, proc_name, line_number);
    log_stream->WriteLine(line);
  }

  // Opens the log with its header; a log that failed to open, or to take its header, is
  // tried again at the next line.
  void OpenStackLog() {
    if (log_file_path.empty()) return;
    const std::u16string title = Title();
    log_stream = OpenLogSection(*platform->files, log_file_path, tracing::kRuleLine,
                                tracing::SectionStartLine(title, platform->clock->NowText()));
  }

  // Writes the footer and closes the log.
  void CloseStackLog() {
    if (!log_stream) return;
    CloseLogSection(log_stream, tracing::kRuleLine, tracing::SectionEndLine(Title()));
  }

  std::shared_ptr<const platform::Platform> platform;
  bool enabled = true;
  std::u16string log_file_path;
  bool log_on_file = false;
  tracing::AppIdentity app;
  bool initialized = false;
  std::unique_ptr<CollectionExObj> stack;
  std::unique_ptr<platform::TextStream> log_stream;
  std::u16string line;  // reused for every trace line
  std::u16string key;   // reused for every new entry's key
  std::vector<std::shared_ptr<StackRecord>> spare_records;
};

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
}

void ProcStac::Init(std::string_view app_name, std::int16_t app_major, std::int16_t app_minor,
                    std::int16_t app_revision, std::string_view app_path,
                    std::int32_t project_type) {
  Init(text::FromUtf8(app_name), app_major, app_minor, app_revision, text::FromUtf8(app_path),
       project_type);
}

std::u16string ProcStac::Dump() {
  Impl& m = *impl_;
  m.CheckInit();
  m.CheckStack();
  const std::int32_t n = m.stack->Count();
  std::vector<ObjectRef> held;  // keeps every record alive while the text is made
  std::vector<const StackRecord*> records;
  held.reserve(static_cast<std::size_t>(n));
  records.reserve(static_cast<std::size_t>(n));
  for (std::int32_t p = 1; p <= n; ++p) {
    held.push_back(m.stack->ItemAt(p));
    records.push_back(static_cast<const StackRecord*>(held.back().get()));
  }
  return tracing::FormatDump(m.Title(), records);
}

void ProcStac::EnterProc(std::u16string_view module_name, std::u16string_view proc_name) {
  Impl& m = *impl_;
  m.CheckInit();
  m.CheckStack();
  if (!m.enabled) return;
  // The key is new by construction: it ends in "::" and the new top position, and every key
  // on the stack ends in its own, lower position.
  Impl::MakeKey(m.key, module_name, proc_name, std::int64_t{m.stack->Count()} + 1);
  std::shared_ptr<StackRecord> record = m.NewRecord(module_name, proc_name);
  const std::int32_t erl = m.platform->error_line->Erl();
  if (erl != 0) record->CalledByLineNumber(erl);
  const StackRecord& entry = *record;
  m.stack->AppendNewKey(std::move(record), m.key);
  if (m.log_on_file) {
    m.WriteStackLog(entry.ModuleName(), entry.ProcName(), entry.CalledByLineNumber(),
                    StackLogLineKind::Enter);
  }
}

void ProcStac::EnterProc(std::string_view module_name, std::string_view proc_name) {
  EnterProc(text::FromUtf8(module_name), text::FromUtf8(proc_name));
}

void ProcStac::ExitProc(std::u16string_view module_name, std::u16string_view proc_name) {
  Impl& m = *impl_;
  m.CheckInit();
  m.CheckStack();
  if (!m.enabled) return;
  std::int32_t i = m.stack->Count();
  for (;;) {
    // Position 0 is past the bottom: the collection raises error 9 there, and an exit that
    // matched nothing reaches the host with it, the stack now empty.
    const std::u16string& stored = m.stack->Key(i);
    // Names spelled as they were entered make the same key; any other spelling is compared
    // with the key itself.
    const StackRecord& top = m.RecordAt(i);
    if ((top.ModuleName() == module_name && top.ProcName() == proc_name) ||
        Impl::KeyMatches(stored, module_name, proc_name, i)) {
      break;
    }
    if (m.log_on_file) {
      const StackRecord& lost = m.RecordAt(i);
      m.WriteStackLog(lost.ModuleName(), lost.ProcName(), lost.CalledByLineNumber(),
                      StackLogLineKind::ExitNotFound);
    }
    m.PopTop(i);
    --i;
  }
  if (m.log_on_file) {
    const StackRecord& matched = m.RecordAt(i);
    m.WriteStackLog(matched.ModuleName(), matched.ProcName(), matched.CalledByLineNumber(),
                    StackLogLineKind::Exit);
  }
  m.PopTop(i);
}

void ProcStac::ExitProc(std::string_view module_name, std::string_view proc_name) {
  ExitProc(text::FromUtf8(module_name), text::FromUtf8(proc_name));
}

void ProcStac::PrintComment(std::u16string_view comment) {
  Impl& m = *impl_;
  m.CheckInit();
  m.CheckStack();
  if (m.enabled || m.log_on_file) m.WriteStackLog(comment, u"", 0, StackLogLineKind::Comment);
}

void ProcStac::PrintComment(std::string_view comment) { PrintComment(text::FromUtf8(comment)); }

void ProcStac::Terminate() {
  impl_->CloseStackLog();
  impl_->stack.reset();
  impl_->spare_records.clear();
}

void ProcStac::LogOnFile(bool value) noexcept { impl_->log_on_file = value; }
bool ProcStac::LogOnFile() const noexcept { return impl_->log_on_file; }

void ProcStac::LogFilePath(std::u16string_view value) { impl_->log_file_path.assign(value); }
void ProcStac::LogFilePath(std::string_view value) {
  impl_->log_file_path = text::FromUtf8(value);
}
const std::u16string& ProcStac::LogFilePath() const noexcept { return impl_->log_file_path; }

void ProcStac::Enabled(bool value) noexcept { impl_->enabled = value; }
bool ProcStac::Enabled() const noexcept { return impl_->enabled; }

ProcScope::ProcScope(ProcStac& stack, std::u16string_view module_name,
                     std::u16string_view proc_name)
    : stack_(&stack), module_name_(module_name), proc_name_(proc_name) {
  stack_->EnterProc(module_name_, proc_name_);
}

ProcScope::ProcScope(ProcStac& stack, std::string_view module_name, std::string_view proc_name)
    : ProcScope(stack, text::FromUtf8(module_name), text::FromUtf8(proc_name)) {}

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

}  // namespace cobaltmoth
