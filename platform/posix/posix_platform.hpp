// platform/posix/posix_platform.hpp - the POSIX backend's own ports (files, clock, resources)
// that the composition root (default_platform.cpp) puts together with the rooms' ports:
// terminal/, desktop/, settings/ and shell/.
#pragma once

#include <locale.h>

#include <memory>
#include <string>
#include <string_view>

#include "component/base/text.hpp"
#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// A clock that writes dates in the named LC_TIME locale ("" is the user's, from LC_ALL,
// LC_TIME and LANG); an unknown name falls back to "C".
std::unique_ptr<Clock> MakeLocaleClock(const char* locale_name);

// The LC_TIME locale of that name ("C" when it is unknown), with the LC_CTYPE of the same
// locale, whose character set its day and month names are written in (the user's LC_CTYPE may
// be another); and the strftime pattern of its short date (the year in full), a blank and its
// time: what NowText writes.
locale_t MakeTimeLocale(const char* locale_name);
std::string NowTextPattern(locale_t locale);

// The character set of a locale's own texts (what strftime_l and nl_langinfo_l write for it),
// read once, so that its bytes can become text anywhere, a crashed process included: UTF-8, or
// one character a byte, by a table of what the C library makes of each byte in that locale.
// A byte of a wider character set that stands for no character alone is written as "?".
class LocaleCharset {
 public:
  LocaleCharset() noexcept;  // ASCII, as in the "C" locale
  explicit LocaleCharset(locale_t locale);

  // Appends the bytes as text; nothing is allocated.
  void AppendTo(text::TextOut& out, std::string_view bytes) const;
  std::u16string Text(std::string_view bytes) const;

 private:
  bool utf8_ = false;
  char16_t bytes_[256];
};

// The POSIX file system of the logs.
std::shared_ptr<FileSystem> MakePosixFileSystem();

// The resources compiled into the library, in the user's language as LC_ALL, LC_MESSAGES and
// LANG give it (read from the environment at every call; see strings::LanguageFromLocale).
std::shared_ptr<Resources> MakePosixResources();

// Catching the process's fatal signals and uncaught C++ exceptions (crash/crash_catcher.cpp).
std::shared_ptr<Crashes> MakePosixCrashes();

}  // namespace cobaltmoth::platform
