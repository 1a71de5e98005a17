// A stand-in for the program that opens ".htm" files: appends its command line, as UTF-8, to
// the file that COBALTMOTH_TEST_RECORD names, then creates that name with ".done" added.
#include <string>

#include "platform/windows/unique.hpp"

using cobaltmoth::win::UniqueFile;

int main() {
  wchar_t record[MAX_PATH] = {};
  if (::GetEnvironmentVariableW(L"COBALTMOTH_TEST_RECORD", record, MAX_PATH) == 0) return 2;
  const wchar_t* line = ::GetCommandLineW();
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8.data(), size, nullptr, nullptr);
  utf8.resize(utf8.size() - 1);
  {
    const UniqueFile file(::CreateFileW(record, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 3;
    DWORD written = 0;
    ::WriteFile(file.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  }  // closed before the marker says it is complete
  const std::wstring done = std::wstring(record) + L".done";
  const UniqueFile marker(::CreateFileW(done.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  return 0;
}
