// support/log_section.hpp - the sections that objects append to their log files.
//
// Both logs of the library are shared by the objects that write to them: each object opens
// its log at its first line with a banner and closes it with a footer, so a log reads as one
// section per object:
//
//   <rule>
//   * Start ... for <title> begin at <date and time>
//   <rule>
//   (empty line)
//   ...the object's lines...
//   (empty line)
//   <rule>
//   * End ... for <title>
//   <rule>
//   (empty line)
//
// Thread-safety: none; a stream belongs to the object that opened it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::support {

// What marks a log's sections: the rule above and below each banner's line, and the words
// that start the start line and the end line.
struct SectionMarks {
  std::u16string_view rule;
  std::u16string_view start;  // "Start Log Error"
  std::u16string_view end;    // "End Log Error Stack"
};

// A section's banner: the rule, "* " + start + " for " + the application's title + " begin at "
// + the date and time, the rule and an empty line; and its footer: an empty line, the rule,
// "* " + end + " for " + the title, the rule and an empty line. Written where nothing may be
// allocated.
void AppendSectionStart(runtime::TextOut& out, const SectionMarks& marks,
                        const runtime::TextPiece& app_title, std::u16string_view now_text);
void AppendSectionEnd(runtime::TextOut& out, const SectionMarks& marks,
                      const runtime::TextPiece& app_title);

// Opens `path` for appending (`mapped`: through the file's pages mapped into memory, where
// the file system can; see FileSystem::OpenMappedTextFile) and writes the banner. An empty
// path opens nothing and gives none. File errors are raised; a stream is handed out only once
// its banner is written, so a failed open is tried again, banner first, by the next line.
std::unique_ptr<platform::TextStream> OpenLogSection(platform::FileSystem& files,
                                                     std::u16string_view path,
                                                     const SectionMarks& marks,
                                                     std::u16string_view app_title,
                                                     std::u16string_view now_text,
                                                     bool mapped = false);

// Writes the footer and closes the stream; `stream` is none afterwards, even when a write
// fails (the error is raised). Does nothing when it is none already.
void CloseLogSection(std::unique_ptr<platform::TextStream>& stream, const SectionMarks& marks,
                     std::u16string_view app_title);

}  // namespace cobaltmoth::support
