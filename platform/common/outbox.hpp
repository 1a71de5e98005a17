// platform/common/outbox.hpp - the outbox's layout and rules, the same on every system, for
// the library and the crash helper (Put) and for the sender.
//
// The folder ($XDG_STATE_HOME/cobaltmoth/outbox, %LOCALAPPDATA%\Cobaltmoth\Outbox) holds:
//
//   1718000000123-4f1c0d2e9a8b7c6d5e4f3a2b1c0d9e8f.envelope
//        an envelope as it was put: named by the moment (milliseconds since 1970, 13 digits)
//        and its event_id, so that names sort oldest first
//   1718000000123-4f1c0d2e9a8b7c6d5e4f3a2b1c0d9e8f.backoff
//        when the tracker failed that envelope (5xx, no answer in time), when it is tried
//        again and the delay that gave it: "1718000060123 60000\n" (1 min doubling to 1 h)
//   rate-limits      what the tracker has limited until when: "error 1718000060123\n" a
//                    category a line, "*" for every category
//   dropped          how many envelopes the bounds dropped that the tracker has not been told
//                    of yet: "2\n"
//   dropped.lock     the lock of that count
//   sender.lock      held by the sender that runs; one at a time
//   *.tmp            a file being written
//
// The bounds: 30 envelopes and 20 MiB; past them the oldest go first and are counted in
// `dropped`, which the next envelope sent carries to the tracker as a client report. An
// envelope older than 30 days goes uncounted.
//
// Thread-safety: a FolderOutbox may be used from any thread, and its folder from any process.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outbox.hpp"

namespace cobaltmoth::platform::common {

inline constexpr int kMaxEnvelopes = 30;
inline constexpr std::uint64_t kMaxBytes = 20u << 20;
inline constexpr std::int64_t kMaxAgeMs = 30LL * 24 * 3600 * 1000;
inline constexpr std::int64_t kFirstBackoffMs = 60 * 1000;
inline constexpr std::int64_t kLastBackoffMs = 3600 * 1000;
inline constexpr std::string_view kSenderLock = "sender.lock";

// An event's id: 32 lower-case hexadecimal digits, from the system's random source.
std::string RandomEventId();

// Milliseconds since 1970 (UTC), now.
std::int64_t UnixMs();
// "2024-06-10T06:13:20.123Z".
std::string Rfc3339(std::int64_t unix_ms);

// The raw text of a top-level member's value in a JSON object ("\"abc\"", "12", "{...}").
std::optional<std::string_view> JsonMember(std::string_view object, std::string_view key);
// A top-level string member, unescaped; nothing when it is missing or not a string.
std::optional<std::string> JsonString(std::string_view object, std::string_view key);

// The tracker's category of each item of an envelope, in order: "error" for an event,
// "attachment", "internal" for a client report, else the item's type.
std::vector<std::string> ItemCategories(std::string_view envelope);

// What the tracker has limited, per category, until when (milliseconds since 1970).
class RateLimits {
 public:
  // As the file "rate-limits" keeps them.
  explicit RateLimits(std::string_view text = {});
  // The file's text, without the limits that have ended.
  std::string Text(std::int64_t now_ms) const;
  // X-Sentry-Rate-Limits: "SECONDS:CATEGORIES:SCOPE..." entries separated by commas, the
  // categories by semicolons, none for every category; a limit only ever grows.
  void AddHeader(std::string_view header, std::int64_t now_ms);
  // Retry-After of a 429 that gave no X-Sentry-Rate-Limits: seconds, 60 when missing or not a
  // number; for every category.
  void AddRetryAfter(std::string_view header, std::int64_t now_ms);
  // Whether every one of these categories (at least one) is limited now.
  bool LimitsAll(const std::vector<std::string>& categories, std::int64_t now_ms) const;

  bool operator==(const RateLimits&) const = default;

 private:
  void Limit(const std::string& category, std::int64_t until_ms);
  std::map<std::string, std::int64_t> until_ms_;
};

// Where an envelope goes, from its DSN "SCHEME://KEY@HOST[:PORT][/PATH]/PROJECT_ID".
struct Destination {
  std::string url;   // "SCHEME://HOST[:PORT][/PATH]/api/PROJECT_ID/envelope/"
  // X-Sentry-Auth: "Sentry sentry_version=7, sentry_client=CLIENT, sentry_key=KEY"
  std::string auth;
};
// Nothing when the DSN is not one (a scheme other than http and https, no key, no project).
std::optional<Destination> DestinationOf(std::string_view dsn, std::string_view client);

// The envelope as it is sent at `now_ms`: "sent_at" added to its header; and when `dropped`
// is above 0, a last item that tells the tracker of them:
//   {"type":"client_report"}
//   {"timestamp":"...","discarded_events":[{"reason":"queue_overflow","category":"error",
//    "quantity":2}]}
// (one line).
std::string RequestBody(std::string_view envelope, std::int64_t now_ms, std::int64_t dropped);

// An envelope in the outbox.
struct Queued {
  std::string stem;            // "1718000000123-<event_id>"
  std::int64_t due_ms = 0;     // when it may be sent: its backoff's due time, 0 without one
  std::int64_t delay_ms = 0;   // its backoff's delay, 0 without one
  std::string Name() const { return stem + ".envelope"; }
};

// The outbox's rules on a folder.
class FolderOutbox final : public Outbox {
 public:
  explicit FolderOutbox(std::shared_ptr<OutboxFolder> folder);

  bool Put(std::string_view envelope) override;
  bool NotEmpty() override;
  void StartSenderWhenNotEmpty() override;
  void StartSender() override;

  // What the sender does.
  OutboxFolder& Folder() { return *folder_; }
  // The envelopes, oldest first.
  std::vector<Queued> Waiting();
  // Removes the envelope and its backoff; true when this call removed the envelope.
  bool Discard(const Queued& envelope);
  // Puts the envelope off: 1 min, then twice its last delay, at most 1 h.
  void Backoff(const Queued& envelope, std::int64_t now_ms);
  RateLimits Limits();
  void KeepLimits(const RateLimits& limits, std::int64_t now_ms);
  // The dropped count, and a change to it (never below 0).
  std::int64_t Dropped();
  void CountDropped(std::int64_t change);
  // Keeps the bounds: drops the envelopes older than 30 days (uncounted) and the oldest past
  // 30 or 20 MiB (counted); removes backoffs left without their envelope and temporary files
  // older than an hour.
  void Tidy(std::int64_t now_ms);

 private:
  std::shared_ptr<OutboxFolder> folder_;
  std::atomic<bool> told_{false};  // that an envelope could not be queued, once
};

}  // namespace cobaltmoth::platform::common
