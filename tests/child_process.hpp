// tests/child_process.hpp - running a piece of a test in a child process that cannot hang
// the test (every child has an alarm and the parent waits with deadlines), and the process's
// environment and files as tests set them up.
#pragma once

#include <fcntl.h>
#include <locale.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

namespace cobaltmoth::testing {

inline constexpr int kChildAlarmSeconds = 10;
inline constexpr int kWaitMs = 5000;
// The exit code of a child whose body threw.
inline constexpr int kThrew = 4;

// A private folder, removed with everything in it (write-protected folders too) at the end.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "cobaltmoth-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    namespace fs = std::filesystem;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Sets environment variables for one test and gives each its earlier value back.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  void Set(const std::string& name, const std::string& value) {
    Save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string& name) {
    Save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void Save(const std::string& name) {
    if (saved_.count(name) != 0) return;
    const char* value = std::getenv(name.c_str());
    saved_[name] = value == nullptr ? std::nullopt : std::optional<std::string>(value);
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// Makes the locale `name` (from the source `source` in the character set `charmap`) one that
// newlocale finds: "" when the machine has it, else the folder in `dir` where localedef has
// compiled it, which LOCPATH must name while it is loaded (LOCPATH hides the machine's own).
inline std::string LocaleFolder(const TempDir& dir, const std::string& name,
                                const std::string& source, const std::string& charmap) {
  if (const locale_t have = ::newlocale(LC_ALL_MASK, name.c_str(), nullptr); have != nullptr) {
    ::freelocale(have);
    return "";
  }
  const std::string path = dir / name;
  if (!std::filesystem::exists(path)) {
    const std::string command =
        "localedef -i " + source + " -f " + charmap + " '" + path + "' 2>/dev/null";
    (void)std::system(command.c_str());  // warnings end it with 1, the locale made all the same
  }
  return dir.path().string();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

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
};

// Runs `body` in a child with no controlling terminal (a new session), standard input from
// /dev/null and standard error into a pipe.
inline DetachedRun RunDetached(const std::function<int(int report)>& body,
                               int alarm_seconds = kChildAlarmSeconds,
                               int wait_ms = kWaitMs) {
  DetachedRun run;
  int errors[2], report[2];
  if (::pipe2(errors, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0) return run;
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
  ::close(errors[0]);
  ::close(report[0]);
  return run;
}

}  // namespace cobaltmoth::testing
