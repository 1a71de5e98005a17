// The POSIX backend's Transport (platform/transport.hpp): local datagram sockets, a sealed
// memory file passed over one, TCP streams; every socket non-blocking, every wait a poll that
// ends at the deadline, a host name looked up on a thread of its own that the caller stops
// waiting for at the deadline.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/posix/fd.hpp"
#include "platform/posix/posix_platform.hpp"
#include "platform/transport.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix {
namespace {

int LeftMs(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
}

Handed Failed(int error, Handover outcome = Handover::kFailed) {
  char text[256];
  Handed handed;
  handed.detail = ::strerror_r(error, text, sizeof text);
  switch (error) {
    case ENOENT: case ECONNREFUSED: case ENOTDIR: case EHOSTUNREACH: case ENETUNREACH:
      handed.outcome = Handover::kAbsent; break;
    case EMSGSIZE: case ENOBUFS: handed.outcome = Handover::kTooBig; break;
    case EAGAIN: case ETIMEDOUT: handed.outcome = Handover::kTimedOut; break;
    default: handed.outcome = outcome;
  }
  return handed;
}

// Waits until `fd` can take more, or the deadline; false (errno ETIMEDOUT) at the deadline.
bool AwaitWritable(int fd, Deadline deadline) {
  struct pollfd waiting {fd, POLLOUT, 0};
  const int ready = RetryOnEintr([&] { return ::poll(&waiting, 1, LeftMs(deadline)); });
  if (ready == 0) errno = ETIMEDOUT;
  return ready > 0;
}

// A datagram socket connected to the local socket at `path`, or -1 (errno set).
UniqueFd ConnectLocal(std::string_view path) {
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path || path.find('\0') != std::string_view::npos) {
    errno = ENAMETOOLONG;
    return UniqueFd();
  }
  path.copy(address.sun_path, path.size());
  UniqueFd fd(AboveStandardStreams(
      ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
  if (fd.Valid() && RetryOnEintr([&] {
        return ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      }) != 0) {
    fd.Reset();
  }
  return fd;
}

// Sends one datagram (with a descriptor when `passed` is not -1) by the deadline.
Handed SendLocal(std::string_view path, std::string_view bytes, int passed, Deadline deadline) {
  const UniqueFd fd = ConnectLocal(path);
  if (!fd.Valid()) return Failed(errno);
  struct iovec piece {const_cast<char*>(bytes.data()), bytes.size()};
  struct msghdr message {};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (!bytes.empty()) {
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
  }
  if (passed >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &passed, sizeof(int));
  }
  for (;;) {
    if (::sendmsg(fd.Get(), &message, MSG_NOSIGNAL) >= 0) return {};
    if (errno == EINTR) continue;
    if (errno != EAGAIN || !AwaitWritable(fd.Get(), deadline)) return Failed(errno);
  }
}

// The addresses of `host`, looked up by a thread of their own so that a slow name server
// costs the caller no more than the deadline.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int error = 0;
  struct addrinfo* found = nullptr;
  ~Lookup() {
    if (found != nullptr) ::freeaddrinfo(found);
  }
};

// Keeps this library loaded until the process ends, so that a host that unloads it (dlclose)
// while a lookup thread still runs never pulls the code from under it. Once a process.
void KeepLoaded() {
  static const bool kept = [] {
    Dl_info self {};
    return ::dladdr(reinterpret_cast<const void*>(&KeepLoaded), &self) != 0 &&
           ::dlopen(self.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
  }();
  (void)kept;
}

std::shared_ptr<Lookup> Resolve(const std::string& host, const std::string& port,
                                Deadline deadline) {
  auto lookup = std::make_shared<Lookup>();
  struct addrinfo hints {};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
  lookup->error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &lookup->found);
  if (lookup->error != EAI_NONAME) return lookup;  // an address, or a failure
  lookup->error = 0;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  KeepLoaded();
  std::thread([lookup, host, port, hints] {
    struct addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    const std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->found = found;
    lookup->error = error;
    lookup->done = true;
    lookup->done_cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done_cv.wait_until(lock, deadline, [&] { return lookup->done; })) return nullptr;
  return lookup;
}

// A connected stream to one of the addresses, or -1 (errno set).
UniqueFd ConnectStream(const struct addrinfo* address, Deadline deadline) {
  UniqueFd fd(AboveStandardStreams(::socket(
      address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)));
  if (!fd.Valid()) return fd;
  if (::connect(fd.Get(), address->ai_addr, address->ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS || !AwaitWritable(fd.Get(), deadline)) return UniqueFd();
  int error = 0;
  socklen_t size = sizeof error;
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
    errno = error != 0 ? error : errno;
    return UniqueFd();
  }
  return fd;
}

class PosixTransport final : public Transport {
 public:
  bool Has(Way way) override { return way != Way::kEventLog; }

  // The machine's name and the process id are read at each call (a forked child has its own);
  // what the system and the program are, once.
  Origin Here() override {
    static const Origin kFixed = System();
    Origin origin = kFixed;
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0) origin.host_name = runtime::FromUtf8(name);
    origin.process_id = static_cast<std::uint32_t>(::getpid());
    return origin;
  }

  static Origin System() {
    Origin origin;
    // A native stack names the main executable's module as the program was started.
    const char* program = program_invocation_name;
    const char* slash = std::strrchr(program, '/');
    origin.main_module = runtime::FromUtf8(slash == nullptr ? program : slash + 1);
    // The distribution as /etc/os-release names it (NAME, VERSION_ID), the kernel's release.
    std::ifstream release("/etc/os-release");
    for (std::string line; std::getline(release, line);) {
      for (auto [key, out] : {std::pair{"NAME=", &origin.os_name},
                              std::pair{"VERSION_ID=", &origin.os_version}}) {
        if (!line.starts_with(key)) continue;
        std::string value = line.substr(std::strlen(key));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
          value = value.substr(1, value.size() - 2);
        }
        *out = runtime::FromUtf8(value);
      }
    }
    if (origin.os_name.empty()) origin.os_name = u"Linux";
    struct utsname system {};
    if (::uname(&system) == 0) origin.kernel_version = runtime::FromUtf8(system.release);
    return origin;
  }

  std::int64_t UtcMicroseconds() override {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  }

  Handed SendDatagram(std::string_view path, std::string_view bytes, Deadline deadline) override {
    return SendLocal(path, bytes, -1, deadline);
  }

  Handed SendSealedFile(std::string_view path, std::string_view bytes,
                        Deadline deadline) override {
    const UniqueFd file(AboveStandardStreams(
        ::memfd_create("cobaltmoth-record", MFD_CLOEXEC | MFD_ALLOW_SEALING)));
    if (!file.Valid()) return Failed(errno);
    if (const int error = WriteAll(file.Get(), bytes); error != 0) return Failed(error);
    if (::fcntl(file.Get(), F_ADD_SEALS,
                F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
      return Failed(errno);
    }
    return SendLocal(path, {}, file.Get(), deadline);
  }

  Handed SendStream(std::string_view host, std::uint16_t port, std::string_view bytes,
                    Deadline deadline) override {
    const std::shared_ptr<Lookup> lookup =
        Resolve(std::string(host), std::to_string(port), deadline);
    if (!lookup) return Failed(ETIMEDOUT);
    if (lookup->error != 0) {
      return {Handover::kAbsent, std::string("no address for ") + std::string(host) + ": " +
                                     ::gai_strerror(lookup->error)};
    }
    int error = ECONNREFUSED;
    for (const struct addrinfo* address = lookup->found; address != nullptr;
         address = address->ai_next) {
      const UniqueFd fd = ConnectStream(address, deadline);
      if (!fd.Valid()) {
        error = errno;
        continue;
      }
      const std::int64_t deadline_ms = MonotonicMs() + LeftMs(deadline);
      if (SendAll(fd.Get(), bytes, deadline_ms)) return {};
      return Failed(errno == EAGAIN ? ETIMEDOUT : errno);
    }
    return Failed(error);
  }

  Handed ReportEvent(std::u16string_view, std::uint16_t, std::uint32_t,
                     std::span<const std::u16string>) override {
    return {Handover::kAbsent, "there is no Event Log on this system"};
  }

  void Tell(std::u16string_view line) override {
    if (::isatty(STDERR_FILENO) != 1) return;
    WriteToForeign(STDERR_FILENO, runtime::ToUtf8(line) + '\n', 100);
  }
};

}  // namespace

std::shared_ptr<Transport> MakePosixTransport() { return std::make_shared<PosixTransport>(); }

}  // namespace cobaltmoth::platform::posix
