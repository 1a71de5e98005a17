// The journal's sink: the native protocol, written here rather than through libsystemd's
// sd_journal_sendv, so that no host needs libsystemd for it (the protocol is small and
// documented: one datagram of fields to /run/systemd/journal/socket, or, for a record larger
// than a datagram, a sealed memory file whose descriptor goes alone in the datagram).
//
// A raised error (the report's lines here shortened; "\n<size>" is the value's size as 8
// bytes, little-endian):
//   MESSAGE=Payroll 1.2.30: error 11 in frmOrders.cmdSave_Click at line 120: Division by zero
//   MESSAGE_ID=e05c9d82bf314f92a10d3c0d0b98c8ea
//   PRIORITY=3
//   SYSLOG_FACILITY=1
//   SYSLOG_IDENTIFIER=Payroll
//   SYSLOG_PID=4242
//   CODE_FUNC=cmdSave_Click
//   CODE_LINE=120
//   COBALTMOTH_ERROR_NUMBER=11
//   COBALTMOTH_DESCRIPTION=Division by zero
//   COBALTMOTH_MODULE=frmOrders
//   COBALTMOTH_PROCEDURE=cmdSave_Click
//   COBALTMOTH_APP_VERSION=1.2.30
//   COBALTMOTH_FINGERPRINT=e34c6ed30106773b
//   COBALTMOTH_CRITICAL=0
//   COBALTMOTH_REPORT
//   <size>The Application:
//   ----------------
//   ...
// A crash has MESSAGE_ID=aa5da1f57486427babbf531357e50c8c, PRIORITY=2, COBALTMOTH_CRITICAL=1
// and COBALTMOTH_NATIVE_STACK (one frame a line) before the report; COBALTMOTH_FOLDED=N comes
// after COBALTMOTH_CRITICAL when records were folded away before this one.
#include <utility>

#include "delivery/sink.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

void AppendField(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  if (value.find('\n') == std::string_view::npos) {
    out += '=';
  } else {
    out += '\n';
    std::uint64_t size = value.size();
    for (int i = 0; i < 8; ++i, size >>= 8) out += static_cast<char>(size & 0xFF);
  }
  out += value;
  out += '\n';
}

void AppendField(std::string& out, std::string_view name, std::u16string_view value) {
  AppendField(out, name, Utf8Lines(value));
}

void AppendField(std::string& out, std::string_view name, std::int64_t value) {
  AppendField(out, name, runtime::ToUtf8(runtime::Decimal(value)));
}

class JournalSink final : public Sink {
 public:
  explicit JournalSink(std::shared_ptr<platform::Transport> transport)
      : transport_(std::move(transport)) {}
  std::string Send(const Record& record, platform::Deadline deadline) override {
    const std::string bytes = JournalRecord(record);
    platform::Handed handed = transport_->SendDatagram(kJournalSocket, bytes, deadline);
    if (handed.outcome == platform::Handover::kTooBig) {
      handed = transport_->SendSealedFile(kJournalSocket, bytes, deadline);
    }
    return Reason(handed);
  }

 private:
  std::shared_ptr<platform::Transport> transport_;
};

}  // namespace

std::string JournalRecord(const Record& record) {
  std::string out;
  AppendField(out, "MESSAGE", Summary(record));
  AppendField(out, "MESSAGE_ID", record.crash ? kCrashMessageId : kReportMessageId);
  AppendField(out, "PRIORITY", record.crash ? 2 : 3);
  AppendField(out, "SYSLOG_FACILITY", 1);  // user, as the syslog records say
  AppendField(out, "SYSLOG_IDENTIFIER", record.app_name);
  AppendField(out, "SYSLOG_PID", record.process_id);
  AppendField(out, "CODE_FUNC", record.proc_name);
  AppendField(out, "CODE_LINE", record.line);
  AppendField(out, "COBALTMOTH_ERROR_NUMBER", record.number);
  AppendField(out, "COBALTMOTH_DESCRIPTION", record.description);
  AppendField(out, "COBALTMOTH_MODULE", record.module_name);
  AppendField(out, "COBALTMOTH_PROCEDURE", record.proc_name);
  AppendField(out, "COBALTMOTH_APP_VERSION", record.app_version);
  AppendField(out, "COBALTMOTH_FINGERPRINT", record.fingerprint);
  AppendField(out, "COBALTMOTH_CRITICAL", record.critical ? 1 : 0);
  if (record.folded > 0) AppendField(out, "COBALTMOTH_FOLDED", record.folded);
  if (!record.native_stack.empty()) {
    std::string frames;
    for (const std::u16string& frame : record.native_stack) {
      if (!frames.empty()) frames += '\n';
      frames += Utf8Lines(frame);
    }
    AppendField(out, "COBALTMOTH_NATIVE_STACK", frames);
  }
  AppendField(out, "COBALTMOTH_REPORT", record.report);
  return out;
}

std::unique_ptr<Sink> MakeJournalSink(std::shared_ptr<platform::Transport> transport) {
  return std::make_unique<JournalSink>(std::move(transport));
}

}  // namespace cobaltmoth::delivery
