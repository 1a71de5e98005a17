#include "component/base/text.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace cobaltmoth::text {
namespace {

struct CaseMapping {
  char16_t from;
  char16_t to;
};

constexpr CaseMapping kLowerCase[] = {
#include "component/base/lcase_table.inc"
};

constexpr CaseMapping kUpperCase[] = {
#include "component/base/ucase_table.inc"
};

// The mapping of a code unit beyond ASCII in one of the tables above.
template <std::size_t N>
char16_t MapBeyondAscii(const CaseMapping (&table)[N], char16_t unit) noexcept {
  const auto* end = std::end(table);
  const auto* it = std::lower_bound(std::begin(table), end, unit,
                                    [](const CaseMapping& m, char16_t u) { return m.from < u; });
  return (it != end && it->from == unit) ? it->to : unit;
}

constexpr char16_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The characters of Windows-1252 bytes 0x80 to 0x9F. The five bytes the code page leaves
// undefined stand for the C1 control of the same number, as Windows maps them.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char Windows1252Byte(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (std::size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void AppendUtf16(char32_t cp, std::u16string& out) {
  if (cp < 0x10000) {
    out += static_cast<char16_t>(cp);
  } else {
    cp -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (cp >> 10));
    out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
  }
}

}  // namespace

std::u16string FromUtf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      out += static_cast<char16_t>(lead);
      ++i;
      continue;
    }
    std::size_t length = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, cp = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, cp = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, cp = lead & 0x07, min = 0x10000;
    }
    bool valid = length != 0 && i + length <= utf8.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto trail = static_cast<unsigned char>(utf8[i + k]);
      if ((trail & 0xC0) != 0x80) valid = false;
      cp = (cp << 6) | (trail & 0x3F);
    }
    if (valid && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) valid = false;
    if (!valid) {
      out += kReplacement;
      ++i;
      continue;
    }
    AppendUtf16(cp, out);
    i += length;
  }
  return out;
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (IsHighSurrogate(u) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      AppendUtf8(0x10000 + ((char32_t{u} - 0xD800) << 10) + (utf16[i + 1] - 0xDC00), out);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      AppendUtf8(kReplacement, out);
    } else {
      AppendUtf8(u, out);
    }
  }
  return out;
}

char16_t LowerUnitBeyondAscii(char16_t unit) noexcept { return MapBeyondAscii(kLowerCase, unit); }

char16_t UpperUnit(char16_t unit) noexcept {
  if (unit < 0x80) {
    return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 0x20) : unit;
  }
  return MapBeyondAscii(kUpperCase, unit);
}

std::u16string UCase(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& unit : out) unit = UpperUnit(unit);
  return out;
}

void LCaseInPlace(std::u16string& text) noexcept {
  // A branch-free pass for A to Z (which the compiler vectorises), then a second pass only
  // when some code unit lies beyond ASCII.
  char16_t* const units = text.data();
  const std::size_t n = text.size();
  unsigned beyond_ascii = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t u = units[i];
    beyond_ascii |= u & 0xFF80u;
    units[i] = static_cast<char16_t>(u + (static_cast<char16_t>(u - u'A') < 26 ? 0x20 : 0));
  }
  if (beyond_ascii == 0) return;
  for (std::size_t i = 0; i < n; ++i) {
    if (units[i] >= 0x80) units[i] = LowerUnitBeyondAscii(units[i]);
  }
}

std::u16string LCase(std::u16string_view text) {
  std::u16string out(text);
  LCaseInPlace(out);
  return out;
}

char* EncodeWindows1252(std::u16string_view text, char* out) noexcept {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u < 0x80) {
      *out++ = static_cast<char>(u);
      continue;
    }
    if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
    *out++ = Windows1252Byte(u);
  }
  return out;
}

void AppendWindows1252(std::u16string_view text, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + text.size());  // at most one byte a code unit
  char* const end = EncodeWindows1252(text, out.data() + start);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

std::u16string FromWindows1252(std::string_view bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    out[i] = (byte >= 0x80 && byte <= 0x9F) ? kHighControls[byte - 0x80] : char16_t{byte};
  }
  return out;
}

void AppendDecimal(std::u16string& out, std::int64_t value) {
  char16_t digits[24];
  std::size_t n = 0;
  // Work on the negative side, which holds every 64-bit value.
  std::int64_t v = value < 0 ? value : -value;
  do {
    digits[n++] = static_cast<char16_t>(u'0' - v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) out += u'-';
  while (n > 0) out += digits[--n];
}

std::u16string Decimal(std::int64_t value) {
  std::u16string out;
  AppendDecimal(out, value);
  return out;
}

}  // namespace cobaltmoth::text
