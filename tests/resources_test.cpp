// The resources port: the compiled-in table in a language asked at every call, icon 101 in its
// two forms, the POSIX backend's language from the environment, and the tests' fake.
#include "platform/resources.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "component/resources/icon101.hpp"
#include "fake_platform.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth {
namespace {

using testing::U8;

const char* const kInvalidCall = "Invalid procedure call or argument";

TEST(CompiledInResources, AsksTheLanguageAtEveryCall) {
  std::int32_t language = 1033;
  int asked = 0;
  auto resources = platform::CompiledInResources([&] {
    ++asked;
    return language;
  });
  EXPECT_EQ(U8(resources->LoadResString(10001)), "Unexpected error");
  EXPECT_EQ(resources->LanguageId(), 1033);
  language = 1040;
  EXPECT_EQ(U8(resources->LoadResString(10001)), "Errore non previsto");
  EXPECT_EQ(U8(resources->LoadResString(1003)).substr(0, 13), "Il report \xC3\xA8 ");
  EXPECT_EQ(resources->LanguageId(), 1040);
  language = 1031;  // German: English texts, and the language reads as English
  EXPECT_EQ(resources->LanguageId(), 1033);
  EXPECT_EQ(U8(resources->LoadResString(201)), "Copy to Clipboard");
  language = 1040;
  EXPECT_EQ(U8(resources->LoadResString(201)), "Copia");
  EXPECT_EQ(asked, 8);
}

TEST(CompiledInResources, AnIdOutsideTheTableRaisesInvalidProcedureCall) {
  std::int32_t language = 1033;
  auto resources = platform::CompiledInResources([&] { return language; });
  for (const std::int16_t id : {0, -1, 100, 105, 300, 10003, 32767}) {
    SCOPED_TRACE(id);
    language = 1033;
    EXPECT_RUNTIME_ERROR(resources->LoadResString(id), 5, kInvalidCall);
    language = 1040;
    EXPECT_RUNTIME_ERROR(resources->LoadResString(id), 5, kInvalidCall);
  }
  for (const std::int16_t id : {0, 1, 100, 102, 1001}) {
    SCOPED_TRACE(id);
    EXPECT_RUNTIME_ERROR(resources->LoadResIcon(id), 5, kInvalidCall);
  }
}

TEST(CompiledInResources, Icon101ComesInBothForms) {
  auto resources = platform::CompiledInResources([] { return 1040; });
  const platform::Icon icon = resources->LoadResIcon(101);
  EXPECT_EQ(icon.width, 32);
  EXPECT_EQ(icon.height, 32);
  EXPECT_EQ(icon.ico.size(), 766u);
  EXPECT_EQ(icon.ico.data(), icons::Icon101Ico().data());
  EXPECT_EQ(icon.rgba.size(), 32u * 32u * 4u);
  EXPECT_EQ(icon.rgba.data(), icons::Icon101Rgba().data());
}

// --- Icon 101's bytes. ------------------------------------------------------------------------

std::uint32_t U16At(std::span<const std::uint8_t> b, std::size_t at) {
  return b[at] | b[at + 1] << 8;
}
std::uint32_t U32At(std::span<const std::uint8_t> b, std::size_t at) {
  return U16At(b, at) | U16At(b, at + 2) << 16;
}

// The standard 16-colour palette, red, green, blue.
constexpr std::array<std::array<std::uint8_t, 3>, 16> kPalette = {{
    {0, 0, 0}, {128, 0, 0}, {0, 128, 0}, {128, 128, 0},
    {0, 0, 128}, {128, 0, 128}, {0, 128, 128}, {192, 192, 192},
    {128, 128, 128}, {255, 0, 0}, {0, 255, 0}, {255, 255, 0},
    {0, 0, 255}, {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
}};

TEST(Icon101, IcoHeadersDescribeOne32By32SixteenColourImage) {
  const auto ico = icons::Icon101Ico();
  ASSERT_EQ(ico.size(), 6u + 16u + 744u);
  // ICONDIR: reserved, type 1 (icon), one image.
  EXPECT_EQ(U16At(ico, 0), 0u);
  EXPECT_EQ(U16At(ico, 2), 1u);
  EXPECT_EQ(U16At(ico, 4), 1u);
  // ICONDIRENTRY: 32 x 32, 16 colours, reserved 0, 1 plane, 4 bits, 744 bytes at 22.
  EXPECT_EQ(ico[6], 32);
  EXPECT_EQ(ico[7], 32);
  EXPECT_EQ(ico[8], 16);
  EXPECT_EQ(ico[9], 0);
  EXPECT_EQ(U16At(ico, 10), 1u);
  EXPECT_EQ(U16At(ico, 12), 4u);
  EXPECT_EQ(U32At(ico, 14), 744u);
  EXPECT_EQ(U32At(ico, 18), 22u);
  // BITMAPINFOHEADER: 40 bytes, 32 wide, 64 high (colours and mask), 1 plane, 4 bits, not
  // compressed, 640 bytes of bitmaps.
  const auto image = ico.subspan(22);
  EXPECT_EQ(U32At(image, 0), 40u);
  EXPECT_EQ(U32At(image, 4), 32u);
  EXPECT_EQ(U32At(image, 8), 64u);
  EXPECT_EQ(U16At(image, 12), 1u);
  EXPECT_EQ(U16At(image, 14), 4u);
  EXPECT_EQ(U32At(image, 16), 0u);
  EXPECT_EQ(U32At(image, 20), 512u + 128u);
  EXPECT_EQ(U32At(image, 32), 0u);  // every colour of the palette used
  // The palette, as blue, green, red, 0.
  for (std::size_t i = 0; i < 16; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(image[40 + 4 * i], kPalette[i][2]);
    EXPECT_EQ(image[41 + 4 * i], kPalette[i][1]);
    EXPECT_EQ(image[42 + 4 * i], kPalette[i][0]);
    EXPECT_EQ(image[43 + 4 * i], 0);
  }
  // Header, palette, 32 rows of 16 bytes of colour, 32 rows of 4 bytes of mask.
  EXPECT_EQ(40u + 64u + 32u * 16u + 32u * 4u, image.size());
}

TEST(Icon101, CommittedIcoFileIsTheCompiledInIcon) {
  std::ifstream file(COBALTMOTH_SOURCE_DIR "/component/resources/icon101.ico", std::ios::binary);
  ASSERT_TRUE(file) << "component/resources/icon101.ico is missing";
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  const auto compiled = icons::Icon101Ico();
  EXPECT_EQ(bytes, std::vector<std::uint8_t>(compiled.begin(), compiled.end()));
}

TEST(Icon101, ColourBitmapAndMaskGiveTheRgbaPixels) {
  const auto image = icons::Icon101Ico().subspan(22);
  const auto colours = image.subspan(40 + 64, 512);
  const auto mask = image.subspan(40 + 64 + 512, 128);
  const auto rgba = icons::Icon101Rgba();
  int transparent = 0;
  std::array<int, 16> used{};
  for (int y = 0; y < 32; ++y) {
    const int row = 31 - y;  // the bitmaps start at the bottom row
    for (int x = 0; x < 32; ++x) {
      SCOPED_TRACE(::testing::Message() << "x " << x << ", y " << y);
      const std::uint8_t pair = colours[row * 16 + x / 2];
      const int index = x % 2 == 0 ? pair >> 4 : pair & 0x0F;
      const bool clear = (mask[row * 4 + x / 8] & (0x80 >> (x % 8))) != 0;
      const auto pixel = rgba.subspan(static_cast<std::size_t>(y * 32 + x) * 4, 4);
      if (clear) {
        ++transparent;
        EXPECT_EQ(index, 0) << "a transparent pixel must be black under its mask";
        EXPECT_EQ(pixel[0] | pixel[1] | pixel[2] | pixel[3], 0);
      } else {
        ++used[static_cast<std::size_t>(index)];
        EXPECT_EQ(pixel[0], kPalette[static_cast<std::size_t>(index)][0]);
        EXPECT_EQ(pixel[1], kPalette[static_cast<std::size_t>(index)][1]);
        EXPECT_EQ(pixel[2], kPalette[static_cast<std::size_t>(index)][2]);
        EXPECT_EQ(pixel[3], 255);
      }
    }
  }
  // A picture with a transparent surround, drawn in more than one colour.
  EXPECT_GT(transparent, 0);
  EXPECT_LT(transparent, 32 * 32);
  int colours_used = 0;
  for (const int count : used) colours_used += count > 0;
  EXPECT_GE(colours_used, 3);
}

// --- The POSIX backend: the language from the environment. ---------------------------------

// Sets the locale variables for one test and puts the old values back.
class LocaleVariables {
 public:
  LocaleVariables() {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
      const char* value = ::getenv(kNames[i]);
      if (value != nullptr) saved_[i] = value;
    }
  }
  ~LocaleVariables() {
    for (std::size_t i = 0; i < kNames.size(); ++i) Set(kNames[i], saved_[i]);
  }
  LocaleVariables(const LocaleVariables&) = delete;
  LocaleVariables& operator=(const LocaleVariables&) = delete;

  // Each value, or unset for nullopt.
  static void Set(const char* name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  static void SetAll(std::optional<std::string> lc_all, std::optional<std::string> lc_messages,
                     std::optional<std::string> lang) {
    Set("LC_ALL", lc_all);
    Set("LC_MESSAGES", lc_messages);
    Set("LANG", lang);
  }

 private:
  static constexpr std::array<const char*, 3> kNames = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::array<std::optional<std::string>, 3> saved_;
};

TEST(PosixResources, LanguageFollowsTheEnvironmentAtEveryCall) {
  LocaleVariables guard;
  const auto resources = platform::MakePosixResources();
  constexpr auto none = std::nullopt;

  LocaleVariables::SetAll(none, none, none);
  EXPECT_EQ(resources->LanguageId(), 1033);
  EXPECT_EQ(U8(resources->LoadResString(299)), "Close");

  LocaleVariables::SetAll(none, none, "it_IT.UTF-8");
  EXPECT_EQ(resources->LanguageId(), 1040);
  EXPECT_EQ(U8(resources->LoadResString(299)), "Chiudi");

  LocaleVariables::SetAll("", "", "it");  // empty values are skipped
  EXPECT_EQ(U8(resources->LoadResString(299)), "Chiudi");

  LocaleVariables::SetAll("", "en_US.UTF-8", "it_IT");  // LC_MESSAGES over LANG
  EXPECT_EQ(U8(resources->LoadResString(299)), "Close");

  LocaleVariables::SetAll(none, "it_CH.UTF-8", "en_US");
  EXPECT_EQ(U8(resources->LoadResString(299)), "Chiudi");

  LocaleVariables::SetAll("C", "it_IT", "it_IT");  // LC_ALL over both
  EXPECT_EQ(resources->LanguageId(), 1033);
  EXPECT_EQ(U8(resources->LoadResString(299)), "Close");

  LocaleVariables::SetAll("it_IT", "en_US", "C");
  EXPECT_EQ(U8(resources->LoadResString(299)), "Chiudi");

  LocaleVariables::SetAll(none, none, "en_US");
  EXPECT_EQ(U8(resources->LoadResString(299)), "Close");
}

TEST(PosixResources, TheDefaultPlatformServesTheTableInTheUsersLanguage) {
  LocaleVariables guard;
  const auto& resources = platform::DefaultPlatform()->resources;
  ASSERT_NE(resources, nullptr);
  LocaleVariables::SetAll(std::nullopt, std::nullopt, "it_IT.UTF-8");
  EXPECT_EQ(U8(resources->LoadResString(10002)), "<Aggiungi il tuo indirizzo e-mail>");
  LocaleVariables::SetAll(std::nullopt, std::nullopt, "C");
  EXPECT_EQ(U8(resources->LoadResString(10002)), "<Enter you e-mail address>");
  EXPECT_RUNTIME_ERROR(resources->LoadResString(10003), 5, kInvalidCall);
  EXPECT_EQ(resources->LoadResIcon(101).ico.size(), 766u);
}

// --- The tests' fake. --------------------------------------------------------------------------

TEST(FakeResources, TestsSwitchTheLanguageOfTheFakePlatform) {
  testing::FakePlatform fake;
  const auto& resources = fake.platform->resources;
  ASSERT_NE(resources, nullptr);
  EXPECT_EQ(resources->LanguageId(), 1033);
  EXPECT_EQ(U8(resources->LoadResString(203)), "Send E-Mail");
  fake.resources->language = 1040;
  EXPECT_EQ(resources->LanguageId(), 1040);
  EXPECT_EQ(U8(resources->LoadResString(203)), "Prepara E-mail");
  EXPECT_RUNTIME_ERROR(resources->LoadResString(204), 5, kInvalidCall);
}

}  // namespace
}  // namespace cobaltmoth
