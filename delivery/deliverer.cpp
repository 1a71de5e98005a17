#include "delivery/deliverer.hpp"

#include <atomic>

#include "delivery/destination.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

std::atomic<bool> g_rejects_said{false};

}  // namespace

std::string Reason(const platform::Handed& handed) {
  switch (handed.outcome) {
    case platform::Handover::kDone: return {};
    case platform::Handover::kTooBig: return "too big for the socket (lower its ?max=)";
    case platform::Handover::kTimedOut: return "no answer in time";
    default: return handed.detail.empty() ? "failed" : handed.detail;
  }
}

// The way a destination's records leave: a sealed file is only ever the journal's second way.
platform::Way WayOf(Destination::Kind kind) {
  switch (kind) {
    case Destination::Kind::kSyslogTcp: return platform::Way::kStream;
    case Destination::Kind::kEventLog: return platform::Way::kEventLog;
    default: return platform::Way::kLocalDatagram;
  }
}

std::unique_ptr<Sink> MakeSink(const Destination& destination,
                               std::shared_ptr<platform::Transport> transport,
                               const Tracker& tracker) {
  switch (destination.kind) {
    case Destination::Kind::kTracker:
      return MakeTrackerSink(destination, std::move(transport), tracker);
    case Destination::Kind::kJournal: return MakeJournalSink(std::move(transport));
    case Destination::Kind::kEventLog: return MakeEventLogSink(std::move(transport));
    default: return MakeSyslogSink(destination, std::move(transport));
  }
}

Deliverer::Deliverer(std::shared_ptr<platform::Transport> transport,
                     std::u16string_view report_to, Tracker tracker)
    : transport_(std::move(transport)) {
  if (!transport_) return;
  const Destinations destinations = ParseReportTo(report_to);
  for (const Destination& destination : destinations.valid) {
    const bool here = destination.kind == Destination::Kind::kTracker
                          ? tracker.outbox != nullptr
                          : transport_->Has(WayOf(destination.kind));
    if (!here) continue;  // another system's, or no outbox to queue in: quietly
    sinks_.emplace_back(destination.item, MakeSink(destination, transport_, tracker));
  }
  if (destinations.rejected.empty() || g_rejects_said.exchange(true)) return;
  std::u16string line = u"cobaltmoth: ReportTo ignores";
  for (std::size_t i = 0; i < destinations.rejected.size(); ++i) {
    line += i == 0 ? u" \"" : u", \"";
    line += destinations.rejected[i] + u'"';
  }
  line += u" (it takes journal, syslog, syslog+unix:///PATH, syslog+tcp://HOST:PORT, eventlog,"
          u" https://KEY@HOST/PROJECT)";
  transport_->Tell(line);
}

std::u16string Deliverer::Items() const {
  std::u16string items;
  for (const auto& [item, sink] : sinks_) items += (items.empty() ? u"" : u";") + item;
  return items;
}

void Deliverer::Deliver(Record record, Folding& folding) noexcept {
  try {
    const platform::Deadline deadline = std::chrono::steady_clock::now() + kDeliveryLimit;
    if (sinks_.empty() ||
        !folding.Admit(record.fingerprint, std::chrono::steady_clock::now(), &record.folded)) {
      return;
    }
    for (const auto& [item, sink] : sinks_) {
      const std::string failure = sink->Send(record, deadline);
      if (!failure.empty()) {
        transport_->Tell(u"cobaltmoth: the report did not reach " + item + u": " +
                         runtime::FromUtf8(failure));
      }
    }
  } catch (...) {
    // Delivery never reaches the host: a record that could not be made goes nowhere.
  }
}

}  // namespace cobaltmoth::delivery
