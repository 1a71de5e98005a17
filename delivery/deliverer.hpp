// delivery/deliverer.hpp - a finished report taken to every destination of a ReportTo list.
//
// The bug handler delivers each handled error after its file step, and the crash helper each
// crash; both go through a Deliverer. A record is first folded (delivery/folding.hpp), then
// handed to each destination in the list's order, all of them by one deadline kDeliveryLimit
// after the call began; a destination that failed or ran out of time is said in one line on
// standard error when that is a terminal ("cobaltmoth: the report did not reach
// syslog+tcp://10.0.0.5:514: Connection refused"). Nothing is tried again here (an error
// tracker's envelope is only queued in the outbox, whose sender tries it again), and nothing
// reaches the caller. The unknown or malformed items of a list are said once a process,
// on the terminal as well; the items of the other system (the journal on Windows, the Event Log
// on Linux) are passed over without a word, so that one policy can serve a mixed fleet.
//
// Thread-safety: a Deliverer belongs to one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "delivery/folding.hpp"
#include "delivery/record.hpp"
#include "delivery/sink.hpp"
#include "platform/transport.hpp"

namespace cobaltmoth::delivery {

inline constexpr std::chrono::milliseconds kDeliveryLimit{250};

class Deliverer {
 public:
  // The destinations of `report_to`; none without a transport, and no tracker without the
  // tracker's outbox.
  Deliverer(std::shared_ptr<platform::Transport> transport, std::u16string_view report_to,
            Tracker tracker = {});
  // Whether the record would go anywhere.
  bool Empty() const noexcept { return sinks_.empty(); }
  // The items it delivers to, separated by ";" (what a crash's helper is handed, so that it
  // has nothing to say of the rest again).
  std::u16string Items() const;
  // Folds the record (in `folding`) or hands it to every destination. Never throws.
  void Deliver(Record record, Folding& folding = Folding::OfProcess()) noexcept;

 private:
  std::shared_ptr<platform::Transport> transport_;
  std::vector<std::pair<std::u16string, std::unique_ptr<Sink>>> sinks_;  // item, sink
};

}  // namespace cobaltmoth::delivery
