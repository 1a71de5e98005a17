// Native frames of a crashed thread and their names (platform/posix/crash/native_stack.hpp).
//
// Everything here but the program it starts is safe in a signal handler: system calls,
// fixed buffers, no allocation, no lock, no stdio. backtrace() loads its unwinder once, on its
// first call; the crash handling makes that call when it is armed.
#include "platform/posix/crash/native_stack.hpp"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/posix/fd.hpp"

extern char** environ;

namespace cobaltmoth::platform::posix::crash {
namespace {

constexpr std::string_view kOwnNamespace = "cobaltmoth::";

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

// Writes `value` as `digits` (at least) hexadecimal digits after "0x"; returns the end.
char* WriteHex(char* out, std::uintptr_t value, int digits) noexcept {
  char reversed[2 * sizeof value];
  int n = 0;
  do {
    reversed[n++] = "0123456789abcdef"[value % 16];
    value /= 16;
  } while (value != 0);
  while (n < digits) reversed[n++] = '0';
  *out++ = '0';
  *out++ = 'x';
  while (n > 0) *out++ = reversed[--n];
  return out;
}

void Pause(int ms) noexcept {
  struct timespec wait {0, static_cast<long>(ms) * 1000000L};
  while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

}  // namespace

void NativeFrames::Take(const void* interrupted) noexcept {
  void* raw[kMaxFrames];
  const int taken = ::backtrace(raw, kMaxFrames);
  int from = 1;  // this function
  drop_own_ = true;
  for (int i = 0; interrupted != nullptr && i < taken; ++i) {
    if (raw[i] == interrupted) {
      from = i;
      drop_own_ = false;
      break;
    }
  }
  count_ = 0;
  for (int i = from; i < taken; ++i) {
    frames_[count_] = Frame();
    frames_[count_++].address = reinterpret_cast<std::uintptr_t>(raw[i]);
  }
  first_ = 0;
  named_ = false;
  FindModules();
}

// Each line of /proc/self/maps: "start-end perms offset device inode   path". A module's
// first mapping (offset 0) is where it was loaded; the symbolizer counts from there.
void NativeFrames::FindModules() noexcept {
  const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  char chunk[4096];
  char line[kPathSize + 128];
  std::size_t used = 0;
  char loaded_path[kPathSize] = {};
  std::uintptr_t loaded_at = 0;
  const auto consider = [&] {
    const char* at = line;
    const std::uintptr_t start = ReadHex(at);
    if (*at++ != '-') return;
    const std::uintptr_t end = ReadHex(at);
    at = SkipField(at);  // the permissions
    const std::uintptr_t offset = ReadHex(at);
    at = SkipField(SkipField(at));  // past the device and the inode
    if (*at != '/') return;
    if (offset == 0) {
      std::strncpy(loaded_path, at, kPathSize - 1);
      loaded_at = start;
    }
    for (int i = 0; i < count_; ++i) {
      Frame& frame = frames_[i];
      if (frame.address < start || frame.address >= end) continue;
      std::strncpy(frame.module, at, kPathSize - 1);
      frame.base = std::strcmp(loaded_path, frame.module) == 0 ? loaded_at : start - offset;
    }
  };
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    for (ssize_t i = 0; i < got; ++i) {
      if (chunk[i] != '\n') {
        if (used < sizeof line - 1) line[used++] = chunk[i];
        continue;
      }
      line[used] = '\0';
      consider();
      used = 0;
    }
  }
  ::close(fd);
}

void NativeFrames::Name(const char* symbolizer, int limit_ms) noexcept {
  if (named_) return;
  named_ = true;
  if (symbolizer == nullptr || *symbolizer == '\0' || count_ == 0) return;
  int to_child[2];
  int from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) return;
  if (::pipe2(from_child, O_CLOEXEC) != 0) {
    ::close(to_child[0]);
    ::close(to_child[1]);
    return;
  }
  const int pid = StartHelper(symbolizer, "--symbolize", to_child[0], from_child[1]);
  ::close(to_child[0]);
  ::close(from_child[1]);
  const std::int64_t deadline = posix::MonotonicMs() + limit_ms;
  // One line a frame: its module and its address there. A return address is one past the
  // call, which may be the next line's code: the call itself is looked up.
  for (int i = 0; pid > 0 && i < count_; ++i) {
    const Frame& frame = frames_[i];
    char request[kPathSize + 24];
    char* out = request;
    if (frame.base == 0) {
      *out++ = '-';
    } else {
      const std::size_t length = std::strlen(frame.module);
      std::memcpy(out, frame.module, length);
      out += length;
    }
    *out++ = ' ';
    const bool interrupted = !drop_own_ && i == 0;
    out = WriteHex(out, frame.address - frame.base - (interrupted ? 0 : 1), 1);
    *out++ = '\n';
    const std::int64_t left = deadline - posix::MonotonicMs();
    const auto size = static_cast<std::size_t>(out - request);
    if (left <= 0 || posix::WriteToForeign(to_child[1], {request, size}, static_cast<int>(left)) <
                         size) {
      break;
    }
  }
  ::close(to_child[1]);
  std::size_t size = 0;
  while (pid > 0 && size < sizeof names_) {
    const std::int64_t left = deadline - posix::MonotonicMs();
    struct pollfd waiting {from_child[0], POLLIN, 0};
    const int ready = ::poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    const ssize_t got = ::read(from_child[0], names_ + size, sizeof names_ - size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  ::close(from_child[0]);
  if (pid > 0) AwaitHelper(pid, 100);
  // Whole lines only: a name cut by the deadline is no name.
  const char* at = names_;
  const char* const end = names_ + size;
  for (int i = 0; i < count_; ++i) {
    const char* line_end = static_cast<const char*>(std::memchr(at, '\n', end - at));
    if (line_end == nullptr) break;
    const std::string_view name(at, static_cast<std::size_t>(line_end - at));
    if (name != "?" && !name.empty()) {
      frames_[i].name = at;
      frames_[i].name_size = name.size();
    }
    at = line_end + 1;
  }
  while (drop_own_ && first_ < count_ && frames_[first_].name != nullptr &&
         std::string_view(frames_[first_].name, frames_[first_].name_size)
                 .substr(0, kOwnNamespace.size()) == kOwnNamespace) {
    ++first_;
  }
}

void NativeFrames::WriteTo(runtime::TextOut& out) const noexcept {
  out.Append(u"Native Stack:\r\n-------------\r\n");
  for (int i = first_; i < count_; ++i) {
    const Frame& frame = frames_[i];
    char line[48];
    char* end = line;
    *end++ = '#';
    const int number = i - first_;
    *end++ = static_cast<char>('0' + number / 10);
    *end++ = static_cast<char>('0' + number % 10);
    *end++ = ' ';
    end = WriteHex(end, frame.address, 2 * static_cast<int>(sizeof frame.address));
    *end++ = ' ';
    runtime::AppendUtf8(out, std::string_view(line, static_cast<std::size_t>(end - line)));
    if (frame.base == 0) {
      out.Append(u'?');
    } else {
      const char* slash = std::strrchr(frame.module, '/');
      runtime::AppendUtf8(out, slash == nullptr ? frame.module : slash + 1);
      end = line;
      *end++ = '+';
      end = WriteHex(end, frame.address - frame.base, 1);
      runtime::AppendUtf8(out, std::string_view(line, static_cast<std::size_t>(end - line)));
    }
    if (frame.name != nullptr) {
      out.Append(u' ');
      runtime::AppendUtf8(out, std::string_view(frame.name, frame.name_size));
    }
    out.Append(u"\r\n");
  }
}

int StartHelper(const char* program, const char* argument, int input, int output) noexcept {
  char* const arguments[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  // A fork without the C library's fork handlers, which take locks a crash may hold.
  const long pid = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  if (pid != 0) return pid < 0 ? -1 : static_cast<int>(pid);
  // The child: system calls only, until the program runs.
  const int null = ::open("/dev/null", O_RDWR);
  ::dup2(input >= 0 ? input : null, STDIN_FILENO);
  ::dup2(output >= 0 ? output : null, STDOUT_FILENO);
#ifdef SYS_close_range
  if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
  {
    for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(program, arguments, environ);
  ::_exit(127);
}

void AwaitHelper(int pid, int limit_ms) noexcept {
  const std::int64_t deadline = posix::MonotonicMs() + limit_ms;
  for (;;) {
    const pid_t done = ::waitpid(pid, nullptr, limit_ms < 0 ? 0 : WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;  // ended, or reaped by the host
    if (done == 0) {
      if (posix::MonotonicMs() >= deadline) break;
      Pause(5);
    }
  }
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace cobaltmoth::platform::posix::crash
