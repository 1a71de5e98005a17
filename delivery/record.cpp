#include "delivery/record.hpp"

#include "runtime/text.hpp"

namespace cobaltmoth::delivery {
namespace {

// The heading the crash handlers of both systems write above the frames.
constexpr std::u16string_view kNativeStackHeading = u"Native Stack:\r\n-------------\r\n";

struct Frame {
  std::u16string_view module;
  std::u16string_view name;  // empty when the frame is not named
};

// "#00 0x... payroll+0x2364 SaveOrder(Order const&) at /src/db.cpp:31" (POSIX) or
// "#00 0x... Payroll.exe!SaveOrder+0x10 at C:\src\db.cpp:31" (Windows).
Frame ParseFrame(std::u16string_view line) {
  Frame frame;
  for (int blank = 0; blank < 2; ++blank) {  // past the number and the address
    const std::size_t at = line.find(u' ');
    line = at == std::u16string_view::npos ? std::u16string_view() : line.substr(at + 1);
  }
  const std::size_t token_end = line.find(u' ');
  const std::u16string_view token = line.substr(0, token_end);
  if (const std::size_t bang = token.find(u'!'); bang != std::u16string_view::npos) {
    frame.module = token.substr(0, bang);
    frame.name = token.substr(bang + 1, token.rfind(u"+0x") - bang - 1);
    return frame;
  }
  frame.module = token.substr(0, token.rfind(u"+0x"));
  if (token_end == std::u16string_view::npos) return frame;
  frame.name = line.substr(token_end + 1);
  frame.name = frame.name.substr(0, frame.name.rfind(u" at "));
  return frame;
}

void AppendField(std::u16string& out, std::u16string_view text) {
  for (const char16_t unit : text) out += unit < u' ' || unit == 0x7F ? u' ' : unit;
}

}  // namespace

void ReadNativeStack(Record& record) {
  std::u16string_view report = record.report;
  const std::size_t heading = report.find(kNativeStackHeading);
  if (heading == std::u16string_view::npos) return;
  // The frames ("#00 ..."), then perhaps why they are not named, then perhaps "Modules:" and a
  // path a line; a blank line ends the section, as on Windows the line of the minidump does.
  std::u16string_view rest = report.substr(heading + kNativeStackHeading.size());
  bool modules = false;
  while (!rest.empty() && !rest.starts_with(u"\r\n") && !rest.starts_with(u"Minidump: ")) {
    const std::size_t end = rest.find(u"\r\n");
    const std::u16string_view line = rest.substr(0, end);
    if (modules) {
      record.modules.emplace_back(line);
    } else if (line.starts_with(u'#')) {
      record.native_stack.emplace_back(line);
    } else {
      modules = line == u"Modules:";
    }
    if (end == std::u16string_view::npos) break;
    rest.remove_prefix(end + 2);
  }
}

std::vector<std::u16string> NamedFramesOf(std::span<const std::u16string> native_stack,
                                          std::u16string_view module) {
  std::vector<std::u16string> names;
  const std::u16string wanted = runtime::LCase(module);
  for (const std::u16string& line : native_stack) {
    const Frame frame = ParseFrame(line);
    if (frame.name.empty() || runtime::LCase(frame.module) != wanted) continue;
    names.emplace_back(frame.name);
    if (names.size() == 3) break;
  }
  return names;
}

std::string Fingerprint(std::int32_t number, std::u16string_view module_name,
                        std::u16string_view proc_name, std::span<const std::u16string> frames) {
  std::u16string text = runtime::Decimal(number);
  text += u'\n';
  text += runtime::LCase(module_name);
  text += u'\n';
  text += runtime::LCase(proc_name);
  for (const std::u16string& name : frames) {
    text += u'\n';
    text += name;
  }
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const char byte : runtime::ToUtf8(text)) {
    hash ^= static_cast<unsigned char>(byte);
    hash *= 0x100000001b3u;
  }
  std::string hex(16, '0');
  for (std::size_t i = 16; i-- > 0; hash >>= 4) hex[i] = "0123456789abcdef"[hash & 15];
  return hex;
}

void Complete(Record& record, std::u16string_view main_module) {
  record.native_stack.clear();
  record.modules.clear();
  ReadNativeStack(record);
  const std::vector<std::u16string> frames =
      record.crash ? NamedFramesOf(record.native_stack, main_module)
                   : std::vector<std::u16string>();
  record.fingerprint =
      Fingerprint(record.number, record.module_name, record.proc_name, frames);
}

std::u16string Summary(const Record& record) {
  std::u16string out;
  AppendField(out, record.app_name);
  out += u' ';
  out += record.app_version;
  out += record.crash ? u": crash " : u": error ";
  runtime::AppendDecimal(out, record.number);
  if (!record.module_name.empty() || !record.proc_name.empty()) {
    out += u" in ";
    AppendField(out, record.module_name);
    out += u'.';
    AppendField(out, record.proc_name);
  }
  if (record.line != 0) {
    out += u" at line ";
    runtime::AppendDecimal(out, record.line);
  }
  out += u": ";
  AppendField(out, std::u16string_view(record.description).substr(0, kSummaryDescription));
  if (record.description.size() > kSummaryDescription) out += u'\u2026';
  return out;
}

std::string Utf8Lines(std::u16string_view text) {
  std::string out = runtime::ToUtf8(text);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] != '\r') {
      out[kept++] = out[i];
    } else if (i + 1 == out.size() || out[i + 1] != '\n') {
      out[kept++] = '\n';
    }
  }
  out.resize(kept);
  return out;
}

std::size_t Utf8LinesSize(std::u16string_view text) noexcept {
  std::size_t size = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    const bool pair = unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
    if (unit == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;  // one LF
    size += unit < 0x80 ? 1 : unit < 0x800 ? 2 : pair ? 4 : 3;  // a lone surrogate: U+FFFD
    i += pair;
  }
  return size;
}

}  // namespace cobaltmoth::delivery
