// The mapped stack log's ring (platform/posix/ring_log.hpp).
#include "platform/posix/ring_log.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "platform/posix/crash/thread_stop.hpp"
#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"
#include "runtime/host_error.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix {
namespace {

constexpr char kMagic[8] = {'C', 'M', 'R', 'I', 'N', 'G', '1', '\n'};
constexpr std::uint64_t kNever = UINT64_MAX;
constexpr std::size_t kWakeBytes = kRingBytes / 4;  // what makes the writer wake the drain
constexpr std::size_t kPartBytes = kRingBytes / 2;  // the most the drain writes at once
constexpr int kActiveMs = 100;  // the drain's period while lines come
constexpr int kIdleMs = 1000;   // its longest, once they have stopped

// The first page of a ring's file. The positions count bytes since the ring was made; byte p
// of the ring is at data_offset + p % size in the file and goes to byte base + p of the log.
struct RingHeader {
  char magic[8];
  std::uint64_t data_offset;  // a page
  std::uint64_t size;         // a power of two
  std::uint64_t log_device;   // the log the lines go to
  std::uint64_t log_inode;
  alignas(64) std::int64_t base;  // written by the drains
  std::uint64_t tail;             // what is in the log
  alignas(64) std::uint64_t head;  // what the writer has published
};
static_assert(std::is_trivially_copyable_v<RingHeader>);

template <typename T>
std::atomic_ref<T> Atomic(T& field) noexcept {
  return std::atomic_ref<T>(field);
}

// A ring's file mapped: its header, and its lines twice in a row, so that `size` bytes from
// any position are one run of memory. Neither is mapped in a forked child.
struct RingMap {
  int Map(int fd, std::size_t data_offset, std::size_t bytes) noexcept {
    void* area = ::mmap(nullptr, 2 * bytes, PROT_NONE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) return errno;
    auto* const lines = static_cast<char*>(area);
    void* first = ::mmap(lines, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                         static_cast<off_t>(data_offset));
    void* second = first == MAP_FAILED
                       ? MAP_FAILED
                       : ::mmap(lines + bytes, bytes, PROT_READ | PROT_WRITE,
                                MAP_SHARED | MAP_FIXED, fd, static_cast<off_t>(data_offset));
    void* top = second == MAP_FAILED
                    ? MAP_FAILED
                    : ::mmap(nullptr, data_offset, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (top == MAP_FAILED) {
      const int error = errno;
      ::munmap(area, 2 * bytes);
      return error;
    }
    ::madvise(area, 2 * bytes, MADV_DONTFORK);
    ::madvise(top, data_offset, MADV_DONTFORK);
    header = static_cast<RingHeader*>(top);
    data = lines;
    size = bytes;
    return 0;
  }
  void Unmap() noexcept {
    if (header == nullptr) return;
    ::munmap(data, 2 * size);
    ::munmap(header, header->data_offset);
    header = nullptr;
  }

  RingHeader* header = nullptr;
  char* data = nullptr;
  std::size_t size = 0;
};

// Moves what the ring holds past its drained position (`most` bytes of it at the most) into
// the log behind `log` (opened without O_APPEND), at the places the ring gives its bytes; 0,
// or the errno value of a write that failed, the drained position after what was written.
// Several drains may run at once (the drain thread and a crash's handler): they write the same
// bytes at the same places, and the drained position only grows. System calls only.
int DrainRing(const RingMap& ring, int log, std::uint64_t most = kNever) noexcept {
  RingHeader& header = *ring.header;
  const std::atomic_ref<std::uint64_t> tail = Atomic(header.tail);
  const std::uint64_t from = tail.load(std::memory_order_acquire);
  struct stat info {};
  if (::fstat(log, &info) != 0) return errno;
  // Read after the log's size: whatever another drain wrote lies before it.
  const std::uint64_t head = Atomic(header.head).load(std::memory_order_acquire);
  const std::uint64_t to = head - from > most ? from + most : head;
  if (to == from) return 0;
  std::int64_t base = Atomic(header.base).load();
  const bool same_file = Atomic(header.log_device).load() == info.st_dev &&
                         Atomic(header.log_inode).load() == info.st_ino;
  const auto drained = base + static_cast<std::int64_t>(from);
  // Another drain may have written past `to`, never past the head.
  const auto published = base + static_cast<std::int64_t>(head);
  if (!same_file || info.st_size < drained || info.st_size > published) {
    // Not the log the ring left: its lines go after what it holds now.
    std::int64_t end = info.st_size;
    if (EndsInsideALine(log, end)) {
      if (RetryOnEintr([&] { return ::pwrite(log, "\r\n", 2, end); }) != 2) return errno;
      end += 2;
    }
    base = end - static_cast<std::int64_t>(from);
    Atomic(header.base).store(base);
    Atomic(header.log_device).store(info.st_dev);
    Atomic(header.log_inode).store(info.st_ino);
  }
  for (std::uint64_t at = from; at < to;) {
    const ssize_t written = RetryOnEintr([&] {
      return ::pwrite(log, ring.data + (at & (ring.size - 1)), to - at,
                      base + static_cast<std::int64_t>(at));
    });
    if (written <= 0) return written < 0 ? errno : EIO;
    at += static_cast<std::uint64_t>(written);
    for (std::uint64_t now = tail.load(); now < at && !tail.compare_exchange_weak(now, at);) {
    }
  }
  return 0;
}

// Whether the file `fd` of `file_size` bytes holds a ring, whose header is read into `header`.
bool ReadHeader(int fd, std::int64_t file_size, RingHeader* header) noexcept {
  if (::pread(fd, header, sizeof *header, 0) != static_cast<ssize_t>(sizeof *header)) {
    return false;
  }
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t size = header->size;
  return std::memcmp(header->magic, kMagic, sizeof kMagic) == 0 && size >= page &&
         size <= (std::uint64_t{1} << 30) && (size & (size - 1)) == 0 &&
         header->data_offset >= sizeof *header && header->data_offset % page == 0 &&
         static_cast<std::uint64_t>(file_size) == header->data_offset + size &&
         header->tail <= header->head && header->head - header->tail <= size;
}

// Takes or drops O_APPEND, which would make pwrite append wherever it was told to write.
void Appending(int fd, bool on) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, on ? flags | O_APPEND : flags & ~O_APPEND);
}

// Reserves the file's first `bytes` on the disk: 0, or the errno value (ENOSPC).
int Reserve(int fd, std::size_t bytes) noexcept {
  if (RetryOnEintr([&] { return ::fallocate(fd, 0, 0, static_cast<off_t>(bytes)); }) == 0) {
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  static constexpr char kZeros[4096] = {};  // a file system without fallocate: written out
  for (std::size_t at = 0; at < bytes; at += sizeof kZeros) {
    if (RetryOnEintr([&] { return ::pwrite(fd, kZeros, sizeof kZeros, static_cast<off_t>(at)); }) !=
        static_cast<ssize_t>(sizeof kZeros)) {
      return errno != 0 ? errno : EIO;
    }
  }
  return 0;
}

long Futex(std::atomic<std::uint32_t>& word, int operation, std::uint32_t value,
           int timeout_ms = -1) noexcept {
  struct timespec timeout {timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
  return ::syscall(SYS_futex, &word, operation | FUTEX_PRIVATE_FLAG, value,
                   timeout_ms < 0 ? nullptr : &timeout, nullptr, 0);
}

// Forks counted in each child, so that a stream made before a fork knows in the child that
// the ring, the thread and the locks are its parent's.
std::atomic<unsigned> fork_count{0};

// The descriptors of the rings and their logs, each file under the writer's exclusive lock,
// plus one (0: a free slot). A flock lock belongs to the open file, which a fork shares with
// the child: a child forked without exec that outlived a crashed writer would keep every later
// run of the host from the log. So a child closes its copies at once.
constexpr int kMostLocked = 64;
std::atomic<int> g_locked[kMostLocked];

// Keeps `fd` among the locked descriptors; false when they are full.
bool TrackLocked(int fd) noexcept {
  for (std::atomic<int>& slot : g_locked) {
    int none = 0;
    if (slot.compare_exchange_strong(none, fd + 1)) return true;
  }
  return false;
}

void UntrackLocked(int fd) noexcept {
  for (std::atomic<int>& slot : g_locked) {
    int mine = fd + 1;
    if (slot.compare_exchange_strong(mine, 0)) return;
  }
}

unsigned ForkCount() noexcept {
  static const bool counting = ::pthread_atfork(nullptr, nullptr, [] {
    fork_count.fetch_add(1);
    for (std::atomic<int>& slot : g_locked) {
      if (const int copy = slot.exchange(0); copy > 0) ::close(copy - 1);
    }
  }) == 0;
  static_cast<void>(counting);
  return fork_count.load(std::memory_order_relaxed);
}

class RingLog;

// The open rings, for a crash's handler: the first 32 (a ring past them is emptied by the next
// open of its log instead).
std::atomic<RingLog*> g_rings[32];

class RingLog final : public TextStream {
 public:
  // A ring in `ring` (a new file, created empty), for the lines after the first `end` bytes of
  // the log behind `log`; 0, or the errno value of what failed.
  int Make(int ring, int log, std::int64_t end, bool cut) noexcept {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    struct stat info {};
    if (::flock(ring, LOCK_EX | LOCK_NB) != 0 || ::fstat(log, &info) != 0) return errno;
    if (const int error = Reserve(ring, page + kRingBytes)) return error;
    RingHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.data_offset = page;
    header.size = kRingBytes;
    header.log_device = info.st_dev;
    header.log_inode = info.st_ino;
    header.base = end;
    if (::pwrite(ring, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
      return errno;
    }
    if (const int error = map_.Map(ring, page, kRingBytes)) return error;
    // Every page now, both views: no line ever waits for one.
    ::madvise(map_.data, 2 * kRingBytes, MADV_POPULATE_WRITE);
    room_.lines = map_.data;
    room_.mask = kRingBytes - 1;
    room_.end = cut ? 0 : kRingBytes;  // a cut line is ended by Put first
    room_.limit = &wake_at_;
    room_.gate = &fork_count;
    room_.gate_value = ForkCount();
    room_.published = &map_.header->head;
    wake_at_ = kWakeBytes;
    cut_ = cut;
    log_fd_ = log;
    Appending(log, false);
    sigset_t all, previous;
    ::sigfillset(&all);
    ::sigdelset(&all, crash::StopSignal());  // a crash stops the drain as it stops the others
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);  // the host's signals are not the drain's
    const int error = ::pthread_create(&drain_, nullptr, &RingLog::DrainThread, this);
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
      Appending(log, true);
      map_.Unmap();
      return error;
    }
    ::pthread_setname_np(drain_, "cobaltmoth-ring");
    for (std::atomic<RingLog*>& slot : g_rings) {
      RingLog* none = nullptr;
      if (slot.compare_exchange_strong(none, this)) break;
    }
    return 0;
  }

  // Takes the descriptors once the ring is made.
  void Own(UniqueFd ring, UniqueFd log, std::string ring_name) {
    ring_ = std::move(ring);
    log_ = std::move(log);
    ring_name_ = std::move(ring_name);
    tracked_ = TrackLocked(ring_.Get());
    if (tracked_ && !TrackLocked(log_.Get())) {
      UntrackLocked(ring_.Get());
      tracked_ = false;
    }
  }

  ~RingLog() override {
    if (log_.Valid()) Finish();
  }

  void Write(std::u16string_view text) override { PutText(text, 0); }
  void WriteLine(std::u16string_view text) override { PutText(text, 1); }
  void WriteBlankLines(int count) override { PutText({}, count); }
  void WriteEncodedLine(std::span<const std::string_view> pieces) override { Put(pieces); }
  const TextEncoder& Encoder() const noexcept override { return Windows1252Encoder(); }
  LineRoom* Room() noexcept override { return &room_; }

  void Close() override {
    if (!log_.Valid()) return;
    if (const int error = Finish()) RaisePosixError(error);
  }

  // What a crash's handler does with each ring of the process.
  void DrainForCrash() noexcept {
    if (room_.gate_value == fork_count.load(std::memory_order_relaxed)) DrainRing(map_, log_fd_);
  }

 private:
  // The text in the log's code page and `line_ends` CR LF pairs, as one piece.
  void PutText(std::u16string_view text, int line_ends) {
    text_.clear();
    runtime::AppendWindows1252(text, text_);
    for (int i = 0; i < line_ends; ++i) text_ += "\r\n";
    const std::string_view piece = text_;
    Put({&piece, 1});
  }

  // Copies the pieces after the last line and publishes them, the line that the log or a
  // failed write cut ended first. What is longer than half the ring goes in parts.
  void Put(std::span<const std::string_view> pieces) {
    if (room_.gate_value != fork_count.load(std::memory_order_relaxed)) [[unlikely]] {
      RaisePosixError(EACCES);  // a forked child's copy: the log is its parent's
    }
    if (!log_.Valid()) runtime::RaiseRuntime(runtime::kBadFileNameOrNumber);
    std::size_t bytes = cut_ ? 2 : 0;
    for (const std::string_view piece : pieces) bytes += piece.size();
    if (bytes > kRingBytes / 2) return PutInParts(pieces);
    if (room_.position + bytes > room_.end ||
        room_.position >= wake_at_.load(std::memory_order_relaxed)) {
      if (const int error = MakeRoom(bytes)) RaisePosixError(error);
    }
    char* next = room_.lines + (room_.position & room_.mask);
    if (cut_) next = CrLf(next);
    for (const std::string_view piece : pieces) next += piece.copy(next, piece.size());
    room_.Publish(bytes);
    cut_ = false;
  }

  static char* CrLf(char* at) noexcept {
    at[0] = '\r';
    at[1] = '\n';
    return at + 2;
  }

  [[gnu::noinline]] void PutInParts(std::span<const std::string_view> pieces) {
    std::string line = cut_ ? "\r\n" : "";
    for (const std::string_view piece : pieces) line += piece;
    for (std::string_view left = line; !left.empty();) {
      const std::size_t part = std::min(left.size(), kRingBytes / 2);
      if (const int error = MakeRoom(part)) {
        cut_ = cut_ || left.size() < line.size();
        if (cut_) room_.end = 0;  // the next line goes through Put, which ends this one
        RaisePosixError(error);
      }
      std::memcpy(room_.lines + (room_.position & room_.mask), left.data(), part);
      room_.Publish(part);
      left.remove_prefix(part);
    }
    cut_ = false;
  }

  // Tells a drain that has begun to fail (once), wakes the drain when it asked for it, and
  // waits until `bytes` more fit: 0, or the errno value for the line, which is not taken.
  [[gnu::noinline]] int MakeRoom(std::size_t bytes) noexcept {
    const unsigned failures = failures_.load();
    if (failures != failures_told_) {
      failures_told_ = failures;
      if (const int error = error_.load()) return error;
    }
    if (room_.position >= wake_at_.load()) {
      wake_at_.store(kNever);
      WakeDrain();
    }
    const std::atomic_ref<std::uint64_t> tail = Atomic(map_.header->tail);
    while (room_.position + bytes >
           (room_.end = tail.load(std::memory_order_acquire) + kRingBytes)) {
      if (const int error = error_.load()) return error;  // nothing will make room now
      const std::uint32_t seen = drained_.load();
      waiting_.store(true);
      if (room_.position + bytes <= tail.load() + kRingBytes) continue;
      WakeDrain();
      Futex(drained_, FUTEX_WAIT, seen, kActiveMs);
    }
    return 0;
  }

  void WakeDrain() noexcept {
    wakes_.fetch_add(1);
    Futex(wakes_, FUTEX_WAKE, 1);
  }

  static void* DrainThread(void* self) {
    static_cast<RingLog*>(self)->DrainLoop();
    return nullptr;
  }

  // Drains when woken, and at least every kActiveMs while lines come (every kIdleMs once they
  // have stopped), until the stream closes. A part at a time, so that a writer waiting for room
  // goes on after the first; on and on, unwoken, while half a part waits after each.
  void DrainLoop() noexcept {
    int period = kActiveMs;
    for (;;) {
      const std::uint32_t seen = wakes_.load();
      const std::uint64_t before = Atomic(map_.header->tail).load();
      for (bool more = true; more;) {
        const int error = DrainRing(map_, log_fd_, kPartBytes);
        more = error == 0 && !stopping_.load() &&
               Atomic(map_.header->head).load() - Atomic(map_.header->tail).load() >=
                   kPartBytes / 2;
        Drained(error, more);
      }
      if (stopping_.load()) return;
      period = Atomic(map_.header->tail).load() != before ? kActiveMs
                                                          : std::min(2 * period, kIdleMs);
      Futex(wakes_, FUTEX_WAIT, seen, period);
    }
  }

  // After a drain: a failure is counted when it begins, and the writer looks at it at its next
  // line; a success asks the writer to wake the drain once kWakeBytes wait, unless the drain
  // goes on (`more`) without being woken.
  void Drained(int error, bool more) noexcept {
    if (error != 0) {
      if (error_.exchange(error) == 0) {
        failures_.fetch_add(1);
        wake_at_.store(0);
      }
    } else {
      error_.store(0);
      wake_at_.store(more ? kNever : Atomic(map_.header->tail).load() + kWakeBytes);
    }
    drained_.fetch_add(1);
    if (waiting_.exchange(false)) Futex(drained_, FUTEX_WAKE, INT_MAX);
  }

  // Stops the drain, drains what is left and removes the ring once it is empty (kept for the
  // next open when it is not); lets the log and its lock go. In a forked child, only closes
  // the descriptors: the ring, the thread and the locks are the parent's. 0, or the errno
  // value of the last drain.
  int Finish() noexcept {
    room_.end = 0;  // no line goes in without asking now
    if (room_.gate_value != fork_count.load(std::memory_order_relaxed)) {
      if (tracked_) {  // closed at the fork
        static_cast<void>(ring_.Release());
        static_cast<void>(log_.Release());
      }
      ring_.Reset();
      log_.Reset();
      return 0;
    }
    if (tracked_) {
      UntrackLocked(ring_.Get());
      UntrackLocked(log_.Get());
    }
    for (std::atomic<RingLog*>& slot : g_rings) {
      RingLog* self = this;
      slot.compare_exchange_strong(self, nullptr);
    }
    stopping_.store(true);
    WakeDrain();
    ::pthread_join(drain_, nullptr);
    const int error = DrainRing(map_, log_fd_);
    if (error == 0) ::unlink(ring_name_.c_str());
    map_.Unmap();
    ::flock(ring_.Get(), LOCK_UN);  // also for a child that still holds the descriptors
    ::flock(log_.Get(), LOCK_UN);
    ring_.Reset();
    log_.Reset();
    return error;
  }

  // The writer's. The room's position is what it has published, its end how far it may write
  // without looking at the drained end (none while a cut line waits for its end), its gate
  // value ForkCount() when the stream was made.
  LineRoom room_;
  RingMap map_;
  bool cut_ = false;
  unsigned failures_told_ = 0;
  bool tracked_ = false;  // both descriptors are closed in a forked child at the fork
  std::string text_;  // a text's bytes
  // The writer's and the drain's.
  alignas(64) std::atomic<std::uint64_t> wake_at_{kNever};  // the position at which to wake it
  std::atomic<int> error_{0};           // the last drain's failure, 0 once one succeeds
  std::atomic<unsigned> failures_{0};   // failures begun
  std::atomic<std::uint32_t> wakes_{0};    // the drain's futex
  std::atomic<std::uint32_t> drained_{0};  // the waiting writer's futex
  std::atomic<bool> waiting_{false};
  std::atomic<bool> stopping_{false};
  int log_fd_ = -1;
  pthread_t drain_{};
  UniqueFd ring_;
  UniqueFd log_;
  std::string ring_name_;
};

}  // namespace

std::unique_ptr<TextStream> OpenRingLog(UniqueFd& log, const std::string& name, long long end,
                                        bool cut) {
  std::string ring_name = name + ".ring";
  UniqueFd ring(AboveStandardStreams(RetryOnEintr([&] {
    return ::open(ring_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  0600);
  })));
  int error = ring.Valid() ? 0 : errno;
  auto stream = std::make_unique<RingLog>();
  if (ring.Valid()) {
    error = stream->Make(ring.Get(), log.Get(), end, cut);
    if (error == 0) {
      stream->Own(std::move(ring), std::move(log), std::move(ring_name));
      return stream;
    }
    ::unlink(ring_name.c_str());
  }
  if (error == ENOSPC || error == EDQUOT) RaisePosixError(error);
  return nullptr;
}

bool RingLeft(const std::string& name) noexcept {
  struct stat info {};
  return ::lstat((name + ".ring").c_str(), &info) == 0;
}

long long DrainLeftRing(int log, const std::string& name, long long size) {
  const std::string ring_name = name + ".ring";
  UniqueFd ring(AboveStandardStreams(RetryOnEintr([&] {
    return ::open(ring_name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  })));
  struct stat info {};
  RingHeader header{};
  RingMap map;
  // Not a ring, or one that a live writer holds (through another path to the same log): left.
  if (!ring.Valid() || ::fstat(ring.Get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      ::flock(ring.Get(), LOCK_EX | LOCK_NB) != 0) {
    return size;
  }
  if (!ReadHeader(ring.Get(), info.st_size, &header) ||
      map.Map(ring.Get(), header.data_offset, header.size) != 0) {
    // A ring whose writer was killed while making it, before its header: it held no line.
    static constexpr char kNone[sizeof kMagic] = {};
    if (info.st_size < static_cast<off_t>(sizeof header) ||
        std::memcmp(header.magic, kNone, sizeof kNone) == 0) {
      ::unlink(ring_name.c_str());
    }
    return size;
  }
  Appending(log, false);
  const int error = DrainRing(map, log);
  Appending(log, true);
  map.Unmap();
  if (error != 0) RaisePosixError(error);
  ::unlink(ring_name.c_str());
  return ::fstat(log, &info) == 0 ? info.st_size : size;
}

void DrainRingsNow() noexcept {
  for (std::atomic<RingLog*>& slot : g_rings) {
    if (RingLog* ring = slot.load()) ring->DrainForCrash();
  }
}

}  // namespace cobaltmoth::platform::posix
