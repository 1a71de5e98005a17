// The syslog sink: one RFC 5424 record a report, facility user, to a local datagram socket
// (/dev/log or another) or over TCP to a collector, framed by octet counting (RFC 6587). A
// raised error, on one line up to the byte-order mark, then the report's lines:
//   <11>1 2026-12-06T08:41:07.000006Z ws042 Payroll 4242 report [cobaltmoth@32473
//   number="11" module="frmOrders" procedure="cmdSave_Click" line="120"
//   fingerprint="e34c6ed30106773b" critical="0" version="1.2.30"] BOM Payroll 1.2.30: error 11
//   in frmOrders.cmdSave_Click at line 120: Division by zero
//   The Application:
//   ...
// A crash is <10> (crit) with the MSGID "crash"; folded="N" closes the structured data when
// records were folded away before this one. The header's names are printable ASCII (others
// written "_"), cut to their limits (host 255, application 48); a parameter's value escapes
// '"', '\' and ']' with '\'. A record longer than its destination's size is cut at a
// character's edge and ends in
//   [cut: 210345 bytes, limit 65536]
// (32473 is the enterprise number RFC 5612 reserves for documentation, kept until the
// project has its own.)
#include <chrono>
#include <cstdio>
#include <utility>

#include "delivery/sink.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// A header field: printable ASCII, cut to `limit`; "-" when empty.
std::string HeaderName(std::u16string_view text, std::size_t limit) {
  std::string out;
  for (const char16_t unit : text.substr(0, limit)) {
    out += unit > u' ' && unit <= u'~' ? static_cast<char>(unit) : '_';
  }
  return out.empty() ? "-" : out;
}

void AppendParameter(std::string& out, std::string_view name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  for (const char byte : value) {
    if (byte == '"' || byte == '\\' || byte == ']') out += '\\';
    out += byte;
  }
  out += '"';
}

void AppendParameter(std::string& out, std::string_view name, std::u16string_view value) {
  AppendParameter(out, name, runtime::ToUtf8(value));
}

void AppendParameter(std::string& out, std::string_view name, std::int64_t value) {
  AppendParameter(out, name, runtime::Decimal(value));
}

std::string Timestamp(std::int64_t utc_us) {
  using namespace std::chrono;
  const sys_time<microseconds> moment{microseconds{utc_us}};
  const sys_days day = floor<days>(moment);
  const year_month_day date{day};
  const hh_mm_ss<microseconds> time{moment - day};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06lldZ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()),
                static_cast<long long>(time.subseconds().count()));
  return text;
}

class SyslogSink final : public Sink {
 public:
  SyslogSink(Destination destination, std::shared_ptr<platform::Transport> transport)
      : destination_(std::move(destination)), transport_(std::move(transport)) {}
  std::string Send(const Record& record, platform::Deadline deadline) override {
    const std::string bytes = SyslogRecord(record, transport_->UtcMicroseconds(),
                                           transport_->Here().host_name, destination_.max_size);
    if (destination_.kind == Destination::Kind::kSyslog) {
      return Reason(transport_->SendDatagram(destination_.path, bytes, deadline));
    }
    return Reason(transport_->SendStream(destination_.host, destination_.port,
                                         std::to_string(bytes.size()) + ' ' + bytes, deadline));
  }

 private:
  Destination destination_;
  std::shared_ptr<platform::Transport> transport_;
};

}  // namespace

std::string SyslogRecord(const Record& record, std::int64_t utc_us,
                         std::u16string_view host_name, std::size_t max_size) {
  std::string out = record.crash ? "<10>1 " : "<11>1 ";
  out += Timestamp(utc_us);
  for (const std::string& field :
       {HeaderName(host_name, 255), HeaderName(record.app_name, 48),
        std::to_string(record.process_id), std::string(record.crash ? "crash" : "report")}) {
    out += ' ';
    out += field;
  }
  out += " [";
  out += kSyslogSdId;
  AppendParameter(out, "number", record.number);
  AppendParameter(out, "module", record.module_name);
  AppendParameter(out, "procedure", record.proc_name);
  AppendParameter(out, "line", record.line);
  AppendParameter(out, "fingerprint", record.fingerprint);
  AppendParameter(out, "critical", record.critical ? 1 : 0);
  AppendParameter(out, "version", record.app_version);
  if (record.folded > 0) AppendParameter(out, "folded", record.folded);
  out += "] ";
  out += kBom;
  std::u16string_view report = record.report;  // without the line break that ends it
  while (!report.empty() && (report.back() == u'\n' || report.back() == u'\r')) {
    report.remove_suffix(1);
  }
  std::string message = runtime::ToUtf8(Summary(record)) + '\n';
  const std::size_t whole = out.size() + message.size() + Utf8LinesSize(report);
  // Of a report that will be cut, only what the record can hold is made (a unit is a byte at
  // least): a host's megabytes cost no more than the destination's size.
  message += Utf8Lines(report.substr(0, max_size));
  if (whole <= max_size) return out + message;
  const std::string marker = "\n[cut: " + std::to_string(whole) + " bytes, limit " +
                             std::to_string(max_size) + "]";
  std::size_t keep = max_size > out.size() + marker.size() ? max_size - out.size() - marker.size()
                                                          : 0;
  while (keep > 0 && (static_cast<unsigned char>(message[keep]) & 0xC0) == 0x80) --keep;
  return out + message.substr(0, keep) + marker;
}

std::unique_ptr<Sink> MakeSyslogSink(const Destination& destination,
                                     std::shared_ptr<platform::Transport> transport) {
  return std::make_unique<SyslogSink>(destination, std::move(transport));
}

}  // namespace cobaltmoth::delivery
