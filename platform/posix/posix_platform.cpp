// The POSIX backend of the platform interface: files through file descriptors, the clock
// through the user's LC_TIME locale.
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "component/base/host_error.hpp"
#include "component/resources/string_table.hpp"
#include "component/base/text.hpp"
#include "platform/posix/desktop/desktop_ui.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/resources.hpp"

namespace cobaltmoth::platform {

// The one place where an errno becomes the host's run-time error.
[[noreturn]] void RaisePosixError(int error_number) {
  switch (error_number) {
    case EEXIST:
      host::RaiseRuntime(host::kFileAlreadyExists);
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      host::RaiseRuntime(host::kPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      host::RaiseRuntime(host::kPermissionDenied);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      host::RaiseRuntime(host::kDiskFull);
    case EMFILE:
    case ENFILE:
      host::RaiseRuntime(host::kTooManyFiles);
    case EIO:
      host::RaiseRuntime(host::kDeviceIoError);
    case ENOMEM:
      host::RaiseRuntime(host::kOutOfMemory);
    default:
      host::RaiseRuntime(host::kPathFileAccessError);
  }
}

namespace {

// Owns a file descriptor; closing it is the destructor's job.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueFd() { Reset(-1); }

  int Get() const noexcept { return fd_; }
  int Release() noexcept { return std::exchange(fd_, -1); }
  void Reset(int fd) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

class PosixTextStream final : public TextStream {
 public:
  explicit PosixTextStream(UniqueFd fd) : fd_(std::move(fd)) {}

  void Write(std::u16string_view text) override {
    bytes_.clear();
    text::AppendWindows1252(text, bytes_);
    WriteBytes();
  }

  void WriteLine(std::u16string_view text) override {
    bytes_.clear();
    text::AppendWindows1252(text, bytes_);
    bytes_ += "\r\n";
    WriteBytes();
  }

  void WriteBlankLines(int count) override {
    bytes_.clear();
    for (int i = 0; i < count; ++i) bytes_ += "\r\n";
    WriteBytes();
  }

  void Close() override {
    if (fd_.Get() < 0) return;
    if (::close(fd_.Release()) != 0 && errno != EINTR) RaisePosixError(errno);
  }

 private:
  // Hands every byte to the kernel before returning: no buffer of ours can be lost.
  void WriteBytes() {
    if (fd_.Get() < 0) host::RaiseRuntime(host::kBadFileNameOrNumber);
    const char* data = bytes_.data();
    std::size_t left = bytes_.size();
    while (left > 0) {
      const ssize_t written = ::write(fd_.Get(), data, left);
      if (written < 0) {
        if (errno == EINTR) continue;
        RaisePosixError(errno);
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
  }

  UniqueFd fd_;
  std::string bytes_;  // reused between lines
};

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextStream> OpenTextFileForAppending(std::u16string_view path) override {
    const std::string name = text::ToUtf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) {
      host::RaiseRuntime(host::kBadFileNameOrNumber);
    }
    int fd;
    do {
      fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) RaisePosixError(errno);
    return std::make_unique<PosixTextStream>(UniqueFd(fd));
  }
};

// The process environment, read afresh at each call.
class PosixEnvironment final : public Environment {
 public:
  std::vector<std::u16string> Entries() override {
    std::vector<std::u16string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
      entries.push_back(text::FromUtf8(*entry));
    }
    return entries;
  }
};

// Now as text in the user's LC_TIME locale: its short date (with the year in full) and its
// time, the way the host converts a date to text.
class PosixClock final : public Clock {
 public:
  explicit PosixClock(const char* locale_name) {
    locale_ = ::newlocale(LC_TIME_MASK, locale_name, static_cast<locale_t>(0));
    if (locale_ == static_cast<locale_t>(0)) {
      locale_ = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
    }
    std::string date = ::nl_langinfo_l(D_FMT, locale_);
    for (std::size_t at = date.find("%y"); at != std::string::npos; at = date.find("%y", at)) {
      date[at + 1] = 'Y';
    }
    pattern_ = date + " " + ::nl_langinfo_l(T_FMT, locale_);
    utf8_ = std::strcmp(::nl_langinfo_l(CODESET, locale_), "UTF-8") == 0;
  }
  ~PosixClock() override { ::freelocale(locale_); }
  PosixClock(const PosixClock&) = delete;
  PosixClock& operator=(const PosixClock&) = delete;

  LocalTime Now() override {
    const struct tm local = LocalNow();
    LocalTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.weekday = local.tm_wday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    return t;
  }

  std::u16string TimeSeparator() override {
    // The character the locale's time format puts between hours and minutes.
    const std::string_view format = ::nl_langinfo_l(T_FMT, locale_);
    const std::size_t hour = format.find_first_of("HIkl");
    if (hour != std::string_view::npos && hour + 1 < format.size() && format[hour + 1] != '%') {
      return text::FromUtf8(format.substr(hour + 1, 1));
    }
    return u":";
  }

  std::u16string NowText() override {
    const struct tm local = LocalNow();
    char buffer[128];
    const std::size_t length = ::strftime_l(buffer, sizeof buffer, pattern_.c_str(), &local,
                                            locale_);
    const std::string_view bytes(buffer, length);
    if (utf8_) return text::FromUtf8(bytes);
    std::u16string latin1;
    for (unsigned char c : bytes) latin1 += static_cast<char16_t>(c);
    return latin1;
  }

 private:
  static struct tm LocalNow() {
    const time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    return local;
  }

  locale_t locale_;
  std::string pattern_;
  bool utf8_ = false;
};

}  // namespace

std::unique_ptr<Clock> MakeLocaleClock(const char* locale_name) {
  return std::make_unique<PosixClock>(locale_name);
}

std::shared_ptr<FileSystem> MakePosixFileSystem() { return std::make_shared<PosixFileSystem>(); }

std::shared_ptr<Resources> MakePosixResources() {
  return CompiledInResources([] {
    const auto value = [](const char* name) {
      const char* text = std::getenv(name);
      return std::string_view(text == nullptr ? "" : text);
    };
    return strings::LanguageFromLocale(value("LC_ALL"), value("LC_MESSAGES"), value("LANG"));
  });
}

std::shared_ptr<const Platform> DefaultPlatform() {
  static const std::shared_ptr<const Platform> instance = [] {
    auto p = std::make_shared<Platform>();
    p->files = MakePosixFileSystem();
    p->clock = MakeLocaleClock("");
    p->error_line = ThreadErrorLine();
    p->environment = std::make_shared<PosixEnvironment>();
    p->registry = MakeSqliteRegistry();
    p->resources = MakePosixResources();
    p->printer = MakePosixPrinter();
    p->shell = MakeXdgShell();
    // The desktop's windows when there is a display, the terminal's otherwise.
    p->message_box = gui::MakeGuiMessageBox({}, MakeConsoleMessageBox());
    p->report_window = gui::MakeGuiReportWindow({}, MakeConsoleReportWindow());
    p->clipboard = gui::MakeGuiClipboard({}, MakeConsoleClipboard());
    p->path_separator.assign(1, u'/');  // (a literal here trips a false -Wrestrict in GCC 12)
    return p;
  }();
  return instance;
}

}  // namespace cobaltmoth::platform
