// A report as an error tracker takes it (delivery/envelope.hpp).
#include "delivery/envelope.hpp"

#include <cobaltmoth/version.hpp>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/common/outbox.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

using std::u16string_view;
constexpr std::size_t kNone = u16string_view::npos;
// What a too big event keeps: the characters of a text, the innermost frames of a stack.
constexpr std::size_t kCutText = 4096;
constexpr std::size_t kCutFrames = 200;
constexpr std::size_t kTagLimit = 200;  // what the trackers keep of a tag's value
constexpr u16string_view kStackElement = u"Stack Element ";

struct ProcFrame {
  u16string_view module, function;
};
// A traced thread's procedure stack, innermost first as the report lists it.
struct ThreadStack {
  u16string_view id;  // digits; empty for the thread that reports
  std::vector<ProcFrame> frames;
};

u16string_view TrimmedRight(u16string_view text) {
  while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
  return text;
}

// "Stack Element 002 of 003 frmOrders            - cmdSave_Click        called @ line 40 by Main"
bool ParseStackElement(u16string_view line, ProcFrame* frame) {
  if (!line.starts_with(kStackElement)) return false;
  const std::size_t of = line.find(u" of ");
  const std::size_t names = of == kNone ? kNone : line.find(u' ', of + 4);
  const std::size_t dash = names == kNone ? kNone : line.find(u" - ", names + 1);
  if (dash == kNone) return false;
  frame->module = TrimmedRight(line.substr(names + 1, dash - names - 1));
  const u16string_view rest = line.substr(dash + 3);
  frame->function = TrimmedRight(rest.substr(0, rest.find(u" called @ line ")));
  return true;
}

// The procedure stacks of the report: the reporting thread's first, then those under "Other
// Threads:", each after its "Thread 1234:" line. The environment's lines are not read.
std::vector<ThreadStack> ReadStacks(u16string_view report) {
  std::vector<ThreadStack> stacks(1);
  bool others = false;
  while (!report.empty()) {
    const std::size_t end = report.find(u"\r\n");
    const u16string_view line = report.substr(0, end);
    report = end == kNone ? u16string_view() : report.substr(end + 2);
    ProcFrame frame;
    if (line.starts_with(u"Current Enviroment Variables:")) break;
    if (line == u"Other Threads:") {
      others = true;
    } else if (others && line.starts_with(u"Thread ") && line.ends_with(u':')) {
      stacks.push_back({line.substr(7, line.size() - 8), {}});
    } else if (ParseStackElement(line, &frame)) {
      stacks.back().frames.push_back(frame);
    }
  }
  return stacks;
}

struct NativeFrame {
  u16string_view address, package, function, file, line;
};

// "#00 0x000055d1c2a1e364 payroll+0x2364 SaveOrder(Order const&) at /src/db.cpp:31",
// "#00 0x00007ff6... Payroll.exe!SaveOrder+0x10 at C:\src\db.cpp:31", "#03 0x5503 ?".
NativeFrame ParseNativeFrame(u16string_view line) {
  NativeFrame frame;
  line = line.substr(std::min(line.find(u' '), line.size()));  // past the number
  if (!line.empty()) line.remove_prefix(1);
  const std::size_t blank = line.find(u' ');
  frame.address = line.substr(0, blank);
  line = blank == kNone ? u16string_view() : line.substr(blank + 1);
  if (const std::size_t at = line.rfind(u" at "); at != kNone) {
    const u16string_view place = line.substr(at + 4);
    const std::size_t colon = place.rfind(u':');
    frame.file = place.substr(0, colon);
    if (colon != kNone) frame.line = place.substr(colon + 1);
    if (frame.line.empty() || frame.line.find_first_not_of(u"0123456789") != kNone) {
      frame.file = place;
      frame.line = {};
    }
    line = line.substr(0, at);
  }
  const std::size_t token_end = line.find(u' ');
  const u16string_view token = line.substr(0, token_end);
  if (const std::size_t bang = token.find(u'!'); bang != kNone) {
    frame.package = token.substr(0, bang);
    frame.function = token.substr(bang + 1, token.rfind(u"+0x") - bang - 1);
  } else if (token != u"?") {
    frame.package = token.substr(0, token.rfind(u"+0x"));
    if (token_end != kNone) frame.function = line.substr(token_end + 1);
  }
  return frame;
}

u16string_view PathOf(u16string_view module, const std::vector<std::u16string>& paths) {
  for (const std::u16string& path : paths) {
    const std::size_t slash = path.find_last_of(u"/\\");
    if (u16string_view(path).substr(slash == kNone ? 0 : slash + 1) == module) return path;
  }
  return module;
}

// The exception's type and its mechanism, from a crash's description:
//   "SIGSEGV: invalid memory reference..."         SIGSEGV, signalhandler
//   "EXCEPTION_ACCESS_VIOLATION writing 0x..."     EXCEPTION_ACCESS_VIOLATION, seh
//   "exception 0xE06D7363"                         exception 0xE06D7363, seh
//   "uncaught exception std::out_of_range: ..."    std::out_of_range, terminate
//   "std::terminate called without an exception"  std::terminate, terminate
std::pair<std::u16string, std::string_view> CrashKind(u16string_view description) {
  constexpr u16string_view kUncaught = u"uncaught exception ";
  if (description.starts_with(kUncaught)) {
    const u16string_view type = description.substr(kUncaught.size());
    return {std::u16string(type.substr(0, type.find(u": "))), "terminate"};
  }
  if (description.starts_with(u"std::terminate")) return {u"std::terminate", "terminate"};
  if (description.starts_with(u"SIG")) {
    return {std::u16string(description.substr(0, description.find(u':'))), "signalhandler"};
  }
  if (description.starts_with(u"exception 0x")) {
    return {std::u16string(description.substr(0, 20)), "seh"};
  }
  return {std::u16string(description.substr(0, description.find(u' '))), "seh"};
}

std::u16string Cut(u16string_view text, std::size_t limit) {
  if (limit == 0 || text.size() <= limit) return std::u16string(text);
  if (text[limit - 1] >= 0xD800 && text[limit - 1] < 0xDC00) --limit;  // a pair stays whole
  return std::u16string(text.substr(0, limit)) + u'\u2026';
}

// The JSON of an event, its texts cut to `cut` characters and its stacks to the innermost
// kCutFrames frames when `cut` is not 0.
class EventWriter {
 public:
  explicit EventWriter(std::size_t cut) : cut_(cut) {}
  std::string out;

  // ,"key": before a value; "{" opens an object with its first member.
  void Key(std::string_view key) {
    if (out.back() != '{' && out.back() != '[') out += ',';
    out += '"';
    out += key;
    out += "\":";
  }
  void Text(std::string_view key, u16string_view value) {
    Key(key);
    AppendJsonString(out, Cut(value, cut_));
  }
  void Raw(std::string_view key, std::string_view value) {
    Key(key);
    out += value;
  }
  void Number(std::string_view key, u16string_view digits) { Raw(key, runtime::ToUtf8(digits)); }
  void Open(std::string_view key, char bracket) {
    Key(key);
    out += bracket;
  }
  void Close(char bracket) { out += bracket; }
  void Item() {
    if (out.back() != '[') out += ',';
    out += '{';
  }

  // Frames oldest first, from a list innermost first; the innermost with the error's line.
  void ProcFrames(const std::vector<ProcFrame>& innermost_first, std::int32_t line) {
    Open("frames", '[');
    const std::size_t kept = Kept(innermost_first.size());
    for (std::size_t i = kept; i-- > 0;) {
      Item();
      Text("module", innermost_first[i].module);
      Text("function", innermost_first[i].function);
      if (i == 0 && line != 0) Raw("lineno", std::to_string(line));
      Raw("in_app", "true");
      Close('}');
    }
    Close(']');
  }

  // `modules`: the whole paths the report lists; a frame's package is the one of its module's
  // name, or the name alone when the report lists none.
  void NativeFrames(const std::vector<std::u16string>& innermost_first,
                    const std::vector<std::u16string>& modules) {
    Open("frames", '[');
    for (std::size_t i = Kept(innermost_first.size()); i-- > 0;) {
      const NativeFrame frame = ParseNativeFrame(innermost_first[i]);
      Item();
      Text("instruction_addr", frame.address);
      if (!frame.package.empty()) Text("package", PathOf(frame.package, modules));
      if (!frame.function.empty()) Text("function", frame.function);
      if (!frame.file.empty()) Text("filename", frame.file);
      if (!frame.line.empty()) Number("lineno", frame.line);
      Close('}');
    }
    Close(']');
  }

 private:
  std::size_t Kept(std::size_t frames) const {
    return cut_ == 0 ? frames : std::min(frames, kCutFrames);
  }
  std::size_t cut_;
};

std::string Event(const Record& record, const TrackerOptions& options, const EnvelopeFacts& facts,
                  std::size_t cut) {
  std::vector<ThreadStack> stacks = ReadStacks(record.report);
  if (stacks[0].frames.empty() && (!record.module_name.empty() || !record.proc_name.empty())) {
    stacks[0].frames.push_back({record.module_name, record.proc_name});
  }
  EventWriter json(cut);
  json.out = "{";
  json.Text("event_id", runtime::FromUtf8(facts.event_id));
  json.Text("timestamp", runtime::FromUtf8(platform::common::Rfc3339(facts.utc_us / 1000)));
  json.Raw("platform", "\"native\"");
  json.Raw("level", record.crash ? "\"fatal\"" : "\"error\"");
  json.Text("release", options.release);
  json.Text("environment", options.environment);
  json.Open("exception", '{');
  json.Open("values", '[');
  json.Item();
  const auto [type, mechanism] = record.crash ? CrashKind(record.description)
                                              : std::pair(u"Error " + runtime::Decimal(record.number),
                                                          std::string_view("raise"));
  json.Text("type", type);
  json.Text("value", record.description);
  json.Open("mechanism", '{');
  json.Raw("type", '"' + std::string(mechanism) + '"');
  json.Raw("handled", record.crash ? "false" : "true");
  json.Close('}');
  if (!stacks[0].frames.empty()) {
    json.Open("stacktrace", '{');
    json.ProcFrames(stacks[0].frames, record.line);
    json.Close('}');
  }
  json.Close('}');
  json.Close(']');
  json.Close('}');
  if (record.crash) {
    json.Open("threads", '{');
    json.Open("values", '[');
    json.Item();
    json.Raw("crashed", "true");
    json.Raw("current", "true");
    if (!record.native_stack.empty()) {
      json.Open("stacktrace", '{');
      json.NativeFrames(record.native_stack, record.modules);
      json.Close('}');
    }
    json.Close('}');
    for (std::size_t i = 1; i < stacks.size(); ++i) {
      json.Item();
      json.Number("id", stacks[i].id);
      json.Raw("crashed", "false");
      if (!stacks[i].frames.empty()) {
        json.Open("stacktrace", '{');
        json.ProcFrames(stacks[i].frames, 0);
        json.Close('}');
      }
      json.Close('}');
    }
    json.Close(']');
    json.Close('}');
  }
  json.Open("contexts", '{');
  if (facts.origin != nullptr) {
    json.Open("os", '{');
    json.Text("name", facts.origin->os_name);
    if (!facts.origin->os_version.empty()) json.Text("version", facts.origin->os_version);
    if (!facts.origin->kernel_version.empty()) {
      json.Text("kernel_version", facts.origin->kernel_version);
    }
    json.Close('}');
  }
  json.Open("app", '{');
  json.Text("app_name", record.app_name);
  json.Text("app_version", record.app_version);
  json.Close('}');
  json.Close('}');
  json.Open("tags", '{');
  json.Text("module", Cut(record.module_name, kTagLimit));
  json.Text("procedure", Cut(record.proc_name, kTagLimit));
  json.Raw("error_number", '"' + std::to_string(record.number) + '"');
  json.Raw("critical", record.critical ? "\"true\"" : "\"false\"");
  json.Close('}');
  if (record.folded != 0) {
    json.Open("extra", '{');
    json.Raw("folded", std::to_string(record.folded));
    json.Close('}');
  }
  if (options.send_user) {
    json.Open("user", '{');
    json.Text("username", options.user_name);
    json.Open("data", '{');
    json.Text("company", options.company);
    json.Close('}');
    json.Close('}');
  }
  json.Open("fingerprint", '[');
  json.out += '"' + record.fingerprint + "\"]}";
  return json.out;
}

}  // namespace

void AppendJsonString(std::string& out, std::u16string_view text) {
  out += '"';
  for (const char byte : runtime::ToUtf8(text)) {
    const auto unit = static_cast<unsigned char>(byte);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += byte;
    } else if (unit >= 0x20 && unit != 0x7F) {
      out += byte;
    } else if (byte == '\n' || byte == '\r' || byte == '\t') {
      out += byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\t";
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unit);
      out += escaped;
    }
  }
  out += '"';
}

std::string Envelope(const Record& record, const TrackerOptions& options,
                     const EnvelopeFacts& facts) {
  std::string event = Event(record, options, facts, 0);
  if (event.size() > kEventLimit) event = Event(record, options, facts, kCutText);
  std::string out = "{\"event_id\":\"" + std::string(facts.event_id) + "\",\"dsn\":";
  AppendJsonString(out, runtime::FromUtf8(facts.dsn));
  out += ",\"sdk\":{\"name\":\"cobaltmoth\",\"version\":\"" COBALTMOTH_VERSION_TEXT "\"}}\n";
  out.reserve(out.size() + event.size() + facts.minidump.size() + record.report.size() + 256);
  out += "{\"type\":\"event\",\"length\":" + std::to_string(event.size()) + "}\n";
  out += event;
  out += '\n';
  constexpr std::size_t kItemHeaders = 256;  // room for the attachments' headers
  if (!facts.minidump.empty() &&
      out.size() + facts.minidump.size() + kItemHeaders <= kEnvelopeLimit) {
    out += "{\"type\":\"attachment\",\"length\":" + std::to_string(facts.minidump.size()) +
           ",\"filename\":\"minidump.dmp\",\"attachment_type\":\"event.minidump\"}\n";
    out += facts.minidump;
    out += '\n';
  }
  if (!options.send_report || record.report.empty()) return out;
  std::string report = runtime::ToUtf8(record.report);
  const std::size_t room = kEnvelopeLimit - std::min(kEnvelopeLimit, out.size() + kItemHeaders);
  if (report.size() > room) {
    const std::string marker = "\r\n[cut: " + std::to_string(report.size()) + " bytes]";
    std::size_t keep = room > marker.size() ? room - marker.size() : 0;
    while (keep > 0 && (static_cast<unsigned char>(report[keep]) & 0xC0) == 0x80) --keep;
    report.resize(keep);
    report += marker;
  }
  out += "{\"type\":\"attachment\",\"length\":" + std::to_string(report.size()) +
         ",\"filename\":\"report.txt\",\"content_type\":\"text/plain\"}\n";
  out += report;
  out += '\n';
  return out;
}

}  // namespace cobaltmoth::delivery
