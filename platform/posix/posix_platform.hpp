// platform/posix/posix_platform.hpp - the POSIX backend's own ports (files, clock, environment,
// the outbox's folder, the transport) that the library's composition root
// (component/default_platform_posix.cpp) puts together with the rooms' ports: terminal/,
// desktop/, settings/ and shell/.
#pragma once

#include <locale.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/outbox.hpp"
#include "platform/platform.hpp"
#include "platform/transport.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix {

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
  void AppendTo(runtime::TextOut& out, std::string_view bytes) const;
  std::u16string Text(std::string_view bytes) const;

 private:
  bool utf8_ = false;
  char16_t bytes_[256];
};

// The process environment, read afresh at each call.
std::shared_ptr<Environment> MakePosixEnvironment();

// The POSIX file system of the logs.
std::shared_ptr<FileSystem> MakePosixFileSystem();

// The encoder of the logs' code page, Windows-1252 (runtime::AppendWindows1252).
const TextEncoder& Windows1252Encoder() noexcept;

// The outbox's folder, $XDG_STATE_HOME/cobaltmoth/outbox (~/.local/state/cobaltmoth/outbox),
// read from the environment at each call; its sender is the library's program cobaltmoth-send
// (COBALTMOTH_SEND_PROGRAM names another), found as FindLibraryProgram finds them.
std::shared_ptr<OutboxFolder> MakePosixOutboxFolder();

// The ways to the system's log: local datagram sockets, sealed memory files, TCP.
std::shared_ptr<Transport> MakePosixTransport();

}  // namespace cobaltmoth::platform::posix
