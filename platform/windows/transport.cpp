// The Windows backend's Transport (platform/transport.hpp): the Event Log, through the event
// source the DLL registers (RegisterEventSourceW, ReportEventW), and TCP streams through
// Winsock: a non-blocking socket whose connection and sends are waited for with select() up
// to the deadline, a host name looked up on a thread of its own that the caller stops waiting
// for at the deadline. The journal's and syslog's local sockets are not here.
#include <winsock2.h>  // before <windows.h>, which would bring the older winsock.h
#include <ws2tcpip.h>

#include "platform/windows/windows_platform.hpp"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/transport.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::platform::windows {
namespace {

Handed Absent(const char* what) { return {Handover::kAbsent, what}; }

// Milliseconds left to the deadline, 0 when it has passed.
long LeftMs(Deadline deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now()).count();
  return left > 0 ? static_cast<long>(std::min<long long>(left, 1 << 30)) : 0;
}

// Waits until the socket can take more (or its connection failed), or the deadline.
bool AwaitWritable(SOCKET socket, Deadline deadline) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  const long left = LeftMs(deadline);
  timeval wait{left / 1000, (left % 1000) * 1000};
  return ::select(0, nullptr, &writable, &failed, &wait) > 0 && FD_ISSET(socket, &writable);
}

// The addresses of `host`, looked up by a thread of their own. The thread holds a reference to
// this module until it ends, so that a host that lets the DLL go meanwhile (DllCanUnloadNow)
// never unloads the code the thread is running.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int error = 0;
  addrinfo* found = nullptr;
  ~Lookup() {
    if (found != nullptr) ::freeaddrinfo(found);
  }
};

struct LookupJob {
  std::shared_ptr<Lookup> lookup;
  std::string host;
  std::string port;
  HMODULE pinned = nullptr;
};

DWORD WINAPI LookUp(void* context) {
  std::unique_ptr<LookupJob> job(static_cast<LookupJob*>(context));
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = ::getaddrinfo(job->host.c_str(), job->port.c_str(), &hints, &found);
  {
    const std::lock_guard<std::mutex> lock(job->lookup->mutex);
    job->lookup->found = found;
    job->lookup->error = error;
    job->lookup->done = true;
    job->lookup->done_cv.notify_all();
  }
  const HMODULE pinned = job->pinned;
  job.reset();  // the thread ends below, past every destructor
  ::FreeLibraryAndExitThread(pinned, 0);
}

// The lookup, or none when the deadline came first (or no thread could be started).
std::shared_ptr<Lookup> Resolve(const std::string& host, const std::string& port,
                                Deadline deadline) {
  auto lookup = std::make_shared<Lookup>();
  auto job = std::make_unique<LookupJob>(LookupJob{lookup, host, port});
  HMODULE pinned = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&LookUp), &pinned)) {
    return nullptr;
  }
  UniqueHmodule pin(pinned);
  job->pinned = pinned;
  const UniqueHandle thread(::CreateThread(nullptr, 0, LookUp, job.get(), 0, nullptr));
  if (!thread) return nullptr;
  // The thread owns the job and the pin from here on.
  job.release();
  pin.release();
  std::unique_lock<std::mutex> lock(lookup->mutex);
  if (!lookup->done_cv.wait_until(lock, deadline, [&] { return lookup->done; })) return nullptr;
  return lookup;
}

// Winsock, started once for the process and never stopped (the host may use it as well).
bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

Handed SocketFailure(int error) {
  Handed handed{Handover::kFailed, "Winsock error " + std::to_string(error)};
  if (error == WSAECONNREFUSED || error == WSAEHOSTUNREACH || error == WSAENETUNREACH) {
    handed.outcome = Handover::kAbsent;
  } else if (error == WSAETIMEDOUT || error == WSAEWOULDBLOCK) {
    handed.outcome = Handover::kTimedOut;
  }
  return handed;
}

SOCKET NoSocket() noexcept { return INVALID_SOCKET; }
void CloseSocket(SOCKET socket) noexcept { ::closesocket(socket); }
using UniqueSocket = UniqueAny<SOCKET, CloseSocket, NoSocket>;

// Connects to one address and sends every byte by the deadline.
Handed SendTo(const addrinfo& address, std::string_view bytes, Deadline deadline) {
  const UniqueSocket owner(::socket(address.ai_family, SOCK_STREAM, IPPROTO_TCP));
  const SOCKET socket = owner.get();
  if (!owner) return SocketFailure(::WSAGetLastError());
  u_long non_blocking = 1;
  ::ioctlsocket(socket, FIONBIO, &non_blocking);
  if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return SocketFailure(error);
    if (!AwaitWritable(socket, deadline)) {
      int failure = 0;
      int size = sizeof failure;
      ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &size);
      return SocketFailure(failure != 0 ? failure : WSAETIMEDOUT);
    }
  }
  while (!bytes.empty()) {
    const int sent = ::send(socket, bytes.data(),
                            static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20)), 0);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      return SocketFailure(::WSAGetLastError());
    } else if (!AwaitWritable(socket, deadline)) {
      return SocketFailure(WSAETIMEDOUT);
    }
  }
  return {};
}

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
  bool Has(Way way) override { return way == Way::kStream || way == Way::kEventLog; }

  // The machine's name and the process id are read at each call; what the system and the
  // program are, once.
  Origin Here() override {
    static const Origin kFixed = System();
    Origin origin = kFixed;
    wchar_t name[256];
    DWORD size = 256;
    if (::GetComputerNameExW(ComputerNameDnsHostname, name, &size)) {
      origin.host_name.assign(name, name + size);
    }
    origin.process_id = ::GetCurrentProcessId();
    return origin;
  }

  static Origin System() {
    Origin origin;
    wchar_t path[MAX_PATH];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring_view program(path, length < MAX_PATH ? length : 0);
    program = program.substr(program.find_last_of(L"\\/") + 1);
    origin.main_module.assign(program.begin(), program.end());
    // The version the system says of itself (GetVersionEx answers as the manifest asks).
    origin.os_name = u"Windows";
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    const auto get_version = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    if (get_version != nullptr && get_version(&version) == 0) {
      origin.os_version = runtime::Decimal(version.dwMajorVersion) + u'.' +
                          runtime::Decimal(version.dwMinorVersion) + u'.' +
                          runtime::Decimal(version.dwBuildNumber);
      origin.kernel_version = origin.os_version;
    }
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

  Handed SendStream(std::string_view host, std::uint16_t port, std::string_view bytes,
                    Deadline deadline) override {
    if (!WinsockReady()) return Absent("Winsock cannot be started");
    const std::shared_ptr<Lookup> lookup =
        Resolve(std::string(host), std::to_string(port), deadline);
    if (!lookup) return SocketFailure(WSAETIMEDOUT);
    if (lookup->error != 0) {
      return {Handover::kAbsent, "no address for " + std::string(host)};
    }
    Handed handed = SocketFailure(WSAECONNREFUSED);
    for (const addrinfo* address = lookup->found; address != nullptr; address = address->ai_next) {
      handed = SendTo(*address, bytes, deadline);
      if (handed.outcome != Handover::kAbsent) break;  // sent, or failed once connected
    }
    return handed;
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

  // A host without a console (a Basic program's window, Office) has the line go to a debugger's
  // output instead (DebugView shows it), which costs nothing while none listens.
  void Tell(std::u16string_view line) override {
    const std::u16string text = std::u16string(line) + u"\r\n";
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error == nullptr || error == INVALID_HANDLE_VALUE || !::GetConsoleMode(error, &mode)) {
      ::OutputDebugStringW(reinterpret_cast<const wchar_t*>(text.c_str()));
      return;
    }
    DWORD written = 0;
    ::WriteConsoleW(error, text.c_str(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
};

}  // namespace

std::shared_ptr<Transport> MakeWindowsTransport() { return std::make_shared<WindowsTransport>(); }

}  // namespace cobaltmoth::platform::windows
