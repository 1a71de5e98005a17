// delivery/destination.hpp - the places a report goes besides the bug log, as the setting
// ReportTo lists them: items separated by ";", blanks around an item ignored, empty items
// skipped, the words in any case.
//
//   journal                   the journal, by its native protocol (Linux)
//   syslog                    RFC 5424 datagrams to the local socket /dev/log
//   syslog+unix:///PATH       the same to another local socket (a chroot's, a second daemon's)
//   syslog+tcp://HOST:PORT    RFC 5424 over TCP, framed by octet counting (RFC 6587), in plain
//                             text: for the local network (HOST a name, an IPv4 address, or an
//                             IPv6 address in brackets)
//   eventlog                  the Windows Event Log, as the event source "Cobaltmoth"
//   https://KEY@HOST/PROJECT  an error tracker, by its DSN (http:// for one on the local
//                             network): envelopes through the outbox (delivery/envelope.hpp)
//
// A syslog item may end in "?max=BYTES": the size a record is cut to, at least 480 (what
// every receiver must take), 65536 unless said. "journal;syslog+tcp://10.0.0.5:514?max=8192"
// sends to the journal and to a collector that takes 8 KiB.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cobaltmoth::delivery {

inline constexpr std::size_t kDefaultSyslogSize = 65536;
inline constexpr std::size_t kSmallestSyslogSize = 480;
inline constexpr std::string_view kDevLog = "/dev/log";

struct Destination {
  enum class Kind { kJournal, kSyslog, kSyslogTcp, kEventLog, kTracker };
  Kind kind = Kind::kJournal;
  std::u16string item;                    // as the list has it, for messages
  std::string path;                       // kSyslog: the socket; kTracker: the DSN
  std::string host;                       // kSyslogTcp, without brackets
  std::uint16_t port = 0;                 // kSyslogTcp
  std::size_t max_size = kDefaultSyslogSize;  // kSyslog, kSyslogTcp
};

struct Destinations {
  std::vector<Destination> valid;      // in the list's order
  std::vector<std::u16string> rejected;  // unknown or malformed items, as written
};

Destinations ParseReportTo(std::u16string_view list);

}  // namespace cobaltmoth::delivery
