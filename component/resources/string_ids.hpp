// component/resources/string_ids.hpp - the ids of the library's strings and of its icon, by
// what each one is for (component/resources/strings.tsv holds the texts).
//
// Thread-safety: constants only.
#pragma once

#include <cstdint>

namespace cobaltmoth::strings {

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

}  // namespace cobaltmoth::strings
