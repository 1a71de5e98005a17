// The desktop test's Windows program. With arguments it stands in for the ".htm" program: it
// writes its command line as UTF-8 to the file COBALTMOTH_TEST_RECORD names, then makes that
// name with ".done" added. Without, it writes the clipboard's text as UTF-8 to standard output.
#include <string>

#include "platform/windows/unique.hpp"

static void WriteUtf8(HANDLE file, const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  DWORD written = 0;
  ::WriteFile(file, utf8.data(), static_cast<DWORD>(size - 1), &written, nullptr);
}

static cobaltmoth::platform::windows::UniqueFile Create(const std::wstring& path) {
  return cobaltmoth::platform::windows::UniqueFile(::CreateFileW(
      path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

int main(int argc, char**) {
  wchar_t record[MAX_PATH] = {};
  if (argc > 1 && ::GetEnvironmentVariableW(L"COBALTMOTH_TEST_RECORD", record, MAX_PATH) > 0) {
    WriteUtf8(Create(record).get(), ::GetCommandLineW());  // closed before the marker is made
    return Create(std::wstring(record) + L".done") ? 0 : 3;
  }
  for (int attempt = 0; !::OpenClipboard(nullptr); ++attempt) {
    if (attempt == 50) return 1;
    ::Sleep(100);
  }
  HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
  const auto* text = data == nullptr ? nullptr : static_cast<const wchar_t*>(::GlobalLock(data));
  if (text != nullptr) WriteUtf8(::GetStdHandle(STD_OUTPUT_HANDLE), text);
  if (text != nullptr) ::GlobalUnlock(data);
  ::CloseClipboard();
  return text == nullptr ? 1 : 0;
}
