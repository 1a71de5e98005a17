#include "runtime/text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace cobaltmoth::runtime {
namespace {

struct CaseMapping {
  char16_t from;
  char16_t to;
};

constexpr CaseMapping kLowerCase[] = {
#include "runtime/lcase_table.inc"
};

constexpr CaseMapping kUpperCase[] = {
#include "runtime/ucase_table.inc"
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

// Writes 16 units as their 16 bytes when each unit is its own Windows-1252 byte (below 0x80, or
// 0xA0 to 0xFF); false, with nothing written, when one is not.
bool SameBytes16(const char16_t* units, char* out) noexcept {
#if defined(__SSE2__)
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + 8));
  const __m128i above_ff = _mm_and_si128(_mm_or_si128(low, high), _mm_set1_epi16(-256));
  const __m128i c1 = _mm_set1_epi16(0x80), c1_mask = _mm_set1_epi16(-32);  // 0x80 to 0x9F
  const __m128i controls = _mm_or_si128(_mm_cmpeq_epi16(_mm_and_si128(low, c1_mask), c1),
                                        _mm_cmpeq_epi16(_mm_and_si128(high, c1_mask), c1));
  const __m128i latin1 = _mm_cmpeq_epi16(above_ff, _mm_setzero_si128());
  const __m128i bad = _mm_or_si128(controls, _mm_xor_si128(latin1, _mm_set1_epi16(-1)));
  if (_mm_movemask_epi8(bad) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(low, high));
  return true;
#else
  for (int i = 0; i < 16; ++i) {
    if (units[i] > 0xFF || (units[i] >= 0x80 && units[i] < 0xA0)) return false;
  }
  for (int i = 0; i < 16; ++i) out[i] = static_cast<char>(units[i]);
  return true;
#endif
}

// The UTF-8 bytes of one code point, each handed to `push`.
template <typename Push>
void EncodeCodePoint(char32_t cp, Push push) {
  if (cp < 0x80) {
    push(static_cast<char>(cp));
  } else if (cp < 0x800) {
    push(static_cast<char>(0xC0 | (cp >> 6)));
    push(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    push(static_cast<char>(0xE0 | (cp >> 12)));
    push(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    push(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    push(static_cast<char>(0xF0 | (cp >> 18)));
    push(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    push(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    push(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// The UTF-8 bytes of UTF-16 text (a lone surrogate as U+FFFD), each handed to `push`.
template <typename Push>
void EncodeUtf8(std::u16string_view utf16, Push push) {
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t u = utf16[i];
    if (IsHighSurrogate(u) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
      EncodeCodePoint(0x10000 + ((char32_t{u} - 0xD800) << 10) + (utf16[i + 1] - 0xDC00), push);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      EncodeCodePoint(kReplacement, push);
    } else {
      EncodeCodePoint(u, push);
    }
  }
}

// The UTF-16 code units of UTF-8 text (U+FFFD for each byte of a broken sequence), each handed
// to `push`.
template <typename Push>
void DecodeUtf8(std::string_view utf8, Push push) {
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) {
      push(static_cast<char16_t>(lead));
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
      push(kReplacement);
      ++i;
      continue;
    }
    if (cp < 0x10000) {
      push(static_cast<char16_t>(cp));
    } else {
      push(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      push(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    i += length;
  }
}

}  // namespace

std::u16string FromUtf8(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  DecodeUtf8(utf8, [&out](char16_t unit) { out += unit; });
  return out;
}

void AppendUtf8(TextOut& out, std::string_view utf8) {
  char16_t units[128];
  std::size_t n = 0;
  DecodeUtf8(utf8, [&](char16_t unit) {
    units[n++] = unit;
    if (n == 128) {
      out.Append(std::u16string_view(units, n));
      n = 0;
    }
  });
  out.Append(std::u16string_view(units, n));
}

std::string ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  EncodeUtf8(utf16, [&out](char byte) { out += byte; });
  return out;
}

std::size_t ToUtf8(std::u16string_view utf16, char* out) noexcept {
  char* next = out;
  EncodeUtf8(utf16, [&next](char byte) { *next++ = byte; });
  return static_cast<std::size_t>(next - out);
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

void AppendWindows1252(std::u16string_view text, std::string& out) {
  const std::size_t start = out.size();
  out.resize(start + text.size());  // at most one byte a code unit
  out.resize(start + ToWindows1252(text, out.data() + start));
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
  StringOut(out).AppendDecimal(value);
}

std::u16string Decimal(std::int64_t value) {
  std::u16string out;
  AppendDecimal(out, value);
  return out;
}

std::size_t ToWindows1252(std::u16string_view text, char* out) noexcept {
  char* next = out;
  for (std::size_t i = 0; i < text.size();) {
    // Sixteen units at once while each is its own byte (ASCII and the Latin-1 letters and
    // signs); a block with any other unit goes one unit at a time.
    if (i + 16 <= text.size() && SameBytes16(text.data() + i, next)) {
      i += 16;
      next += 16;
      continue;
    }
    // The last units of a text that has been a byte a unit so far: its last 16, again.
    const std::size_t back = text.size() - 16;
    if (text.size() >= 16 && i > back && next - out == static_cast<std::ptrdiff_t>(i) &&
        SameBytes16(text.data() + back, out + back)) {
      return text.size();
    }
    for (const std::size_t end = std::min(i + 16, text.size()); i < end; ++i) {
      const char16_t u = text[i];
      if (u < 0x80) {
        *next++ = static_cast<char>(u);
        continue;
      }
      if (IsHighSurrogate(u) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
      *next++ = Windows1252Byte(u);
    }
  }
  return static_cast<std::size_t>(next - out);
}

void TextOut::AppendDecimal(std::int64_t value) {
  char16_t digits[24];
  std::size_t n = sizeof digits / sizeof digits[0];
  std::int64_t v = value < 0 ? value : -value;  // the negative side holds every value
  do {
    digits[--n] = static_cast<char16_t>(u'0' - v % 10);
    v /= 10;
  } while (v != 0);
  if (value < 0) digits[--n] = u'-';
  Append(std::u16string_view(digits + n, sizeof digits / sizeof digits[0] - n));
}

void TextOut::AppendHex(std::uint64_t value, int digits, bool upper) {
  constexpr std::size_t kSize = 2 + 16;  // "0x" and the most digits a value has
  const char* const symbols = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char16_t text[kSize];
  std::size_t n = kSize;
  do {
    text[--n] = static_cast<char16_t>(symbols[value % 16]);
    value /= 16;
  } while (n > 2 && (value != 0 || kSize - n < static_cast<std::size_t>(digits)));
  text[--n] = u'x';
  text[--n] = u'0';
  Append(std::u16string_view(text + n, kSize - n));
}

void TextOut::AppendUpper(std::u16string_view text) {
  char16_t upper[64];
  while (!text.empty()) {
    const std::size_t n = text.size() < 64 ? text.size() : 64;
    for (std::size_t i = 0; i < n; ++i) upper[i] = UpperUnit(text[i]);
    Append(std::u16string_view(upper, n));
    text.remove_prefix(n);
  }
}

}  // namespace cobaltmoth::runtime
