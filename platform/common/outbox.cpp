// The outbox's layout and rules (platform/common/outbox.hpp).
#include "platform/common/outbox.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>

#include "runtime/text.hpp"

namespace cobaltmoth::platform::common {
namespace {

constexpr std::string_view kEnvelope = ".envelope";
constexpr std::string_view kBackoff = ".backoff";
constexpr std::string_view kTemporary = ".tmp";
constexpr std::string_view kRateLimits = "rate-limits";
constexpr std::string_view kDropped = "dropped";
constexpr std::string_view kDroppedLock = "dropped.lock";
constexpr std::int64_t kTemporaryAgeMs = 3600 * 1000;
constexpr std::size_t kNone = std::string_view::npos;

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == kNone) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == kNone ? kNone : end - at));
    if (end == kNone) return parts;
    at = end + 1;
  }
}

// The number a text starts with (after blanks); `otherwise` when it starts with none.
std::int64_t Number(std::string_view text, std::int64_t otherwise = 0) {
  text = Trimmed(text);
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() ? value : otherwise;
}

std::size_t SkipBlanks(std::string_view text, std::size_t at) {
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r')) ++at;
  return at;
}

// Just past the JSON value that starts at `at` (a string, an object or array, or a scalar);
// kNone when it does not end.
std::size_t SkipValue(std::string_view text, std::size_t at) {
  int depth = 0;
  for (std::size_t i = at; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\') ++i;
      }
      if (i >= text.size()) return kNone;
      if (depth == 0) return i + 1;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return i;
      if (--depth == 0) return i + 1;
    } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\r')) {
      return i;
    }
  }
  return depth == 0 ? text.size() : kNone;
}

int Hex4(std::string_view text, std::size_t at) {
  int value = 0;
  const char* end = text.data() + std::min(at + 4, text.size());
  if (at + 4 > text.size() || std::from_chars(text.data() + at, end, value, 16).ptr != end) {
    return -1;
  }
  return value;
}

std::string_view HeaderOf(std::string_view envelope) {
  return envelope.substr(0, envelope.find('\n'));
}

bool IsEventId(std::string_view id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == kNone;
}

std::string StemOf(std::int64_t unix_ms, std::string_view event_id) {
  char moment[24];
  std::snprintf(moment, sizeof moment, "%013lld-", static_cast<long long>(unix_ms));
  return moment + std::string(event_id);
}

std::string Stem(std::string_view name, std::string_view extension) {
  return std::string(name.substr(0, name.size() - extension.size()));
}

}  // namespace

std::string RandomEventId() {
  std::random_device random;
  char id[33];
  for (int i = 0; i < 4; ++i) std::snprintf(id + 8 * i, 9, "%08x", static_cast<unsigned>(random()));
  return id;
}

std::int64_t UnixMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string Rfc3339(std::int64_t unix_ms) {
  using namespace std::chrono;
  const sys_time<milliseconds> moment{milliseconds{unix_ms}};
  const sys_days day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss time{moment - day};
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<int>(time.subseconds().count()));
  return text;
}

std::optional<std::string_view> JsonMember(std::string_view object, std::string_view key) {
  std::size_t at = object.find('{');
  if (at == kNone) return std::nullopt;
  for (at = SkipBlanks(object, at + 1); at < object.size() && object[at] == '"';) {
    const std::size_t name_end = SkipValue(object, at);
    if (name_end == kNone) return std::nullopt;
    const std::string_view name = object.substr(at + 1, name_end - at - 2);
    at = SkipBlanks(object, name_end);
    if (at >= object.size() || object[at] != ':') return std::nullopt;
    at = SkipBlanks(object, at + 1);
    const std::size_t end = SkipValue(object, at);
    if (end == kNone || end == at) return std::nullopt;
    if (name == key) return object.substr(at, end - at);
    at = SkipBlanks(object, end);
    if (at >= object.size() || object[at] != ',') return std::nullopt;
    at = SkipBlanks(object, at + 1);
  }
  return std::nullopt;
}

std::optional<std::string> JsonString(std::string_view object, std::string_view key) {
  const std::optional<std::string_view> raw = JsonMember(object, key);
  if (!raw || raw->size() < 2 || raw->front() != '"') return std::nullopt;
  const std::string_view text = raw->substr(1, raw->size() - 2);
  std::string out;
  std::u16string units;  // "\uXXXX" escapes in a row, which may pair surrogates
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i, 2) == "\\u") {
      const int unit = Hex4(text, i + 2);
      if (unit < 0) return std::nullopt;
      units += static_cast<char16_t>(unit);
      i += 5;
      continue;
    }
    out += runtime::ToUtf8(units);
    units.clear();
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    const char escaped = text[++i];
    const std::string_view simple = "b\bf\fn\nr\rt\t";
    const std::size_t found = simple.find(escaped);
    out += found != kNone && found % 2 == 0 ? simple[found + 1] : escaped;  // else " \ /
  }
  return out + runtime::ToUtf8(units);
}

std::vector<std::string> ItemCategories(std::string_view envelope) {
  std::vector<std::string> categories;
  std::size_t at = envelope.find('\n');
  while (at != kNone && ++at < envelope.size()) {
    const std::size_t end = envelope.find('\n', at);
    const std::string_view header = envelope.substr(at, end == kNone ? kNone : end - at);
    at = end;
    if (Trimmed(header).empty()) continue;
    const std::string type = JsonString(header, "type").value_or("");
    categories.push_back(type == "event" ? "error" : type == "client_report" ? "internal" : type);
    if (at == kNone) break;
    const std::optional<std::string_view> length = JsonMember(header, "length");
    at = length ? at + 1 + static_cast<std::size_t>(Number(*length)) : envelope.find('\n', at + 1);
    if (at > envelope.size()) break;
  }
  return categories;
}

RateLimits::RateLimits(std::string_view text) {
  for (const std::string_view line : Split(text, '\n')) {
    const std::size_t blank = line.find(' ');
    if (blank != kNone) Limit(std::string(line.substr(0, blank)), Number(line.substr(blank)));
  }
}

std::string RateLimits::Text(std::int64_t now_ms) const {
  std::string text;
  for (const auto& [category, until_ms] : until_ms_) {
    if (until_ms > now_ms) text += category + " " + std::to_string(until_ms) + "\n";
  }
  return text;
}

void RateLimits::Limit(const std::string& category, std::int64_t until_ms) {
  std::int64_t& until = until_ms_[category];
  until = std::max(until, until_ms);
}

void RateLimits::AddHeader(std::string_view header, std::int64_t now_ms) {
  for (const std::string_view entry : Split(header, ',')) {
    const std::vector<std::string_view> fields = Split(Trimmed(entry), ':');
    const std::int64_t seconds = Number(fields[0], -1);
    if (seconds < 0) continue;
    const std::string_view categories = fields.size() > 1 ? Trimmed(fields[1]) : "";
    for (const std::string_view category : Split(categories, ';')) {
      Limit(categories.empty() ? "*" : std::string(category), now_ms + seconds * 1000);
    }
  }
}

void RateLimits::AddRetryAfter(std::string_view header, std::int64_t now_ms) {
  std::int64_t seconds = Number(header, -1);
  if (seconds < 0 || Trimmed(header).find_first_not_of("0123456789") != kNone) seconds = 60;
  Limit("*", now_ms + seconds * 1000);
}

bool RateLimits::LimitsAll(const std::vector<std::string>& categories,
                           std::int64_t now_ms) const {
  const auto limited = [&](const std::string& category) {
    const auto found = until_ms_.find(category);
    return found != until_ms_.end() && found->second > now_ms;
  };
  if (categories.empty()) return false;
  return limited("*") || std::all_of(categories.begin(), categories.end(), limited);
}

std::optional<Destination> DestinationOf(std::string_view dsn, std::string_view client) {
  const std::size_t scheme_end = dsn.find("://");
  if (scheme_end == kNone) return std::nullopt;
  const std::string_view scheme = dsn.substr(0, scheme_end);
  const std::string_view rest = dsn.substr(scheme_end + 3);
  const std::size_t at = rest.find('@');
  const std::size_t slash = rest.find('/');
  if ((scheme != "http" && scheme != "https") || at == kNone || slash == kNone || at > slash) {
    return std::nullopt;
  }
  const std::string_view key = rest.substr(0, std::min(rest.find(':'), at));
  const std::string_view host = rest.substr(at + 1, slash - at - 1);
  const std::string_view path = rest.substr(slash, rest.find_first_of("?#") - slash);
  const std::size_t last = path.rfind('/');
  const std::string_view project = path.substr(last + 1);
  if (key.empty() || host.empty() || project.empty()) return std::nullopt;
  Destination destination;
  destination.url.append(scheme).append("://").append(host).append(path.substr(0, last));
  destination.url.append("/api/").append(project).append("/envelope/");
  destination.auth.append("Sentry sentry_version=7, sentry_client=").append(client);
  destination.auth.append(", sentry_key=").append(key);
  return destination;
}

std::string RequestBody(std::string_view envelope, std::int64_t now_ms, std::int64_t dropped) {
  const std::string_view header = HeaderOf(envelope);
  const std::size_t close = header.rfind('}');
  if (close == kNone) return std::string(envelope);
  const std::string sent_at = Rfc3339(now_ms);
  std::string body(header.substr(0, close));
  if (body.find_last_not_of(" \t\r{") != kNone) body += ',';
  body.append("\"sent_at\":\"").append(sent_at).append("\"");
  body.append(envelope.substr(close));
  if (dropped > 0) {
    if (body.back() != '\n') body += '\n';
    body.append("{\"type\":\"client_report\"}\n{\"timestamp\":\"").append(sent_at);
    body.append("\",\"discarded_events\":[{\"reason\":\"queue_overflow\",\"category\":\"error\",");
    body.append("\"quantity\":").append(std::to_string(dropped)).append("}]}");
  }
  return body;
}

FolderOutbox::FolderOutbox(std::shared_ptr<OutboxFolder> folder) : folder_(std::move(folder)) {}

bool FolderOutbox::Put(std::string_view envelope) {
  const std::int64_t now = UnixMs();
  if (Limits().LimitsAll(ItemCategories(envelope), now)) return false;
  std::string event_id = JsonString(HeaderOf(envelope), "event_id").value_or("");
  if (!IsEventId(event_id)) event_id = RandomEventId();
  const std::string problem =
      folder_->Write(StemOf(now, event_id) + std::string(kEnvelope), envelope);
  if (!problem.empty()) {
    if (!told_.exchange(true)) {
      const std::string path = folder_->Path();
      folder_->Tell("cobaltmoth: reports for the error tracker are not queued (" +
                    (path.empty() ? std::string("no home folder") : path) + ": " + problem + ")");
    }
    return false;
  }
  Tidy(now);
  return true;
}

std::vector<Queued> FolderOutbox::Waiting() {
  std::vector<OutboxFolder::File> files = folder_->List();
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  std::set<std::string> backoffs;
  for (const OutboxFolder::File& file : files) {
    if (EndsWith(file.name, kBackoff)) backoffs.insert(Stem(file.name, kBackoff));
  }
  std::vector<Queued> queue;
  for (const OutboxFolder::File& file : files) {
    if (!EndsWith(file.name, kEnvelope)) continue;
    Queued& envelope = queue.emplace_back();
    envelope.stem = Stem(file.name, kEnvelope);
    std::string backoff;
    if (backoffs.count(envelope.stem) != 0 &&
        folder_->Read(envelope.stem + std::string(kBackoff), &backoff)) {
      envelope.due_ms = Number(backoff);
      envelope.delay_ms = Number(backoff.substr(std::min(backoff.find(' '), backoff.size())));
    }
  }
  return queue;
}

bool FolderOutbox::NotEmpty() {
  const std::int64_t now = UnixMs();
  const std::vector<Queued> queue = Waiting();
  return std::any_of(queue.begin(), queue.end(),
                     [now](const Queued& envelope) { return envelope.due_ms <= now; });
}

void FolderOutbox::StartSenderWhenNotEmpty() {
  if (NotEmpty()) StartSender();
}

void FolderOutbox::StartSender() {
  // A sender that runs takes what was put before it lets its lock go; one that is starting
  // finds the lock free.
  if (folder_->TakeLock(kSenderLock, false) == nullptr) return;
  folder_->StartSender();
}

bool FolderOutbox::Discard(const Queued& envelope) {
  const bool removed = folder_->Remove(envelope.Name());
  folder_->Remove(envelope.stem + std::string(kBackoff));
  return removed;
}

void FolderOutbox::Backoff(const Queued& envelope, std::int64_t now_ms) {
  const std::int64_t delay =
      envelope.delay_ms > 0 ? std::min(2 * envelope.delay_ms, kLastBackoffMs) : kFirstBackoffMs;
  folder_->Write(envelope.stem + std::string(kBackoff),
                 std::to_string(now_ms + delay) + " " + std::to_string(delay) + "\n");
}

RateLimits FolderOutbox::Limits() {
  std::string text;
  folder_->Read(kRateLimits, &text);
  return RateLimits(text);
}

void FolderOutbox::KeepLimits(const RateLimits& limits, std::int64_t now_ms) {
  const std::string text = limits.Text(now_ms);
  if (text.empty()) {
    folder_->Remove(kRateLimits);
  } else {
    folder_->Write(kRateLimits, text);
  }
}

std::int64_t FolderOutbox::Dropped() {
  std::string text;
  return folder_->Read(kDropped, &text) ? Number(text) : 0;
}

void FolderOutbox::CountDropped(std::int64_t change) {
  const std::unique_ptr<OutboxFolder::Lock> lock = folder_->TakeLock(kDroppedLock, true);
  if (lock == nullptr) return;
  const std::int64_t count = std::max<std::int64_t>(0, Dropped() + change);
  // Removed, then written anew: a file renamed over another has its data flushed to the disk
  // first on some file systems (ext4's auto_da_alloc), a wait the host would have to sit out.
  folder_->Remove(kDropped);
  if (count > 0) folder_->Write(kDropped, std::to_string(count) + "\n");
}

void FolderOutbox::Tidy(std::int64_t now_ms) {
  std::vector<OutboxFolder::File> files = folder_->List();
  std::sort(files.begin(), files.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  std::set<std::string> stems;
  std::int64_t count = 0;
  std::uint64_t bytes = 0;
  for (const OutboxFolder::File& file : files) {
    if (!EndsWith(file.name, kEnvelope)) continue;
    stems.insert(Stem(file.name, kEnvelope));
    ++count;
    bytes += file.size;
  }
  std::int64_t dropped = 0;
  for (const OutboxFolder::File& file : files) {
    if (EndsWith(file.name, kTemporary) && now_ms - file.modified_ms > kTemporaryAgeMs) {
      folder_->Remove(file.name);
    }
    if (!EndsWith(file.name, kEnvelope)) continue;
    Queued envelope;
    envelope.stem = Stem(file.name, kEnvelope);
    const bool expired = now_ms - Number(envelope.stem) > kMaxAgeMs;
    if (!expired && count <= kMaxEnvelopes && bytes <= kMaxBytes) continue;
    if (Discard(envelope) && !expired) ++dropped;
    stems.erase(envelope.stem);
    --count;
    bytes -= file.size;
  }
  for (const OutboxFolder::File& file : files) {
    if (EndsWith(file.name, kBackoff) && stems.count(Stem(file.name, kBackoff)) == 0) {
      folder_->Remove(file.name);
    }
  }
  if (dropped > 0) CountDropped(dropped);
}

}  // namespace cobaltmoth::platform::common
