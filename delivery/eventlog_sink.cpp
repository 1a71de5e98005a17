// The Event Log's sink: one event of the source "Cobaltmoth" a report, of the error type,
// event 1000 for a raised error and 1001 for a crash, whose first two insertion strings are
// the summary and the report (CR LF); the message table of the DLL (component/com/messages.mc)
// puts them together as the event's description. The record's fields follow as the event's
// data, in the order of syslog's structured data, for what Windows Event Forwarding and the
// tools that read its XML pick out (Data[3] is the number, Data[7] the fingerprint):
//   summary, report, number, module, procedure, line, fingerprint, critical (1 or 0),
//   version, folded
// A string longer than ReportEventW takes is cut at a character's edge and ends in
//   [cut: 210345 characters]
#include <utility>

#include "delivery/sink.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

constexpr std::uint16_t kErrorType = 1;  // EVENTLOG_ERROR_TYPE

std::u16string Cut(std::u16string text) {
  if (text.size() <= kEventStringLimit) return text;
  const std::u16string marker =
      u"\r\n[cut: " + runtime::Decimal(static_cast<std::int64_t>(text.size())) + u" characters]";
  std::size_t keep = kEventStringLimit - marker.size();
  if (text[keep] >= 0xDC00 && text[keep] < 0xE000) --keep;  // a pair stays whole
  text.resize(keep);
  return text + marker;
}

class EventLogSink final : public Sink {
 public:
  explicit EventLogSink(std::shared_ptr<platform::Transport> transport)
      : transport_(std::move(transport)) {}
  std::string Send(const Record& record, platform::Deadline) override {
    return Reason(transport_->ReportEvent(kEventSource, kErrorType,
                                          record.crash ? kCrashEventId : kReportEventId,
                                          EventStrings(record)));
  }

 private:
  std::shared_ptr<platform::Transport> transport_;
};

}  // namespace

std::vector<std::u16string> EventStrings(const Record& record) {
  return {Cut(Summary(record)),
          Cut(record.report),
          runtime::Decimal(record.number),
          Cut(record.module_name),
          Cut(record.proc_name),
          runtime::Decimal(record.line),
          runtime::FromUtf8(record.fingerprint),
          record.critical ? u"1" : u"0",
          record.app_version,
          runtime::Decimal(record.folded)};
}

std::unique_ptr<Sink> MakeEventLogSink(std::shared_ptr<platform::Transport> transport) {
  return std::make_unique<EventLogSink>(std::move(transport));
}

}  // namespace cobaltmoth::delivery
