// runtime/host_error.hpp - raising errors to the host.
//
// The library raises every error through the functions below, as a cobaltmoth::Error. A
// standard run-time error is raised by number only and gets the host language's own text for
// that number; the source is then the library's project name, "Cobaltmoth". The guards of the
// public classes raise the not-initialised error with their class in the source.
//
// Thread-safety: pure functions; the error-line number is the calling thread's own.
#pragma once

#include <cobaltmoth/error.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace cobaltmoth::runtime {

// The host language's run-time error numbers that the library raises.
enum RuntimeError : std::int32_t {
  kInvalidProcedureCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kSubscriptOutOfRange = 9,
  kTypeMismatch = 13,
  kBadFileNameOrNumber = 52,
  kFileNotFound = 53,
  kDeviceIoError = 57,
  kFileAlreadyExists = 58,
  kDiskFull = 61,
  kTooManyFiles = 67,
  kPermissionDenied = 70,
  kPathFileAccessError = 75,
  kPathNotFound = 76,
  kObjectNotSet = 91,
  kObjectRequired = 424,
  kObjectDoesNotSupport = 438,
  kWrongNumberOfArguments = 450,
  kKeyAlreadyAssociated = 457,
  kPrinterError = 482,
  kCantOpenClipboard = 521,
};

// The source of the standard run-time errors that the library raises.
inline constexpr std::u16string_view kProjectSource = u"Cobaltmoth";

// The host language's description of a run-time error number ("Subscript out of range"), or
// "Application-defined or object-defined error" for a number it has no text for.
std::u16string_view StandardDescription(std::int32_t number) noexcept;

// Raises an error with the given number, source and description.
[[noreturn]] void Raise(std::int32_t number, std::u16string_view source,
                        std::u16string_view description);

// Raises a standard run-time error by number: its own description, source "Cobaltmoth".
[[noreturn]] void RaiseRuntime(std::int32_t number);

// Raises the not-initialised error of a public class ("ProcStac", "ProcBug"):
//   -2147220503, "Cobaltmoth.dll - Class ProcStac",
//   "You must initialize this class with Init sub before using any method".
[[noreturn]] void RaiseNotInitialized(std::u16string_view class_name);

// The calling thread's error-line number, as cobaltmoth::SetErl sets it and cobaltmoth::Erl
// reads it; here for the library's own callers to read without a call.
inline thread_local std::int32_t thread_error_line = 0;

}  // namespace cobaltmoth::runtime
