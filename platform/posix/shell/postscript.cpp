#include "platform/posix/shell/postscript.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <vector>

#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::shell {
namespace {

constexpr double kMargin = 36;             // top and bottom, in points
// Left, in points: about where a printer's printable area starts, so that a line of 80
// characters at 12 pt (576 pt, as wide as the report's rule lines) fits on A4 and Letter.
constexpr double kLeftMargin = 18;
constexpr double kShortestPageHeight = 792;  // US Letter; A4 is 842
constexpr int kTabColumns = 8;
constexpr std::size_t kStringBytesPerLine = 200;

// The glyphs of Windows-1252 at 0x80 to 0x9F; ISOLatin1Encoding has accents there.
constexpr const char* kWindows1252High =
    "/Euro /.notdef /quotesinglbase /florin /quotedblbase /ellipsis /dagger /daggerdbl\n"
    " /circumflex /perthousand /Scaron /guilsinglleft /OE /.notdef /Zcaron /.notdef\n"
    " /.notdef /quoteleft /quoteright /quotedblleft /quotedblright /bullet /endash /emdash\n"
    " /tilde /trademark /scaron /guilsinglright /oe /.notdef /zcaron /Ydieresis";

// A number as PostScript reads it, in any locale: at most two decimals, no trailing zeros.
std::string Number(double value) {
  char buffer[64];
  const auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  std::string out(buffer, error == std::errc() ? end : buffer);
  if (out.find('.') != std::string::npos) {
    while (out.back() == '0') out.pop_back();
    if (out.back() == '.') out.pop_back();
  }
  return out;
}

// The PostScript name of the font.
std::string FontName(std::u16string_view font_name) {
  const std::u16string lower = runtime::LCase(font_name);
  if (lower.rfind(u"courier", 0) == 0) return "Courier";
  std::string name;
  for (char16_t unit : font_name) {
    // A name is printable ASCII without PostScript's delimiters.
    if (unit > 0x20 && unit < 0x7F && std::u16string_view(u"()<>[]{}/%").find(unit) ==
                                          std::u16string_view::npos) {
      name += static_cast<char>(unit);
    }
  }
  return name.empty() ? "Courier" : name;
}

// One line of the text in the code page, tabs expanded, controls blank.
std::string LineBytes(std::u16string_view line) {
  std::string bytes;
  runtime::AppendWindows1252(line, bytes);
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    if (c == '\t') {
      do {
        out += ' ';
      } while (out.size() % kTabColumns != 0);
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

// A PostScript string literal of the bytes.
void AppendString(std::string_view bytes, std::string& out) {
  out += '(';
  std::size_t on_line = 0;
  for (char c : bytes) {
    if (on_line >= kStringBytesPerLine) {
      out += "\\\n";  // a backslash before a newline continues the string
      on_line = 0;
    }
    const auto byte = static_cast<unsigned char>(c);
    // A line of the document that begins with "%" is read as a comment by the spooler ("%%"
    // as a structuring comment, "%%Trailer" ends the pages): such a byte at the start of a
    // continued line is written in octal.
    const bool starts_line = c == '%' && on_line == 0 && out.back() == '\n';
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7E || starts_line) {
      out += '\\';
      out += static_cast<char>('0' + (byte >> 6));
      out += static_cast<char>('0' + ((byte >> 3) & 7));
      out += static_cast<char>('0' + (byte & 7));
    } else {
      out += c;
    }
    ++on_line;
  }
  out += ')';
}

}  // namespace

int PostScriptLinesPerPage(double font_size_points) {
  const double lines = std::floor((kShortestPageHeight - 2 * kMargin) / font_size_points);
  return lines < 1 ? 1 : static_cast<int>(lines);
}

std::string PostScriptDocument(std::u16string_view text, std::u16string_view font_name,
                               double font_size_points) {
  if (!std::isfinite(font_size_points) || font_size_points <= 0) {
    runtime::RaiseRuntime(runtime::kInvalidProcedureCall);
  }
  // The lines, split at LF with the CR of a CR LF dropped.
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find(u'\n', start);
    const bool last = end == std::u16string_view::npos;
    if (last) end = text.size();
    std::size_t stop = end;
    if (!last && stop > start && text[stop - 1] == u'\r') --stop;
    lines.push_back(LineBytes(text.substr(start, stop - start)));
    if (last) break;
    start = end + 1;
  }
  while (lines.size() > 1 && lines.back().empty()) lines.pop_back();

  const int per_page = PostScriptLinesPerPage(font_size_points);
  const std::size_t pages = (lines.size() + per_page - 1) / per_page;
  const std::string font = FontName(font_name);
  const std::string size = Number(font_size_points);

  std::string out;
  out.reserve(1024 + lines.size() * 90);
  out += "%!PS-Adobe-3.0\n%%Creator: Cobaltmoth\n%%LanguageLevel: 2\n";
  out += "%%Pages: " + std::to_string(pages) + "\n%%PageOrder: Ascend\n";
  out += "%%DocumentNeededResources: font " + font + "\n%%EndComments\n";
  out += "%%BeginProlog\n";
  out += "/CobaltmothEncoding ISOLatin1Encoding dup length array copy def\n";
  out += "CobaltmothEncoding 39 /quotesingle put\n";
  out += "CobaltmothEncoding 45 /hyphen put\n";
  out += "CobaltmothEncoding 96 /grave put\n";
  out += "CobaltmothEncoding 128 [";
  out += kWindows1252High;
  out += "] putinterval\n";
  out += "/" + font + " findfont dup length dict begin\n";
  out += " {1 index /FID ne {def} {pop pop} ifelse} forall\n";
  out += " /Encoding CobaltmothEncoding def\n";
  out += " currentdict\nend /CobaltmothFont exch definefont pop\n";
  // Line n: its baseline n leadings below the top margin of the paper in the printer.
  out += "/L {" + size + " mul currentpagedevice /PageSize get 1 get " + Number(kMargin) +
         " sub exch sub " + Number(kLeftMargin) + " exch moveto show} bind def\n";
  out += "%%EndProlog\n";
  for (std::size_t page = 0; page < pages; ++page) {
    const std::string number = std::to_string(page + 1);
    out += "%%Page: " + number + " " + number + "\n";
    out += "/CobaltmothFont " + size + " selectfont\n";
    const std::size_t first = page * per_page;
    for (std::size_t i = first; i < lines.size() && i < first + per_page; ++i) {
      if (lines[i].empty()) continue;
      AppendString(lines[i], out);
      out += " " + std::to_string(i - first + 1) + " L\n";
    }
    out += "showpage\n";
  }
  out += "%%Trailer\n%%EOF\n";
  return out;
}

}  // namespace cobaltmoth::platform::posix::shell
