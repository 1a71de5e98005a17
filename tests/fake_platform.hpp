// tests/fake_platform.hpp - a Platform made of fakes: files in memory, a fixed clock, an
// error line the test sets. The fakes record what the library did so tests can compare it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/platform.hpp"
#include "platform/resources.hpp"
#include "fake_registry.hpp"

namespace cobaltmoth::testing {

// Files in memory, their bytes in Windows-1252 as the real backend writes them. Failures are
// injected by number: the next opens, or every write while set, raise that run-time error.
class MemoryFileSystem final : public platform::FileSystem {
 public:
  std::map<std::u16string, std::string> files;
  int opens = 0;
  int open_failures = 0;           // how many of the next opens fail
  std::int32_t open_error = 0;     // with this error
  std::int32_t write_error = 0;    // every write fails with this error while it is not 0

  std::unique_ptr<platform::TextStream> OpenTextFileForAppending(
      std::u16string_view path) override {
    ++opens;
    if (open_failures > 0) {
      --open_failures;
      host::RaiseRuntime(open_error);
    }
    return std::make_unique<Stream>(this, std::u16string(path));
  }

  // The file's bytes; empty when it was never created.
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
    void Close() override { closed_ = true; }

   private:
    void Append(std::u16string_view text, const char* end) {
      if (closed_) host::RaiseRuntime(host::kBadFileNameOrNumber);
      if (owner_->write_error != 0) host::RaiseRuntime(owner_->write_error);
      std::string& bytes = owner_->files[path_];
      text::AppendWindows1252(text, bytes);
      bytes += end;
    }
    MemoryFileSystem* owner_;
    std::u16string path_;
    bool closed_ = false;
  };
};

class FixedClock final : public platform::Clock {
 public:
  std::u16string now = u"12/06/2026 09:41:07";
  // Sunday, 6 December 2026, 09:41:07.
  platform::LocalTime local{2026, 12, 6, 0, 9, 41, 7};
  std::u16string separator = u":";
  std::u16string NowText() override { return now; }
  platform::LocalTime Now() override { return local; }
  std::u16string TimeSeparator() override { return separator; }
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

// The library's own string table and icon, in the language the test sets: 1033 (English)
// until it sets 1040 (Italian). Asked at every call, as the real backends are.
class FakeResources final : public platform::Resources {
 public:
  FakeResources() = default;
  FakeResources(const FakeResources&) = delete;
  FakeResources& operator=(const FakeResources&) = delete;

  std::int32_t language = 1033;
  std::int32_t LanguageId() override { return table_->LanguageId(); }
  std::u16string LoadResString(std::int16_t id) override { return table_->LoadResString(id); }
  platform::Icon LoadResIcon(std::int16_t id) override { return table_->LoadResIcon(id); }

 private:
  std::shared_ptr<platform::Resources> table_ =
      platform::CompiledInResources([this] { return language; });
};

// A Platform of the fakes above, with the given path separator.
struct FakePlatform {
  explicit FakePlatform(std::u16string separator = u"\\")
      : files(std::make_shared<MemoryFileSystem>()),
        clock(std::make_shared<FixedClock>()),
        error_line(std::make_shared<SettableErrorLine>()),
        environment(std::make_shared<FixedEnvironment>()),
        resources(std::make_shared<FakeResources>()),
        registry(std::make_shared<FakeRegistry>()),
        platform(std::make_shared<platform::Platform>()) {
    platform->files = files;
    platform->clock = clock;
    platform->error_line = error_line;
    platform->environment = environment;
    platform->resources = resources;
    platform->registry = registry;
    platform->path_separator = std::move(separator);
  }
  std::shared_ptr<MemoryFileSystem> files;
  std::shared_ptr<FixedClock> clock;
  std::shared_ptr<SettableErrorLine> error_line;
  std::shared_ptr<FixedEnvironment> environment;
  std::shared_ptr<FakeResources> resources;
  std::shared_ptr<FakeRegistry> registry;
  std::shared_ptr<platform::Platform> platform;
};

// UTF-8 of a host string, for readable failure messages.
inline std::string U8(std::u16string_view text) { return text::ToUtf8(text); }

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
