// The Windows backend's user-facing ports: the message box, the report window (its desktop
// dialog is report_dialog.cpp), the clipboard, the default printer and the shell's hand-off of
// a ".htm" file's program.
#include "platform/windows/windows_platform.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/common/text_screens.hpp"
#include "platform/ui.hpp"
#include "runtime/host_error.hpp"

namespace cobaltmoth::platform::windows {


void ShowDesktopMessageBox(HWND owner, std::u16string_view prompt, std::int32_t style,
                           std::u16string_view title) {
  ::MessageBoxW(owner, Wide(prompt).c_str(),
                Wide(title.empty() ? kDefaultMessageBoxTitle : title).c_str(),
                static_cast<UINT>(style) | MB_TASKMODAL | MB_SETFOREGROUND);
}

namespace {

// Writes UTF-16 text to a standard stream (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE) in the ANSI
// code page; a process without that stream writes nothing.
void WriteToStandard(DWORD stream, std::u16string_view text) {
  HANDLE out = ::GetStdHandle(stream);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  const std::string bytes = ToAnsi(text);
  DWORD written = 0;
  ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// A message box as `mode` shows it.
void ShowMessageBox(UiMode mode, std::u16string_view prompt, std::int32_t style,
                    std::u16string_view title) {
  switch (mode) {
    case UiMode::kNone:
      WriteToStandard(STD_ERROR_HANDLE, common::MessageBoxTranscript(prompt, style, title));
      return;
    case UiMode::kConsole:
      WriteToStandard(STD_OUTPUT_HANDLE, common::MessageBoxTranscript(prompt, style, title));
      return;
    case UiMode::kGui:
      // Owned by the thread's active window, which gets the focus back when the box closes.
      ShowDesktopMessageBox(::GetActiveWindow(), prompt, style, title);
      return;
  }
}

class WindowsMessageBox final : public MessageBox {
 public:
  void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) override {
    ShowMessageBox(UiModeFromEnvironment(), prompt, style, title);
  }
};

// The report window where none is drawn: the user's only press is the close box, with the
// text as the window was given it.
class UndrawnReportWindow final : public ShownReportWindow {
 public:
  UndrawnReportWindow(UiMode mode, std::u16string text) : mode_(mode), text_(std::move(text)) {}

  Click WaitForClick() override { return Click{Click::kCloseBox, text_}; }

  void ShowMessage(std::u16string_view prompt, std::int32_t style,
                   std::u16string_view title) override {
    ShowMessageBox(mode_, prompt, style, title);
  }

 private:
  UiMode mode_;
  std::u16string text_;
};

class WindowsReportWindow final : public ReportWindow {
 public:
  std::unique_ptr<ShownReportWindow> Show(const ReportWindowModel& model) override {
    const UiMode mode = UiModeFromEnvironment();
    if (mode == UiMode::kGui) return ShowReportDialog(model);
    WriteToStandard(mode == UiMode::kConsole ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE,
                    common::ReportTranscript(model));
    return std::make_unique<UndrawnReportWindow>(mode, model.Text());
  }
};

class WindowsClipboard final : public Clipboard {
 public:
  std::u16string SetText(std::u16string_view text) override {
    UniqueHglobal memory(::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(char16_t)));
    auto* target = memory ? static_cast<char16_t*>(::GlobalLock(memory.get())) : nullptr;
    if (target == nullptr) runtime::RaiseRuntime(runtime::kCantOpenClipboard);
    std::memcpy(target, text.data(), text.size() * sizeof(char16_t));
    target[text.size()] = u'\0';
    ::GlobalUnlock(memory.get());
    if (!::OpenClipboard(nullptr)) runtime::RaiseRuntime(runtime::kCantOpenClipboard);
    ::EmptyClipboard();
    const bool placed = ::SetClipboardData(CF_UNICODETEXT, memory.get()) != nullptr;
    if (placed) memory.release();  // the clipboard's own now
    ::CloseClipboard();
    if (!placed) runtime::RaiseRuntime(runtime::kCantOpenClipboard);
    return {};
  }
};

// A started print job: aborted when it goes, unless it was ended.
class PrintJob {
 public:
  explicit PrintJob(HDC dc) noexcept : dc_(dc) {}
  PrintJob(const PrintJob&) = delete;
  PrintJob& operator=(const PrintJob&) = delete;
  ~PrintJob() {
    if (!ended_) ::AbortDoc(dc_);
  }

  // Ends the document, which sends it to the printer; false when that fails.
  bool End() noexcept {
    ended_ = ::EndDoc(dc_) > 0;
    return ended_;
  }

 private:
  HDC dc_;
  bool ended_ = false;
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
      runtime::Raise(runtime::kPrinterError, runtime::kProjectSource,
                  u"Printer error: no default printer is installed");
    }
    std::wstring name(size, L'\0');
    if (!::GetDefaultPrinterW(name.data(), &size)) runtime::RaiseRuntime(runtime::kPrinterError);
    const UniqueHdc dc(::CreateDCW(L"WINSPOOL", name.c_str(), nullptr, nullptr));
    if (!dc) runtime::RaiseRuntime(runtime::kPrinterError);
    const int dpi_y = ::GetDeviceCaps(dc.get(), LOGPIXELSY);
    const int page_height = ::GetDeviceCaps(dc.get(), VERTRES);
    const UniqueHfont font(::CreateFontW(
        -static_cast<int>(font_size_points * dpi_y / 72.0 + 0.5), 0, 0, 0, FW_NORMAL, FALSE,
        FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
        FIXED_PITCH | FF_MODERN, Wide(font_name).c_str()));
    const ScopedSelection selection(dc.get(), font.get());
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(dc.get(), &metrics);
    const int line_height = metrics.tmHeight + metrics.tmExternalLeading;
    // The printer's own starting position: the corner of the printable area, which is where
    // a printer device context's origin lies; no margin of our own.
    const int left = 0;
    const int top = 0;
    DOCINFOW doc{};
    doc.cbSize = sizeof doc;
    doc.lpszDocName = L"Cobaltmoth";
    if (::StartDocW(dc.get(), &doc) <= 0) runtime::RaiseRuntime(runtime::kPrinterError);
    PrintJob job(dc.get());
    bool ok = ::StartPage(dc.get()) > 0;
    int y = top;
    std::size_t start = 0;
    while (ok && start <= text.size()) {
      std::size_t end = text.find(u"\r\n", start);
      if (end == std::u16string_view::npos) end = text.size();
      if (y + line_height > page_height - top && y > top) {
        ok = ::EndPage(dc.get()) > 0 && ::StartPage(dc.get()) > 0;
        y = top;
      }
      ::TextOutW(dc.get(), left, y, reinterpret_cast<const wchar_t*>(text.data() + start),
                 static_cast<int>(end - start));
      y += line_height;
      start = end + 2;
    }
    if (!ok || ::EndPage(dc.get()) <= 0 || !job.End())
      runtime::RaiseRuntime(runtime::kPrinterError);
  }
};

class WindowsShell final : public Shell {
 public:
  std::u16string CreateHtmProbe() override {
    const std::u16string path = u"c:\\~mail.htm";
    const UniqueFile file(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) RaiseWindowsError(::GetLastError());
    return path;
  }

  void DeleteHtmProbe(std::u16string_view path) override {
    if (!::DeleteFileW(Wide(path).c_str())) RaiseWindowsError(::GetLastError());
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

std::shared_ptr<MessageBox> MakeWindowsMessageBox() {
  return std::make_shared<WindowsMessageBox>();
}
std::shared_ptr<ReportWindow> MakeWindowsReportWindow() {
  return std::make_shared<WindowsReportWindow>();
}
std::shared_ptr<Clipboard> MakeWindowsClipboard() { return std::make_shared<WindowsClipboard>(); }
std::shared_ptr<Printer> MakeWindowsPrinter() { return std::make_shared<WindowsPrinter>(); }
std::shared_ptr<Shell> MakeWindowsShell() { return std::make_shared<WindowsShell>(); }

}  // namespace cobaltmoth::platform::windows
