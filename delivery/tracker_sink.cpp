// The error tracker's sink: the record as an envelope (delivery/envelope.hpp), put in the
// user's outbox, and the sender started when it is not running. Putting writes one small file
// and starts no more than a process: the network is the sender's alone.
#include "delivery/envelope.hpp"
#include "delivery/sink.hpp"
#include "platform/common/outbox.hpp"
#include "platform/outbox.hpp"

namespace cobaltmoth::delivery {
namespace {

class TrackerSink final : public Sink {
 public:
  TrackerSink(std::string dsn, std::shared_ptr<platform::Transport> transport, Tracker tracker)
      : dsn_(std::move(dsn)), transport_(std::move(transport)), tracker_(std::move(tracker)) {}

  std::string Send(const Record& record, platform::Deadline) override {
    const platform::Origin origin = transport_->Here();
    const std::string event_id =
        tracker_.event_id ? tracker_.event_id() : platform::common::RandomEventId();
    std::string minidump;
    constexpr std::u16string_view kMinidump = u"\r\nMinidump: ";
    if (const std::size_t at = record.report.find(kMinidump);
        record.crash && tracker_.read_minidump && at != std::u16string::npos) {
      const std::size_t path = at + kMinidump.size();
      minidump = tracker_.read_minidump(
          std::u16string_view(record.report).substr(path, record.report.find(u'\r', path) - path));
    }
    const EnvelopeFacts facts{.dsn = dsn_, .event_id = event_id,
                              .utc_us = transport_->UtcMicroseconds(), .origin = &origin,
                              .minidump = minidump};
    // An envelope that is not queued has been said by the outbox, or was limited by the
    // tracker, which wants it dropped quietly.
    if (tracker_.outbox->Put(Envelope(record, tracker_.options, facts))) {
      tracker_.outbox->StartSender();
    }
    return {};
  }

 private:
  std::string dsn_;
  std::shared_ptr<platform::Transport> transport_;
  Tracker tracker_;
};

}  // namespace

std::unique_ptr<Sink> MakeTrackerSink(const Destination& destination,
                                      std::shared_ptr<platform::Transport> transport,
                                      Tracker tracker) {
  return std::make_unique<TrackerSink>(destination.path, std::move(transport), std::move(tracker));
}

}  // namespace cobaltmoth::delivery
