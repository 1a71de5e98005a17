// A crash's windows (platform/windows/crash_parts.hpp): the request in a file of the temporary
// folder, read by a fresh process, rundll32 with this DLL's ShowCrashWindowsW.
//
// The program is given the variables of the process's environment that fit a block of 32 K
// characters, each of at most 4 K (a host's variable too large to be passed on must not keep
// the windows from being shown; the request carries the report, which holds the whole
// environment), and an event to set once it has read the request: a program that has not done
// so within kAnswerLimitMs is taken for hung and ended, so the crash still ends the process.
// Once it has, the user is reading the windows, up to kWindowsLimitMs. Meanwhile the other
// threads are held. The request file goes when its last handle closes. A process without an
// interactive desktop (a service) shows no windows and waits for none.
#include "platform/windows/crash_parts.hpp"

#include <cstdint>
#include <cwchar>
#include <new>
#include <string_view>

namespace cobaltmoth::platform::windows {
namespace {

constexpr DWORD kAnswerLimitMs = 20000;
constexpr DWORD kWindowsLimitMs = 60 * 60 * 1000;
constexpr std::size_t kBlockUnits = 32 * 1024;
constexpr std::size_t kLongestVariable = 4 * 1024;

// The program's environment block, made from the process's as it is now.
wchar_t* ProgramEnvironment() noexcept {
  static wchar_t block[kBlockUnits];
  const UniqueEnvironmentBlock all(::GetEnvironmentStringsW());
  std::size_t used = 0;
  for (const wchar_t* entry = all.get(); entry != nullptr && *entry != L'\0';
       entry += std::wcslen(entry) + 1) {
    const std::size_t size = std::wcslen(entry) + 1;
    if (size > kLongestVariable || used + size + 1 > kBlockUnits) continue;
    std::wmemcpy(block + used, entry, size);
    used += size;
  }
  block[used++] = L'\0';
  if (used == 1) block[used++] = L'\0';  // an empty block is two NULs
  return block;
}

// The program that shows the windows: rundll32, or the one COBALTMOTH_CRASH_WINDOWS_PROGRAM
// names.
bool WindowsProgram(wchar_t (&program)[MAX_PATH]) noexcept {
  const DWORD chosen =
      ::GetEnvironmentVariableW(L"COBALTMOTH_CRASH_WINDOWS_PROGRAM", program, MAX_PATH);
  if (chosen > 0 && chosen < MAX_PATH) return true;
  const UINT length = ::GetSystemDirectoryW(program, MAX_PATH);
  return length > 0 && length + 14 < MAX_PATH &&
         std::swprintf(program + length, MAX_PATH - length, L"\\rundll32.exe") > 0;
}

}  // namespace

bool InteractiveDesktop() noexcept {
  USEROBJECTFLAGS flags {};
  const HWINSTA station = ::GetProcessWindowStation();
  if (station == nullptr ||
      !::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, nullptr)) {
    return true;  // nothing known: as a desktop's
  }
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

void ShowCrashWindows(const wchar_t* module, DWORD crashed, const CrashReporter& reporter,
                      const CrashFacts& facts) {
  if (module[0] == L'\0' || !InteractiveDesktop()) return;
  static wchar_t request[MAX_PATH + 64];
  const DWORD folder = ::GetTempPathW(MAX_PATH, request);
  if (folder == 0 || folder >= MAX_PATH) return;
  std::swprintf(request + folder, 64, L"cobaltmoth-crash-%lu.txt",
                static_cast<unsigned long>(::GetCurrentProcessId()));
  const UniqueFile file(::CreateFileW(
      request, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  if (!file) return;
  alignas(FileOut) static unsigned char room[sizeof(FileOut)];
  auto* out = new (room) FileOut(file.get(), /*utf8=*/true);
  reporter.WriteWindowRequest(*out, facts);
  out->Flush();

  SECURITY_ATTRIBUTES inherited {};
  inherited.nLength = sizeof inherited;
  inherited.bInheritHandle = TRUE;
  const UniqueHandle answered(::CreateEventW(&inherited, TRUE, FALSE, nullptr));
  static wchar_t program[MAX_PATH];
  if (!answered || !WindowsProgram(program)) return;
  // rundll32 calls the W entry of the name it is given ("ShowCrashWindows" finds
  // ShowCrashWindowsW, with the command line as UTF-16): the request, then the event.
  static wchar_t command[3 * MAX_PATH + 128];
  std::swprintf(command, sizeof command / sizeof command[0],
                L"\"%ls\" \"%ls\",ShowCrashWindows %ls %llu", program, module, request,
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(answered.get())));
  STARTUPINFOW startup {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started {};
  if (!::CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        ProgramEnvironment(), nullptr, &startup, &started)) {
    return;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  HoldOtherThreads(crashed);
  const HANDLE either[] = {answered.get(), process.get()};
  const DWORD first = ::WaitForMultipleObjects(2, either, FALSE, kAnswerLimitMs);
  const bool ended =
      first == WAIT_OBJECT_0 + 1 ||
      (first == WAIT_OBJECT_0 &&
       ::WaitForSingleObject(process.get(), kWindowsLimitMs) == WAIT_OBJECT_0);
  if (!ended) ::TerminateProcess(process.get(), 1);
}

}  // namespace cobaltmoth::platform::windows
