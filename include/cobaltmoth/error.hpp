// cobaltmoth/error.hpp - the one error type that reaches a host.
//
// Every failure of the library reaches the host as a cobaltmoth::Error carrying what a
// Basic host reads from its error object: a 32-bit Number, a Source and a Description.
// Standard run-time errors keep the host language's own numbers and texts (9 "Subscript out
// of range", 76 "Path not found", ...); errors of the library's own classes carry the class in
// their source, for example
//   Number      -2147220503
//   Source      "Cobaltmoth.dll - Class ProcStac"
//   Description "You must initialize this class with Init sub before using any method"
//
// Thread-safety: an Error is an immutable value.
#pragma once

#include <cobaltmoth/export.hpp>

#include <cstdint>
#include <exception>
#include <string>

namespace cobaltmoth {

// The not-initialised error: object-defined error 1001 (0x800403E9 read as a signed number).
inline constexpr std::int32_t kNotInitializedError = -2147220503;

// An error raised to the host, as described at the top of this header.
class COBALTMOTH_API Error : public std::exception {
 public:
  // The error `number` of `source`, described by `description`.
  Error(std::int32_t number, std::u16string source, std::u16string description);

  std::int32_t Number() const noexcept { return number_; }                      // the number
  const std::u16string& Source() const noexcept { return source_; }             // its source
  const std::u16string& Description() const noexcept { return description_; }  // its text

  // "Description (Number) in Source", in UTF-8.
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::int32_t number_;
  std::u16string source_;
  std::u16string description_;
  std::string what_;
};

}  // namespace cobaltmoth
