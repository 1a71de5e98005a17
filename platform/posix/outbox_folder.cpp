// The outbox's folder on a POSIX system: $XDG_STATE_HOME/cobaltmoth/outbox, by default
// ~/.local/state/cobaltmoth/outbox; the folders made 0700, every file 0600; locks by flock(2),
// which the kernel lets go when the process ends.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>

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
    SpawnDetached(FindLibraryProgram("COBALTMOTH_SEND_PROGRAM", "cobaltmoth-send", "tools"),
                  {"cobaltmoth-send"});
  }
};

}  // namespace

std::shared_ptr<OutboxFolder> MakePosixOutboxFolder() {
  return std::make_shared<PosixOutboxFolder>();
}

}  // namespace cobaltmoth::platform::posix
