// fuzz/channel_fuzz.cpp - the messages from cobaltmoth-ui as the other end could send them: any
// bytes (all but the last, which chooses the sizes of the pieces they arrive in). The decoder
// must not crash; every message it cuts out must encode back to exactly its bytes, in order; a
// REPORT window it accepts must encode to a message that decodes to the same window again.
#include <cstdlib>

#include "platform/posix/desktop/ui_channel.hpp"

using namespace cobaltmoth::platform::posix::desktop::channel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string stream(reinterpret_cast<const char*>(data), size - 1);
  std::uint32_t split = data[size - 1];  // pieces of 1 to 64 bytes, pseudo-random
  Decoder decoder;
  std::string fed;       // every byte fed so far
  std::size_t used = 0;  // the bytes of the messages cut out so far
  while (fed.size() < stream.size() && !decoder.Broken()) {
    split = split * 1103515245u + 12345u;
    const std::string piece = stream.substr(fed.size(), 1 + (split >> 16) % 64);
    decoder.Feed(piece.data(), piece.size());
    fed += piece;
    while (const std::optional<Message> message = decoder.Next()) {
      const std::string frame = Encode(*message);
      if (fed.compare(used, frame.size(), frame) != 0) std::abort();
      used += frame.size();
      cobaltmoth::platform::ReportWindowModel window, again;
      if (!DecodeReport(*message, &window)) continue;
      const Message encoded = EncodeReport(window);
      if (!DecodeReport(encoded, &again) || Encode(EncodeReport(again)) != Encode(encoded)) {
        std::abort();
      }
    }
  }
  return 0;
}
