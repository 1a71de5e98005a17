#include "component/base/log_section.hpp"

namespace cobaltmoth {

std::u16string SectionLine(std::u16string_view what, std::u16string_view app_title,
                           std::u16string_view now_text) {
  std::u16string line = u"* ";
  line += what;
  line += u" for ";
  line += app_title;
  if (!now_text.empty()) {
    line += u" begin at ";
    line += now_text;
  }
  return line;
}

std::unique_ptr<platform::TextStream> OpenLogSection(platform::FileSystem& files,
                                                     std::u16string_view path,
                                                     std::u16string_view rule,
                                                     std::u16string_view start_line,
                                                     bool mapped) {
  if (path.empty()) return nullptr;
  std::unique_ptr<platform::TextStream> stream =
      mapped ? files.OpenMappedTextFile(path) : files.OpenTextFileForAppending(path);
  stream->WriteLine(rule);
  stream->WriteLine(start_line);
  stream->WriteLine(rule);
  stream->WriteBlankLines(1);
  return stream;
}

void CloseLogSection(std::unique_ptr<platform::TextStream>& stream, std::u16string_view rule,
                     std::u16string_view end_line) {
  if (!stream) return;
  const std::unique_ptr<platform::TextStream> closing = std::move(stream);
  closing->WriteBlankLines(1);
  closing->WriteLine(rule);
  closing->WriteLine(end_line);
  closing->WriteLine(rule);
  closing->WriteBlankLines(1);
  closing->Close();
}

}  // namespace cobaltmoth
