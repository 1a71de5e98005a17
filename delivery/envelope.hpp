// delivery/envelope.hpp - a report as an error tracker takes it: an envelope of the trackers'
// protocol, made whole before it goes to the outbox (platform/outbox.hpp), from which the
// library's sender posts it. Its layout, one JSON line a header and each item's length in bytes:
//
//   {"event_id":"4f1c...","dsn":"https://key@host/1","sdk":{"name":"cobaltmoth","version":"1.0.0"}}
//   {"type":"event","length":1234}
//   {"event_id":"4f1c...","timestamp":"2026-12-06T08:41:07.000Z","platform":"native",
//    "level":"error","release":"Payroll@1.2.30","environment":"production",
//    "exception":{"values":[{"type":"Error 11","value":"Division by zero",
//      "mechanism":{"type":"raise","handled":true},"stacktrace":{"frames":[
//        {"module":"modMain","function":"Main","in_app":true},
//        {"module":"frmOrders","function":"cmdSave_Click","lineno":120,"in_app":true}]}}]},
//    "contexts":{"os":{...},"app":{"app_name":"Payroll","app_version":"1.2.30"}},
//    "tags":{"module":"frmOrders","procedure":"cmdSave_Click","error_number":"11",
//            "critical":"false"},"fingerprint":["e34c6ed30106773b"]}          (one line)
//   {"type":"attachment","length":2048,"filename":"report.txt","content_type":"text/plain"}
//   The Application:...                                              (the report, UTF-8)
//
// The procedure stack is read from the report's "Stack Element" lines, oldest first; the
// innermost frame carries the error's line. A crash is "fatal", its exception named after the
// signal or the exception ("SIGSEGV", "EXCEPTION_ACCESS_VIOLATION", the uncaught exception's
// type), its mechanism "signalhandler", "seh" or "terminate", unhandled; its threads are the
// crashing one with the native frames (oldest first, each with its address as a "0x..." text,
// its module as package, and the function, file and line where the report names them) and
// every other traced thread with its procedure stack. Without SendUser nothing names the user,
// the machine or an address; with it, the machine's owner and company go as the user.
//
// Sizes: the event at most kEventLimit bytes (past it the texts and stacks are cut), the
// envelope at most kEnvelopeLimit; what is left of it after the event and a minidump takes the
// report, cut with a last line saying how much was cut.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "delivery/record.hpp"
#include "platform/transport.hpp"

namespace cobaltmoth::delivery {

inline constexpr std::size_t kEventLimit = 1u << 20;
inline constexpr std::size_t kEnvelopeLimit = 8u << 20;
inline constexpr std::u16string_view kDefaultEnvironment = u"production";

// What the settings say of a tracker's envelopes (delivery/settings.hpp reads them).
struct TrackerOptions {
  std::u16string environment{kDefaultEnvironment};
  std::u16string release = {};  // "Payroll@1.2.30"
  bool send_report = true;
  bool send_user = false;
  std::u16string user_name = {};  // the machine's owner and company, sent only with send_user
  std::u16string company = {};
};

// One envelope's own facts.
struct EnvelopeFacts {
  std::string_view dsn = {};
  std::string_view event_id = {};  // 32 lower-case hexadecimal digits
  std::int64_t utc_us = 0;    // the moment of the event, microseconds since 1970 (UTC)
  const platform::Origin* origin = nullptr;  // the system's name and versions, when known
  std::string_view minidump = {};  // a crash's minidump (Windows), empty for none
};

std::string Envelope(const Record& record, const TrackerOptions& options,
                     const EnvelopeFacts& facts);

// A text as a JSON string, quotes included: UTF-8, a lone surrogate as U+FFFD, the control
// characters escaped.
void AppendJsonString(std::string& out, std::u16string_view text);

}  // namespace cobaltmoth::delivery
