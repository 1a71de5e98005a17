// Stopping the other threads of a crashed process (platform/posix/crash/thread_stop.hpp).
#include "platform/posix/crash/thread_stop.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/posix/fd.hpp"

namespace cobaltmoth::platform::posix::crash {
int StopSignal() noexcept { return SIGRTMIN + 5; }

namespace {

constexpr int kMostThreads = 4096;

std::atomic<int> g_stopping{0};  // 1 while the other threads are to wait; a futex word
std::atomic<int> g_parked{0};    // the threads waiting now
struct sigaction g_previous;     // the stop signal's handler before the crash
bool g_borrowed = false;         // the stop signal's handler is ours
pid_t g_sent[kMostThreads];      // the threads sent the stop signal
int g_sent_count = 0;
bool g_all_answered = false;

int* FutexWord() noexcept { return reinterpret_cast<int*>(&g_stopping); }

void OnStop(int) {
  if (g_stopping.load() == 0) return;  // late: the crash is over
  const int saved_errno = errno;
  g_parked.fetch_add(1);
  while (g_stopping.load() != 0) {
    ::syscall(SYS_futex, FutexWord(), FUTEX_WAIT_PRIVATE, 1, nullptr, nullptr, 0);
  }
  g_parked.fetch_sub(1);
  errno = saved_errno;
}

void Pause1Ms() noexcept {
  struct timespec pause {0, 1000000L};
  posix::RetryOnEintr([&] { return ::nanosleep(&pause, &pause); });
}

bool Sent(pid_t thread) noexcept {
  for (int i = 0; i < g_sent_count; ++i) {
    if (g_sent[i] == thread) return true;
  }
  return false;
}

// Sends the stop signal to every thread of the process not sent it yet but the calling one;
// false when there was none.
bool SignalNewThreads() noexcept {
  const int fd = posix::RetryOnEintr(
      [] { return ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return false;
  const pid_t self = ::gettid();
  const pid_t process = ::getpid();
  bool found = false;
  alignas(8) char entries[4096];
  for (;;) {
    const long got = ::syscall(SYS_getdents64, fd, entries, sizeof entries);
    if (got <= 0) break;
    for (long at = 0; at < got;) {
      // struct linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      std::uint16_t length;
      __builtin_memcpy(&length, entries + at + 16, sizeof length);
      const char* name = entries + at + 19;
      at += length;
      pid_t thread = 0;
      for (; *name >= '0' && *name <= '9'; ++name) thread = thread * 10 + (*name - '0');
      if (*name != '\0' || thread == 0 || thread == self || Sent(thread) ||
          g_sent_count == kMostThreads) {
        continue;
      }
      if (::syscall(SYS_tgkill, process, thread, StopSignal()) == 0) {
        g_sent[g_sent_count++] = thread;
        found = true;
      }
    }
  }
  ::close(fd);
  return found;
}

}  // namespace

int StopOtherThreads() noexcept {
  g_sent_count = 0;
  g_stopping = 1;
  struct sigaction stop {};
  stop.sa_handler = OnStop;
  stop.sa_flags = SA_ONSTACK | SA_RESTART;
  ::sigfillset(&stop.sa_mask);
  g_borrowed = g_borrowed || ::sigaction(StopSignal(), &stop, &g_previous) == 0;
  if (!g_borrowed) return 0;
  const std::int64_t deadline = posix::MonotonicMs() + kStopLimitMs;
  // Threads made while the others were being stopped are found by looking again.
  for (int look = 0; look < 3 && SignalNewThreads(); ++look) {
    while (g_parked.load() < g_sent_count && posix::MonotonicMs() < deadline) Pause1Ms();
  }
  g_all_answered = g_parked.load() == g_sent_count;
  return g_parked.load();
}

void ResumeOtherThreads() noexcept {
  g_stopping = 0;
  ::syscall(SYS_futex, FutexWord(), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  const std::int64_t deadline = posix::MonotonicMs() + kStopLimitMs;
  while (g_parked.load() != 0 && posix::MonotonicMs() < deadline) Pause1Ms();
  if (g_borrowed && g_all_answered && g_parked.load() == 0) {
    ::sigaction(StopSignal(), &g_previous, nullptr);
    g_borrowed = false;
  }
}

}  // namespace cobaltmoth::platform::posix::crash
