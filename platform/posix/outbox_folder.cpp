// The outbox's folder on a POSIX system: $XDG_STATE_HOME/cobaltmoth/outbox, by default
// ~/.local/state/cobaltmoth/outbox; the folders made 0700, every file 0600; locks by flock(2),
// which the kernel lets go when the process ends.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/spawn.hpp"
#include "platform/posix/user_folders.hpp"

namespace cobaltmoth::platform::posix {
namespace {

constexpr int kPrivateFile = 0600;
constexpr int kPrivateFolder = 0700;

class FlockLock final : public OutboxFolder::Lock {
 public:
  explicit FlockLock(UniqueFd fd) : fd_(std::move(fd)) {}

 private:
  UniqueFd fd_;  // closing it lets the lock go
};

// Starts the sender on a thread of its own, so that a Raise does not wait for the program to
// be loaded (a few milliseconds). The thread lets a short while pass first, and the starts
// asked for meanwhile are the same start: that sender lists the outbox after all of their
// envelopes were put, and a host that raises in a loop while its tracker is out of reach does
// not start a program a Raise. When the process ends normally the starts under way are waited
// for (without that while, up to a second), so that a host that ends right after its Raise
// still has its report sent; one killed before leaves the envelope for the next run. Where no
// thread can be made, the sender is started on the caller's.
class SenderStarts {
 public:
  static SenderStarts& Get() {
    static SenderStarts starts;
    return starts;
  }

  void Start(std::string program) {
    // A forked child has none of its parent's threads: what they were doing is not under way.
    if (const pid_t me = ::getpid(); owner_.exchange(me) != me) {
      waiting_.store(false);
      under_way_.store(0);
    }
    if (waiting_.exchange(true)) return;
    under_way_.fetch_add(1);
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);  // no host's handler runs on the thread
    try {
      std::thread([this, program = std::move(program)] { Run(program, kGatherMs); }).detach();
    } catch (const std::system_error&) {
      Run(program, 0);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }

  ~SenderStarts() {
    if (owner_.load() != ::getpid()) return;
    ending_.store(true);
    const std::int64_t deadline = MonotonicMs() + 1000;
    while (under_way_.load() > 0 && MonotonicMs() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

 private:
  static constexpr int kGatherMs = 20;

  void Run(const std::string& program, int gather_ms) {
    for (int waited = 0; waited < gather_ms && !ending_.load(); ++waited) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiting_.store(false);  // a start asked for from here on is one of its own
    SpawnDetached(program, {"cobaltmoth-send"});
    under_way_.fetch_sub(1);
  }

  std::atomic<bool> waiting_{false};
  std::atomic<bool> ending_{false};
  std::atomic<int> under_way_{0};
  std::atomic<pid_t> owner_{0};
};

int OpenPrivate(const std::string& path, int flags) {
  return AboveStandardStreams(RetryOnEintr(
      [&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, kPrivateFile); }));
}

// Writes a new file whole; 0 or the errno value of the failure.
int WriteNewFile(const std::string& path, std::string_view bytes) {
  UniqueFd fd(OpenPrivate(path, O_WRONLY | O_CREAT | O_TRUNC));
  if (!fd.Valid()) return errno;
  // The mode is exact whatever the process's umask.
  if (::fchmod(fd.Get(), kPrivateFile) != 0) return errno;
  return WriteAll(fd.Get(), bytes);
}

// Makes the folder and each missing one above it; 0 or the errno value of the failure.
int MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), kPrivateFolder) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  return ::chmod(path.c_str(), kPrivateFolder) == 0 ? 0 : errno;
}

class PosixOutboxFolder final : public OutboxFolder {
 public:
  std::string Path() override {
    const std::string state = XdgBaseFolder("XDG_STATE_HOME", "/.local/state");
    return state.empty() ? state : state + "/cobaltmoth/outbox";
  }

  std::string Write(std::string_view name, std::string_view bytes) override {
    const std::string folder = Path();
    if (folder.empty()) return "the user has no home folder";
    const std::string path = folder + "/" + std::string(name);
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    int error = WriteNewFile(temporary, bytes);
    if (error == ENOENT) {
      error = MakeFolders(folder);
      if (error == 0) error = WriteNewFile(temporary, bytes);
    }
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
    if (error == 0) return {};
    ::unlink(temporary.c_str());
    return std::generic_category().message(error);
  }

  std::vector<File> List() override {
    std::vector<File> files;
    const std::string folder = Path();
    DIR* listing = folder.empty() ? nullptr : ::opendir(folder.c_str());
    if (listing == nullptr) return files;
    while (const dirent* entry = ::readdir(listing)) {
      struct stat status {};
      if (::fstatat(::dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISREG(status.st_mode)) {
        continue;
      }
      files.push_back({entry->d_name, static_cast<std::uint64_t>(status.st_size),
                       static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000 +
                           status.st_mtim.tv_nsec / 1000000});
    }
    ::closedir(listing);
    return files;
  }

  bool Read(std::string_view name, std::string* bytes) override {
    const std::string folder = Path();
    if (folder.empty()) return false;
    UniqueFd fd(OpenPrivate(folder + "/" + std::string(name), O_RDONLY));
    struct stat status {};
    if (!fd.Valid() || ::fstat(fd.Get(), &status) != 0) return false;
    bytes->resize(static_cast<std::size_t>(status.st_size));
    std::size_t got = 0;
    while (got < bytes->size()) {
      const ssize_t n =
          RetryOnEintr([&] { return ::read(fd.Get(), bytes->data() + got, bytes->size() - got); });
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes->resize(got);
    return true;
  }

  bool Remove(std::string_view name) override {
    const std::string folder = Path();
    return !folder.empty() && ::unlink((folder + "/" + std::string(name)).c_str()) == 0;
  }

  std::unique_ptr<Lock> TakeLock(std::string_view name, bool wait) override {
    const std::string folder = Path();
    if (folder.empty()) return nullptr;
    UniqueFd fd(OpenPrivate(folder + "/" + std::string(name), O_RDWR | O_CREAT));
    if (!fd.Valid() || ::fchmod(fd.Get(), kPrivateFile) != 0 ||
        RetryOnEintr([&] { return ::flock(fd.Get(), LOCK_EX | (wait ? 0 : LOCK_NB)); }) != 0) {
      return nullptr;
    }
    return std::make_unique<FlockLock>(std::move(fd));
  }

  void Tell(std::string_view line) override {
    if (::isatty(STDERR_FILENO) == 1) {
      WriteToForeign(STDERR_FILENO, std::string(line) + "\n", 100);
    }
  }

  void StartSender() override {
    SenderStarts::Get().Start(
        FindLibraryProgram("COBALTMOTH_SEND_PROGRAM", "cobaltmoth-send", "tools"));
  }
};

}  // namespace

std::shared_ptr<OutboxFolder> MakePosixOutboxFolder() {
  return std::make_shared<PosixOutboxFolder>();
}

}  // namespace cobaltmoth::platform::posix
