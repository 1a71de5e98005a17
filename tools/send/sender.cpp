// The sender's round (tools/send/sender.hpp).
#include "tools/send/sender.hpp"

#include <cobaltmoth/version.hpp>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

namespace cobaltmoth::tools::send {
namespace {

using platform::common::FolderOutbox;
using platform::common::Queued;
using platform::common::UnixMs;

constexpr const char* kClient = "cobaltmoth/" COBALTMOTH_VERSION_TEXT;

void Say(const Queued& envelope, const std::string& what) {
  std::fprintf(stderr, "cobaltmoth-send: %s: %s\n", envelope.stem.c_str(), what.c_str());
}

// The oldest envelope that may be sent now and has not been taken yet, if any. An envelope is
// taken once a round, even one that could not be removed.
std::optional<Queued> NextDue(FolderOutbox& outbox, const std::set<std::string>& done,
                              std::int64_t now) {
  for (Queued& envelope : outbox.Waiting()) {
    if (envelope.due_ms <= now && done.count(envelope.stem) == 0) return envelope;
  }
  return std::nullopt;
}

// Sends while the sender holds the outbox's lock.
RoundEnd SendLocked(FolderOutbox& outbox, Transport& transport, std::int64_t started_ms,
                    std::set<std::string>& done) {
  for (;;) {
    const std::int64_t now = UnixMs();
    const std::int64_t left_ms = started_ms + kRoundMs - now;
    if (left_ms <= 0) return kLeft;
    const std::optional<Queued> due = NextDue(outbox, done, now);
    if (!due) return kEmptied;
    const Queued& envelope = *due;
    done.insert(envelope.stem);
    std::string bytes;
    if (!outbox.Folder().Read(envelope.Name(), &bytes)) {
      outbox.Discard(envelope);  // gone meanwhile, or unreadable for good
      continue;
    }
    platform::common::RateLimits limits = outbox.Limits();
    if (limits.LimitsAll(platform::common::ItemCategories(bytes), now)) {
      Say(envelope, "discarded: the tracker limits its items for now");
      outbox.Discard(envelope);
      continue;
    }
    const std::string header = bytes.substr(0, bytes.find('\n'));
    const auto destination = platform::common::DestinationOf(
        platform::common::JsonString(header, "dsn").value_or(""), kClient);
    if (!destination) {
      Say(envelope, "discarded: its header has no DSN of a tracker");
      outbox.Discard(envelope);
      continue;
    }
    const std::int64_t dropped = outbox.Dropped();
    const Answer answer =
        transport.Post(destination->url, destination->auth,
                       platform::common::RequestBody(bytes, now, dropped),
                       static_cast<int>(std::min<std::int64_t>(kRequestTimeoutMs, left_ms)));
    const std::int64_t answered = UnixMs();
    if (answer.kind != Answer::Kind::kAnswered) {
      Say(envelope, "kept: " + answer.error);
      if (answer.kind == Answer::Kind::kFailed) outbox.Backoff(envelope, answered);
      return kLeft;
    }
    const platform::common::RateLimits before = limits;
    limits.AddHeader(answer.rate_limits, answered);
    if (answer.status == 429 && answer.rate_limits.empty()) {
      limits.AddRetryAfter(answer.retry_after, answered);
    }
    if (!(limits == before)) outbox.KeepLimits(limits, answered);
    const std::string status = "HTTP " + std::to_string(answer.status);
    if (answer.status >= 200 && answer.status < 300) {
      Say(envelope, "sent, " + status);
      // Dropped by a bound while it was on its way, it is one less to tell of.
      const std::int64_t told = dropped + (outbox.Discard(envelope) ? 0 : 1);
      if (told > 0) outbox.CountDropped(-told);
    } else if (answer.status >= 400 && answer.status < 500 && answer.status != 407) {
      Say(envelope, "discarded, " + status);
      outbox.Discard(envelope);
    } else {
      Say(envelope, "kept, " + status);
      outbox.Backoff(envelope, answered);
      return kLeft;
    }
  }
}

}  // namespace

RoundEnd SendOutbox(FolderOutbox& outbox, Transport& transport) {
  const std::int64_t started = UnixMs();
  std::set<std::string> done;
  for (;;) {
    // No lock is had where there is no outbox: nothing to send either.
    RoundEnd end = outbox.Waiting().empty() ? kEmptied : kAnotherSender;
    if (auto lock = outbox.Folder().TakeLock(platform::common::kSenderLock, false)) {
      outbox.Tidy(UnixMs());
      end = SendLocked(outbox, transport, started, done);
    }
    // An envelope put while this sender was about to let its lock go would wait for the next
    // start: it is taken now, unless another sender has it.
    if (end != kEmptied || !NextDue(outbox, done, UnixMs())) return end;
  }
}

}  // namespace cobaltmoth::tools::send
