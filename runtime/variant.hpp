// runtime/variant.hpp - a host Variant, as far as the library's arguments need one.
//
// An argument that the host passes as a Variant is missing (an omitted optional argument),
// text, or a number. Operations read text as a key and a number as a position, which they
// convert to a 32-bit integer the way the host converts to Long: rounded to the nearest whole
// number, a half to the even neighbour, error 6 "Overflow" outside the Long range.
//
// Thread-safety: a value type.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cobaltmoth::runtime {

class Variant {
 public:
  enum class Kind { kMissing, kText, kNumber };

  Variant() = default;
  Variant(std::u16string_view text) : kind_(Kind::kText), text_(text) {}  // NOLINT
  Variant(const char16_t* text) : Variant(std::u16string_view(text)) {}   // NOLINT
  Variant(const std::u16string& text) : Variant(std::u16string_view(text)) {}  // NOLINT
  Variant(std::int32_t number) : kind_(Kind::kNumber), number_(number) {}  // NOLINT
  Variant(double number) : kind_(Kind::kNumber), number_(number) {}        // NOLINT

  Kind kind() const noexcept { return kind_; }
  bool IsMissing() const noexcept { return kind_ == Kind::kMissing; }
  bool IsText() const noexcept { return kind_ == Kind::kText; }
  bool IsNumber() const noexcept { return kind_ == Kind::kNumber; }
  const std::u16string& Text() const noexcept { return text_; }
  double Number() const noexcept { return number_; }

  // The number as a Long (see above); throws error 6 when it does not fit.
  std::int32_t ToLong() const;

 private:
  Kind kind_ = Kind::kMissing;
  std::u16string text_;
  double number_ = 0;
};

// The host's conversion of a number to Long (see above).
std::int32_t ToLong(double number);

}  // namespace cobaltmoth::runtime
