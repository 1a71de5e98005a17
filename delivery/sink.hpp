// delivery/sink.hpp - one destination's way out: a sink formats a record the way its receiving
// side reads it and hands it over through the platform's Transport, returning by the deadline
// it is given. A sink only formats and hands over: nothing is queued or tried again.
//
// The formats, as pure functions for the sinks and their tests (examples in each sink's file):
//   journal   the journal's native protocol: "NAME=value\n" fields, a value that holds a line
//             break as "NAME\n" + its size (64 bits, little-endian) + the bytes + "\n"
//   syslog    an RFC 5424 record; over TCP each record goes as "SIZE " + record (RFC 6587)
//   eventlog  the event's id and its two insertion strings
//   tracker   an envelope of the error trackers' protocol, put in the outbox
// Texts are UTF-8 with LF line breaks in the journal and syslog (the report's CR LF become LF).
//
// Thread-safety: a sink belongs to its Deliverer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "delivery/destination.hpp"
#include "delivery/envelope.hpp"
#include "delivery/record.hpp"
#include "platform/outbox.hpp"
#include "platform/transport.hpp"

namespace cobaltmoth::delivery {

// What an error tracker's sink needs besides the transport (which gives the time and the
// system): the outbox, what the settings say, the ids of its events (random unless given), and
// where a crash's minidump is read from the path its report names ("Minidump: C:\...dmp";
// none where crashes have none).
struct Tracker {
  std::shared_ptr<platform::Outbox> outbox = {};
  TrackerOptions options = {};
  std::function<std::string()> event_id = {};
  std::function<std::string(std::u16string_view path)> read_minidump = {};
};

class Sink {
 public:
  virtual ~Sink() = default;
  // Hands the record over by `deadline`: "" when it was handed over, else what went wrong
  // in a few words.
  virtual std::string Send(const Record& record, platform::Deadline deadline) = 0;
};

// The sink of a destination.
std::unique_ptr<Sink> MakeSink(const Destination& destination,
                               std::shared_ptr<platform::Transport> transport,
                               const Tracker& tracker);
std::unique_ptr<Sink> MakeJournalSink(std::shared_ptr<platform::Transport> transport);
std::unique_ptr<Sink> MakeSyslogSink(const Destination& destination,
                                     std::shared_ptr<platform::Transport> transport);
std::unique_ptr<Sink> MakeEventLogSink(std::shared_ptr<platform::Transport> transport);
std::unique_ptr<Sink> MakeTrackerSink(const Destination& destination,
                                      std::shared_ptr<platform::Transport> transport,
                                      Tracker tracker);

// The journal.
inline constexpr std::string_view kJournalSocket = "/run/systemd/journal/socket";
inline constexpr std::string_view kReportMessageId = "e05c9d82bf314f92a10d3c0d0b98c8ea";
inline constexpr std::string_view kCrashMessageId = "aa5da1f57486427babbf531357e50c8c";
std::string JournalRecord(const Record& record);

// Syslog: facility user (1), severity err (3) for a raised error and crit (2) for a crash.
// `utc_us` is the time (microseconds since 1970, UTC), `host_name` the machine's.
inline constexpr std::string_view kSyslogSdId = "cobaltmoth@32473";
std::string SyslogRecord(const Record& record, std::int64_t utc_us,
                         std::u16string_view host_name, std::size_t max_size);

// The Event Log: the ids of the message table (component/com/messages.mc), severity bits
// included, and the strings (the summary, the report, then the record's fields), each cut to
// what ReportEventW takes.
inline constexpr std::uint32_t kReportEventId = 0xC00003E8;  // shown as event 1000
inline constexpr std::uint32_t kCrashEventId = 0xC00003E9;   // shown as event 1001
inline constexpr std::size_t kEventStringLimit = 31839;
inline constexpr std::u16string_view kEventSource = u"Cobaltmoth";
std::vector<std::u16string> EventStrings(const Record& record);

// What a failed hand-over says.
std::string Reason(const platform::Handed& handed);

}  // namespace cobaltmoth::delivery
