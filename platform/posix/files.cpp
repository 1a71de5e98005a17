// The log files of the POSIX backend: single-byte text appended through a descriptor, or
// copied into the file's pages mapped into memory.
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
// A mapped log grows ahead of its lines: its file is extended in chunks of zero bytes (blocks
// reserved with fallocate where the file system can, so that a full disk is an error at the
// growth and never a SIGBUS at a line), and each chunk is mapped shared and its pages made
// writable at once. A line is copied to the end of what was written; the zeros after it are
// cut when the stream closes, or, after a kill, by the next writer that has the file alone.
//
// Who may write a regular file at once is settled with flock(2), held while the file is open:
// write-through writers share it (a shared lock), a mapped writer has it alone (an exclusive
// lock, asked for without waiting: a file that another writer has open is written through),
// and a file whose exclusive lock another writer holds is refused with 70 "Permission
// denied", since its end is that writer's. Only the holder of the exclusive lock cuts zeros
// at the end; a write-through writer that finds some asks for the exclusive lock for as long
// as that takes. On a file system without locks every log is written through, unguarded.
// A process forked while a mapped stream is open gets 70 from its copy of the stream: the
// chunk is not mapped in the child (MADV_DONTFORK), and the lock and the end stay the parent's.
// The lock must not outlive its writer in a child forked without exec (a crashed writer's
// child would keep every later run of the host from the file). A flock lock (and an open file
// description lock alike) belongs to the open file, which a fork shares with the child; a
// classic fcntl record lock is not inherited, but it belongs to the process and falls when the
// process closes any descriptor of the file (another tracer of the host writing the same log
// through would drop it), and it cannot keep out a second writer of the same process. So the
// lock stays flock's, and a fork handler closes the child's copies of the mapped writers'
// descriptors at once: the open file, and with it the lock, is the parent's alone.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"
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
  PosixTextStream(UniqueFd fd, bool cut) : fd_(std::move(fd)), cut_(cut) {}

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
    const posix::WriteSignalsHeldOff held_off(/*pipe=*/false, /*file_size=*/true);
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

// The most a mapped writer grows its file ahead of its lines, and its first chunk.
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

// Whether the last byte of the file is a zero: what a killed mapped writer leaves.
bool EndsInZero(int fd, off_t size) {
  char last = 1;
  return size > 0 && ::pread(fd, &last, 1, size - 1) == 1 && last == '\0';
}

// Forks counted in each child, so that a mapped stream made before a fork knows in the child
// that the mapping and the lock are its parent's; the descriptors of the mapped streams, whose
// copies a child closes at the fork.
std::atomic<unsigned> fork_count{0};
constexpr int kMostMapped = 64;
std::atomic<int> mapped_fds[kMostMapped];

void CloseMappedCopies() noexcept {
  for (std::atomic<int>& fd : mapped_fds) {
    if (const int copy = fd.exchange(0); copy > 0) ::close(copy);
  }
}

unsigned ForkCount() noexcept {
  static const bool counting = ::pthread_atfork(nullptr, nullptr, [] {
    fork_count.fetch_add(1);
    CloseMappedCopies();
  }) == 0;
  static_cast<void>(counting);
  return fork_count.load(std::memory_order_relaxed);
}

// Keeps `fd` in (or, with `add` false, out of) the mapped streams' descriptors.
void TrackMapped(int fd, bool add) noexcept {
  for (std::atomic<int>& slot : mapped_fds) {
    int expected = add ? 0 : fd;
    if (slot.compare_exchange_strong(expected, add ? fd : 0)) return;
  }
}

// A log copied into its file's pages, mapped in chunks; the file's exclusive lock is held
// from the open to Close.
class MappedTextStream final : public TextStream {
 public:
  // A stream that writes after the first `end` bytes of the file behind `fd` (whose exclusive
  // lock is held); `cut` as for PosixTextStream. None when the file cannot be grown or mapped
  // (a full disk, a file system without shared mappings): `fd` then stays the caller's, with
  // the file as it was.
  static std::unique_ptr<MappedTextStream> Map(UniqueFd& fd, off_t end, bool cut) {
    std::unique_ptr<MappedTextStream> stream(new MappedTextStream(std::move(fd), end, cut));
    const auto page = static_cast<off_t>(::sysconf(_SC_PAGESIZE));
    stream->chunk_start_ = end - end % page;
    if (stream->NextChunk() == 0) return stream;
    TrackMapped(stream->fd_.Get(), false);
    fd = std::move(stream->fd_);
    Truncate(fd.Get(), end);
    return nullptr;
  }
  ~MappedTextStream() override {
    if (fd_.Valid()) Finish();
  }

  void Write(std::u16string_view text) override { Put(text, 0); }
  void WriteLine(std::u16string_view text) override { Put(text, 1); }
  void WriteBlankLines(int count) override { Put({}, count); }

  void Close() override {
    if (!fd_.Valid()) return;
    const int error = Finish();
    if (error != 0) RaisePosixError(error);
  }

 private:
  // Copies the text and `line_ends` CR LF pairs after the last line. The common case encodes
  // straight into the chunk; a text that may not fit goes through a buffer and into the next
  // chunk too.
  void Put(std::u16string_view text, int line_ends) {
    if (forks_ != fork_count.load(std::memory_order_relaxed)) [[unlikely]] {
      RaisePosixError(EACCES);  // a forked child's copy: the log is its parent's
    }
    if (!fd_.Valid()) runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
    const std::size_t room = chunk_size_ - static_cast<std::size_t>(end_ - chunk_start_);
    if (text.size() + 2 * static_cast<std::size_t>(line_ends) + 2 <= room) [[likely]] {
      char* const start = chunk_ + (end_ - chunk_start_);
      char* next = start;
      if (cut_) next = CrLf(next);
      next += runtime::ToWindows1252(text, next);
      for (int i = 0; i < line_ends; ++i) next = CrLf(next);
      end_ += next - start;
      cut_ = false;
      return;
    }
    PutAcrossChunks(text, line_ends);
  }

  static char* CrLf(char* at) noexcept {
    at[0] = '\r';
    at[1] = '\n';
    return at + 2;
  }

  [[gnu::noinline]] void PutAcrossChunks(std::u16string_view text, int line_ends) {
    bytes_.clear();
    if (cut_) bytes_ += kCrLf;
    runtime::AppendWindows1252(text, bytes_);
    for (int i = 0; i < line_ends; ++i) bytes_ += kCrLf;
    std::string_view left = bytes_;
    while (!left.empty()) {
      const auto at = static_cast<std::size_t>(end_ - chunk_start_);
      if (at == chunk_size_) {
        if (const int error = NextChunk()) {
          cut_ = cut_ || left.size() < bytes_.size();
          RaisePosixError(error);
        }
        continue;
      }
      const std::size_t part = std::min(left.size(), chunk_size_ - at);
      std::memcpy(chunk_ + at, left.data(), part);
      end_ += static_cast<off_t>(part);
      left.remove_prefix(part);
    }
    cut_ = false;
  }

  MappedTextStream(UniqueFd fd, off_t end, bool cut)
      : fd_(std::move(fd)), cut_(cut), end_(end), forks_(ForkCount()) {
    TrackMapped(fd_.Get(), true);
  }

  // Grows the file by the next chunk (the first, or twice the last up to kLargestChunk), maps
  // it, makes its pages writable, then lets the last chunk go; 0, or the errno value of the
  // failure, the stream as it was.
  int NextChunk() noexcept {
    const off_t start = chunk_ != nullptr ? chunk_start_ + static_cast<off_t>(chunk_size_)
                                          : chunk_start_;
    const std::size_t size = chunk_ != nullptr ? std::min(chunk_size_ * 2, kLargestChunk)
                                               : kFirstChunk;
    const off_t length = static_cast<off_t>(size);
    const posix::WriteSignalsHeldOff held_off(/*pipe=*/false, /*file_size=*/true);
    const int grown = RetryOnEintr([&] { return ::fallocate(fd_.Get(), 0, start, length); });
    // Without fallocate the chunk is a hole, whose blocks are asked for as its pages are made
    // writable below: a file system that has none left fails that, never a later line.
    const bool reserved = grown == 0;
    if (!reserved && errno != EOPNOTSUPP && errno != ENOSYS) return errno;
    if (!reserved) {
      if (const int error = Truncate(fd_.Get(), start + length)) return error;
    }
    void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.Get(), start);
    if (mapped == MAP_FAILED) return errno;
    ::madvise(mapped, size, MADV_DONTFORK);  // a child must never write its parent's log
    // Every page now, not one fault a page; a page that cannot be had (EFAULT: no block for
    // it) would be a SIGBUS at the line that touched it.
    if (::madvise(mapped, size, MADV_POPULATE_WRITE) != 0 && !reserved && errno == EFAULT) {
      ::munmap(mapped, size);
      return ENOSPC;
    }
    Unmap();
    chunk_ = static_cast<char*>(mapped);
    chunk_start_ = start;
    chunk_size_ = size;
    return 0;
  }

  void Unmap() noexcept {
    if (chunk_ != nullptr) ::munmap(chunk_, chunk_size_);
    chunk_ = nullptr;
  }

  // Cuts the zeros after the last line and lets the file go (in a forked child, leaves both to
  // the parent); 0 or the errno value of a failed cut, which the next open makes good.
  int Finish() noexcept {
    if (forks_ != fork_count.load(std::memory_order_relaxed)) {
      chunk_ = nullptr;  // not mapped in this process
      fd_.Release();     // closed at the fork
      return 0;
    }
    TrackMapped(fd_.Get(), false);
    Unmap();
    const int error = Truncate(fd_.Get(), end_);
    ::flock(fd_.Get(), LOCK_UN);  // also for a child that still holds the descriptor
    fd_.Reset();
    return error;
  }

  UniqueFd fd_;
  bool cut_;
  off_t end_;           // the end of the last line: the file's size once the stream closes
  unsigned forks_;      // ForkCount() when the stream was made
  char* chunk_ = nullptr;  // the mapped chunk: the file's bytes [chunk_start_, + chunk_size_)
  off_t chunk_start_ = 0;
  std::size_t chunk_size_ = 0;
  std::string bytes_;  // a text that may not fit the chunk
};

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
      if (readable && EndsInZero(file.Get(), size)) {
        if (Flock(file.Get(), LOCK_EX) == 0) size = CutTrailingZeros(file.Get(), size);
        ShareLog(file.Get());
      }
      const bool cut = readable && posix::EndsInsideALine(file.Get(), size);
      return std::make_unique<PosixTextStream>(std::move(file), cut);
    }
    size = CutTrailingZeros(file.Get(), size);
    const bool cut = posix::EndsInsideALine(file.Get(), size);
    if (auto stream = MappedTextStream::Map(file, size, cut)) return stream;
    ShareLog(file.Get());  // a file that cannot be mapped is written through
    return std::make_unique<PosixTextStream>(std::move(file), cut);
  }
};

}  // namespace

std::shared_ptr<FileSystem> MakePosixFileSystem() { return std::make_shared<PosixFileSystem>(); }

}  // namespace cobaltmoth::platform::posix
