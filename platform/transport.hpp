// platform/transport.hpp - the ways a finished record leaves the process for the system's log:
// a local datagram socket (the journal's, syslog's /dev/log), a memory file passed over one (the
// journal's way for big records), a TCP stream to a collector, the Windows Event Log.
//
// The port only carries bytes (or an event's strings); what they say is made by the portable
// code of delivery/. Every call returns by its deadline whatever the receiving side does:
// sockets are non-blocking, every wait is bounded, a name is looked up off the calling thread,
// SIGPIPE is never raised, and nothing throws: the outcome is a result. A way the system does
// not have (the journal on Windows, the Event Log on Linux) answers kAbsent, and Has says so
// beforehand, so that one list of destinations can serve machines of both systems.
//
// Thread-safety: any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace cobaltmoth::platform {

// The moment by which a call has returned.
using Deadline = std::chrono::steady_clock::time_point;

// What became of a record.
enum class Handover {
  kDone,      // handed to the receiving side
  kTooBig,    // a datagram larger than the socket takes in one piece
  kAbsent,    // nobody there: no socket, connection refused, no such host, not on this system
  kTimedOut,  // the deadline came first
  kFailed,    // anything else, e.g. the peer went away in the middle of the record
};

struct Handed {
  Handover outcome = Handover::kDone;
  std::string detail;  // the system's words for a failure ("Connection refused"), UTF-8
};

// Where a record comes from, as its header says.
struct Origin {
  std::u16string host_name = {};  // the machine's name
  std::uint32_t process_id = 0;
  // The main executable's file name, as a native stack names its module ("payroll",
  // "Payroll.exe").
  std::u16string main_module = {};
  // The system, as an error tracker shows it: "Debian GNU/Linux", "12", "6.1.0-28-amd64";
  // "Windows", "10.0.19045", "10.0.19045". Empty where unknown.
  std::u16string os_name = {};
  std::u16string os_version = {};
  std::u16string kernel_version = {};
};

// The ways out, as Has names them.
enum class Way { kLocalDatagram, kSealedFile, kStream, kEventLog };

class Transport {
 public:
  virtual ~Transport() = default;
  // Whether this system has the way at all.
  virtual bool Has(Way way) = 0;
  // This process and machine.
  virtual Origin Here() = 0;
  // The time now, in microseconds since 1970-01-01 00:00 UTC.
  virtual std::int64_t UtcMicroseconds() = 0;
  // One datagram to the local (Unix domain) socket at `path`.
  virtual Handed SendDatagram(std::string_view path, std::string_view bytes, Deadline deadline) = 0;
  // The bytes in a memory file, sealed against every change, whose descriptor goes alone in
  // one datagram to the local socket at `path`.
  virtual Handed SendSealedFile(std::string_view path, std::string_view bytes,
                                Deadline deadline) = 0;
  // One TCP connection to `host` (a name, an IPv4 or an IPv6 address) at `port`: every byte,
  // then the connection is closed.
  virtual Handed SendStream(std::string_view host, std::uint16_t port, std::string_view bytes,
                            Deadline deadline) = 0;
  // One event of the event source `source` in the Windows Event Log: its type
  // (EVENTLOG_ERROR_TYPE is 1), its id as the source's message table numbers it, and its
  // insertion strings.
  virtual Handed ReportEvent(std::u16string_view source, std::uint16_t type, std::uint32_t id,
                             std::span<const std::u16string> strings) = 0;
  // One line on standard error when that is a terminal (the user is there to read it);
  // nothing otherwise.
  virtual void Tell(std::u16string_view line) = 0;
};

}  // namespace cobaltmoth::platform
