// cobaltmoth/export.hpp - what the Linux shared library exports.
//
// The library is built with hidden symbols: only the public classes and functions, marked
// COBALTMOTH_API, are part of its ABI, so that its internals can change without breaking a
// host and do not clash with a host's own names. The Windows build is an automation server
// that hosts reach through its interfaces, not by name; there the mark is empty.
#pragma once

#if defined(_WIN32)
#define COBALTMOTH_API
#elif defined(__GNUC__)
#define COBALTMOTH_API __attribute__((visibility("default")))
#else
#define COBALTMOTH_API
#endif
