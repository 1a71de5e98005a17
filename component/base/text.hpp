// component/base/text.hpp - the host's text rules on UTF-16 code units.
//
// The host's String is UTF-16, and every length, case mapping and comparison works on code
// units exactly as the host language does; these helpers are the library's only place for
// that, and for the conversions at its edges (UTF-8 for C++ hosts and file names, the
// single-byte Windows-1252 code page of the logs).
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cobaltmoth::text {

// UTF-8 to UTF-16; each byte of an invalid sequence becomes U+FFFD.
std::u16string FromUtf8(std::string_view utf8);

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view utf16);

// The host's LCase of one code unit: A-Z to a-z, other letters by Unicode's simple lower case.
char16_t LowerUnitBeyondAscii(char16_t unit) noexcept;
inline char16_t LowerUnit(char16_t unit) noexcept {
  if (unit >= 0x80) return LowerUnitBeyondAscii(unit);
  return (unit >= u'A' && unit <= u'Z') ? static_cast<char16_t>(unit + (u'a' - u'A')) : unit;
}

// The host's UCase of one code unit and of a whole text, likewise.
char16_t UpperUnit(char16_t unit) noexcept;
std::u16string UCase(std::u16string_view text);

// LCase of a whole text, code unit by code unit.
std::u16string LCase(std::u16string_view text);
void LCaseInPlace(std::u16string& text) noexcept;

// Appends the text in Windows-1252, one byte a character; a character the code page cannot
// hold (a surrogate pair counts as one) is written as "?".
void AppendWindows1252(std::u16string_view text, std::string& out);
// The same into `out`, which has room for text.size() bytes (never more are written); returns
// the end of what was written.
char* EncodeWindows1252(std::u16string_view text, char* out) noexcept;

// Windows-1252 bytes as text: 0x80 to 0x9F by the code page's table (its five undefined bytes
// as the C1 control of the same number), every other byte as the character of that number.
std::u16string FromWindows1252(std::string_view bytes);

// Appends the decimal text of a number: a minus sign when negative, no leading zeros.
void AppendDecimal(std::u16string& out, std::int64_t value);
std::u16string Decimal(std::int64_t value);

}  // namespace cobaltmoth::text
