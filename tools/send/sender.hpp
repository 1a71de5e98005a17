// tools/send/sender.hpp - the sender of the outbox, the same on every system; only the
// transport differs (libcurl on Linux, WinHTTP on Windows), and only the sender links it.
//
// One round: the oldest envelope that may be sent goes first, each with "sent_at" added to its
// header (and the count of envelopes the bounds dropped as a client report, once); what the
// tracker answers decides its fate:
//   2xx                       sent: the file is removed
//   429                       its limits are kept (Retry-After, 60 s when absent, when the
//                             answer has no X-Sentry-Rate-Limits), the envelope is discarded
//   other 4xx (413 too big)   discarded
//   5xx, 1xx, 3xx, 407 (from a proxy), no answer in time, a failed TLS handshake
//                             kept, put off (1 min doubling to 1 h); the round ends
//   refused, unreachable      kept as it is; the round ends, and the next start tries at once
// X-Sentry-Rate-Limits is read from every answer; an envelope whose every item is of a limited
// category is discarded unsent. The round ends when nothing is left to send now, or after
// 60 s; each request has 10 s to connect and 30 s in all.
//
// Thread-safety: one round at a time per process; the outbox's lock keeps it to one per user.
#pragma once

#include <memory>
#include <string>

#include "platform/common/outbox.hpp"

namespace cobaltmoth::tools::send {

inline constexpr int kConnectTimeoutMs = 10 * 1000;
inline constexpr int kRequestTimeoutMs = 30 * 1000;
inline constexpr int kRoundMs = 60 * 1000;

struct Answer {
  enum class Kind {
    kAnswered,     // the tracker answered: see status
    kUnreachable,  // refused, no route, no such host: try again at the next start
    kFailed,       // no answer in time, the connection or the TLS handshake failed
  };
  Kind kind = Kind::kFailed;
  long status = 0;
  std::string rate_limits;  // X-Sentry-Rate-Limits
  std::string retry_after;  // Retry-After
  std::string error;        // what went wrong, in words, when it was not answered
};

// HTTP(S) as the system's library gives it: TLS checked against the system's certificates,
// the proxy that https_proxy, http_proxy and no_proxy name (on Windows, else the user's).
class Transport {
 public:
  virtual ~Transport() = default;
  // POSTs `body` (Content-Type: application/x-sentry-envelope, a Content-Length, X-Sentry-Auth:
  // `auth`); `timeout_ms` for the whole request.
  virtual Answer Post(const std::string& url, const std::string& auth, const std::string& body,
                      int timeout_ms) = 0;
};

// The system's transport: curl_transport.cpp or winhttp_transport.cpp.
std::unique_ptr<Transport> MakeTransport();

enum RoundEnd {
  kEmptied = 0,        // nothing is left that may be sent now
  kLeft = 1,           // the tracker could not be reached or failed, or the time was up
  kAnotherSender = 2,  // another sender has the outbox
};

// Sends the outbox's envelopes as above; says what became of each on standard error.
RoundEnd SendOutbox(platform::common::FolderOutbox& outbox, Transport& transport);

}  // namespace cobaltmoth::tools::send
