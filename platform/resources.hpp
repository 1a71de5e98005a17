// platform/resources.hpp - the library's resources: its string table, icon 101 and the user's
// language.
//
// The texts the library shows come in the user's language, chosen again at every call, so a
// change of language shows at the next text; nothing is cached. The language is a Windows
// language id: 1040 for an Italian user, 1033 (English, United States) for every other user.
// On Linux the backend serves the table compiled in from component/resources/strings.tsv and takes the
// language from LC_ALL, LC_MESSAGES and LANG (strings::LanguageFromLocale); on Windows the
// same texts are the DLL's STRINGTABLE resources (component/resources/strings.rc).
//
// Thread-safety: every call may come from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// An icon resource, in the two forms the library hands on: the bytes of its .ico file (for a
// Windows window or a file) and its pixels (for a Linux window).
struct Icon {
  std::span<const std::uint8_t> ico;
  int width = 0;
  int height = 0;
  std::span<const std::uint8_t> rgba;  // top row first; red, green, blue, alpha (0 or 255)
};

class Resources {
 public:
  virtual ~Resources() = default;

  // The user's language now: 1040 (Italian) or 1033 (English).
  virtual std::int32_t LanguageId() = 0;

  // The text of string `id` in the user's language at this call. An id the table does not
  // hold raises the host's run-time error 5 "Invalid procedure call or argument".
  virtual std::u16string LoadResString(std::int16_t id) = 0;

  // Icon `id`; the library has one, 101. Any other id raises the run-time error 5.
  virtual Icon LoadResIcon(std::int16_t id) = 0;
};

// Resources served from the table and the icon compiled into the library, in the language that
// `language` answers at each call (a Windows language id; 1040 gives Italian, any other
// English). The Linux backend and the tests' fakes are made with it.
std::shared_ptr<Resources> CompiledInResources(std::function<std::int32_t()> language);

}  // namespace cobaltmoth::platform
