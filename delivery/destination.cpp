#include "delivery/destination.hpp"

#include <optional>

#include "platform/common/outbox.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && (text.front() == u' ' || text.front() == u'\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ' || text.back() == u'\t')) text.remove_suffix(1);
  return text;
}

// Whether `text` begins with `word` in any case; the word is taken off when it does.
bool Take(std::u16string_view& text, std::u16string_view word) {
  if (text.size() < word.size() || runtime::LCase(text.substr(0, word.size())) != word) {
    return false;
  }
  text.remove_prefix(word.size());
  return true;
}

// A decimal number from `low` to `high`, nothing else.
std::optional<std::uint64_t> Number(std::u16string_view text, std::uint64_t low,
                                    std::uint64_t high) {
  std::uint64_t value = 0;
  if (text.empty() || text.size() > 9) return std::nullopt;
  for (const char16_t unit : text) {
    if (unit < u'0' || unit > u'9') return std::nullopt;
    value = value * 10 + (unit - u'0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// Printable ASCII without blanks, as a path or a host name is written here.
std::optional<std::string> Plain(std::u16string_view text) {
  std::string out;
  for (const char16_t unit : text) {
    if (unit <= u' ' || unit > u'~') return std::nullopt;
    out += static_cast<char>(unit);
  }
  return out;
}

// HOST:PORT, with an IPv6 address in brackets.
bool ParseHostPort(std::u16string_view text, Destination* out) {
  const std::size_t colon = text.rfind(u':');
  if (colon == std::u16string_view::npos) return false;
  std::u16string_view host = text.substr(0, colon);
  const auto port = Number(text.substr(colon + 1), 1, 65535);
  if (host.size() > 2 && host.front() == u'[' && host.back() == u']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(u':') != std::u16string_view::npos) {
    return false;
  }
  const auto plain = Plain(host);
  if (!port || !plain || plain->empty() || plain->find_first_of("/@[]?#") != std::string::npos) {
    return false;
  }
  out->host = *plain;
  out->port = static_cast<std::uint16_t>(*port);
  return true;
}

std::optional<Destination> ParseItem(std::u16string_view item) {
  Destination out;
  out.item.assign(item);
  std::u16string_view rest = item;
  if (const std::u16string lower = runtime::LCase(item.substr(0, 8));
      lower.starts_with(u"https://") || lower.starts_with(u"http://")) {
    const auto dsn = Plain(item);
    if (!dsn || !platform::common::DestinationOf(*dsn, "")) return std::nullopt;
    out.kind = Destination::Kind::kTracker;
    out.path = *dsn;
    return out;
  }
  const std::size_t query = rest.find(u'?');
  std::u16string_view options;
  if (query != std::u16string_view::npos) {
    options = rest.substr(query + 1);
    rest = rest.substr(0, query);
  }
  if (Take(rest, u"syslog+tcp://")) {
    out.kind = Destination::Kind::kSyslogTcp;
    if (!ParseHostPort(rest, &out)) return std::nullopt;
  } else if (Take(rest, u"syslog+unix://")) {
    out.kind = Destination::Kind::kSyslog;
    const auto path = Plain(rest);
    if (!path || path->size() < 2 || path->front() != '/') return std::nullopt;
    out.path = *path;
  } else if (const std::u16string word = runtime::LCase(rest); word == u"syslog") {
    out.kind = Destination::Kind::kSyslog;
    out.path = kDevLog;
  } else if ((word == u"journal" || word == u"eventlog") && query == std::u16string_view::npos) {
    out.kind = word == u"journal" ? Destination::Kind::kJournal : Destination::Kind::kEventLog;
  } else {
    return std::nullopt;
  }
  if (query != std::u16string_view::npos) {
    if (!Take(options, u"max=")) return std::nullopt;
    const auto size = Number(options, kSmallestSyslogSize, 1u << 30);
    if (!size) return std::nullopt;
    out.max_size = static_cast<std::size_t>(*size);
  }
  return out;
}

}  // namespace

Destinations ParseReportTo(std::u16string_view list) {
  Destinations out;
  while (!list.empty()) {
    const std::size_t end = list.find(u';');
    const std::u16string_view item = Trimmed(list.substr(0, end));
    list = end == std::u16string_view::npos ? std::u16string_view() : list.substr(end + 1);
    if (item.empty()) continue;
    if (std::optional<Destination> destination = ParseItem(item)) {
      out.valid.push_back(std::move(*destination));
    } else {
      out.rejected.emplace_back(item);
    }
  }
  return out;
}

}  // namespace cobaltmoth::delivery
