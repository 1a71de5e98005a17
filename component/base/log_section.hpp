// component/base/log_section.hpp - the sections that objects append to their log files.
//
// Both logs of the library are shared by the objects that write to them: each object opens
// its log at its first line with a banner and closes it with a footer, so a log reads as one
// section per object:
//
//   <rule>
//   <start line>
//   <rule>
//   (empty line)
//   ...the object's lines...
//   (empty line)
//   <rule>
//   <end line>
//   <rule>
//   (empty line)
//
// Thread-safety: none; a stream belongs to the object that opened it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "component/base/text.hpp"
#include "platform/platform.hpp"

namespace cobaltmoth {

// A section's start or end line: "* " + what + " for " + the application's title, and for a
// start line " begin at " + the date and time (`now_text` not empty). For example
//   SectionLine(u"Start Log Error", u"Payroll.EXE ver. 1.2.30", u"12/06/2026 09:41:07")
//   == u"* Start Log Error for Payroll.EXE ver. 1.2.30 begin at 12/06/2026 09:41:07"
std::u16string SectionLine(std::u16string_view what, std::u16string_view app_title,
                           std::u16string_view now_text = {});
// The same line, written where nothing may be allocated.
void AppendSectionLine(text::TextOut& out, std::u16string_view what,
                       const text::TextPiece& app_title, std::u16string_view now_text = {});

// Opens `path` for appending (`mapped`: through the file's pages mapped into memory, where
// the file system can; see FileSystem::OpenMappedTextFile) and writes the banner. An empty
// path opens nothing and gives none. File errors are raised; a stream is handed out only once
// its banner is written, so a failed open is tried again, banner first, by the next line.
std::unique_ptr<platform::TextStream> OpenLogSection(platform::FileSystem& files,
                                                     std::u16string_view path,
                                                     std::u16string_view rule,
                                                     std::u16string_view start_line,
                                                     bool mapped = false);

// Writes the footer and closes the stream; `stream` is none afterwards, even when a write
// fails (the error is raised). Does nothing when it is none already.
void CloseLogSection(std::unique_ptr<platform::TextStream>& stream, std::u16string_view rule,
                     std::u16string_view end_line);

}  // namespace cobaltmoth
