// The Windows backend's user-facing ports: the message box, the report window, the clipboard,
// the default printer and the shell's hand-off of a ".htm" file's program.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "component/base/host_error.hpp"
#include "component/base/text.hpp"
#include "platform/ui.hpp"
#include "platform/windows/windows_platform.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth::platform {

UiMode WindowsUiMode() noexcept {
  const char* value = std::getenv("COBALTMOTH_UI");
  if (value == nullptr) return UiMode::kGui;
  if (std::strcmp(value, "console") == 0) return UiMode::kConsole;
  if (std::strcmp(value, "none") == 0) return UiMode::kNone;
  return UiMode::kGui;
}

namespace {

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Writes UTF-16 text to standard output in the console's code page (or the ANSI code page
// when the output is a file or a pipe).
void WriteToStandardOutput(std::u16string_view text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const std::string bytes = ToAnsi(text);
  DWORD written = 0;
  ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

class WindowsMessageBox final : public MessageBox {
 public:
  explicit WindowsMessageBox(UiMode mode) : mode_(mode) {}

  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    const std::u16string shown_title(title.empty() ? std::u16string_view(u"Cobaltmoth") : title);
    switch (mode_) {
      case UiMode::kNone:
        return;
      case UiMode::kConsole: {
        std::u16string shown = u"[MsgBox ";
        shown += text::Decimal(style);
        shown += u"] ";
        shown += shown_title;
        shown += u"\r\n";
        shown += prompt;
        shown += u"\r\n";
        WriteToStandardOutput(shown);
        return;
      }
      case UiMode::kGui: {
        const std::u16string shown_prompt(prompt);
        // Owned by the thread's active window (the report window, when one of its buttons
        // shows the box), which then gets the focus back when the box closes.
        ::MessageBoxW(::GetActiveWindow(), Wide(shown_prompt), Wide(shown_title),
                      static_cast<UINT>(style) | MB_TASKMODAL | MB_SETFOREGROUND);
        return;
      }
    }
  }

 private:
  UiMode mode_;
};

// Not drawn yet: the form is unloaded at once, as if the user had closed it.
class UnloadingReportWindow final : public ReportWindow {
 public:
  void ShowModal(report::frmReport& form) override { form.Unload(); }
};

// The window written to standard output for unattended hosts, then unloaded:
//   [Report] <title>
//   Label1(0): <caption>            (each label and button with its caption, in form order)
//   ...
//   [txtError]
//   <the report text>
class ConsoleReportWindow final : public ReportWindow {
 public:
  void ShowModal(report::frmReport& form) override {
    std::u16string shown = u"[Report] ";
    shown += form.Caption();
    shown += u"\r\n";
    for (const report::Control& control : form.Controls()) {
      if (control.kind != report::Control::Kind::kLabel &&
          control.kind != report::Control::Kind::kButton) {
        continue;
      }
      shown += control.name;
      if (control.index >= 0) {
        shown += u"(";
        shown += text::Decimal(control.index);
        shown += u")";
      }
      shown += u": ";
      shown += control.caption;
      shown += u"\r\n";
    }
    shown += u"[txtError]\r\n";
    shown += form.Text();
    shown += u"\r\n";
    WriteToStandardOutput(shown);
    form.Unload();
  }
};

class WindowsClipboard final : public Clipboard {
 public:
  void SetText(std::u16string_view text) override {
    if (!::OpenClipboard(nullptr)) {
      host::Raise(521, host::kProjectSource, u"Can't open Clipboard");
    }
    ::EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(char16_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool placed = false;
    if (memory != nullptr) {
      auto* target = static_cast<char16_t*>(::GlobalLock(memory));
      if (target != nullptr) {
        std::memcpy(target, text.data(), text.size() * sizeof(char16_t));
        target[text.size()] = u'\0';
        ::GlobalUnlock(memory);
        placed = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
      }
      if (!placed) ::GlobalFree(memory);
    }
    ::CloseClipboard();
    if (!placed) host::Raise(521, host::kProjectSource, u"Can't open Clipboard");
  }
};

// One document on the default printer: the text's lines from the printable area's top left
// corner down, a new page when a page is full, in the named font.
class WindowsPrinter final : public Printer {
 public:
  void PrintDocument(std::u16string_view text, std::u16string_view font_name,
                     double font_size_points) override {
    DWORD size = 0;
    ::GetDefaultPrinterW(nullptr, &size);
    if (size == 0) {
      host::Raise(host::kPrinterError, host::kProjectSource,
                  u"Printer error: no default printer is installed");
    }
    std::wstring name(size, L'\0');
    if (!::GetDefaultPrinterW(name.data(), &size)) host::RaiseRuntime(host::kPrinterError);
    HDC dc = ::CreateDCW(L"WINSPOOL", name.c_str(), nullptr, nullptr);
    if (dc == nullptr) host::RaiseRuntime(host::kPrinterError);
    const int dpi_y = ::GetDeviceCaps(dc, LOGPIXELSY);
    const int page_height = ::GetDeviceCaps(dc, VERTRES);
    const std::u16string face(font_name);
    HFONT font = ::CreateFontW(-static_cast<int>(font_size_points * dpi_y / 72.0 + 0.5), 0, 0, 0,
                               FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                               OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                               FIXED_PITCH | FF_MODERN, Wide(face));
    HGDIOBJ old_font = ::SelectObject(dc, font);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc, &metrics);
    const int line_height = metrics.tmHeight + metrics.tmExternalLeading;
    // The printer's own starting position: the corner of the printable area, which is where
    // a printer device context's origin lies; no margin of our own.
    const int left = 0;
    const int top = 0;
    DOCINFOW doc{};
    doc.cbSize = sizeof doc;
    doc.lpszDocName = L"Cobaltmoth";
    bool ok = ::StartDocW(dc, &doc) > 0 && ::StartPage(dc) > 0;
    int y = top;
    std::size_t start = 0;
    while (ok && start <= text.size()) {
      std::size_t end = text.find(u"\r\n", start);
      if (end == std::u16string_view::npos) end = text.size();
      if (y + line_height > page_height - top && y > top) {
        ok = ::EndPage(dc) > 0 && ::StartPage(dc) > 0;
        y = top;
      }
      const std::u16string line(text.substr(start, end - start));
      ::TextOutW(dc, left, y, Wide(line), static_cast<int>(line.size()));
      y += line_height;
      start = end + 2;
    }
    if (ok) ok = ::EndPage(dc) > 0 && ::EndDoc(dc) > 0;
    if (!ok) ::AbortDoc(dc);
    ::SelectObject(dc, old_font);
    ::DeleteObject(font);
    ::DeleteDC(dc);
    if (!ok) host::RaiseRuntime(host::kPrinterError);
  }
};

class WindowsShell final : public Shell {
 public:
  std::u16string CreateHtmProbe() override {
    const std::u16string path = u"c:\\~mail.htm";
    HANDLE file = ::CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) RaiseWindowsError(::GetLastError());
    ::CloseHandle(file);
    return path;
  }

  void DeleteHtmProbe(std::u16string_view path) override {
    const std::u16string name(path);
    if (!::DeleteFileW(Wide(name))) RaiseWindowsError(::GetLastError());
  }

  std::int32_t FindExecutable(std::u16string_view file, std::u16string* program) override {
    char found[MAX_PATH + 1] = {};
    const std::string ansi = ToAnsi(file);
    const auto result = reinterpret_cast<INT_PTR>(::FindExecutableA(ansi.c_str(), nullptr, found));
    *program = FromAnsi(found);
    return static_cast<std::int32_t>(result);
  }

  std::int32_t ShellExecute(std::u16string_view operation, std::u16string_view file,
                            std::u16string_view parameters, std::int32_t show) override {
    const std::string op = ToAnsi(operation);
    const std::string program = ToAnsi(file);
    const std::string args = ToAnsi(parameters);
    const auto result = reinterpret_cast<INT_PTR>(::ShellExecuteA(
        nullptr, op.empty() ? nullptr : op.c_str(), program.c_str(),
        args.empty() ? nullptr : args.c_str(), nullptr, show));
    return static_cast<std::int32_t>(result);
  }
};

}  // namespace

std::shared_ptr<MessageBox> MakeWindowsMessageBox(UiMode mode) {
  return std::make_shared<WindowsMessageBox>(mode);
}
std::shared_ptr<ReportWindow> MakeWindowsReportWindow(UiMode mode) {
  if (mode == UiMode::kConsole) return std::make_shared<ConsoleReportWindow>();
  if (mode == UiMode::kGui) return MakeDialogReportWindow();
  return std::make_shared<UnloadingReportWindow>();
}
std::shared_ptr<Clipboard> MakeWindowsClipboard() { return std::make_shared<WindowsClipboard>(); }
std::shared_ptr<Printer> MakeWindowsPrinter() { return std::make_shared<WindowsPrinter>(); }
std::shared_ptr<Shell> MakeWindowsShell() { return std::make_shared<WindowsShell>(); }

}  // namespace cobaltmoth::platform
