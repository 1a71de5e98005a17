// cobaltmoth/error_line.hpp - the host's current error-line number.
//
// A Basic host numbers its lines, and its runtime remembers the line of the most recent
// run-time error of the thread (what the host reads as Erl); ProcStac::EnterProc stores it in
// the new stack entry, and the dump shows it as "called @ line N". A C++ host has no such
// number, so it keeps one here: call SetErl with the line where an error was caught before it
// enters its error-handling procedures, and SetErl(0) once the error is dealt with. While it is
// 0 (the start value of every thread), entries carry no line.
//
// Thread-safety: the number belongs to the calling thread; each thread has its own.
#pragma once

#include <cobaltmoth/export.hpp>

#include <cstdint>

namespace cobaltmoth {

// Sets the calling thread's error-line number; 0 means "no error line".
COBALTMOTH_API void SetErl(std::int32_t line) noexcept;

// The calling thread's error-line number, 0 when there is none.
COBALTMOTH_API std::int32_t Erl() noexcept;

}  // namespace cobaltmoth
