// The Windows backend's own ports: files, clock, environment and resources.
#include "platform/windows/windows_platform.hpp"

#include <cwchar>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/resources.hpp"
#include "runtime/host_error.hpp"

namespace cobaltmoth::platform::windows {

std::int32_t RuntimeErrorForWindowsError(std::uint32_t error_code) noexcept {
  switch (error_code) {
    case ERROR_FILE_NOT_FOUND:
      return runtime::kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
      return runtime::kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return runtime::kPermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return runtime::kDiskFull;
    case ERROR_TOO_MANY_OPEN_FILES:
      return runtime::kTooManyFiles;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return runtime::kBadFileNameOrNumber;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return runtime::kFileAlreadyExists;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return runtime::kOutOfMemory;
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
      return runtime::kDeviceIoError;
    default:
      return runtime::kPathFileAccessError;
  }
}

[[noreturn]] void RaiseWindowsError(std::uint32_t error_code) {
  runtime::RaiseRuntime(RuntimeErrorForWindowsError(error_code));
}

std::string ToAnsi(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int size =
      ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, nullptr, 0, "?", nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, length, out.data(), size, "?",
                        nullptr);
  return out;
}

std::u16string FromAnsi(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int length = static_cast<int>(bytes.size());
  const int size = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  std::u16string out(static_cast<std::size_t>(size), u'\0');
  ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, reinterpret_cast<wchar_t*>(out.data()),
                        size);
  return out;
}

namespace {


class WindowsTextStream final : public TextStream {
 public:
  explicit WindowsTextStream(UniqueFile file) : file_(std::move(file)) {}

  void Write(std::u16string_view text) override { WriteBytes(ToAnsi(text)); }

  void WriteLine(std::u16string_view text) override {
    std::string bytes = ToAnsi(text);
    bytes += "\r\n";
    WriteBytes(bytes);
  }

  void WriteBlankLines(int count) override {
    std::string bytes;
    for (int i = 0; i < count; ++i) bytes += "\r\n";
    WriteBytes(bytes);
  }

  void WriteEncodedLine(std::span<const std::string_view> pieces) override {
    std::string bytes;
    for (const std::string_view piece : pieces) bytes += piece;
    WriteBytes(bytes);
  }

  // The ANSI code page, whose bytes ToAnsi makes.
  const TextEncoder& Encoder() const noexcept override {
    class Ansi final : public TextEncoder {
     public:
      void Append(std::u16string_view text, std::string& out) const override {
        out += ToAnsi(text);
      }
    };
    static const Ansi encoder;
    return encoder;
  }

  void Close() override {
    if (!file_) return;
    if (!CloseNow(file_)) RaiseWindowsError(::GetLastError());
  }

 private:
  // Each call hands its bytes to the system before it returns.
  void WriteBytes(const std::string& bytes) {
    if (!file_) runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
      DWORD written = 0;
      const DWORD chunk = left > 0x10000000u ? 0x10000000u : static_cast<DWORD>(left);
      if (!::WriteFile(file_.get(), data, chunk, &written, nullptr)) {
        RaiseWindowsError(::GetLastError());
      }
      data += written;
      left -= written;
    }
  }

  UniqueFile file_;
};

class WindowsFileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextStream> OpenTextFileForAppending(std::u16string_view path) override {
    const std::u16string name(path);
    if (name.empty() || name.find(u'\0') != std::u16string::npos) {
      runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
    }
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file.
    UniqueFile file(::CreateFileW(Wide(name).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) RaiseWindowsError(::GetLastError());
    return std::make_unique<WindowsTextStream>(std::move(file));
  }
};

class WindowsEnvironment final : public Environment {
 public:
  // Every NAME=value of the process, in the block's order; the block's hidden entries that
  // begin with "=" (the current folder of each drive) are not part of the host's environment.
  std::vector<std::u16string> Entries() override {
    std::vector<std::u16string> entries;
    const UniqueEnvironmentBlock block(::GetEnvironmentStringsW());
    if (!block) return entries;
    for (const wchar_t* entry = block.get(); *entry != L'\0'; entry += std::wcslen(entry) + 1) {
      if (*entry == L'=') continue;
      entries.emplace_back(reinterpret_cast<const char16_t*>(entry), std::wcslen(entry));
    }
    return entries;
  }
};

std::u16string LocaleInfo(LCTYPE type) {
  wchar_t buffer[128] = {};
  const int length = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 128);
  if (length <= 1) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(buffer),
                        static_cast<std::size_t>(length - 1));
}

}  // namespace

std::wstring NowDatePattern() {
  const std::u16string pattern = LocaleInfo(LOCALE_SSHORTDATE);
  // A year of fewer than four digits is shown in full.
  std::wstring full;
  for (std::size_t i = 0; i < pattern.size();) {
    if (pattern[i] == u'y') {
      std::size_t run = 0;
      while (i + run < pattern.size() && pattern[i + run] == u'y') ++run;
      full += L"yyyy";
      i += run;
    } else {
      full += static_cast<wchar_t>(pattern[i++]);
    }
  }
  return full;
}

namespace {

// Now as the host converts a date to text: the user's short date with the year in full, a
// blank, and the user's time format.
class WindowsClock final : public Clock {
 public:
  LocalTime Now() override {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return {st.wYear, st.wMonth, st.wDay, st.wDayOfWeek, st.wHour, st.wMinute, st.wSecond};
  }

  std::u16string TimeSeparator() override {
    std::u16string separator = LocaleInfo(LOCALE_STIME);
    return separator.empty() ? u":" : separator;
  }

  // The locale's names count from Monday (LOCALE_SDAYNAME1) to Sunday (LOCALE_SDAYNAME7).
  std::u16string DayName(int weekday) override {
    const int monday_first = weekday >= 1 && weekday <= 6 ? weekday - 1 : 6;
    return LocaleInfo(static_cast<LCTYPE>(LOCALE_SDAYNAME1 + monday_first));
  }

  std::u16string MonthName(int month) override {
    return LocaleInfo(static_cast<LCTYPE>(LOCALE_SMONTHNAME1 + (month >= 1 && month <= 12
                                                                   ? month - 1 : 0)));
  }

  std::u16string NowText() override {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    wchar_t date[128] = {};
    wchar_t time[128] = {};
    const std::wstring format = NowDatePattern();
    const int date_length = ::GetDateFormatW(LOCALE_USER_DEFAULT, 0, &st,
                                             format.empty() ? nullptr : format.c_str(), date, 128);
    const int time_length = ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, nullptr, time, 128);
    std::u16string out;
    if (date_length > 1) out.append(reinterpret_cast<const char16_t*>(date), date_length - 1);
    out += u' ';
    if (time_length > 1) out.append(reinterpret_cast<const char16_t*>(time), time_length - 1);
    return out;
  }
};

class WindowsResources final : public Resources {
 public:
  explicit WindowsResources(Icon icon) : icon_(icon) {}

  std::int32_t LanguageId() override {
    return PRIMARYLANGID(::GetUserDefaultUILanguage()) == LANG_ITALIAN ? platform::kItalian
                                                                         : platform::kEnglish;
  }

  // The string from its block of sixteen in the module's RT_STRING resources: each entry a
  // count of UTF-16 code units followed by the units.
  std::u16string LoadResString(std::int16_t id) override {
    if (id < 0) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    const auto number = static_cast<unsigned>(id);
    const WORD language = static_cast<WORD>(LanguageId());
    HMODULE module = ThisModule();
    HRSRC found = ::FindResourceExW(module, MAKEINTRESOURCEW(6),
                                    MAKEINTRESOURCEW(number / 16 + 1), language);
    if (found == nullptr) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    HGLOBAL loaded = ::LoadResource(module, found);
    const auto* units = static_cast<const WORD*>(::LockResource(loaded));
    const DWORD size = ::SizeofResource(module, found) / 2;
    if (units == nullptr) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    DWORD at = 0;
    for (unsigned index = 0; index < number % 16; ++index) {
      if (at >= size) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
      at += 1u + units[at];
    }
    if (at >= size || units[at] == 0 || at + 1u + units[at] > size) {
      runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    }
    return std::u16string(reinterpret_cast<const char16_t*>(units + at + 1), units[at]);
  }

  Icon LoadResIcon(std::int16_t id) override {
    if (id != platform::kIconId) runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
    return icon_;
  }

 private:
  Icon icon_;
};

}  // namespace

std::shared_ptr<FileSystem> MakeWindowsFileSystem() {
  return std::make_shared<WindowsFileSystem>();
}
std::shared_ptr<Clock> MakeWindowsClock() { return std::make_shared<WindowsClock>(); }
std::shared_ptr<Environment> MakeWindowsEnvironment() {
  return std::make_shared<WindowsEnvironment>();
}
std::shared_ptr<Resources> MakeWindowsResources(Icon icon) {
  return std::make_shared<WindowsResources>(icon);
}

}  // namespace cobaltmoth::platform::windows
