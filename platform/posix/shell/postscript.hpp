// platform/posix/shell/postscript.hpp - the report text as a PostScript document for the spooler.
//
// The printer prints the text exactly as the report window holds it, so the library lays the
// pages out itself instead of letting the spooler's text filter re-flow them: one line of the
// page for every line of the text (split only at CR LF and LF, never wrapped; a line longer
// than the page runs off its right edge), a fixed top and left margin, the font size as the
// leading, and a new page when the page is full. No header, footer or page number.
//
// The layout:
//   - every page holds as many lines as fit between a 36 pt top and bottom margin on the
//     shorter of A4 and US Letter (792 pt), 60 lines at 12 pt, so the same split prints on
//     either paper; the first line's baseline is one leading below the top margin, measured
//     from the top of whatever paper the printer has (its PageSize), 18 pt from the left;
//   - trailing empty lines start no page of their own; an empty text is one blank page;
//   - the font is re-encoded to Windows-1252 (ISO-8859-1 with the code page's extra
//     characters at 0x80 to 0x9F), so è, à, ù, » and « print; a character the code page cannot
//     hold prints as "?";
//   - a tab advances to the next multiple of 8 columns (the font is fixed-pitch, so columns
//     line up as on screen); other control characters print as a blank;
//   - a font whose name begins with "Courier" (any case, "Courier New" included) is the
//     printer's Courier; any other name is used with its blanks removed.
//
// For PostScriptDocument(u"a\u00E8(b)\r\n", u"Courier", 12) the document is, line by line:
//   %!PS-Adobe-3.0
//   %%Creator: Cobaltmoth
//   %%LanguageLevel: 2
//   %%Pages: 1
//   %%PageOrder: Ascend
//   %%DocumentNeededResources: font Courier
//   %%EndComments
//   %%BeginProlog
//   ... the re-encoded font /CobaltmothFont and the procedure L (show a line) ...
//   %%EndProlog
//   %%Page: 1 1
//   /CobaltmothFont 12 selectfont
//   (a\350\(b\)) 1 L
//   showpage
//   %%Trailer
//   %%EOF
// (tests/printer_test.cpp holds the whole document.) The document is 7-bit ASCII: bytes
// above 0x7E are written as octal escapes, and a string longer than 200 bytes continues on
// the next line after a backslash, so no line of the document exceeds 255 characters; a "%"
// that would begin such a line is written in octal too, so that no line of the text can pass
// for one of the document's comments.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace cobaltmoth::platform::posix::shell {

// How many lines one page holds at the given font size (the leading).
int PostScriptLinesPerPage(double font_size_points);

// The whole PostScript document printing `text` in the named font at the given size. Raises
// 5 "Invalid procedure call or argument" when the size is not a positive number.
std::string PostScriptDocument(std::u16string_view text, std::u16string_view font_name,
                               double font_size_points);

}  // namespace cobaltmoth::platform::posix::shell
