// Starting programs cleanly from inside a host, as a child or detached.
#include "platform/posix/spawn.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/posix/fd.hpp"

namespace cobaltmoth::platform::posix {
namespace {

// Owns the attributes, file actions and argument vector of one spawn.
class SpawnSetup {
 public:
  explicit SpawnSetup(const std::vector<std::string>& arguments) {
    ::posix_spawnattr_init(&attributes_);
    ::posix_spawn_file_actions_init(&actions_);
    argv_.reserve(arguments.size() + 1);
    for (const std::string& argument : arguments) {
      argv_.push_back(const_cast<char*>(argument.c_str()));
    }
    argv_.push_back(nullptr);
  }
  ~SpawnSetup() {
    ::posix_spawn_file_actions_destroy(&actions_);
    ::posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int Prepare(const SpawnOptions& options) {
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    int error = ::posix_spawnattr_setsigmask(&attributes_, &none);
    if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes_, &all);
    if (error == 0) {
      error = ::posix_spawnattr_setflags(
          &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    }
    // The given descriptors move out of the way of the standard streams first: a host that
    // closed them may well have been given descriptor 0, 1 or 2 for one of them.
    const int given[] = {options.standard_input, options.standard_output, options.channel};
    UniqueFd* copies[] = {&input_copy_, &output_copy_, &channel_copy_};
    for (int i = 0; i < 3 && error == 0; ++i) {
      if (given[i] < 0) continue;
      copies[i]->Reset(::fcntl(given[i], F_DUPFD_CLOEXEC, 10));
      if (!copies[i]->Valid()) error = errno;
    }
    if (error == 0) {
      error = input_copy_.Valid()
                  ? ::posix_spawn_file_actions_adddup2(&actions_, input_copy_.Get(), 0)
                  : ::posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0);
    }
    if (error == 0) {
      error = output_copy_.Valid()
                  ? ::posix_spawn_file_actions_adddup2(&actions_, output_copy_.Get(), 1)
                  : ::posix_spawn_file_actions_addopen(&actions_, 1, "/dev/null", O_WRONLY, 0);
    }
    if (error == 0 && !options.inherit_stderr) {
      error = ::posix_spawn_file_actions_adddup2(&actions_, 1, 2);
    }
    if (error == 0 && channel_copy_.Valid()) {
      error = ::posix_spawn_file_actions_adddup2(&actions_, channel_copy_.Get(), kChannelFd);
    }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    // Whatever the host left open without close-on-exec stays behind.
    if (error == 0) {
      error = ::posix_spawn_file_actions_addclosefrom_np(&actions_,
                                                         channel_copy_.Valid() ? kChannelFd + 1 : 3);
    }
#endif
    return error;
  }

  int Spawn(const std::string& program, pid_t* pid) const {
    if (program.find('/') == std::string::npos) {
      return ::posix_spawnp(pid, program.c_str(), &actions_, &attributes_, argv_.data(),
                            environ);
    }
    return ::posix_spawn(pid, program.c_str(), &actions_, &attributes_, argv_.data(), environ);
  }

 private:
  posix_spawnattr_t attributes_;
  posix_spawn_file_actions_t actions_;
  std::vector<char*> argv_;
  UniqueFd input_copy_;
  UniqueFd output_copy_;
  UniqueFd channel_copy_;
};

void SleepMilliseconds(int ms) noexcept {
  struct timespec pause {0, ms * 1000000L};
  RetryOnEintr([&] { return ::nanosleep(&pause, &pause); });
}

}  // namespace

int SpawnChild(const std::string& program, const std::vector<std::string>& arguments,
               const SpawnOptions& options, pid_t* pid) {
  if (program.empty()) return ENOENT;
  SpawnSetup setup(arguments);
  if (const int error = setup.Prepare(options); error != 0) return error;
  return setup.Spawn(program, pid);
}

int SpawnDetached(const std::string& program, const std::vector<std::string>& arguments,
                  const SpawnOptions& options) {
  if (program.empty()) return ENOENT;
  // Everything the intermediate uses is prepared before it starts; it only calls posix_spawn
  // and ends, passing posix_spawn's error number out as its exit status.
  SpawnSetup setup(arguments);
  if (const int error = setup.Prepare(options); error != 0) return error;

  // The intermediate shares the host's memory and runs on a stack of its own while the
  // calling thread is suspended (as posix_spawn's own child does), so that nothing of the
  // host's is copied: a host's size costs nothing, and its fork handlers do not run. Every
  // signal stays blocked in it.
  struct Middle {
    const SpawnSetup& setup;
    const std::string& program;
  } middle_of{setup, program};
  constexpr std::size_t kMiddleStack = 256 * 1024;
  void* stack = ::mmap(nullptr, kMiddleStack, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (stack == MAP_FAILED) return errno;
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t middle = ::clone(
      [](void* argument) {
        const auto& m = *static_cast<const Middle*>(argument);
        pid_t launched = 0;
        return m.setup.Spawn(m.program, &launched) & 0xFF;
      },
      static_cast<char*>(stack) + kMiddleStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &middle_of);
  const int clone_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  ::munmap(stack, kMiddleStack);
  if (middle < 0) return clone_error;
  int status = 0;
  const pid_t waited = RetryOnEintr([&] { return ::waitpid(middle, &status, 0); });
  // A host that ignores SIGCHLD, or reaps every child itself, leaves nothing to wait for; the
  // launch then counts as done.
  if (waited < 0) return 0;
  if (!WIFEXITED(status)) return ECHILD;
  return WEXITSTATUS(status);
}

ChildEnd EndChild(pid_t pid, int grace_ms, int* status) noexcept {
  if (status != nullptr) *status = -1;
  const std::int64_t deadline = MonotonicMs() + grace_ms;
  for (;;) {
    int ended = 0;
    const pid_t done = RetryOnEintr([&] { return ::waitpid(pid, &ended, WNOHANG); });
    if (done == pid && status != nullptr) *status = ended;
    if (done != 0) return ChildEnd::kExited;  // it ended, or the host reaped it
    if (MonotonicMs() >= deadline) break;
    SleepMilliseconds(5);
  }
  ::kill(pid, SIGKILL);
  RetryOnEintr([&] { return ::waitpid(pid, nullptr, 0); });
  return ChildEnd::kKilled;
}

namespace {

bool Executable(const std::string& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

bool Inside(const std::string& path, std::string_view folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

}  // namespace

std::string FindLibraryProgram(const char* variable, const char* name,
                               const char* built_folder) {
  if (const char* chosen = std::getenv(variable); chosen != nullptr && *chosen) {
    return Executable(chosen) ? std::string(chosen) : std::string();
  }
  std::vector<std::string> candidates;
  Dl_info info{};
  std::string library;
  if (::dladdr(reinterpret_cast<void*>(&FindLibraryProgram), &info) != 0 &&
      info.dli_fname != nullptr && info.dli_fname[0] == '/') {
    library = info.dli_fname;
    candidates.push_back(library.substr(0, library.rfind('/')) + "/" COBALTMOTH_LIBEXEC_FROM_LIBDIR "/" + name);
  }
  candidates.push_back(std::string(COBALTMOTH_LIBEXEC_INSTALLED "/") + name);
  // Only a library (or a program linking it statically) that runs from the build tree may
  // use the programs of the build tree: an installed library never does.
  if (Inside(library, COBALTMOTH_BUILD_TREE)) {
    candidates.push_back(std::string(COBALTMOTH_BUILD_TREE "/") + built_folder + "/" + name);
  }
  for (const std::string& candidate : candidates) {
    if (Executable(candidate)) return candidate;
  }
  return std::string();
}

}  // namespace cobaltmoth::platform::posix
