// platform/posix/fd.hpp - the POSIX backend's one owner of file descriptors, its one
// translation of errno into the host's run-time errors, and the ways it writes to descriptors.
//
// A library inside a host must not disturb it: a descriptor the library opens never takes the
// number of a standard stream (0 to 2), even in a host that closed them, so that nothing meant
// for the host's standard error ever lands in a log and nothing of the library's is mistaken
// for the host's; writing to a descriptor the library does not own (standard error) never
// raises SIGPIPE in the host and never waits longer than it is allowed to.
//
// Thread-safety: the functions keep no state; a UniqueFd belongs to one owner.
#pragma once

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <utility>

namespace cobaltmoth::platform::posix {

// What a system call gives, called again while a signal interrupted it (-1 with EINTR).
template <typename Call>
auto RetryOnEintr(Call&& call) noexcept(noexcept(call())) {
  auto result = call();
  while (result == -1 && errno == EINTR) result = call();
  return result;
}

// Owns a file descriptor; destroying it closes the descriptor.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueFd() { Reset(); }

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  int Release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void Reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// Raises the host's run-time error for an errno value: 76 "Path not found", 70 "Permission
// denied", 61 "Disk full", 58 "File already exists", 75 "Path/File access error" for what a
// log cannot be (a FIFO, a socket, a folder, a symbolic link), ...
[[noreturn]] void RaisePosixError(int error_number);

// `fd` itself when it is above 2; otherwise a close-on-exec duplicate above 2, the original
// closed. -1 (errno set) when no duplicate can be made; the original is closed then too.
int AboveStandardStreams(int fd) noexcept;

// A socket pair (AF_UNIX, SOCK_STREAM, close-on-exec), both ends above 2; false (errno set)
// when it cannot be made.
bool MakeSocketPair(UniqueFd* ours, UniqueFd* theirs) noexcept;

// Whether the regular file behind `fd`, `size` bytes long, ends inside a line: it is not empty
// and does not end in CR LF. An unreadable end counts as a whole line.
bool EndsInsideALine(int fd, long long size) noexcept;

// Milliseconds of the monotonic clock.
std::int64_t MonotonicMs() noexcept;

// The signals a write can raise in the writing thread, held off while it lives: SIGPIPE (a
// reader that has gone) when `pipe` is set, and SIGXFSZ (a file past the process's size limit,
// `ulimit -f`) when `file_size` is set (the caller has found a limit with FileSizeLimited). They are blocked in the calling
// thread, so that the write fails with EPIPE or EFBIG instead of ending the host, and one the
// writes raised meanwhile is taken away before the host's mask is put back (unless one was
// pending already): the host's disposition and mask are as they were once the write is done.
bool FileSizeLimited() noexcept;
class WriteSignalsHeldOff {
 public:
  WriteSignalsHeldOff(bool pipe, bool file_size) noexcept;
  ~WriteSignalsHeldOff();
  WriteSignalsHeldOff(const WriteSignalsHeldOff&) = delete;
  WriteSignalsHeldOff& operator=(const WriteSignalsHeldOff&) = delete;

 private:
  sigset_t held_;
  sigset_t previous_;
  sigset_t was_pending_;
  bool active_ = false;
};

// Writes every byte to a descriptor the library owns, retrying after signals; 0, or the errno
// value of the failure. A short write is continued from where it stopped.
int WriteAll(int fd, std::string_view bytes) noexcept;

// Writes to a descriptor the library does not own (the host's standard error): SIGPIPE is
// held off while writing and a reader that has gone (EPIPE) ends the writing quietly; what
// cannot be written within `limit_ms` milliseconds (a pipe nobody drains) is dropped. A
// descriptor that is not open for writing is left alone. Returns the bytes written.
std::size_t WriteToForeign(int fd, std::string_view bytes, int limit_ms) noexcept;

// Sends on a stream socket until every byte is sent or the monotonic clock reaches
// `deadline_ms` (-1: no deadline); never raises SIGPIPE. False when the peer has gone, the
// deadline has passed, or the socket failed.
bool SendAll(int fd, std::string_view bytes, std::int64_t deadline_ms) noexcept;

}  // namespace cobaltmoth::platform::posix
