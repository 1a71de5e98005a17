// platform/resources.hpp - the library's resources: its string table, icon 101 and the user's
// language.
//
// The texts the library shows come in the user's language, chosen again at every call, so a
// change of language shows at the next text; nothing is cached. The language is a Windows
// language id: 1040 for an Italian user, 1033 (English, United States) for every other user.
// The texts themselves are the component's string table (component/resources/strings.tsv): on
// Linux compiled in, with the language from LC_ALL, LC_MESSAGES and LANG; on Windows the DLL's
// STRINGTABLE resources (component/resources/strings.rc). The ids below are what the library
// asks for.
//
// Thread-safety: every call may come from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/platform.hpp"

namespace cobaltmoth::platform {

// The languages of the string table, as Windows language ids.
inline constexpr std::int32_t kEnglish = 1033;  // English (United States)
inline constexpr std::int32_t kItalian = 1040;  // Italian

// The ids of the library's strings and of its icon, by what each one is for.
// The report window's captions, by the tags of its controls.
inline constexpr std::int16_t kExplanationId = 101;         // Label1(0)
inline constexpr std::int16_t kInvitationId = 102;          // Label1(1)
inline constexpr std::int16_t kFaxHeadingId = 103;          // Label1(2)
inline constexpr std::int16_t kMailHeadingId = 104;         // Label1(3)
inline constexpr std::int16_t kCopyCaptionId = 201;         // cmdReport(0)
inline constexpr std::int16_t kPrintCaptionId = 202;        // cmdReport(1)
inline constexpr std::int16_t kSendMailCaptionId = 203;     // cmdReport(2)
inline constexpr std::int16_t kCloseCaptionId = 299;        // cmdReport(3)
// The support contacts, and what the window's actions say.
inline constexpr std::int16_t kSupportFaxId = 1001;
inline constexpr std::int16_t kSupportMailId = 1002;
inline constexpr std::int16_t kClipboardConfirmationId = 1003;
// Where there is no clipboard: "... in the file %1 ...", %1 standing for the file's path.
inline constexpr std::int16_t kKeptInFileId = 1004;
// The message box of a critical error, and of a logged one.
inline constexpr std::int16_t kCriticalNoticeId = 5001;
inline constexpr std::int16_t kLoggedToFileId = 5002;
inline constexpr std::int16_t kPersistsAdviceId = 5003;
// The title's suffix and the window's e-mail prompt.
inline constexpr std::int16_t kUnexpectedErrorId = 10001;
inline constexpr std::int16_t kEmailPromptId = 10002;

// The one icon: the report window's picture and icon.
inline constexpr std::int16_t kIconId = 101;

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

}  // namespace cobaltmoth::platform
