// The Windows backend's Transport (platform/transport.hpp): the Event Log, through the event
// source the DLL registers (RegisterEventSourceW, ReportEventW). The journal's and syslog's
// local sockets are not here, and neither is syslog over TCP: a Windows host's reports go to
// the Event Log, which Windows Event Forwarding collects.
#include "platform/windows/windows_platform.hpp"  // <windows.h> first

#include <vector>

#include "platform/transport.hpp"

namespace cobaltmoth::platform::windows {
namespace {

Handed Absent(const char* what) { return {Handover::kAbsent, what}; }

Handed WindowsFailure(DWORD error) {
  wchar_t text[256] = {};
  const DWORD size = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, 256, nullptr);
  std::wstring words(text, size);
  while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r')) words.pop_back();
  return {Handover::kFailed, "Windows error " + std::to_string(error) + ": " +
                                 ToAnsi(std::u16string(words.begin(), words.end()))};
}

class WindowsTransport final : public Transport {
 public:
  Origin Here() override {
    Origin origin;
    wchar_t name[256];
    DWORD size = 256;
    if (::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
      origin.host_name.assign(name, name + size);
    }
    origin.process_id = ::GetCurrentProcessId();
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring_view program(path, length < MAX_PATH ? length : 0);
    program = program.substr(program.find_last_of(L"\\/") + 1);
    origin.main_module.assign(program.begin(), program.end());
    return origin;
  }

  std::int64_t UtcMicroseconds() override {
    FILETIME now {};
    ::GetSystemTimeAsFileTime(&now);
    const std::int64_t since_1601 =
        (static_cast<std::int64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) / 10;
    return since_1601 - 11644473600LL * 1000000;
  }

  Handed SendDatagram(std::string_view, std::string_view, Deadline) override {
    return Absent("there is no journal or syslog socket on Windows");
  }

  Handed SendSealedFile(std::string_view, std::string_view, Deadline) override {
    return Absent("there is no journal on Windows");
  }

  Handed SendStream(std::string_view, std::uint16_t, std::string_view, Deadline) override {
    return Absent("syslog over TCP is not sent from Windows (the Event Log is: eventlog)");
  }

  Handed ReportEvent(std::u16string_view source, std::uint16_t type, std::uint32_t id,
                     std::span<const std::u16string> strings) override {
    const std::wstring name(source.begin(), source.end());
    const HANDLE log = ::RegisterEventSourceW(nullptr, name.c_str());
    if (log == nullptr) return WindowsFailure(::GetLastError());
    std::vector<LPCWSTR> pointers;
    for (const std::u16string& text : strings) {
      pointers.push_back(reinterpret_cast<LPCWSTR>(text.c_str()));
    }
    const BOOL reported = ::ReportEventW(log, type, 0, id, nullptr,
                                         static_cast<WORD>(pointers.size()), 0, pointers.data(),
                                         nullptr);
    const DWORD error = ::GetLastError();
    ::DeregisterEventSource(log);
    return reported ? Handed{} : WindowsFailure(error);
  }

  void Tell(std::u16string_view line) override {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error == nullptr || error == INVALID_HANDLE_VALUE || !::GetConsoleMode(error, &mode)) {
      return;  // not a console: nobody is there to read it
    }
    const std::u16string text = std::u16string(line) + u"\r\n";
    DWORD written = 0;
    ::WriteConsoleW(error, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
};

}  // namespace

std::shared_ptr<Transport> MakeWindowsTransport() { return std::make_shared<WindowsTransport>(); }

}  // namespace cobaltmoth::platform::windows
