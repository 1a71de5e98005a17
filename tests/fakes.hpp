// tests/fakes.hpp - a Platform of fakes that record what the library did: files in memory, a
// fixed clock, an error line the test sets, settings keys in memory, and user-interface ports
// and a transport to the system's log that write one journal. Plus the tests' shared helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include "child_process.hpp"  // TempDir and the child processes of the POSIX tests
#endif
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>

#include "component/resources/compiled_resources.hpp"
#include "platform/outbox.hpp"
#include "platform/platform.hpp"
#include "platform/registry.hpp"
#include "platform/resources.hpp"
#include "platform/transport.hpp"
#include "platform/ui.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::testing {

// UTF-8 of a host string, for readable failure messages.
inline std::string U8(std::u16string_view text) { return runtime::ToUtf8(text); }

// Files in memory, their bytes in Windows-1252 as the real backend writes them. The next
// `open_failures` opens raise `open_error`; every write raises `write_error` while it is set.
// An open asked to map the file counts in `mapped_opens` and is an open like any other.
class MemoryFileSystem final : public platform::FileSystem {
 public:
  std::map<std::u16string, std::string> files;
  int opens = 0;
  int mapped_opens = 0;
  int open_failures = 0;
  std::int32_t open_error = 0;
  std::int32_t write_error = 0;

  std::unique_ptr<platform::TextStream> OpenTextFileForAppending(
      std::u16string_view path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++opens;
    if (open_failures > 0) {
      --open_failures;
      runtime::RaiseRuntime(open_error);
    }
    return std::make_unique<Stream>(this, std::u16string(path));
  }
  std::unique_ptr<platform::TextStream> OpenMappedTextFile(std::u16string_view path) override {
    ++mapped_opens;
    return OpenTextFileForAppending(path);
  }
  std::string Bytes(std::u16string_view path) const {
    const auto it = files.find(std::u16string(path));
    return it == files.end() ? std::string() : it->second;
  }
  bool Exists(std::u16string_view path) const { return files.count(std::u16string(path)) != 0; }

 private:
  class Stream final : public platform::TextStream {
   public:
    Stream(MemoryFileSystem* owner, std::u16string path) : owner_(owner), path_(std::move(path)) {
      owner_->files[path_];  // created when missing, never truncated
    }
    void Write(std::u16string_view text) override { Append(text, ""); }
    void WriteLine(std::u16string_view text) override { Append(text, "\r\n"); }
    void WriteBlankLines(int count) override {
      for (int i = 0; i < count; ++i) Append(u"", "\r\n");
    }
    void Close() override {}

   private:
    void Append(std::u16string_view text, const char* end) {
      std::lock_guard<std::mutex> lock(owner_->mutex_);
      if (owner_->write_error != 0) runtime::RaiseRuntime(owner_->write_error);
      runtime::AppendWindows1252(text, owner_->files[path_]);
      owner_->files[path_] += end;
    }
    MemoryFileSystem* owner_;
    std::u16string path_;
  };
  std::mutex mutex_;  // threads may write their own files at once
};

// The settings store as the bug handler reads it: keys by root and path (no case rules, no
// tree of its own). The store itself is tested on its own files.
class MemoryRegistry final : public platform::Registry {
 public:
  using Values = std::map<std::u16string, platform::RegValue>;
  std::map<std::pair<std::uint32_t, std::u16string>, Values> keys;

  // Sets a text value, as an administrator would.
  void SetText(std::uint32_t root, std::u16string path, std::u16string name,
               std::u16string_view value) {
    std::string bytes = U8(value) + '\0';
    keys[{root, std::move(path)}][std::move(name)] = {platform::kRegSz,
                                                      {bytes.begin(), bytes.end()}};
  }
  platform::RegStatus OpenKey(std::uint32_t root, std::u16string_view path,
                              platform::RegKey* key) override {
    const auto it = keys.find({root, std::u16string(path)});
    if (it == keys.end()) return platform::RegStatus::kNotFound;
    *key = std::make_unique<Key>(&it->second);
    return platform::RegStatus::kOk;
  }
  platform::RegStatus CreateKey(std::uint32_t root, std::u16string_view path,
                                platform::RegKey* key) override {
    *key = std::make_unique<Key>(&keys[{root, std::u16string(path)}]);
    return platform::RegStatus::kOk;
  }

 private:
  class Key final : public platform::RegistryKey {
   public:
    explicit Key(Values* values) : values_(values) {}
    platform::RegStatus QueryValue(std::u16string_view name, platform::RegValue* value) override {
      const auto it = values_->find(std::u16string(name));
      if (it == values_->end()) return platform::RegStatus::kNotFound;
      *value = it->second;
      return platform::RegStatus::kOk;
    }
    platform::RegStatus SetValue(std::u16string_view name, std::uint32_t type,
                                 std::span<const std::uint8_t> data) override {
      (*values_)[std::u16string(name)] = {type, {data.begin(), data.end()}};
      return platform::RegStatus::kOk;
    }
    platform::RegStatus DeleteValue(std::u16string_view name) override {
      return values_->erase(std::u16string(name)) != 0 ? platform::RegStatus::kOk
                                                       : platform::RegStatus::kNotFound;
    }
    platform::RegStatus DeleteSubKey(std::u16string_view) override {
      return platform::RegStatus::kAccessDenied;
    }

   private:
    Values* values_;
  };
};

class FixedClock final : public platform::Clock {
 public:
  std::u16string now = u"12/06/2026 09:41:07";
  platform::LocalTime local{2026, 12, 6, 0, 9, 41, 7};  // Sunday, 6 December 2026
  bool italian = false;  // the locale's names: English, or Italian when set
  std::u16string NowText() override { return now; }
  platform::LocalTime Now() override { return local; }
  std::u16string TimeSeparator() override { return u":"; }
  std::u16string DayName(int weekday) override {
    return italian ? (weekday == 0 ? u"domenica" : u"luned\u00EC") : u"Sunday";
  }
  std::u16string MonthName(int month) override {
    return italian ? (month == 12 ? u"dicembre" : u"marzo") : u"December";
  }
};

class FixedEnvironment final : public platform::Environment {
 public:
  std::vector<std::u16string> entries = {u"PATH=/usr/bin", u"HOME=/home/payroll", u"LANG=C"};
  std::vector<std::u16string> Entries() override { return entries; }
};

class SettableErrorLine final : public platform::ErrorLine {
 public:
  std::int32_t line = 0;
  std::int32_t Erl() override { return line; }
};

// What the user-interface fakes saw, in order, as readable lines.
struct Journal {
  std::vector<std::string> lines;
  void Add(std::string line) { lines.push_back(std::move(line)); }
};

// A fake that writes to a journal it shares with the others.
class JournalWriter {
 public:
  explicit JournalWriter(std::shared_ptr<Journal> journal) : journal_(std::move(journal)) {}

 protected:
  std::shared_ptr<Journal> journal_;
};

class FakeMessageBox final : public platform::MessageBox, JournalWriter {
 public:
  using JournalWriter::JournalWriter;
  std::function<void()> on_show;  // runs while the box is "open"
  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    journal_->Add("msgbox " + std::to_string(style) + " [" + U8(title) + "] " + U8(prompt));
    if (on_show) on_show();
  }
};

// Shows the window by answering the scripted presses in turn (then the close box).
class FakeReportWindow final : public platform::ReportWindow, JournalWriter {
 public:
  using JournalWriter::JournalWriter;
  std::deque<platform::Click> clicks;  // a click with an empty text: the box is unchanged
  platform::ReportWindowModel shown;   // the model as the window opened with it
  std::function<void()> on_show;       // runs once the window is "open"

  std::unique_ptr<platform::ShownReportWindow> Show(
      const platform::ReportWindowModel& model) override {
    journal_->Add("window [" + U8(model.title) + "]");
    shown = model;
    if (on_show) on_show();
    return std::make_unique<Shown>(this);
  }

 private:
  class Shown final : public platform::ShownReportWindow {
   public:
    explicit Shown(FakeReportWindow* owner) : owner_(owner), text_(owner->shown.Text()) {}
    ~Shown() override { owner_->journal_->Add("window closed"); }
    platform::Click WaitForClick() override {
      platform::Click click;
      if (!owner_->clicks.empty()) {
        click = owner_->clicks.front();
        owner_->clicks.pop_front();
      }
      if (click.text.empty()) click.text = text_;
      text_ = click.text;
      return click;
    }
    void ShowMessage(std::u16string_view prompt, std::int32_t style,
                     std::u16string_view title) override {
      owner_->journal_->Add("window msgbox " + std::to_string(style) + " [" + U8(title) + "] " +
                            U8(prompt));
    }

   private:
    FakeReportWindow* owner_;
    std::u16string text_;  // what the box holds
  };
};

class FakeClipboard final : public platform::Clipboard, JournalWriter {
 public:
  using JournalWriter::JournalWriter;
  std::int32_t fail_with = 0;
  std::u16string kept_in;  // not empty: there is no clipboard, the text went there
  std::u16string SetText(std::u16string_view text) override {
    if (fail_with != 0) runtime::RaiseRuntime(fail_with);
    journal_->Add("clipboard " + U8(text));
    return kept_in;
  }
};

class FakePrinter final : public platform::Printer, JournalWriter {
 public:
  using JournalWriter::JournalWriter;
  std::u16string fail_with;  // the spooler's message, when not empty
  void PrintDocument(std::u16string_view text, std::u16string_view font, double size) override {
    if (!fail_with.empty())
      runtime::Raise(runtime::kPrinterError, runtime::kProjectSource, fail_with);
    journal_->Add("print " + U8(font) + " " + std::to_string(static_cast<int>(size)) + " " +
                  U8(text));
  }
};

class FakeShell final : public platform::Shell, JournalWriter {
 public:
  using JournalWriter::JournalWriter;
  std::int32_t find_code = 42;
  std::u16string program = u"  /usr/bin/mailer  ";
  std::u16string CreateHtmProbe() override {
    journal_->Add("probe");
    return u"/private/~mail.htm";
  }
  void DeleteHtmProbe(std::u16string_view path) override { journal_->Add("delete " + U8(path)); }
  std::int32_t FindExecutable(std::u16string_view file, std::u16string* found) override {
    journal_->Add("find " + U8(file));
    *found = find_code > 32 ? program : u"";
    return find_code;
  }
  std::int32_t ShellExecute(std::u16string_view operation, std::u16string_view file,
                            std::u16string_view parameters, std::int32_t show) override {
    journal_->Add("execute " + U8(operation) + " [" + U8(file) + "] [" + U8(parameters) + "] " +
                  std::to_string(show));
    return 42;
  }
};

// The ways to the system's log: each hand-over journalled ("deliver stream host:514"), its bytes
// kept (an event's summary and report joined by "\n--\n"), `on_send` run, `answer` given back.
class FakeTransport final : public platform::Transport, JournalWriter {
  using Handed = platform::Handed;
  using Deadline = platform::Deadline;

 public:
  using JournalWriter::JournalWriter;
  std::vector<std::string> records, told;  // what was handed over; the lines for a terminal
  Handed answer;
  std::function<void()> on_send;
  bool Has(platform::Way) override { return true; }
  platform::Origin Here() override { return {u"ws042", 4242, u"payroll"}; }
  std::int64_t UtcMicroseconds() override { return 1796546467000006; }  // 2026-12-06 08:41:07
  Handed SendDatagram(std::string_view path, std::string_view bytes, Deadline) override {
    return Took("datagram " + std::string(path), bytes);
  }
  Handed SendSealedFile(std::string_view path, std::string_view bytes, Deadline) override {
    return Took("memfd " + std::string(path), bytes);
  }
  Handed SendStream(std::string_view host, std::uint16_t port, std::string_view bytes,
                    Deadline) override {
    return Took("stream " + std::string(host) + ":" + std::to_string(port), bytes);
  }
  Handed ReportEvent(std::u16string_view source, std::uint16_t type, std::uint32_t id,
                     std::span<const std::u16string> strings) override {
    return Took("event " + U8(source) + " " + std::to_string(type) + " " + std::to_string(id),
                U8(strings[0]) + "\n--\n" + U8(strings[1]));
  }
  void Tell(std::u16string_view line) override { told.push_back(U8(line)); }

 private:
  Handed Took(const std::string& way, std::string_view bytes) {
    journal_->Add("deliver " + way);
    records.emplace_back(bytes);
    if (on_send) on_send();
    return answer;
  }
};

// An outbox that keeps what is put and counts the sender's starts.
class FakeOutbox final : public platform::Outbox {
 public:
  std::vector<std::string> put;
  int starts = 0;
  bool Put(std::string_view envelope) override {
    put.emplace_back(envelope);
    return true;
  }
  bool NotEmpty() override { return !put.empty(); }
  void StartSenderWhenNotEmpty() override { starts += NotEmpty(); }
  void StartSender() override { ++starts; }
};

// The error number of a comment ("note") that a new tracer of the default platform writes to
// the stack log at `path` in `mode` (0: written); the tracer is kept in `keep` when given, so
// that its log stays open.
inline int CommentTo(const std::string& path, StackLogMode mode = StackLogMode::kUnset,
                     std::unique_ptr<ProcStac>* keep = nullptr) {
  auto tracer = std::make_unique<ProcStac>();
  tracer->Init("Payroll", 1, 2, 30, "/nonexistent", ExeStandard);
  tracer->LogFilePath(path);
  tracer->LogMode(mode);
  ProcStac& writer = *tracer;
  if (keep != nullptr) *keep = std::move(tracer);
  try {
    writer.PrintComment("note");
  } catch (const Error& e) {
    return e.Number();
  }
  return 0;
}

// A Platform of the fakes above, with the given path separator. The resources are the
// compiled-in table in `language` (1033 until a test sets 1040).
struct FakePlatform {
  explicit FakePlatform(std::u16string separator = u"\\")
      : files(std::make_shared<MemoryFileSystem>()),
        clock(std::make_shared<FixedClock>()),
        error_line(std::make_shared<SettableErrorLine>()),
        environment(std::make_shared<FixedEnvironment>()),
        registry(std::make_shared<MemoryRegistry>()),
        journal(std::make_shared<Journal>()),
        message_box(std::make_shared<FakeMessageBox>(journal)),
        report_window(std::make_shared<FakeReportWindow>(journal)),
        clipboard(std::make_shared<FakeClipboard>(journal)),
        printer(std::make_shared<FakePrinter>(journal)),
        shell(std::make_shared<FakeShell>(journal)),
        transport(std::make_shared<FakeTransport>(journal)),
        outbox(std::make_shared<FakeOutbox>()),
        platform(std::make_shared<platform::Platform>()) {
    auto& p = *platform;
    p.files = files;
    p.clock = clock;
    p.error_line = error_line;
    p.environment = environment;
    p.resources = component::resources::CompiledInResources([this] { return language; });
    p.registry = registry;
    p.message_box = message_box;
    p.report_window = report_window;
    p.clipboard = clipboard;
    p.printer = printer;
    p.shell = shell;
    p.transport = transport;
    p.outbox = outbox;
    p.path_separator = std::move(separator);
  }
  // A tracer and a bug handler of these fakes, initialised as Payroll 1.2.30 in C:\Apps (a
  // standard EXE) unless `init` is false.
  template <typename Object = ProcStac>
  std::shared_ptr<Object> New(bool init = true) const {
    auto object = std::make_shared<Object>(platform);
    if (init) object->Init(u"Payroll", 1, 2, 30, u"C:\\Apps", ExeStandard);
    return object;
  }
  std::shared_ptr<ProcStac> NewTracer(bool init = true) const { return New<ProcStac>(init); }
  std::shared_ptr<ProcBug> NewHandler(bool init = true) const { return New<ProcBug>(init); }

  std::int32_t language = 1033;
  std::shared_ptr<MemoryFileSystem> files;
  std::shared_ptr<FixedClock> clock;
  std::shared_ptr<SettableErrorLine> error_line;
  std::shared_ptr<FixedEnvironment> environment;
  std::shared_ptr<MemoryRegistry> registry;
  std::shared_ptr<Journal> journal;
  std::shared_ptr<FakeMessageBox> message_box;
  std::shared_ptr<FakeReportWindow> report_window;
  std::shared_ptr<FakeClipboard> clipboard;
  std::shared_ptr<FakePrinter> printer;
  std::shared_ptr<FakeShell> shell;
  std::shared_ptr<FakeTransport> transport;
  std::shared_ptr<FakeOutbox> outbox;
  std::shared_ptr<platform::Platform> platform;
};

}  // namespace cobaltmoth::testing

// Expects `statement` to throw a cobaltmoth::Error with this number, source and description
// (UTF-8 literals).
#define EXPECT_HOST_ERROR(statement, number, source, description)                        \
  do {                                                                                   \
    try {                                                                                \
      statement;                                                                         \
      ADD_FAILURE() << #statement " did not throw";                                      \
    } catch (const ::cobaltmoth::Error& e_) {                                            \
      EXPECT_EQ(e_.Number(), number);                                                    \
      EXPECT_EQ(::cobaltmoth::testing::U8(e_.Source()), source);                         \
      EXPECT_EQ(::cobaltmoth::testing::U8(e_.Description()), description);               \
    }                                                                                    \
  } while (false)

// The same for a standard run-time error, whose source is the project's name.
#define EXPECT_RUNTIME_ERROR(statement, number, description) \
  EXPECT_HOST_ERROR(statement, number, "Cobaltmoth", description)
