// platform/posix/crash/native_stack.hpp - a thread's native frames: taken where nothing may be
// allocated (a crashed process), named by a child process that may.
//
// The frames are raw return addresses (the unwinder's, through the signal's frame); each is
// placed in its module by /proc/self/maps, and the program cobaltmoth-crash names them from
// the modules' symbol tables and debug information. Naming runs under a deadline in another
// process, so a module it cannot read, a symbol table that crashes it or a machine too slow
// leaves the raw frames, never a lost report.
//
// The report shows them as
//   Native Stack:
//   -------------
//   #00 0x00005581f2a4b1c9 crash_host+0x11c9 Divide(int) at /src/crash_host.cpp:31
//   #01 0x00007f3e8c229d8f libc.so.6+0x29d8f __libc_start_call_main
//   #02 0x00007f3e8c229e40 libc.so.6+0x29e40
//
// When the frames could not be named, a last line says why:
//   Frames not named: /usr/libexec/cobaltmoth/cobaltmoth-crash could not be started (E2BIG)
//
// Thread-safety: an object belongs to the thread that fills it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::crash {

class NativeFrames {
 public:
  // Takes the calling thread's frames from the frame at `interrupted`, the instruction a
  // signal interrupted, when it is among them. Without one (none given, or not found) the
  // frames start at the caller's, and once named, those of the library itself at the top are
  // left out too (a crash inside the library still shows its own frames). Only the unwinder
  // runs here, so that a crash on a small signal stack can take its frames there; Place
  // finds their modules afterwards, wherever it runs.
  void Take(const void* interrupted) noexcept;
  // Places the frames taken in their modules.
  void Place() noexcept;

  // Names the frames with the program `symbolizer` (none: the frames stay raw), giving it
  // `limit_ms` milliseconds. Done once: later calls do nothing.
  void Name(const char* symbolizer, int limit_ms) noexcept;

  // The section: its heading, then one line a frame, then why they are not named, if so,
  // then the whole path of each module the frames are in.
  void WriteTo(runtime::TextOut& out) const noexcept;

 private:
  static constexpr int kMaxFrames = 64;
  static constexpr std::size_t kPathSize = 512;
  struct Frame {
    std::uintptr_t address = 0;
    std::uintptr_t base = 0;   // where its module begins; 0 when it is in none
    char module[kPathSize] = {};
    const char* name = nullptr;  // into names_, or none
    std::size_t name_size = 0;
  };

  void WriteWhyUnnamed(runtime::TextOut& out) const noexcept;
  void WriteModules(runtime::TextOut& out) const noexcept;

  // Reads the names the symbolizer wrote, one line a frame, into names_.
  void ReadNames(std::size_t size) noexcept;

  // Why the frames are not named, as the section's last line says.
  enum class Unnamed { kNo, kNoSymbolizer, kNotStarted, kTooSlow };

  Frame frames_[kMaxFrames];
  int count_ = 0;
  int first_ = 0;  // the first frame shown
  bool drop_own_ = false;  // leave out the library's frames at the top once they are named
  bool named_ = false;
  Unnamed unnamed_ = Unnamed::kNo;
  int start_error_ = 0;  // the errno value of a symbolizer that could not be started
  const char* symbolizer_ = "";
  char names_[32 * 1024] = {};
};

}  // namespace cobaltmoth::platform::posix::crash
