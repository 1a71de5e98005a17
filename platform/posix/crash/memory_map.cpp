// The process's memory map, read with system calls and fixed buffers only
// (platform/posix/crash/memory_map.hpp).
#include "platform/posix/crash/memory_map.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/fd.hpp"

namespace cobaltmoth::platform::posix::crash {
namespace {

constexpr std::uintptr_t kBelowStack = 64 * 1024;

// Reads a hexadecimal number at `at`, moving past it.
std::uintptr_t ReadHex(const char*& at) noexcept {
  std::uintptr_t value = 0;
  for (;; ++at) {
    const char c = *at;
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return value;
    }
    value = value * 16 + static_cast<std::uintptr_t>(digit);
  }
}

// Past the blanks at `at`, the field after them and the blanks after that.
const char* SkipField(const char* at) noexcept {
  while (*at == ' ') ++at;
  while (*at != '\0' && *at != ' ') ++at;
  while (*at == ' ') ++at;
  return at;
}

bool Parse(const char* line, Mapping* mapping) noexcept {
  const char* at = line;
  mapping->start = ReadHex(at);
  if (*at++ != '-') return false;
  mapping->end = ReadHex(at);
  while (*at == ' ') ++at;
  mapping->accessible = at[0] == 'r' || at[1] == 'w';
  at = SkipField(at);  // the permissions
  mapping->offset = ReadHex(at);
  mapping->path = SkipField(SkipField(at));  // past the device and the inode
  return true;
}

// What IsStackOverflow looks for while the map is read.
struct StackSearch {
  std::uintptr_t address;
  std::uintptr_t stack_pointer;
  std::uintptr_t guard_start = 0;  // an inaccessible mapping just below the next one
  std::uintptr_t guard_end = 0;
  bool overflow = false;
  bool done = false;
};

}  // namespace

void ForEachMapping(void (*each)(const Mapping& mapping, void* context), void* context) noexcept {
  const int fd = posix::RetryOnEintr([] { return ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return;
  char chunk[4096];
  char line[640];
  std::size_t used = 0;
  for (;;) {
    const ssize_t got = posix::RetryOnEintr([&] { return ::read(fd, chunk, sizeof chunk); });
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      if (chunk[i] != '\n') {
        if (used < sizeof line - 1) line[used++] = chunk[i];
        continue;
      }
      line[used] = '\0';
      used = 0;
      Mapping mapping;
      if (Parse(line, &mapping)) each(mapping, context);
    }
  }
  ::close(fd);
}

bool IsStackOverflow(std::uintptr_t address, std::uintptr_t stack_pointer) noexcept {
  StackSearch search{address, stack_pointer};
  // The stack is the first accessible mapping that ends above the stack pointer (which may
  // itself already be below the stack, in its guard page).
  ForEachMapping(
      [](const Mapping& mapping, void* context) {
        auto& s = *static_cast<StackSearch*>(context);
        if (s.done) return;
        if (!mapping.accessible) {
          s.guard_start = mapping.start;
          s.guard_end = mapping.end;
          return;
        }
        if (mapping.end <= s.stack_pointer) {
          s.guard_end = 0;
          return;
        }
        s.done = true;
        const std::uintptr_t lowest = mapping.start;
        const bool in_guard = s.guard_end == lowest && s.address >= s.guard_start &&
                              s.address < lowest;
        const bool just_below = s.address < lowest && lowest - s.address <= kBelowStack;
        s.overflow = in_guard || just_below;
      },
      &search);
  return search.overflow;
}

}  // namespace cobaltmoth::platform::posix::crash
