// Naming native frames with the program cobaltmoth-crash (platform/posix/crash/native_stack.hpp):
// one line a frame goes to it, one name a frame comes back, all within a deadline. System
// calls and fixed buffers only: a crashed process names its frames here.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "platform/posix/crash/helper.hpp"
#include "platform/posix/crash/native_stack.hpp"
#include "platform/posix/fd.hpp"

namespace cobaltmoth::platform::posix::crash {
namespace {

constexpr std::string_view kOwnNamespace = "cobaltmoth::";

}  // namespace

void NativeFrames::Name(const char* symbolizer, int limit_ms) noexcept {
  if (named_) return;
  named_ = true;
  if (count_ == 0) return;
  if (symbolizer == nullptr || *symbolizer == '\0') {
    unnamed_ = Unnamed::kNoSymbolizer;
    return;
  }
  symbolizer_ = symbolizer;
  int to_child[2];
  int from_child[2];
  if (::pipe2(to_child, O_CLOEXEC) != 0) return;
  if (::pipe2(from_child, O_CLOEXEC) != 0) {
    ::close(to_child[0]);
    ::close(to_child[1]);
    return;
  }
  const int pid = StartHelper(symbolizer, "--symbolize", to_child[0], from_child[1],
                              &start_error_);
  if (pid < 0) unnamed_ = Unnamed::kNotStarted;
  ::close(to_child[0]);
  ::close(from_child[1]);
  const std::int64_t deadline = posix::MonotonicMs() + limit_ms;
  // One line a frame: its module and its address there. A return address is one past the
  // call, which may be the next line's code: the call itself is looked up.
  for (int i = 0; pid > 0 && i < count_; ++i) {
    const Frame& frame = frames_[i];
    char request[kPathSize + 24];
    std::size_t size = 0;
    if (frame.base == 0) {
      request[size++] = '-';
    } else {
      const std::size_t length = std::strlen(frame.module);
      std::memcpy(request, frame.module, length);
      size = length;
    }
    request[size++] = ' ';
    const bool interrupted = !drop_own_ && i == 0;
    runtime::BufferOut<20> address;
    address.AppendHex(frame.address - frame.base - (interrupted ? 0 : 1));
    size += runtime::ToUtf8(address.View(), request + size);
    request[size++] = '\n';
    const std::int64_t left = deadline - posix::MonotonicMs();
    if (left <= 0 || posix::WriteToForeign(to_child[1], {request, size}, static_cast<int>(left)) <
                         size) {
      break;
    }
  }
  ::close(to_child[1]);
  std::size_t size = 0;
  while (pid > 0 && size < sizeof names_) {
    const std::int64_t left = deadline - posix::MonotonicMs();
    struct pollfd waiting {from_child[0], POLLIN, 0};
    const int ready = posix::RetryOnEintr(
        [&] { return ::poll(&waiting, 1, left > 0 ? static_cast<int>(left) : 0); });
    if (ready <= 0) break;
    const ssize_t got = posix::RetryOnEintr(
        [&] { return ::read(from_child[0], names_ + size, sizeof names_ - size); });
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  ::close(from_child[0]);
  if (pid > 0) AwaitHelper(pid, 100);
  ReadNames(size);
}

// Whole lines only: a name cut by the deadline is no name.
void NativeFrames::ReadNames(std::size_t size) noexcept {
  const char* at = names_;
  const char* const end = names_ + size;
  int named = 0;
  for (; named < count_; ++named) {
    const char* line_end = static_cast<const char*>(std::memchr(at, '\n', end - at));
    if (line_end == nullptr) break;
    const std::string_view name(at, static_cast<std::size_t>(line_end - at));
    if (name != "?" && !name.empty()) {
      frames_[named].name = at;
      frames_[named].name_size = name.size();
    }
    at = line_end + 1;
  }
  if (named < count_ && unnamed_ == Unnamed::kNo) unnamed_ = Unnamed::kTooSlow;
  while (drop_own_ && first_ < count_ && frames_[first_].name != nullptr &&
         std::string_view(frames_[first_].name, frames_[first_].name_size)
                 .substr(0, kOwnNamespace.size()) == kOwnNamespace) {
    ++first_;
  }
}

}  // namespace cobaltmoth::platform::posix::crash
