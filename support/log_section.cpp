#include "support/log_section.hpp"

namespace cobaltmoth::support {
namespace {

constexpr std::u16string_view kCrLf = u"\r\n";

// "* " + what + " for " + the title, and " begin at " + the date and time when there is one.
void AppendSectionLine(runtime::TextOut& out, std::u16string_view what,
                       const runtime::TextPiece& app_title, std::u16string_view now_text) {
  out.Append(u"* ");
  out.Append(what);
  out.Append(u" for ");
  app_title.WriteTo(out);
  if (!now_text.empty()) {
    out.Append(u" begin at ");
    out.Append(now_text);
  }
}

// The rule, the section's line and the rule, each ended.
void AppendRuledLine(runtime::TextOut& out, std::u16string_view rule, std::u16string_view what,
                     const runtime::TextPiece& app_title, std::u16string_view now_text) {
  out.Append(rule);
  out.Append(kCrLf);
  AppendSectionLine(out, what, app_title, now_text);
  out.Append(kCrLf);
  out.Append(rule);
  out.Append(kCrLf);
}

}  // namespace

void AppendSectionStart(runtime::TextOut& out, const SectionMarks& marks,
                        const runtime::TextPiece& app_title, std::u16string_view now_text) {
  AppendRuledLine(out, marks.rule, marks.start, app_title, now_text);
  out.Append(kCrLf);
}

void AppendSectionEnd(runtime::TextOut& out, const SectionMarks& marks,
                      const runtime::TextPiece& app_title) {
  out.Append(kCrLf);
  AppendRuledLine(out, marks.rule, marks.end, app_title, {});
  out.Append(kCrLf);
}

std::unique_ptr<platform::TextStream> OpenLogSection(platform::FileSystem& files,
                                                     std::u16string_view path,
                                                     const SectionMarks& marks,
                                                     std::u16string_view app_title,
                                                     std::u16string_view now_text, bool mapped) {
  if (path.empty()) return nullptr;
  std::unique_ptr<platform::TextStream> stream =
      mapped ? files.OpenMappedTextFile(path) : files.OpenTextFileForAppending(path);
  std::u16string banner;
  runtime::StringOut out(banner);
  AppendSectionStart(out, marks, runtime::ViewPiece(app_title), now_text);
  stream->Write(banner);
  return stream;
}

void CloseLogSection(std::unique_ptr<platform::TextStream>& stream, const SectionMarks& marks,
                     std::u16string_view app_title) {
  if (!stream) return;
  const std::unique_ptr<platform::TextStream> closing = std::move(stream);
  std::u16string footer;
  runtime::StringOut out(footer);
  AppendSectionEnd(out, marks, runtime::ViewPiece(app_title));
  closing->Write(footer);
  closing->Close();
}

}  // namespace cobaltmoth::support
