// fuzz/channel_fuzz.cpp - the messages between the library and cobaltmoth-ui, as the other end
// could send them: any bytes, arriving in pieces of any size.
//
// The input's last byte chooses the sizes of the pieces; the rest is the byte stream. Whatever
// arrives, the decoder must not crash; every message it cuts out must encode back to exactly
// the bytes it came from, in order; and a REPORT window it accepts must encode to a message
// that decodes to the same window again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/posix/desktop/ui_channel.hpp"

namespace channel = cobaltmoth::platform::ui_channel;
using cobaltmoth::platform::ReportWindowModel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string stream(reinterpret_cast<const char*>(data), size - 1);
  std::uint32_t split = data[size - 1];  // pieces of 1 to 64 bytes, pseudo-random
  channel::Decoder decoder;
  std::string fed;       // every byte fed so far
  std::size_t used = 0;  // the bytes of the messages cut out so far
  while (fed.size() < stream.size() && !decoder.Broken()) {
    split = split * 1103515245u + 12345u;
    const std::string piece = stream.substr(fed.size(), 1 + (split >> 16) % 64);
    decoder.Feed(piece.data(), piece.size());
    fed += piece;
    while (const std::optional<channel::Message> message = decoder.Next()) {
      const std::string frame = channel::Encode(*message);
      if (fed.compare(used, frame.size(), frame) != 0) std::abort();
      used += frame.size();
      ReportWindowModel window, again;
      if (!channel::DecodeReport(*message, &window)) continue;
      const channel::Message encoded = channel::EncodeReport(window);
      if (!channel::DecodeReport(encoded, &again) ||
          channel::Encode(channel::EncodeReport(again)) != channel::Encode(encoded)) {
        std::abort();
      }
    }
  }
  return 0;
}
