// The host runtime's services: text rules, errors, the error line, the string table in the
// user's language, and late binding by name and dispatch id.
#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/late_binding.hpp>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "component/resources/compiled_resources.hpp"
#include "component/resources/string_table.hpp"
#include "fakes.hpp"
#include "platform/common/error_line.hpp"
#include "platform/resources.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"
#include "runtime/variant.hpp"

namespace cobaltmoth {
namespace {

using platform::kEnglish;
using runtime::ToLong;
using runtime::Variant;
using platform::kItalian;
using testing::FakePlatform;
using testing::U8;
const char* const kInvalidCall = "Invalid procedure call or argument";
const char* const kNoMember = "Object doesn't support this property or method";
const char* const kMismatch = "Type mismatch";
const char* const kWrongCount = "Wrong number of arguments or invalid property assignment";
using K = InvokeKind;

class HostErr final : public ErrorObject {
 public:
  std::u16string Description() const override { return u"Division by zero"; }
  std::int32_t Number() const override { return 11; }
};

TEST(Text, Utf8BothWaysAtTheBoundariesOfEachLengthAndBrokenInputAsReplacementCharacters) {
  const std::pair<std::u16string, std::string> kBothWays[] = {
      {u"\u007F\u0080", "\x7F\xC2\x80"},
      {u"\u07FF\u0800", "\xDF\xBF\xE0\xA0\x80"},
      {u"\uD7FF\uE000\uFFFF", "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"},
      {u"\U00010000\U0010FFFF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
      {{u"a\0b", 3}, {"a\0b", 3}},
  };
  for (const auto& [utf16, utf8] : kBothWays) {
    EXPECT_EQ(runtime::ToUtf8(utf16), utf8);
    EXPECT_EQ(runtime::FromUtf8(utf8), utf16);
  }
  // Surrogates out of pairs (a high before "x" and before U+E000, two lows, a low at the end)
  // become U+FFFD (EF BF BD) each.
  EXPECT_EQ(runtime::ToUtf8(std::u16string{0xD800, u'x', 0xDC00, 0xDC00, 0xD800, 0xE000, 0xDC00}),
            "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEE\x80\x80\xEF\xBF\xBD");
  // Overlong forms, a surrogate, a code point past U+10FFFF and a sequence cut short by the end
  // of the input: U+FFFD per bad byte.
  EXPECT_EQ(runtime::FromUtf8("\xC0\xAF\xE0\x80\x80\xC1\xBF\xED\xA0\x80\xF4\x90\x80\x80" "a\xC3"),
            std::u16string(14, u'\uFFFD') + u"a\uFFFD");
}

TEST(Text, LCaseAndUCaseMapAsciiAndBeyondCodeUnitByCodeUnit) {
  EXPECT_EQ(runtime::LCase(u"Main::FORM_Load::12"), u"main::form_load::12");
  EXPECT_EQ(runtime::LCase(u"\u00C0\u00C9\u00D6\u00DE"), u"\u00E0\u00E9\u00F6\u00FE");
  EXPECT_EQ(runtime::LCase(u"\u0391\u03A9\u0416\u0130"), u"\u03B1\u03C9\u0436i");
  // Already lower, digits, signs and the multiplication sign stay; surrogates are never
  // touched, so a pair survives.
  EXPECT_EQ(runtime::LCase(u"abc-09_\u00D7\u00DF\U0001F600"), u"abc-09_\u00D7\u00DF\U0001F600");
  EXPECT_EQ(runtime::UCase(u"frmOrders::cmdSave_Click 1"), u"FRMORDERS::CMDSAVE_CLICK 1");
  EXPECT_EQ(runtime::UCase(u"\u00E8\u00E0\u00F9\u00FF\u03C9"), u"\u00C8\u00C0\u00D9\u0178\u03A9");
  // Sharp s has no one-unit capital and stays; a pair is left alone.
  EXPECT_EQ(runtime::UCase(u"\u00DF\U0001F600"), u"\u00DF\U0001F600");
}

TEST(Text, Windows1252HoldsLatin1AndItsHighControlsMarksTheRestAndReadsBackEveryByte) {
  const auto narrow = [](std::u16string_view text) {
    std::string out;
    runtime::AppendWindows1252(text, out);
    return out;
  };
  EXPECT_EQ(narrow(u"o\u00BB\u00AB\u00E8\u20AC\u2019\u0178\u0081"),
            "o\xBB\xAB\xE8\x80\x92\x9F\x81");
  // U+0080 has no byte of its own; a pair is one character and one "?", a lone surrogate too.
  EXPECT_EQ(narrow(u"\u0080\u65E5\U0001F600|" + std::u16string{0xDC00, 0, u'z'}),
            std::string("???|?\0z", 7));
  EXPECT_EQ(narrow(std::u16string(15, u'a') + u"\U0001F600\u00E8"), std::string(15, 'a') + "?\xE8");
  // Every byte the code page defines comes back as the character it was written from.
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  EXPECT_EQ(narrow(runtime::FromWindows1252(all)), all);
  EXPECT_EQ(runtime::FromWindows1252({"\x80\x81\x9F\xA0\xFF" "a\0b", 8}),
            std::u16string(u"\u20AC\u0081\u0178\u00A0\u00FFa\0b", 8));
}

TEST(Text, DecimalHasNoLeadingZerosAndASign) {
  EXPECT_EQ(runtime::Decimal(0) + u" " + runtime::Decimal(-32768) + u" " + runtime::Decimal(1000) +
                u" " + runtime::Decimal(std::numeric_limits<std::int64_t>::min()),
            u"0 -32768 1000 -9223372036854775808");
}

TEST(Variant, ToLongRoundsHalfToEvenAndOverflowsPastTheLongRange) {
  for (const auto& [value, rounded] : {std::pair{2.5, 2}, {3.5, 4}, {-2.5, -2}, {2.4999, 2},
                                       {-2147483648.0, -2147483647 - 1},
                                       {2147483647.4, 2147483647}}) {
    EXPECT_EQ(ToLong(value), rounded) << value;
  }
  EXPECT_RUNTIME_ERROR(ToLong(2147483647.5), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(ToLong(std::numeric_limits<double>::quiet_NaN()), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(Variant().ToLong(), 5, kInvalidCall);
}

TEST(HostError, EachErrorCarriesItsNumberSourceAndTextInTheHostsLanguage) {
  const std::pair<std::int32_t, const char*> kStandard[] = {
      {5, kInvalidCall}, {9, "Subscript out of range"}, {76, "Path not found"},
      {457, "This key is already associated with an element of this collection"},
      {70, "Permission denied"}, {61, "Disk full"},
      {91, "Object variable or With block variable not set"},
      {1234, "Application-defined or object-defined error"}};
  for (const auto& [number, description] : kStandard) {
    EXPECT_RUNTIME_ERROR(runtime::RaiseRuntime(number), number, description);
  }
  EXPECT_STREQ(Error(61, u"Cobaltmoth", u"Disk full \u00E8").what(),
               "Disk full \xC3\xA8 (61) in Cobaltmoth");
}

TEST(ErrorLine, BelongsToTheCallingThreadAndReachesThePlatform) {
  SetErl(120);
  int other_thread_saw = -1;
  std::thread([&] { other_thread_saw = platform::common::ThreadErrorLine()->Erl(); }).join();
  EXPECT_EQ(other_thread_saw, 0);
  EXPECT_EQ(platform::common::ThreadErrorLine()->Erl(), 120);
  SetErl(0);
  EXPECT_EQ(Erl(), 0);
}

TEST(StringTable, TheFirstSetOfLcAllLcMessagesLangChoosesItalianOrEnglish) {
  // Each row: LC_ALL, LC_MESSAGES, LANG and the language they give.
  const std::tuple<const char*, const char*, const char*, std::int32_t> cases[] = {
      {"", "", "", kEnglish},          {"it", "", "", kItalian},
      {"it_CH.UTF-8", "", "", kItalian}, {"", "", "it_IT@euro", kItalian},
      {"", "", "fr_IT.UTF-8", kEnglish}, {"", "", "i", kEnglish},
      {"en_US.UTF-8", "it_IT", "it_IT", kEnglish}, {"it_IT", "en_US", "en_US", kItalian},
      {"", "en_GB", "it_IT", kEnglish},  {"", "it_IT", "en_GB", kItalian},
      {"C", "it_IT", "it_IT", kEnglish},  // "C" is a value, not a blank
  };
  for (const auto& [lc_all, lc_messages, lang, language] : cases) {
    EXPECT_EQ(component::resources::LanguageFromLocale(lc_all, lc_messages, lang), language)
        << lc_all << " | " << lc_messages << " | " << lang;
  }
}

TEST(StringTable, TextsInTheLanguageAskedAtEveryCallAndUnknownIdsRaise5) {
  std::int32_t language = 1033;
  int asked = 0;
  auto resources = component::resources::CompiledInResources([&] {
    ++asked;
    return language;
  });
  std::string seen;
  for (const std::int32_t lang : {1033, 1040, 1031, 2064}) {  // German, Italian (Switzerland)
    language = lang;
    seen += std::to_string(resources->LanguageId()) + " " + U8(resources->LoadResString(299)) +
            "|";
  }
  EXPECT_EQ(seen, "1033 Close|1040 Chiudi|1033 Close|1033 Close|");
  EXPECT_EQ(asked, 8);
  for (const std::int16_t id : {0, -1, 100, 105, 300, 1005, 5004, 10003, 32767}) {
    for (const std::int32_t lang : {1033, 1040}) {
      language = lang;
      EXPECT_RUNTIME_ERROR(resources->LoadResString(id), 5, kInvalidCall);
    }
    EXPECT_RUNTIME_ERROR(resources->LoadResIcon(id), 5, kInvalidCall);  // only 101 is one
  }
}

TEST(LateBinding, NamesFindTheirIdsWithoutRegardToCaseAndArgumentsConvertAsTheHostsDo) {
  FakePlatform fake;
  LateBound tracer(std::make_shared<ProcStac>(fake.platform));
  LateBound handler(std::make_shared<ProcBug>(fake.platform));
  EXPECT_EQ(tracer.DispatchId(u"enterproc"), 0x60030006);
  EXPECT_EQ(tracer.DispatchId(u"LOGONFILE"), 0x68030002);
  EXPECT_EQ(handler.DispatchId(u"Raise"), 0x6003000C);
  EXPECT_EQ(handler.DispatchId(u"LogOnFile"), 0x68030004) << "each class its own ids";
  EXPECT_EQ(tracer.DispatchId(u"Raise"), kUnknownDispatchId);
  EXPECT_RUNTIME_ERROR(tracer.Invoke(u"Raise", K::kMethod), 438, kNoMember);
  EXPECT_RUNTIME_ERROR(tracer.Invoke(0x60030005, K::kPropertyLet, {u"x"}), 438, kNoMember);
  EXPECT_RUNTIME_ERROR(handler.Invoke(u"ProcStack", K::kPropertyLet, {LateValue()}), 438,
                       kNoMember);
  // Arguments follow the host's conversions and counts.
  const auto init = [&](LateValue major) {
    tracer.Invoke(u"Init", K::kMethod, {u"Payroll", major, 0, 0, u"/opt", 0});
  };
  EXPECT_RUNTIME_ERROR(init(32768), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(init(u"-32769"), 6, "Overflow");
  EXPECT_RUNTIME_ERROR(init(u"1.5"), 13, kMismatch);
  EXPECT_RUNTIME_ERROR(init(u"one"), 13, kMismatch);
  EXPECT_RUNTIME_ERROR(init(std::shared_ptr<ProcStac>()), 13, kMismatch);
  init(true);  // True is -1
  init(-32768);
  EXPECT_RUNTIME_ERROR(tracer.Invoke(u"EnterProc", K::kMethod, {u"a", u"b", u"c"}), 450,
                       kWrongCount);
  EXPECT_RUNTIME_ERROR(tracer.Invoke(u"Init", K::kMethod, {u"Payroll"}), 450, kWrongCount);
  EXPECT_RUNTIME_ERROR(tracer.Invoke(u"Enabled", K::kPropertyLet, {u"perhaps"}), 13, kMismatch);
  tracer.Invoke(u"Enabled", K::kPropertyLet, {0});
  EXPECT_FALSE(std::get<bool>(tracer.Invoke(u"Enabled", K::kPropertyGet)));
  tracer.Invoke(u"Enabled", K::kPropertyLet, {u" 7 "});
  EXPECT_TRUE(std::get<bool>(tracer.Invoke(u"Enabled", K::kPropertyGet)));
  // Texts take numbers and Booleans as the host writes them.
  tracer.Invoke(0x60030006, K::kMethod, {42, true});
  EXPECT_NE(U8(std::get<std::u16string>(tracer.Invoke(u"Dump", K::kMethod))).find(" 42 "
            "                  - True "), std::string::npos);
}

TEST(LateBinding, RaiseTakesItsDefaultsAndItsOrderOfChecksAndTheTracerIsSetByReference) {
  FakePlatform fake;
  LateBound late(std::make_shared<ProcBug>(fake.platform));
  late.Invoke(u"Init", K::kMethod, {u"Payroll", 1, 2, 30, u"C:\\Apps", 0});
  late.Invoke(u"LogOnMsgBox", K::kPropertyLet, {true});
  late.Invoke(u"EndOnError", K::kPropertyLet, {false});
  HostErr error;
  // Line and criticality left off: line 0 (no " at line"), critical True.
  late.Invoke(u"Raise", K::kMethod, {u"frmMain", u"cmdOK_Click", &error});
  ASSERT_EQ(fake.journal->lines.size(), 1u);
  EXPECT_EQ(fake.journal->lines[0],
            "msgbox 16 [Payroll.EXE ver. 1.2.30 - Unexpected error] Error in module frmMain in "
            "the procedure cmdOK_Click\r\n\r\nThe technical references for this error is: \r\n"
            "    Number: 11\r\n    Description=Division by zero");
  EXPECT_TRUE(std::get<bool>(late.Invoke(u"EndOnError", K::kPropertyGet)));

  // A passive handler returns before it looks for the error object; an active one refuses
  // a missing object, and a value that is no object does not pass.
  LateBound passive_late(std::make_shared<ProcBug>(fake.platform));
  passive_late.Invoke(u"Enabled", K::kPropertyLet, {false});
  EXPECT_NO_THROW(passive_late.Invoke(u"Raise", K::kMethod, {u"m", u"p", LateValue()}));
  const auto active = std::make_shared<ProcBug>(fake.platform);
  LateBound active_late(active);
  active_late.Invoke(u"Init", K::kMethod, {u"Payroll", 1, 2, 30, u"C:\\Apps", 0});
  EXPECT_RUNTIME_ERROR(active_late.Invoke(u"Raise", K::kMethod, {u"m", u"p", LateValue()}),
                       424, "Object required");
  EXPECT_RUNTIME_ERROR(active_late.Invoke(u"Raise", K::kMethod, {u"m", u"p"}), 450, kWrongCount);
  EXPECT_RUNTIME_ERROR(late.Invoke(u"Raise", K::kMethod, {u"m", u"p", u"Err"}), 13, kMismatch);
  // The tracer is set by reference and read back; Nothing clears it, a text is no object.
  const auto tracer = std::make_shared<ProcStac>(fake.platform);
  active_late.Invoke(u"ProcStack", K::kPropertySet, {tracer});
  EXPECT_EQ(active->ProcStack(), tracer);
  EXPECT_EQ(std::get<std::shared_ptr<ProcStac>>(
                active_late.Invoke(u"ProcStack", K::kPropertyGet)), tracer);
  active_late.Invoke(u"ProcStack", K::kPropertySet, {LateValue()});
  EXPECT_EQ(active->ProcStack(), nullptr);
  EXPECT_RUNTIME_ERROR(active_late.Invoke(u"ProcStack", K::kPropertySet, {u"tracer"}), 13,
                       kMismatch);
  active_late.Invoke(u"SupportMail", K::kPropertyLet, {u"help@payroll.example"});
  EXPECT_EQ(U8(std::get<std::u16string>(active_late.Invoke(u"supportmail", K::kPropertyGet))),
            "help@payroll.example");
}

}  // namespace
}  // namespace cobaltmoth
