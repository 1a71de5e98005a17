#include "component/base/log_section.hpp"

namespace cobaltmoth {

void AppendSectionLine(text::TextOut& out, std::u16string_view what,
                       const text::TextPiece& app_title, std::u16string_view now_text) {
  out.Append(u"* ");
  out.Append(what);
  out.Append(u" for ");
  app_title.WriteTo(out);
  if (!now_text.empty()) {
    out.Append(u" begin at ");
    out.Append(now_text);
  }
}

std::u16string SectionLine(std::u16string_view what, std::u16string_view app_title,
                           std::u16string_view now_text) {
  std::u16string line;
  text::StringOut out(line);
  AppendSectionLine(out, what, text::ViewPiece(app_title), now_text);
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
