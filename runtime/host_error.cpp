#include "runtime/host_error.hpp"

#include <cobaltmoth/error_line.hpp>

#include "runtime/text.hpp"

namespace cobaltmoth {

Error::Error(std::int32_t number, std::u16string source, std::u16string description)
    : number_(number), source_(std::move(source)), description_(std::move(description)) {
  what_ = runtime::ToUtf8(description_) + " (" + std::to_string(number_) + ") in " +
          runtime::ToUtf8(source_);
}

void SetErl(std::int32_t line) noexcept { runtime::thread_error_line = line; }
std::int32_t Erl() noexcept { return runtime::thread_error_line; }

namespace runtime {

std::u16string_view StandardDescription(std::int32_t number) noexcept {
  switch (number) {
    case kInvalidProcedureCall: return u"Invalid procedure call or argument";
    case kOverflow: return u"Overflow";
    case kOutOfMemory: return u"Out of memory";
    case kSubscriptOutOfRange: return u"Subscript out of range";
    case kTypeMismatch: return u"Type mismatch";
    case kBadFileNameOrNumber: return u"Bad file name or number";
    case kFileNotFound: return u"File not found";
    case kDeviceIoError: return u"Device I/O error";
    case kFileAlreadyExists: return u"File already exists";
    case kDiskFull: return u"Disk full";
    case kTooManyFiles: return u"Too many files";
    case kPermissionDenied: return u"Permission denied";
    case kPathFileAccessError: return u"Path/File access error";
    case kPathNotFound: return u"Path not found";
    case kObjectNotSet: return u"Object variable or With block variable not set";
    case kObjectRequired: return u"Object required";
    case kObjectDoesNotSupport: return u"Object doesn't support this property or method";
    case kWrongNumberOfArguments:
      return u"Wrong number of arguments or invalid property assignment";
    case kKeyAlreadyAssociated:
      return u"This key is already associated with an element of this collection";
    case kPrinterError: return u"Printer error";
    case kCantOpenClipboard: return u"Can't open Clipboard";
    default: return u"Application-defined or object-defined error";
  }
}

void Raise(std::int32_t number, std::u16string_view source, std::u16string_view description) {
  throw Error(number, std::u16string(source), std::u16string(description));
}

void RaiseRuntime(std::int32_t number) {
  Raise(number, kProjectSource, StandardDescription(number));
}

void RaiseNotInitialized(std::u16string_view class_name) {
  std::u16string source = u"Cobaltmoth.dll - Class ";
  source += class_name;
  Raise(kNotInitializedError, source,
        u"You must initialize this class with Init sub before using any method");
}

}  // namespace runtime
}  // namespace cobaltmoth
