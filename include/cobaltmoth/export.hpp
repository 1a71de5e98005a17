// cobaltmoth/export.hpp - what the Linux shared library exports.
//
// The library is built with hidden symbols: only the public classes and functions, marked
// COBALTMOTH_API, are part of its ABI, so that its internals can change without breaking a
// host and do not clash with a host's own names. The Windows build is an automation server
// that hosts reach through its interfaces, not by name; there the mark is empty.
#pragma once

// The public headers are C++20: a host compiles them with -std=c++20 or later (the CMake
// targets cobaltmoth::cobaltmoth and cobaltmoth::cobaltmoth_static ask for it themselves).
#if (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 202002L
#error "Cobaltmoth's headers need C++20 or later (-std=c++20)"
#endif

#if defined(_WIN32)
#define COBALTMOTH_API
#elif defined(__GNUC__)
#define COBALTMOTH_API __attribute__((visibility("default")))
#else
#define COBALTMOTH_API
#endif
