// platform/posix/desktop/ui_channel.hpp - the conversation between the library and cobaltmoth-ui.
//
// The library starts cobaltmoth-ui with one end of a stream socket pair as descriptor 3 and
// talks over it in messages; no text ever travels on the command line. A message is a kind
// and a list of fields, each a run of bytes (texts are UTF-8, numbers decimal):
//
//   frame   = length(payload) payload           length: 4 bytes, little-endian
//   payload = field(kind) field(1) ... field(n) field:  length (4 bytes, LE) + bytes
//
// The library asks, the program answers:
//   MSGBOX  title prompt style          -> ANSWER button        (1 = OK)
//   REPORT  <the window, see EncodeReport> -> SHOWN, then CLICK index text | CLOSEBOX text
//   DONE                                 (the click has been dealt with; buttons work again)
//   UNLOAD                               (the window goes; the program ends)
//   CLIP    text                         -> OWNED | ERROR message   (the clipboard keeper)
// and the program tells, unasked:
//   ALIVE                                every second, while its event loop runs
//   ERROR   message                      it cannot go on (no display, bad request)
//
// Thread-safety: a Decoder belongs to one reader; the functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::posix::desktop::channel {

inline constexpr std::string_view kMsgBox = "MSGBOX";
inline constexpr std::string_view kAnswer = "ANSWER";
inline constexpr std::string_view kReport = "REPORT";
inline constexpr std::string_view kShown = "SHOWN";
inline constexpr std::string_view kClick = "CLICK";
inline constexpr std::string_view kCloseBox = "CLOSEBOX";
inline constexpr std::string_view kDone = "DONE";
inline constexpr std::string_view kUnload = "UNLOAD";
inline constexpr std::string_view kClip = "CLIP";
inline constexpr std::string_view kOwned = "OWNED";
inline constexpr std::string_view kAlive = "ALIVE";
inline constexpr std::string_view kError = "ERROR";

// No message is larger than this; a frame that claims more ends the conversation.
inline constexpr std::uint32_t kMaxFrame = 64u << 20;

struct Message {
  std::string kind;
  std::vector<std::string> fields;

  // Field `i`, or "" when the message has fewer.
  std::string_view Field(std::size_t i) const {
    return i < fields.size() ? std::string_view(fields[i]) : std::string_view();
  }
};

std::string Encode(const Message& message);

// Cuts a byte stream into messages.
class Decoder {
 public:
  void Feed(const char* bytes, std::size_t size) { buffer_.append(bytes, size); }
  // The next whole message, if one has arrived. A malformed frame makes the decoder broken
  // for good.
  std::optional<Message> Next();
  bool Broken() const noexcept { return broken_; }

 private:
  std::string buffer_;
  bool broken_ = false;
};

// The report window (platform/ui.hpp's model) goes as one REPORT message: its texts as UTF-8,
// its numbers in decimal, the picture as RGBA (the .ico bytes and the tags stay behind).
Message EncodeReport(const ReportWindowModel& model);
// False for a message that is no well-formed REPORT.
bool DecodeReport(const Message& message, ReportWindowModel* model);

// Sends a whole message on a stream socket before the monotonic clock (posix::MonotonicMs)
// reaches `deadline_ms` (-1: no deadline); false when the peer has gone or does not take it
// in time (never SIGPIPE).
bool Send(int fd, const Message& message, std::int64_t deadline_ms);

enum class Receive { kMessage, kTimeout, kClosed, kBroken };
// Waits until `deadline_ms` (-1: no deadline) for the next message.
Receive ReceiveMessage(int fd, Decoder& decoder, std::int64_t deadline_ms, Message* message);

}  // namespace cobaltmoth::platform::posix::desktop::channel
