// runtime/text.hpp - the host's text rules on UTF-16 code units.
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

namespace cobaltmoth::runtime {

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

// Windows-1252 bytes as text: 0x80 to 0x9F by the code page's table (its five undefined bytes
// as the C1 control of the same number), every other byte as the character of that number.
std::u16string FromWindows1252(std::string_view bytes);

// Appends the decimal text of a number: a minus sign when negative, no leading zeros.
void AppendDecimal(std::u16string& out, std::int64_t value);
std::u16string Decimal(std::int64_t value);

// Windows-1252 bytes of UTF-16 text, written into `out` (at most one byte a code unit), as
// AppendWindows1252 writes them; returns the bytes written. Nothing is allocated.
std::size_t ToWindows1252(std::u16string_view text, char* out) noexcept;

// A place that takes text piece by piece: a string, or a file written as the text comes, so
// that a text can be made where nothing may be allocated (a crashed process).
class TextOut {
 public:
  virtual ~TextOut() = default;
  virtual void Append(std::u16string_view text) = 0;
  void Append(char16_t unit) { Append(std::u16string_view(&unit, 1)); }
  // The decimal text of a number, as AppendDecimal writes it.
  void AppendDecimal(std::int64_t value);
  // "0x" and `value` in `digits` hexadecimal digits at least, lower or upper case.
  void AppendHex(std::uint64_t value, int digits = 1, bool upper = false);
  // The text in upper case, as UCase makes it.
  void AppendUpper(std::u16string_view text);
};

// A text that its maker writes when asked: a part of a longer text.
class TextPiece {
 public:
  virtual ~TextPiece() = default;
  virtual void WriteTo(TextOut& out) const = 0;
};

// A piece that is a text already made.
class ViewPiece final : public TextPiece {
 public:
  explicit ViewPiece(std::u16string_view text) : text_(text) {}
  void WriteTo(TextOut& out) const override { out.Append(text_); }

 private:
  std::u16string_view text_;
};

// UTF-8 as text (U+FFFD for each byte of a broken sequence, as FromUtf8), appended piece by
// piece; nothing is allocated.
void AppendUtf8(TextOut& out, std::string_view utf8);

// UTF-8 of UTF-16 text, written into `out`, which must hold three bytes a code unit (a lone
// surrogate as U+FFFD, as ToUtf8); returns the bytes written. Nothing is allocated.
std::size_t ToUtf8(std::u16string_view utf16, char* out) noexcept;

// Text into a fixed buffer of `capacity` code units; what does not fit is dropped.
template <std::size_t capacity>
class BufferOut final : public TextOut {
 public:
  void Append(std::u16string_view text) override {
    const std::size_t n = text.size() < capacity - size_ ? text.size() : capacity - size_;
    text.copy(units_ + size_, n);
    size_ += n;
  }
  using TextOut::Append;
  std::u16string_view View() const noexcept { return {units_, size_}; }

 private:
  char16_t units_[capacity];
  std::size_t size_ = 0;
};

// Text into a string.
class StringOut final : public TextOut {
 public:
  explicit StringOut(std::u16string& out) : out_(out) {}
  void Append(std::u16string_view text) override { out_ += text; }
  using TextOut::Append;

 private:
  std::u16string& out_;
};

}  // namespace cobaltmoth::runtime
