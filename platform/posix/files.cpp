// The log files of the POSIX backend: single-byte text appended through a descriptor.
//
// A log is what is left to read when everything else failed, so the file layer guards it:
//   - only a regular file or a character device (such as /dev/null) can be a log: a FIFO, a
//     socket or a folder at the path is refused with 75 "Path/File access error", and the
//     open never waits for a FIFO's reader; a symbolic link as the file itself is refused the
//     same way (a link to a folder on the way stays allowed), so that a link planted in a
//     shared folder cannot send the log elsewhere;
//   - a new log is created readable by its owner only (mode 0600: the bug log holds every
//     environment variable); an existing file keeps its mode;
//   - the descriptor never takes the number of a standard stream, even in a host that closed
//     them;
//   - every line is whole or visibly cut, never glued to the next: a log that does not end in
//     CR LF when it is opened (a line cut by a full disk or a killed process) gets one before
//     anything else, and a line that a write error cut short is ended the same way before the
//     next one.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth::platform {
namespace {

using posix::RaisePosixError;
using posix::UniqueFd;

constexpr std::string_view kCrLf = "\r\n";

class PosixTextStream final : public TextStream {
 public:
  // `cut`: the file ends inside a line, which must be ended before anything else is written.
  PosixTextStream(UniqueFd fd, bool cut) : fd_(std::move(fd)), cut_(cut) {}

  void Write(std::u16string_view text) override {
    bytes_.clear();
    text::AppendWindows1252(text, bytes_);
    WriteBytes();
  }

  void WriteLine(std::u16string_view text) override {
    bytes_.clear();
    text::AppendWindows1252(text, bytes_);
    bytes_ += "\r\n";
    WriteBytes();
  }

  void WriteBlankLines(int count) override {
    bytes_.clear();
    for (int i = 0; i < count; ++i) bytes_ += "\r\n";
    WriteBytes();
  }

  void Close() override {
    if (fd_.Get() < 0) return;
    if (::close(fd_.Release()) != 0 && errno != EINTR) RaisePosixError(errno);
  }

 private:
  // Hands every byte to the kernel before returning: no buffer of ours can be lost. A short
  // write goes on where it stopped; a failure after part of the text leaves a cut line, which
  // the next write ends first.
  void WriteBytes() {
    if (!fd_.Valid()) host::RaiseRuntime(host::kBadFileNameOrNumber);
    if (bytes_.empty()) return;
    if (cut_) bytes_.insert(0, kCrLf);
    std::string_view left = bytes_;
    while (!left.empty()) {
      const ssize_t written = ::write(fd_.Get(), left.data(), left.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        const int error = written < 0 ? errno : EIO;
        cut_ = cut_ || left.size() < bytes_.size();
        RaisePosixError(error);
      }
      left.remove_prefix(static_cast<std::size_t>(written));
    }
    cut_ = false;
  }

  UniqueFd fd_;
  bool cut_;
  std::string bytes_;  // reused between lines
};

int Open(const std::string& name, int flags) {
  int fd;
  do {
    fd = ::open(name.c_str(), flags, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextStream> OpenTextFileForAppending(std::u16string_view path) override {
    const std::string name = text::ToUtf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) {
      host::RaiseRuntime(host::kBadFileNameOrNumber);
    }
    // Read and write, so that the end of the file can be looked at; never waiting for a FIFO.
    constexpr int kFlags =
        O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    int fd = Open(name, kFlags);
    // A file that may be written but not read is still a log; its end is then not looked at.
    if (fd < 0 && errno == EACCES) fd = Open(name, (kFlags & ~O_RDWR) | O_WRONLY);
    if (fd < 0) RaisePosixError(errno);
    UniqueFd file(posix::AboveStandardStreams(fd));
    if (!file.Valid()) RaisePosixError(errno);
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) RaisePosixError(errno);
    if (!S_ISREG(info.st_mode) && !S_ISCHR(info.st_mode)) RaisePosixError(ENXIO);
    const int flags = ::fcntl(file.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      RaisePosixError(errno);
    }
    const bool cut = S_ISREG(info.st_mode) && posix::EndsInsideALine(file.Get(), info.st_size);
    return std::make_unique<PosixTextStream>(std::move(file), cut);
  }
};

}  // namespace

std::shared_ptr<FileSystem> MakePosixFileSystem() { return std::make_shared<PosixFileSystem>(); }

}  // namespace cobaltmoth::platform
