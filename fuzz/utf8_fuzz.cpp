// fuzz/utf8_fuzz.cpp - the library's text conversions at its edges, on any bytes: UTF-8 from a
// C++ host or a file name, UTF-16 from the host, Windows-1252 in the logs and settings.
//
// - The input as UTF-8 converts to UTF-16 and back to exactly the same bytes when it is
//   well-formed (checked against the table of well-formed sequences below, not against the
//   converter); otherwise the text it gives is a fixed point of the two conversions.
// - The input's bytes as UTF-16 code units convert to UTF-8 and back unchanged, except that a
//   lone surrogate comes back as U+FFFD.
// - The input as Windows-1252 converts to text and back to exactly the same bytes, and a text
//   goes to one byte per character (a surrogate pair is one).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "component/base/text.hpp"

namespace text = cobaltmoth::text;

namespace {

// Well-formed UTF-8 as the Unicode standard's table lists it: no overlong form, no surrogate,
// nothing above U+10FFFF.
bool WellFormedUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    const unsigned char lead = at(0);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                                                         : lead < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length > 1 && (at(1) < low || at(1) > high)) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (at(k) < 0x80 || at(k) > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

bool High(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool Low(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::u16string from_utf8 = text::FromUtf8(bytes);
  const std::string back = text::ToUtf8(from_utf8);
  if (WellFormedUtf8(bytes) != (back == bytes)) std::abort();
  if (text::FromUtf8(back) != from_utf8) std::abort();

  std::u16string units, expected;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | data[i + 1] << 8);
  }
  std::size_t characters = 0;
  for (std::size_t i = 0; i < units.size(); ++i, ++characters) {
    if (High(units[i]) && i + 1 < units.size() && Low(units[i + 1])) {
      expected += units.substr(i++, 2);
    } else {
      expected += High(units[i]) || Low(units[i]) ? u'\uFFFD' : units[i];
    }
  }
  if (text::FromUtf8(text::ToUtf8(units)) != expected) std::abort();

  std::string windows;
  text::AppendWindows1252(text::FromWindows1252(bytes), windows);
  if (windows != bytes) std::abort();
  windows.clear();
  text::AppendWindows1252(units, windows);
  if (windows.size() != characters) std::abort();
  return 0;
}
