// The log files of the POSIX backend: single-byte text appended through a descriptor, or
// copied into a ring of mapped pages that a thread writes to the file.
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
//
// A mapped log's lines go through a ring of pages beside it (ring_log.hpp); a ring that a
// killed writer left is emptied into the log by the next open that has the log alone, in
// either mode. Release 1.0 mapped the log's own pages and grew the file ahead of its lines in
// zero bytes: a killed writer of that release left them at the end, and they are cut the same
// way.
//
// Who may write a regular file at once is settled with flock(2), held while the file is open:
// write-through writers share it (a shared lock), a mapped writer has it alone (an exclusive
// lock, asked for without waiting: a file that another writer has open is written through),
// and a file whose exclusive lock another writer holds is refused with 70 "Permission
// denied", since its end is that writer's. Only the holder of the exclusive lock cuts zeros
// at the end or empties a ring; a write-through writer that finds either asks for the
// exclusive lock for as long as that takes. On a file system without locks every log is
// written through, unguarded.
// The lock must not outlive its writer in a child forked without exec (a crashed writer's
// child would keep every later run of the host from the file). A flock lock (and an open file
// description lock alike) belongs to the open file, which a fork shares with the child; a
// classic fcntl record lock is not inherited, but it belongs to the process and falls when the
// process closes any descriptor of the file (another tracer of the host writing the same log
// through would drop it), and it cannot keep out a second writer of the same process. So the
// lock stays flock's, and a fork handler closes the child's copies of the ring writers'
// descriptors at once (ring_log.cpp): the open files, and with them the locks, stay the
// parent's alone.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <span>
#include <string>
#include <utility>

#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/posix/ring_log.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix {
namespace {

using posix::RaisePosixError;
using posix::RetryOnEintr;
using posix::UniqueFd;

constexpr std::string_view kCrLf = "\r\n";

class PosixTextStream final : public TextStream {
 public:
  // `cut`: the file ends inside a line, which must be ended before anything else is written.
  PosixTextStream(UniqueFd fd, bool cut)
      : fd_(std::move(fd)), cut_(cut), size_limited_(posix::FileSizeLimited()) {}

  void Write(std::u16string_view text) override {
    bytes_.clear();
    runtime::AppendWindows1252(text, bytes_);
    WriteBytes();
  }

  void WriteLine(std::u16string_view text) override {
    bytes_.clear();
    runtime::AppendWindows1252(text, bytes_);
    bytes_ += "\r\n";
    WriteBytes();
  }

  void WriteBlankLines(int count) override {
    bytes_.clear();
    for (int i = 0; i < count; ++i) bytes_ += "\r\n";
    WriteBytes();
  }

  void WriteEncodedLine(std::span<const std::string_view> pieces) override {
    bytes_.clear();
    for (const std::string_view piece : pieces) bytes_ += piece;
    WriteBytes();
  }

  const TextEncoder& Encoder() const noexcept override { return Windows1252Encoder(); }

  void Close() override {
    if (fd_.Get() < 0) return;
    if (::close(fd_.Release()) != 0 && errno != EINTR) RaisePosixError(errno);
  }

 private:
  // Hands every byte to the kernel before returning: no buffer of ours can be lost. A short
  // write goes on where it stopped; a failure after part of the text leaves a cut line, which
  // the next write ends first.
  void WriteBytes() {
    if (!fd_.Valid()) runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
    if (bytes_.empty()) return;
    if (cut_) bytes_.insert(0, kCrLf);
    const posix::WriteSignalsHeldOff held_off(/*pipe=*/false, size_limited_);
    std::string_view left = bytes_;
    while (!left.empty()) {
      const ssize_t written =
          RetryOnEintr([&] { return ::write(fd_.Get(), left.data(), left.size()); });
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
  // Whether the process had a file size limit when the log was opened: its writes then hold
  // SIGXFSZ off (61 instead of the end of the host). A limit set later counts from the log's
  // next open, so that a line costs no look at the limit.
  bool size_limited_;
  std::string bytes_;  // reused between lines
};

int Open(const std::string& name, int flags) {
  return RetryOnEintr([&] { return ::open(name.c_str(), flags, 0600); });
}

// Takes or changes the file's lock without waiting: 0, EWOULDBLOCK when another writer's lock
// stands in the way, or another errno value (a file system without locks).
int Flock(int fd, int operation) {
  return RetryOnEintr([&] { return ::flock(fd, operation | LOCK_NB); }) == 0 ? 0 : errno;
}

// Takes or keeps the shared lock of a write-through writer; a file whose exclusive lock
// another writer holds is refused as a file that another program holds. On a file system
// without locks the file is written unguarded, as it always was.
void ShareLog(int fd) {
  if (Flock(fd, LOCK_SH) == EWOULDBLOCK) RaisePosixError(EACCES);
}

int Truncate(int fd, off_t size) {
  return RetryOnEintr([&] { return ::ftruncate(fd, size); }) == 0 ? 0 : errno;
}

// The most a mapped writer of release 1.0 grew its file ahead of its lines, and its first chunk.
constexpr std::size_t kLargestChunk = std::size_t{1} << 20;
constexpr std::size_t kFirstChunk = std::size_t{64} << 10;

// The size of the file once the zero bytes at its end, as many as a mapped writer can have
// grown it by, are cut (the file is cut to it). A file that cannot be read keeps its size.
off_t CutTrailingZeros(int fd, off_t size) {
  std::string block(kFirstChunk, '\0');
  off_t end = size;
  while (end > 0 && size - end < static_cast<off_t>(kLargestChunk)) {
    const off_t from = std::max<off_t>(end - static_cast<off_t>(block.size()), 0);
    const ssize_t got = ::pread(fd, block.data(), static_cast<std::size_t>(end - from), from);
    if (got != end - from) return size;
    const auto last = block.find_last_not_of('\0', static_cast<std::size_t>(got - 1));
    if (last != std::string::npos) {
      end = from + static_cast<off_t>(last) + 1;
      break;
    }
    end = from;
  }
  if (end < size && (size - end > static_cast<off_t>(kLargestChunk) || Truncate(fd, end) != 0)) {
    return size;  // more zeros than a writer leaves: not padding; or it cannot be cut now
  }
  return end;
}

// Whether the last byte of the file is a zero: what a killed mapped writer of 1.0 left.
bool EndsInZero(int fd, off_t size) {
  char last = 1;
  return size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last == '\0';
}

class PosixFileSystem final : public FileSystem {
 public:
  std::unique_ptr<TextStream> OpenTextFileForAppending(std::u16string_view path) override {
    return OpenLog(path, false);
  }
  std::unique_ptr<TextStream> OpenMappedTextFile(std::u16string_view path) override {
    return OpenLog(path, true);
  }

 private:
  static std::unique_ptr<TextStream> OpenLog(std::u16string_view path, bool mapped) {
    const std::string name = runtime::ToUtf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) {
      runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
    }
    // Read and write, so that the end of the file can be looked at; never waiting for a FIFO.
    constexpr int kFlags =
        O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    int fd = Open(name, kFlags);
    // A file that may be written but not read is still a log; its end is then not looked at.
    bool readable = true;
    if (fd < 0 && errno == EACCES) {
      fd = Open(name, (kFlags & ~O_RDWR) | O_WRONLY);
      readable = false;
    }
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
    if (!S_ISREG(info.st_mode)) return std::make_unique<PosixTextStream>(std::move(file), false);
    off_t size = info.st_size;
    const bool alone = mapped && readable && Flock(file.Get(), LOCK_EX) == 0;
    if (!alone) {
      ShareLog(file.Get());
      // Zeros a killed mapped writer left are cut by whoever has the file alone: this writer,
      // when no other has it open now. (A lock that cannot be changed is let go, so the shared
      // one is asked for again either way.)
      if (readable && (EndsInZero(file.Get(), size) || posix::RingLeft(name))) {
        if (Flock(file.Get(), LOCK_EX) == 0) {
          size = posix::DrainLeftRing(file.Get(), name, CutTrailingZeros(file.Get(), size));
        }
        ShareLog(file.Get());
      }
      const bool cut = readable && posix::EndsInsideALine(file.Get(), size);
      return std::make_unique<PosixTextStream>(std::move(file), cut);
    }
    size = posix::DrainLeftRing(file.Get(), name, CutTrailingZeros(file.Get(), size));
    const bool cut = posix::EndsInsideALine(file.Get(), size);
    if (auto stream = posix::OpenRingLog(file, name, size, cut)) return stream;
    ShareLog(file.Get());  // a log that cannot have a ring is written through
    return std::make_unique<PosixTextStream>(std::move(file), cut);
  }
};

}  // namespace

std::shared_ptr<FileSystem> MakePosixFileSystem() { return std::make_shared<PosixFileSystem>(); }

const TextEncoder& Windows1252Encoder() noexcept {
  class Windows1252 final : public TextEncoder {
   public:
    void Append(std::u16string_view text, std::string& out) const override {
      runtime::AppendWindows1252(text, out);
    }
  };
  static const Windows1252 encoder;
  return encoder;
}

}  // namespace cobaltmoth::platform::posix
