// The POSIX backend's descriptors, errno translation and writes (platform/posix/fd.hpp).
#include "platform/posix/fd.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "runtime/host_error.hpp"

namespace cobaltmoth::platform::posix {

void UniqueFd::Reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

[[noreturn]] void RaisePosixError(int error_number) {
  switch (error_number) {
    case EEXIST:
      runtime::RaiseRuntime(runtime::kFileAlreadyExists);
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
      runtime::RaiseRuntime(runtime::kPathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      runtime::RaiseRuntime(runtime::kPermissionDenied);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      runtime::RaiseRuntime(runtime::kDiskFull);
    case EMFILE:
    case ENFILE:
      runtime::RaiseRuntime(runtime::kTooManyFiles);
    case EIO:
      runtime::RaiseRuntime(runtime::kDeviceIoError);
    case ENOMEM:
      runtime::RaiseRuntime(runtime::kOutOfMemory);
    default:  // ELOOP (a symbolic link), ENXIO, EISDIR, EWOULDBLOCK, ...
      runtime::RaiseRuntime(runtime::kPathFileAccessError);
  }
}

int AboveStandardStreams(int fd) noexcept {
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int saved_errno = errno;
  ::close(fd);
  errno = saved_errno;
  return moved;
}

bool MakeSocketPair(UniqueFd* ours, UniqueFd* theirs) noexcept {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return false;
  UniqueFd first(AboveStandardStreams(ends[0]));
  UniqueFd second(AboveStandardStreams(ends[1]));
  if (!first.Valid() || !second.Valid()) return false;
  *ours = std::move(first);
  *theirs = std::move(second);
  return true;
}

bool EndsInsideALine(int fd, long long size) noexcept {
  if (size <= 0) return false;
  char end[2] = {0, 0};
  const long long from = size >= 2 ? size - 2 : 0;
  const ssize_t got = ::pread(fd, end, static_cast<std::size_t>(size - from), from);
  if (got <= 0) return false;  // unreadable: nothing is known, nothing is added
  return got < 2 || end[0] != '\r' || end[1] != '\n';
}

std::int64_t MonotonicMs() noexcept {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int WriteAll(int fd, std::string_view bytes) noexcept {
  const WriteSignalsHeldOff held_off(/*pipe=*/false, FileSizeLimited());
  while (!bytes.empty()) {
    const ssize_t written = RetryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (written < 0) return errno;
    if (written == 0) return EIO;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

bool FileSizeLimited() noexcept {
  struct rlimit limit {};
  return ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

WriteSignalsHeldOff::WriteSignalsHeldOff(bool pipe, bool file_size) noexcept {
  sigemptyset(&held_);
  if (pipe) sigaddset(&held_, SIGPIPE);
  if (file_size) sigaddset(&held_, SIGXFSZ);
  active_ = sigisemptyset(&held_) == 0;
  if (!active_) return;
  sigemptyset(&was_pending_);
  ::sigpending(&was_pending_);
  ::pthread_sigmask(SIG_BLOCK, &held_, &previous_);
}

WriteSignalsHeldOff::~WriteSignalsHeldOff() {
  if (!active_) return;
  sigset_t pending;
  sigemptyset(&pending);
  ::sigpending(&pending);
  for (const int signal : {SIGPIPE, SIGXFSZ}) {
    if (sigismember(&held_, signal) != 1 || sigismember(&pending, signal) != 1 ||
        sigismember(&was_pending_, signal) == 1) {
      continue;
    }
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    const struct timespec no_wait {0, 0};
    RetryOnEintr([&] { return ::sigtimedwait(&only, nullptr, &no_wait); });
  }
  ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

namespace {

// Writes of at most this size go into a pipe that poll calls writable without blocking.
constexpr std::size_t kAtomicChunk = PIPE_BUF;

}  // namespace

std::size_t WriteToForeign(int fd, std::string_view bytes, int limit_ms) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return 0;
  const int saved_errno = errno;
  const WriteSignalsHeldOff held_off(/*pipe=*/true, FileSizeLimited());
  const std::int64_t deadline = MonotonicMs() + (limit_ms < 0 ? 0 : limit_ms);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::int64_t left = deadline - MonotonicMs();
    struct pollfd waiting {fd, POLLOUT, 0};
    const int ready = ::poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (waiting.revents & (POLLERR | POLLNVAL))) break;
    if (!(waiting.revents & POLLOUT)) break;  // hung up: nobody reads
    const std::size_t chunk = bytes.size() - done < kAtomicChunk ? bytes.size() - done
                                                                  : kAtomicChunk;
    const ssize_t written = ::write(fd, bytes.data() + done, chunk);
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  errno = saved_errno;
  return done;
}

bool SendAll(int fd, std::string_view bytes, std::int64_t deadline_ms) noexcept {
  while (!bytes.empty()) {
    const ssize_t sent =
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    int wait_ms = -1;
    if (deadline_ms >= 0) {
      const std::int64_t left = deadline_ms - MonotonicMs();
      if (left <= 0) return false;
      wait_ms = static_cast<int>(left);
    }
    struct pollfd waiting {fd, POLLOUT, 0};
    if (::poll(&waiting, 1, wait_ms) < 0 && errno != EINTR) return false;
  }
  return true;
}

}  // namespace cobaltmoth::platform::posix
