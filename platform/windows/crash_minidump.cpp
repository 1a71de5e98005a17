// The minidump of a crash, written beside the bug log (platform/windows/crash_parts.hpp).
#include "platform/windows/crash_parts.hpp"

#include <cwchar>

namespace cobaltmoth::platform::windows {

DWORD WriteMinidump(const wchar_t* log, const SYSTEMTIME& now, DWORD thread,
                    EXCEPTION_POINTERS* pointers, wchar_t (&path)[MAX_PATH * 4]) {
  const wchar_t* name = FileNameOf(log);
  const wchar_t* dot = std::wcsrchr(name, L'.');
  const wchar_t* stem_end = dot != nullptr ? dot : name + std::wcslen(name);
  const auto stem = static_cast<std::size_t>(stem_end - log);
  if (stem + 40 >= MAX_PATH * 4) return ERROR_FILENAME_EXCED_RANGE;
  std::wmemcpy(path, log, stem);
  std::swprintf(path + stem, MAX_PATH * 4 - stem, L"_%04u%02u%02u-%02u%02u%02u_%lu.dmp",
                now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                static_cast<unsigned long>(::GetCurrentProcessId()));
  const UniqueFile file(::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ::GetLastError();
  MINIDUMP_EXCEPTION_INFORMATION exception {};
  exception.ThreadId = thread;
  exception.ExceptionPointers = pointers;
  exception.ClientPointers = FALSE;
  if (!::MiniDumpWriteDump(::GetCurrentProcess(), ::GetCurrentProcessId(), file.get(),
                           static_cast<MINIDUMP_TYPE>(MiniDumpNormal | MiniDumpWithThreadInfo),
                           pointers != nullptr ? &exception : nullptr, nullptr, nullptr)) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
  }
  return 0;
}

}  // namespace cobaltmoth::platform::windows
