// Messages between the library and cobaltmoth-ui.
#include "platform/posix/desktop/ui_channel.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace cobaltmoth::platform::ui_channel {
namespace {

void AppendLength(std::string& out, std::size_t length) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((length >> shift) & 0xFF);
}

std::uint32_t ReadLength(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

long long NowMs() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

std::string Encode(const Message& message) {
  std::string payload;
  AppendLength(payload, message.kind.size());
  payload += message.kind;
  for (const std::string& field : message.fields) {
    AppendLength(payload, field.size());
    payload += field;
  }
  std::string frame;
  frame.reserve(payload.size() + 4);
  AppendLength(frame, payload.size());
  frame += payload;
  return frame;
}

std::optional<Message> Decoder::Next() {
  if (broken_ || buffer_.size() < 4) return std::nullopt;
  const std::uint32_t size = ReadLength(buffer_);
  if (size > kMaxFrame || size < 4) {
    broken_ = true;
    return std::nullopt;
  }
  if (buffer_.size() - 4 < size) return std::nullopt;
  std::string_view payload = std::string_view(buffer_).substr(4, size);
  Message message;
  bool first = true;
  while (!payload.empty()) {
    if (payload.size() < 4 || ReadLength(payload) > payload.size() - 4) {
      broken_ = true;
      return std::nullopt;
    }
    const std::uint32_t length = ReadLength(payload);
    std::string field(payload.substr(4, length));
    payload.remove_prefix(4 + length);
    if (first) {
      message.kind = std::move(field);
      first = false;
    } else {
      message.fields.push_back(std::move(field));
    }
  }
  buffer_.erase(0, 4 + size);
  return message;
}

namespace {

constexpr std::size_t kWindowFields = 8;
constexpr std::size_t kControlFields = 13;

bool ParseInt(std::string_view text, int* value) {
  if (text.empty() || text.size() > 11) return false;
  long long result = 0;
  std::size_t i = 0;
  const bool negative = text[0] == '-';
  if (negative) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
  }
  if (negative) result = -result;
  if (result < INT32_MIN || result > INT32_MAX) return false;
  *value = static_cast<int>(result);
  return true;
}

}  // namespace

Message EncodeReport(const ReportWindowModel& model) {
  Message message{std::string(kReport), {}};
  auto& f = message.fields;
  f = {model.title,
       std::to_string(model.width),
       std::to_string(model.height),
       std::to_string(model.twips_per_pixel),
       std::to_string(model.icon_width),
       std::to_string(model.icon_height),
       model.icon_rgba,
       std::to_string(model.controls.size())};
  for (const WindowControl& c : model.controls) {
    for (int number : {c.index, c.kind, c.left, c.top, c.width, c.height, c.tab_index}) {
      f.push_back(std::to_string(number));
    }
    f.push_back(c.name);
    f.push_back(c.caption);
    for (bool flag : {c.auto_size, c.word_wrap, c.is_default, c.is_cancel}) {
      f.push_back(flag ? "1" : "0");
    }
  }
  return message;
}

bool DecodeReport(const Message& message, ReportWindowModel* model) {
  const auto& f = message.fields;
  int count = 0;
  if (message.kind != kReport || f.size() < kWindowFields || !ParseInt(f[7], &count) ||
      count < 0 || f.size() != kWindowFields + static_cast<std::size_t>(count) * kControlFields) {
    return false;
  }
  ReportWindowModel result;
  result.title = f[0];
  if (!ParseInt(f[1], &result.width) || !ParseInt(f[2], &result.height) ||
      !ParseInt(f[3], &result.twips_per_pixel) || !ParseInt(f[4], &result.icon_width) ||
      !ParseInt(f[5], &result.icon_height) || result.twips_per_pixel <= 0 ||
      result.width <= 0 || result.height <= 0 || result.icon_width < 0 ||
      result.icon_height < 0 || result.icon_width > 256 || result.icon_height > 256 ||
      f[6].size() != static_cast<std::size_t>(result.icon_width * result.icon_height * 4)) {
    return false;
  }
  result.icon_rgba = f[6];
  for (int i = 0; i < count; ++i) {
    const std::string* c = &f[kWindowFields + static_cast<std::size_t>(i) * kControlFields];
    WindowControl control;
    int* numbers[] = {&control.index, &control.kind,   &control.left,     &control.top,
                      &control.width, &control.height, &control.tab_index};
    for (int n = 0; n < 7; ++n) {
      if (!ParseInt(c[n], numbers[n])) return false;
    }
    if (control.kind < WindowControl::kImage || control.kind > WindowControl::kButton) {
      return false;
    }
    control.name = c[7];
    control.caption = c[8];
    bool* flags[] = {&control.auto_size, &control.word_wrap, &control.is_default,
                     &control.is_cancel};
    for (int n = 0; n < 4; ++n) {
      if (c[9 + n] != "0" && c[9 + n] != "1") return false;
      *flags[n] = c[9 + n] == "1";
    }
    result.controls.push_back(std::move(control));
  }
  *model = std::move(result);
  return true;
}

bool Send(int fd, const Message& message) {
  const std::string frame = Encode(message);
  std::size_t sent = 0;
  while (sent < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        struct pollfd waiting {fd, POLLOUT, 0};
        ::poll(&waiting, 1, 1000);
        continue;
      }
      return false;
    }
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

Receive ReceiveMessage(int fd, Decoder& decoder, int timeout_ms, Message* message) {
  const long long deadline = timeout_ms < 0 ? -1 : NowMs() + timeout_ms;
  for (;;) {
    if (std::optional<Message> next = decoder.Next()) {
      *message = std::move(*next);
      return Receive::kMessage;
    }
    if (decoder.Broken()) return Receive::kBroken;
    int wait_ms = -1;
    if (deadline >= 0) {
      const long long left = deadline - NowMs();
      if (left <= 0) return Receive::kTimeout;
      wait_ms = static_cast<int>(left);
    }
    struct pollfd waiting {fd, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Receive::kBroken;
    }
    if (ready == 0) continue;  // the deadline check above decides
    char bytes[65536];
    const ssize_t n = ::recv(fd, bytes, sizeof bytes, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Receive::kClosed;
    }
    if (n == 0) return Receive::kClosed;
    decoder.Feed(bytes, static_cast<std::size_t>(n));
  }
}

}  // namespace cobaltmoth::platform::ui_channel
