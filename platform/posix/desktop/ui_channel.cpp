// Messages between the library and cobaltmoth-ui.
#include "platform/posix/desktop/ui_channel.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/posix/fd.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::posix::desktop::channel {
namespace {

void AppendLength(std::string& out, std::size_t length) {
  for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((length >> shift) & 0xFF);
}

std::uint32_t ReadLength(std::string_view bytes) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
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
  const WindowPicture& picture = model.picture;
  f = {runtime::ToUtf8(model.title),
       std::to_string(model.width),
       std::to_string(model.height),
       std::to_string(model.twips_per_pixel),
       std::to_string(picture.width),
       std::to_string(picture.height),
       std::string(picture.rgba.begin(), picture.rgba.end()),
       std::to_string(model.controls.size())};
  for (const WindowControl& c : model.controls) {
    for (std::int32_t number : {c.index, static_cast<std::int32_t>(c.kind), c.left, c.top,
                                c.width, c.height, c.tab_index}) {
      f.push_back(std::to_string(number));
    }
    f.push_back(runtime::ToUtf8(c.name));
    f.push_back(runtime::ToUtf8(c.caption));
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
  result.title = runtime::FromUtf8(f[0]);
  WindowPicture& picture = result.picture;
  if (!ParseInt(f[1], &result.width) || !ParseInt(f[2], &result.height) ||
      !ParseInt(f[3], &result.twips_per_pixel) || !ParseInt(f[4], &picture.width) ||
      !ParseInt(f[5], &picture.height) || result.twips_per_pixel <= 0 ||
      result.width <= 0 || result.height <= 0 || picture.width < 0 || picture.height < 0 ||
      picture.width > 256 || picture.height > 256 ||
      f[6].size() != static_cast<std::size_t>(picture.width * picture.height * 4)) {
    return false;
  }
  picture.rgba.assign(f[6].begin(), f[6].end());
  for (int i = 0; i < count; ++i) {
    const std::string* c = &f[kWindowFields + static_cast<std::size_t>(i) * kControlFields];
    WindowControl control;
    int kind = 0;
    int* numbers[] = {&control.index, &kind,           &control.left,     &control.top,
                      &control.width, &control.height, &control.tab_index};
    for (int n = 0; n < 7; ++n) {
      if (!ParseInt(c[n], numbers[n])) return false;
    }
    if (kind < static_cast<int>(WindowControl::Kind::kImage) ||
        kind > static_cast<int>(WindowControl::Kind::kButton)) {
      return false;
    }
    control.kind = static_cast<WindowControl::Kind>(kind);
    control.name = runtime::FromUtf8(c[7]);
    control.caption = runtime::FromUtf8(c[8]);
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

bool Send(int fd, const Message& message, std::int64_t deadline_ms) {
  return posix::SendAll(fd, Encode(message), deadline_ms);
}

Receive ReceiveMessage(int fd, Decoder& decoder, std::int64_t deadline, Message* message) {
  for (;;) {
    if (std::optional<Message> next = decoder.Next()) {
      *message = std::move(*next);
      return Receive::kMessage;
    }
    if (decoder.Broken()) return Receive::kBroken;
    int wait_ms = -1;
    if (deadline >= 0) {
      const std::int64_t left = deadline - posix::MonotonicMs();
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

}  // namespace cobaltmoth::platform::posix::desktop::channel
