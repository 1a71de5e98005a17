// The other threads of a crashed process, held while the crash is handled
// (platform/windows/crash_parts.hpp): a `main` that returns meanwhile would end the process
// with its own exit code, and the crash would be lost.
#include "platform/windows/crash_parts.hpp"

#include <tlhelp32.h>

namespace cobaltmoth::platform::windows {
namespace {

constexpr int kMostHeld = 1024;
UniqueHandle g_held[kMostHeld];
int g_held_count = 0;

}  // namespace

void HoldOtherThreads(DWORD crashed) noexcept {
  // A snapshot's handle is INVALID_HANDLE_VALUE when there is none, as a file's.
  const UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return;
  const DWORD process = ::GetCurrentProcessId();
  const DWORD self = ::GetCurrentThreadId();
  THREADENTRY32 entry {};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Thread32First(snapshot.get(), &entry); more && g_held_count < kMostHeld;
       more = ::Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self ||
        entry.th32ThreadID == crashed) {
      continue;
    }
    UniqueHandle thread(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
    if (thread && ::SuspendThread(thread.get()) != static_cast<DWORD>(-1)) {
      g_held[g_held_count++] = std::move(thread);
    }
  }
}

void ReleaseOtherThreads() noexcept {
  while (g_held_count > 0) {
    UniqueHandle& thread = g_held[--g_held_count];
    ::ResumeThread(thread.get());
    thread.reset();
  }
}

bool OtherThreadsHeld() noexcept { return g_held_count > 0; }

}  // namespace cobaltmoth::platform::windows
