// platform/probes.hpp - static probes that the system's tracers attach to.
//
// On Linux, where <sys/sdt.h> is at hand when the library is built, the library carries USDT
// probes (stapsdt notes) of the provider "cobaltmoth":
//
//   enter(module, module_bytes, proc, proc_bytes, depth, line)
//       a procedure was pushed; depth is its position (the new Count), line its
//       CalledByLineNumber (0 for none).
//   exit(module, module_bytes, proc, proc_bytes, depth, found)
//       an entry is about to be popped: found is 1 for the exit that matched it, 0 for an
//       entry unwound as "exit point not found". The names are those stored in the entry.
//   raise(module, module_bytes, proc, proc_bytes, number, line, critical, description,
//         description_bytes)
//       ProcBug::Raise is about to run its reporting steps.
//
// Every text is UTF-8, given as a pointer and a length in bytes (not terminated by NUL).
// Each probe has a semaphore: its arguments are prepared only while a tracer is attached
// (perf, bpftrace and SystemTap set it through the kernel's uprobe reference counter), so an
// unattached probe costs one load and a branch. Elsewhere (Windows, or no <sys/sdt.h>, or
// COBALTMOTH_NO_PROBES defined) every function here is an empty inline one.
//
// The portable core calls only the functions below; the OS header is included only by
// platform/probes.cpp.
//
// Thread-safety: the probes may fire from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#if defined(__linux__) && defined(__has_include) && !defined(COBALTMOTH_NO_PROBES)
#if __has_include(<sys/sdt.h>)
#define COBALTMOTH_PROBES 1
#endif
#endif

#if defined(COBALTMOTH_PROBES)
// The probes' semaphores, non-zero while a tracer is attached; defined in platform/probes.cpp.
extern "C" {
__attribute__((visibility("hidden"))) extern unsigned short cobaltmoth_enter_semaphore;
__attribute__((visibility("hidden"))) extern unsigned short cobaltmoth_exit_semaphore;
__attribute__((visibility("hidden"))) extern unsigned short cobaltmoth_raise_semaphore;
}
#endif

namespace cobaltmoth::platform::probes {

#if defined(COBALTMOTH_PROBES)

namespace detail {
inline bool Attached(const unsigned short& semaphore) noexcept {
  return __builtin_expect(*static_cast<const volatile unsigned short*>(&semaphore) != 0, 0);
}
}  // namespace detail

// Whether a tracer is attached to the probe.
inline bool EnterAttached() noexcept { return detail::Attached(cobaltmoth_enter_semaphore); }
inline bool ExitAttached() noexcept { return detail::Attached(cobaltmoth_exit_semaphore); }
inline bool RaiseAttached() noexcept { return detail::Attached(cobaltmoth_raise_semaphore); }

// Fire the probes (see above).
void Enter(std::string_view module_name, std::string_view proc_name, std::int32_t depth,
           std::int32_t line) noexcept;
void Exit(std::string_view module_name, std::string_view proc_name, std::int32_t depth,
          bool found) noexcept;
void Raise(std::string_view module_name, std::string_view proc_name, std::int32_t number,
           std::int32_t line, bool critical, std::string_view description) noexcept;

#else

inline bool EnterAttached() noexcept { return false; }
inline bool ExitAttached() noexcept { return false; }
inline bool RaiseAttached() noexcept { return false; }
inline void Enter(std::string_view, std::string_view, std::int32_t, std::int32_t) noexcept {}
inline void Exit(std::string_view, std::string_view, std::int32_t, bool) noexcept {}
inline void Raise(std::string_view, std::string_view, std::int32_t, std::int32_t, bool,
                  std::string_view) noexcept {}

#endif

}  // namespace cobaltmoth::platform::probes
