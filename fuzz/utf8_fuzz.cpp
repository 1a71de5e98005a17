// fuzz/utf8_fuzz.cpp - text conversions on any bytes: as UTF-8 (a C++ host's, a file name) to
// UTF-16 and back the same exactly when well-formed (by the table below, not the converter), else
// to a fixed point; as UTF-16 (the host's) to UTF-8 and back, a lone surrogate as U+FFFD; as
// Windows-1252 (logs, settings) to text and back, a text to one byte a character (a pair one).
#include <cstdlib>

#include "runtime/text.hpp"

namespace runtime = cobaltmoth::runtime;

// Well-formed UTF-8 as the Unicode standard's table lists it: no overlong form, no surrogate,
// nothing above U+10FFFF.
static bool WellFormedUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    const unsigned char lead = at(0);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    for (std::size_t k = 1; k < length; ++k) {
      if (at(k) < (k == 1 ? low : 0x80) || at(k) > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u16string from_utf8 = runtime::FromUtf8(bytes);
  const std::string back = runtime::ToUtf8(from_utf8);
  if (WellFormedUtf8(bytes) != (back == bytes) || runtime::FromUtf8(back) != from_utf8)
    std::abort();

  const auto high = [](char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; };
  const auto low = [](char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; };
  std::u16string units, expected;
  for (std::size_t i = 0; i + 1 < size; i += 2) units += char16_t(data[i] | data[i + 1] << 8);
  std::size_t characters = 0;
  for (std::size_t i = 0; i < units.size(); ++i, ++characters) {
    if (high(units[i]) && i + 1 < units.size() && low(units[i + 1])) {
      expected += units.substr(i++, 2);
    } else {
      expected += high(units[i]) || low(units[i]) ? u'\uFFFD' : units[i];
    }
  }
  if (runtime::FromUtf8(runtime::ToUtf8(units)) != expected) std::abort();

  std::string windows, narrowed;
  runtime::AppendWindows1252(runtime::FromWindows1252(bytes), windows);
  runtime::AppendWindows1252(units, narrowed);
  if (windows != bytes || narrowed.size() != characters) std::abort();
  return 0;
}
