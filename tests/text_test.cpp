#include "component/base/text.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "component/base/variant.hpp"
#include "fake_platform.hpp"

namespace cobaltmoth::text {
namespace {

TEST(Text, Utf8RoundTripsEveryPlaneAndReplacesBrokenInput) {
  const std::u16string mixed = u"Payroll \u00E8\u00E0\u00F9 \u65E5\u672C \U0001F600";
  EXPECT_EQ(FromUtf8(ToUtf8(mixed)), mixed);
  EXPECT_EQ(ToUtf8(u"a\u00BBb"), "a\xC2\xBB" "b");
  // A lone surrogate of either kind becomes U+FFFD (EF BF BD).
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t{0xDC00})), "\xEF\xBF\xBD");
  // Truncated, overlong and surrogate encodings each give U+FFFD per bad byte.
  EXPECT_EQ(FromUtf8("a\xC3"), u"a\uFFFD");
  EXPECT_EQ(FromUtf8("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(FromUtf8("\xED\xA0\x80").size(), 3u);
  EXPECT_EQ(FromUtf8(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Text, LCaseMapsAsciiAndBeyondCodeUnitByCodeUnit) {
  EXPECT_EQ(LCase(u"Main::FORM_Load::12"), u"main::form_load::12");
  EXPECT_EQ(LCase(u"\u00C0\u00C9\u00D6\u00DE"), u"\u00E0\u00E9\u00F6\u00FE");
  EXPECT_EQ(LCase(u"\u0391\u03A9\u0416\u0130"), u"\u03B1\u03C9\u0436i");
  // Already lower, digits, signs and the multiplication sign stay as they are.
  EXPECT_EQ(LCase(u"abc-09_\u00D7\u00DF"), u"abc-09_\u00D7\u00DF");
  // Surrogates are never touched, so a pair survives.
  EXPECT_EQ(LCase(u"\U0001F600"), u"\U0001F600");
}

TEST(Text, UCaseMapsAsciiAndBeyondCodeUnitByCodeUnit) {
  EXPECT_EQ(UCase(u"frmOrders::cmdSave_Click 1"), u"FRMORDERS::CMDSAVE_CLICK 1");
  EXPECT_EQ(UCase(u"\u00E8\u00E0\u00F9\u00FF\u03C9"), u"\u00C8\u00C0\u00D9\u0178\u03A9");
  // Sharp s has no one-unit capital and stays; a pair is left alone.
  EXPECT_EQ(UCase(u"\u00DF\U0001F600"), u"\u00DF\U0001F600");
}

TEST(Text, Windows1252HoldsLatin1AndItsHighControlsAndMarksTheRest) {
  std::string out;
  AppendWindows1252(u"o\u00BB\u00AB\u00E8\u20AC\u2019\u0178\u0081", out);
  EXPECT_EQ(out, "o\xBB\xAB\xE8\x80\x92\x9F\x81");
  out.clear();
  // U+0080 has no byte of its own; a pair is one character and one "?".
  AppendWindows1252(u"\u0080\u65E5\U0001F600|", out);
  EXPECT_EQ(out, "???|");
  out.clear();
  AppendWindows1252(std::u16string(1, char16_t{0xDC00}) + std::u16string(u"\0z", 2), out);
  EXPECT_EQ(out, std::string("?\0z", 3));
}

TEST(Text, Windows1252BytesReadBackThroughTheCodePagesTable) {
  // Every byte the code page defines comes back as the character it was written from.
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::u16string decoded = FromWindows1252(all);
  ASSERT_EQ(decoded.size(), 256u);
  std::string again;
  AppendWindows1252(decoded, again);
  EXPECT_EQ(again, all);
  EXPECT_EQ(FromWindows1252("\x80\x81\x9F\xA0\xFF"), u"\u20AC\u0081\u0178\u00A0\u00FF");
  EXPECT_EQ(FromWindows1252(std::string_view("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(FromWindows1252(""), u"");
}

TEST(Text, DecimalHasNoLeadingZerosAndASign) {
  EXPECT_EQ(Decimal(0), u"0");
  EXPECT_EQ(Decimal(-32768), u"-32768");
  EXPECT_EQ(Decimal(std::numeric_limits<std::int64_t>::min()), u"-9223372036854775808");
  EXPECT_EQ(Decimal(1000), u"1000");
}

TEST(Variant, ToLongRoundsHalfToEvenAndOverflowsPastTheLongRange) {
  EXPECT_EQ(ToLong(2.5), 2);
  EXPECT_EQ(ToLong(3.5), 4);
  EXPECT_EQ(ToLong(-2.5), -2);
  EXPECT_EQ(ToLong(2.4999), 2);
  EXPECT_EQ(ToLong(-2147483648.0), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ToLong(2147483647.4), std::numeric_limits<std::int32_t>::max());
  EXPECT_RUNTIME_ERROR(ToLong(2147483647.5), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(ToLong(std::numeric_limits<double>::quiet_NaN()), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(Variant().ToLong(), 5, "Invalid procedure call or argument");
}

}  // namespace
}  // namespace cobaltmoth::text
