// The outbox's folder on Windows: %LOCALAPPDATA%\Cobaltmoth\Outbox. What is there is the
// user's own by the permissions of the profile (its local application data is open to the
// user, SYSTEM and the administrators only); locks by LockFileEx, which the system lets go when
// the process ends. The sender is cobaltmoth-send.exe beside the DLL (COBALTMOTH_SEND_PROGRAM
// names another).
#include "platform/windows/windows_platform.hpp"

#include <shlobj.h>

#include <algorithm>
#include <string>

namespace cobaltmoth::platform::windows {
namespace {

std::wstring WideName(std::string_view name) { return std::wstring(name.begin(), name.end()); }

std::string Utf8(const std::wstring& text) {
  std::string out(text.size() * 3, '\0');
  out.resize(static_cast<std::size_t>(
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

std::wstring EnvironmentValue(const wchar_t* name) {
  wchar_t value[MAX_PATH];
  const DWORD length = ::GetEnvironmentVariableW(name, value, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::string Problem(DWORD code) {
  char* text = nullptr;
  ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string problem = text != nullptr ? text : "Windows error " + std::to_string(code);
  ::LocalFree(text);
  return problem.substr(0, problem.find_last_not_of("\r\n .") + 1);
}

DWORD WriteNewFile(const std::wstring& path, std::string_view bytes) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return ::GetLastError();
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(file.get(), bytes.data(), chunk, &written, nullptr)) return ::GetLastError();
    bytes.remove_prefix(written);
  }
  return ERROR_SUCCESS;
}

class FileLock final : public OutboxFolder::Lock {
 public:
  explicit FileLock(UniqueFile file) : file_(std::move(file)) {}

 private:
  UniqueFile file_;  // closing it lets the lock go
};

class WindowsOutboxFolder final : public OutboxFolder {
 public:
  std::string Path() override { return Utf8(Folder()); }

  std::string Write(std::string_view name, std::string_view bytes) override {
    const std::wstring folder = Folder();
    if (folder.empty()) return "the user has no local application data folder";
    const std::wstring path = folder + L"\\" + WideName(name);
    const std::wstring temporary =
        path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
    DWORD error = WriteNewFile(temporary, bytes);
    if (error == ERROR_PATH_NOT_FOUND) {
      ::CreateDirectoryW(folder.substr(0, folder.rfind(L'\\')).c_str(), nullptr);
      ::CreateDirectoryW(folder.c_str(), nullptr);
      error = WriteNewFile(temporary, bytes);
    }
    if (error == ERROR_SUCCESS &&
        !::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      error = ::GetLastError();
    }
    if (error == ERROR_SUCCESS) return {};
    ::DeleteFileW(temporary.c_str());
    return Problem(error);
  }

  std::vector<File> List() override {
    std::vector<File> files;
    const std::wstring folder = Folder();
    WIN32_FIND_DATAW found{};
    const HANDLE search =
        folder.empty() ? INVALID_HANDLE_VALUE : ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return files;
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
      const std::wstring name = found.cFileName;
      if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c > 0x7E; })) continue;
      const auto time = (static_cast<std::int64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) |
                        found.ftLastWriteTime.dwLowDateTime;
      files.push_back({std::string(name.begin(), name.end()),
                       (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
                       (time - 116444736000000000LL) / 10000});  // from 1601 in 100 ns
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return files;
  }

  bool Read(std::string_view name, std::string* bytes) override {
    UniqueFile file(::CreateFileW(PathOf(name).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size)) return false;
    bytes->resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t got = 0;
    DWORD n = 0;
    while (got < bytes->size() &&
           ::ReadFile(file.get(), bytes->data() + got,
                      static_cast<DWORD>(std::min<std::size_t>(bytes->size() - got, 1u << 30)), &n,
                      nullptr) &&
           n > 0) {
      got += n;
    }
    bytes->resize(got);
    return true;
  }

  bool Remove(std::string_view name) override {
    return ::DeleteFileW(PathOf(name).c_str()) != 0;
  }

  std::unique_ptr<Lock> TakeLock(std::string_view name, bool wait) override {
    UniqueFile file(::CreateFileW(PathOf(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    OVERLAPPED whole{};
    if (!file || !::LockFileEx(file.get(),
                               LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY), 0,
                               1, 0, &whole)) {
      return nullptr;
    }
    return std::make_unique<FileLock>(std::move(file));
  }

  void Tell(std::string_view line) override {
    const HANDLE errors = ::GetStdHandle(STD_ERROR_HANDLE);
    if (errors == nullptr || errors == INVALID_HANDLE_VALUE ||
        ::GetFileType(errors) != FILE_TYPE_CHAR) {
      return;
    }
    const std::string text = std::string(line) + "\r\n";
    DWORD written = 0;
    ::WriteFile(errors, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }

  void StartSender() override {
    std::wstring program = EnvironmentValue(L"COBALTMOTH_SEND_PROGRAM");
    if (program.empty()) {
      wchar_t module[MAX_PATH];
      const DWORD length = ::GetModuleFileNameW(ThisModule(), module, MAX_PATH);
      if (length == 0 || length >= MAX_PATH) return;
      program.assign(module, length);
      program = program.substr(0, program.rfind(L'\\') + 1) + L"cobaltmoth-send.exe";
    }
    std::wstring command = L"\"" + program + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    // No console, no handle of the host's; out of the host's job when the job allows it, so
    // that a host whose job ends its processes with it does not take the sender along.
    const DWORD detached = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    if (!::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE,
                          detached | CREATE_BREAKAWAY_FROM_JOB, nullptr, nullptr, &startup,
                          &started) &&
        !::CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, detached,
                          nullptr, nullptr, &startup, &started)) {
      return;
    }
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
  }

 private:
  // The file's path; empty (which no call opens) when there is no folder.
  static std::wstring PathOf(std::string_view name) {
    const std::wstring folder = Folder();
    return folder.empty() ? folder : folder + L"\\" + WideName(name);
  }

  static std::wstring Folder() {
    std::wstring base = EnvironmentValue(L"LOCALAPPDATA");
    if (base.empty()) {
      PWSTR known = nullptr;
      if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &known))) {
        base = known;
      }
      ::CoTaskMemFree(known);
    }
    return base.empty() ? base : base + L"\\Cobaltmoth\\Outbox";
  }
};

}  // namespace

std::shared_ptr<OutboxFolder> MakeWindowsOutboxFolder() {
  return std::make_shared<WindowsOutboxFolder>();
}

}  // namespace cobaltmoth::platform::windows
