// platform/posix/crash/memory_map.hpp - the process's memory map (/proc/self/maps) read where
// nothing may be allocated: to place native frames in their modules, and to tell a stack that
// has overflowed from any other bad address.
//
// Thread-safety: the functions keep no state; the map is read at the call.
#pragma once

#include <cstdint>

namespace cobaltmoth::platform::posix::crash {

// One line of the map: "start-end perms offset device inode   path".
struct Mapping {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::uintptr_t offset = 0;
  bool accessible = false;  // readable or writable: not a guard page
  const char* path = "";    // "" for an anonymous mapping; valid during the call only
};

// Calls `each(mapping, context)` for every line of the map, in address order.
void ForEachMapping(void (*each)(const Mapping& mapping, void* context), void* context) noexcept;

// Whether a fault at `address` by a thread whose stack pointer was `stack_pointer` is its stack
// overflowing: the address lies in the guard page below the stack's lowest mapped address, or
// within 64 KiB below it (a large frame can skip the guard page).
bool IsStackOverflow(std::uintptr_t address, std::uintptr_t stack_pointer) noexcept;

}  // namespace cobaltmoth::platform::posix::crash
