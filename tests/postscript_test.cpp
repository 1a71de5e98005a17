// The printer's PostScript: a whole small document byte for byte, and the split into pages.
#include <gtest/gtest.h>

#include <string>

#include "fake_platform.hpp"
#include "platform/posix/shell/postscript.hpp"

namespace cobaltmoth {
namespace {

using platform::PostScriptDocument;
using platform::PostScriptLinesPerPage;

const std::string kProlog =
    "%%BeginProlog\n"
    "/CobaltmothEncoding ISOLatin1Encoding dup length array copy def\n"
    "CobaltmothEncoding 39 /quotesingle put\n"
    "CobaltmothEncoding 45 /hyphen put\n"
    "CobaltmothEncoding 96 /grave put\n"
    "CobaltmothEncoding 128 [/Euro /.notdef /quotesinglbase /florin /quotedblbase /ellipsis "
    "/dagger /daggerdbl\n"
    " /circumflex /perthousand /Scaron /guilsinglleft /OE /.notdef /Zcaron /.notdef\n"
    " /.notdef /quoteleft /quoteright /quotedblleft /quotedblright /bullet /endash /emdash\n"
    " /tilde /trademark /scaron /guilsinglright /oe /.notdef /zcaron /Ydieresis] putinterval\n"
    "/Courier findfont dup length dict begin\n"
    " {1 index /FID ne {def} {pop pop} ifelse} forall\n"
    " /Encoding CobaltmothEncoding def\n"
    " currentdict\n"
    "end /CobaltmothFont exch definefont pop\n"
    "/L {12 mul currentpagedevice /PageSize get 1 get 36 sub exch sub 18 exch moveto show} "
    "bind def\n"
    "%%EndProlog\n";

std::string Header(int pages) {
  return "%!PS-Adobe-3.0\n"
         "%%Creator: Cobaltmoth\n"
         "%%LanguageLevel: 2\n"
         "%%Pages: " + std::to_string(pages) + "\n"
         "%%PageOrder: Ascend\n"
         "%%DocumentNeededResources: font Courier\n"
         "%%EndComments\n" + kProlog;
}

// The page comments and "showpage" of every page, for the split tests.
std::string PageMarks(const std::string& document) {
  std::string marks;
  std::size_t at = 0;
  while ((at = document.find('\n', at)) != std::string::npos) {
    const std::size_t end = document.find('\n', at + 1);
    const std::string line = document.substr(at + 1, end - at - 1);
    if (line.rfind("%%Page:", 0) == 0 || line == "showpage") marks += line + "|";
    at = end;
  }
  return marks;
}

TEST(PostScript, SmallDocumentByteForByte) {
  // Latin-1 and Windows-1252 characters, PostScript's string delimiters, a tab, a character
  // beyond the code page, an empty line inside the text and trailing line ends.
  const std::u16string text =
      u"Error 11 \u00BB Division by zero \u00AB (\u00E8\u00E0\u00F9) \\ 100\u20AC\r\n"
      u"\r\n"
      u"ab\tc\t\u65E5 it's\n"
      u"-`\r\n\r\n";
  EXPECT_EQ(PostScriptDocument(text, u"Courier", 12.0),
            Header(1) +
                "%%Page: 1 1\n"
                "/CobaltmothFont 12 selectfont\n"
                "(Error 11 \\273 Division by zero \\253 \\(\\350\\340\\371\\) \\\\ 100\\200) 1 L\n"
                "(ab      c       ? it's) 3 L\n"
                "(-`) 4 L\n"
                "showpage\n"
                "%%Trailer\n"
                "%%EOF\n");
}

TEST(PostScript, EmptyTextIsOneBlankPage) {
  EXPECT_EQ(PostScriptDocument(u"", u"Courier", 12.0),
            Header(1) + "%%Page: 1 1\n/CobaltmothFont 12 selectfont\nshowpage\n%%Trailer\n%%EOF\n");
}

TEST(PostScript, CourierByAnyOfItsNamesAndOtherFontsByTheirOwn) {
  EXPECT_NE(PostScriptDocument(u"x", u"Courier New", 12).find("\n/Courier findfont "),
            std::string::npos);
  EXPECT_NE(PostScriptDocument(u"x", u"COURIER", 12).find("\n/Courier findfont "),
            std::string::npos);
  const std::string times = PostScriptDocument(u"x", u"Times Roman", 10.5);
  EXPECT_NE(times.find("%%DocumentNeededResources: font TimesRoman\n"), std::string::npos);
  EXPECT_NE(times.find("\n/TimesRoman findfont "), std::string::npos);
  EXPECT_NE(times.find("\n/CobaltmothFont 10.5 selectfont\n"), std::string::npos);
  EXPECT_NE(times.find("\n/L {10.5 mul "), std::string::npos);
}

TEST(PostScript, SizeMustBePositive) {
  EXPECT_RUNTIME_ERROR(PostScriptDocument(u"x", u"Courier", 0), 5,
                       "Invalid procedure call or argument");
  EXPECT_RUNTIME_ERROR(PostScriptDocument(u"x", u"Courier", -12), 5,
                       "Invalid procedure call or argument");
}

TEST(PostScript, SixtyLinesOfTwelvePointsFillAPage) {
  EXPECT_EQ(PostScriptLinesPerPage(12), 60);  // (792 - 2 * 36) / 12
  EXPECT_EQ(PostScriptLinesPerPage(10), 72);
  EXPECT_EQ(PostScriptLinesPerPage(1000), 1);
}

TEST(PostScript, APageHoldsSixtyLinesThenTheNextStarts) {
  std::u16string text;
  for (int i = 1; i <= 121; ++i) text += u"line " + text::Decimal(i) + u"\r\n";
  const std::string document = PostScriptDocument(text, u"Courier", 12);
  EXPECT_NE(document.find("%%Pages: 3\n"), std::string::npos);
  EXPECT_EQ(PageMarks(document), "%%Page: 1 1|showpage|%%Page: 2 2|showpage|%%Page: 3 3|showpage|");
  // Line 60 closes page 1 at the bottom; 61 opens page 2 at the top; 121 alone on page 3.
  const std::size_t page2 = document.find("%%Page: 2 2\n");
  const std::size_t page3 = document.find("%%Page: 3 3\n");
  EXPECT_LT(document.find("(line 60) 60 L\nshowpage\n"), page2);
  EXPECT_EQ(document.find("(line 61) 1 L\n"),
            page2 + std::string("%%Page: 2 2\n/CobaltmothFont 12 selectfont\n").size());
  EXPECT_GT(document.find("(line 120) 60 L\nshowpage\n"), page2);
  EXPECT_EQ(document.substr(page3),
            "%%Page: 3 3\n/CobaltmothFont 12 selectfont\n(line 121) 1 L\nshowpage\n"
            "%%Trailer\n%%EOF\n");
}

TEST(PostScript, TrailingEmptyLinesStartNoPageButEmptyLinesInsideDo) {
  std::u16string sixty;
  for (int i = 0; i < 60; ++i) sixty += u"x\n";
  EXPECT_EQ(PageMarks(PostScriptDocument(sixty + u"\n\n\r\n", u"Courier", 12)),
            "%%Page: 1 1|showpage|");
  const std::string two = PostScriptDocument(sixty + u"\n\ny", u"Courier", 12);
  EXPECT_EQ(PageMarks(two), "%%Page: 1 1|showpage|%%Page: 2 2|showpage|");
  EXPECT_NE(two.find("\n(y) 3 L\nshowpage\n%%Trailer"), std::string::npos);
}

TEST(PostScript, LinesAreSplitOnlyAtLineFeedsAndNeverWrapped) {
  // A lone CR is a control character (a blank), not a line end; a long line stays one line,
  // its string continued after 200 bytes so no line of the document passes 255 characters.
  const std::u16string long_line(450, u'w');
  const std::string document = PostScriptDocument(u"a\rb\n" + long_line, u"Courier", 12);
  EXPECT_NE(document.find("\n(a b) 1 L\n"), std::string::npos);
  const std::string expected = "\n(" + std::string(200, 'w') + "\\\n" + std::string(200, 'w') +
                               "\\\n" + std::string(50, 'w') + ") 2 L\n";
  EXPECT_NE(document.find(expected), std::string::npos);
  std::size_t start = 0;
  for (std::size_t end; (end = document.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 255u);
  }
  for (unsigned char c : document) EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F));
}

}  // namespace
}  // namespace cobaltmoth
