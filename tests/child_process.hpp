// tests/child_process.hpp - running a piece of a test in a child process that cannot hang
// the test: every child has an alarm and the parent waits with deadlines.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace cobaltmoth::testing {

inline constexpr int kChildAlarmSeconds = 10;
inline constexpr int kWaitMs = 5000;
// The exit code of a child whose body threw.
inline constexpr int kThrew = 4;

inline int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + status; }

inline void WriteString(int fd, const std::string& text) {
  std::string_view left = text;
  while (!left.empty()) {
    const ssize_t n = ::write(fd, left.data(), left.size());
    if (n <= 0) return;
    left.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Everything readable from `fd` until end of file or the deadline.
inline std::string ReadToEnd(int fd, int milliseconds) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    struct pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

// Waits for the child's end; its wait status, or -1 when it had to be killed.
inline int WaitChild(pid_t pid, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  int status = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    ::usleep(5000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

struct DetachedRun {
  int status = -1;
  std::string errors;  // the child's standard error
  std::string report;
  double seconds = 0;
};

// Runs `body` in a child with no controlling terminal (a new session), standard input from
// /dev/null and standard error into a pipe.
inline DetachedRun RunDetached(const std::function<int(int report)>& body,
                               int alarm_seconds = kChildAlarmSeconds,
                               int wait_ms = kWaitMs) {
  DetachedRun run;
  int errors[2], report[2];
  if (::pipe2(errors, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) return run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(alarm_seconds);
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, STDIN_FILENO);
    ::dup2(null, STDOUT_FILENO);
    ::dup2(errors[1], STDERR_FILENO);
    int code = 0;
    try {
      code = body(report[1]);
    } catch (...) {
      code = kThrew;
    }
    ::_exit(code);
  }
  ::close(errors[1]);
  ::close(report[1]);
  run.errors = ReadToEnd(errors[0], wait_ms);
  run.report = ReadToEnd(report[0], wait_ms);
  run.status = WaitChild(pid, wait_ms);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(errors[0]);
  ::close(report[0]);
  return run;
}

}  // namespace cobaltmoth::testing
