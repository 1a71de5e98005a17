// Writes the clipboard's Unicode text, as UTF-8, to standard output; exit code 1 when the
// clipboard holds no text or cannot be opened.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>

int main() {
  for (int attempt = 0; !::OpenClipboard(nullptr); ++attempt) {
    if (attempt == 50) return 1;
    ::Sleep(100);
  }
  HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
  const auto* text = data == nullptr ? nullptr : static_cast<const wchar_t*>(::GlobalLock(data));
  if (text == nullptr) {
    ::CloseClipboard();
    return 1;
  }
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
  ::GlobalUnlock(data);
  ::CloseClipboard();
  utf8.resize(utf8.size() - 1);
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()),
              &written, nullptr);
  return 0;
}
