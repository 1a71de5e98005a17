// Starting cobaltmoth-crash from a crashed process (platform/posix/crash/helper.hpp): system
// calls and fixed buffers only.
#include "platform/posix/crash/helper.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/posix/fd.hpp"
#include "platform/posix/spawn.hpp"

extern char** environ;

namespace cobaltmoth::platform::posix::crash {
namespace {

// The variables the helper is given, by their whole names or, ending in "_", the beginnings of
// their names.
constexpr std::string_view kHelperNeeds[] = {
    "PATH",       "HOME",        "LANG",        "LC_",         "DISPLAY",     "WAYLAND_DISPLAY",
    "XAUTHORITY", "XDG_",        "COBALTMOTH_", "http_proxy",  "https_proxy", "no_proxy",
    "HTTP_PROXY", "HTTPS_PROXY", "NO_PROXY"};

constexpr std::size_t kEnvironmentRoom = 64 * 1024;  // well below what exec takes
constexpr std::size_t kMostVariables = 256;

char g_room[kEnvironmentRoom];
char* g_environment[kMostVariables + 1];

bool HelperNeeds(std::string_view entry) noexcept {
  const std::string_view name = entry.substr(0, entry.find('='));
  if (name.size() == entry.size()) return false;
  for (const std::string_view needed : kHelperNeeds) {
    if (needed.back() == '_' ? name.substr(0, needed.size()) == needed : name == needed) {
      return true;
    }
  }
  return false;
}

// The helper's environment, made from the process's as it is now.
char* const* HelperEnvironment() noexcept {
  std::size_t used = 0;
  std::size_t count = 0;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    if (count == kMostVariables || !HelperNeeds(text) || text.size() >= kEnvironmentRoom - used) {
      continue;
    }
    std::memcpy(g_room + used, text.data(), text.size());
    g_room[used + text.size()] = '\0';
    g_environment[count++] = g_room + used;
    used += text.size() + 1;
  }
  g_environment[count] = nullptr;
  return g_environment;
}

}  // namespace

int StartHelper(const char* program, const char* argument, int input, int output,
                int* error) noexcept {
  char* const arguments[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  char* const* const environment = HelperEnvironment();
  // The child tells of a failed exec through this pipe; a successful one closes it.
  int exec_status[2];
  if (::pipe2(exec_status, O_CLOEXEC) != 0) {
    *error = errno;
    return -1;
  }
  // A fork without the C library's fork handlers, which take locks a crash may hold.
  const long pid = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
  if (pid == 0) {
    // The child: system calls only, until the program runs.
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(input >= 0 ? input : null, STDIN_FILENO);
    ::dup2(output >= 0 ? output : null, STDOUT_FILENO);
    constexpr int kStatus = 1023;  // the exec's status, above everything else kept
    ::dup3(exec_status[1], kStatus, O_CLOEXEC);
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, kStatus - 1U, 0U) != 0 ||
        ::syscall(SYS_close_range, kStatus + 1U, ~0U, 0U) != 0)
#endif
    {
      for (int fd = 3; fd < kStatus; ++fd) ::close(fd);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program, arguments, environment);
    const int failed = errno;
    [[maybe_unused]] const ssize_t told = ::write(kStatus, &failed, sizeof failed);
    ::_exit(127);
  }
  *error = pid < 0 ? errno : 0;
  ::close(exec_status[1]);
  int failed = 0;
  if (pid > 0 &&
      posix::RetryOnEintr([&] { return ::read(exec_status[0], &failed, sizeof failed); }) ==
          static_cast<ssize_t>(sizeof failed)) {
    *error = failed;
    posix::RetryOnEintr([&] { return ::waitpid(static_cast<pid_t>(pid), nullptr, 0); });
  }
  ::close(exec_status[0]);
  return *error == 0 ? static_cast<int>(pid) : -1;
}

void AwaitHelper(int pid, int limit_ms) noexcept {
  if (limit_ms >= 0) {
    posix::EndChild(pid, limit_ms);
    return;
  }
  posix::RetryOnEintr([&] { return ::waitpid(pid, nullptr, 0); });  // or reaped by the host
}

}  // namespace cobaltmoth::platform::posix::crash
