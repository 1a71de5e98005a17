// The report window as a native dialog, drawn from the report window's model.
//
// An empty in-memory dialog template gives the dialog manager's keyboard handling (Tab
// through the controls in creation order, Enter for the default push button, Esc for
// IDCANCEL, a multi-line edit that leaves Enter to the default button and takes Ctrl+Enter
// as a new line); the controls are then created at their places in twips, converted at the
// screen's DPI, in tab order. The dialog is modeless: its message loop runs in WaitForClick,
// through IsDialogMessageW as a modal dialog's does, until the user presses something; the
// caller runs that press's action and waits again.
#include "platform/windows/windows_platform.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/ui.hpp"

namespace cobaltmoth::platform::windows {
namespace {

constexpr int kButtonBase = 100;  // a button's control id is this plus its index
constexpr int kEditId = 200;
constexpr int kOtherBase = 300;   // labels and the picture

std::u16string WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
  const int copied = ::GetWindowTextW(window, reinterpret_cast<wchar_t*>(text.data()), length + 1);
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return text;
}

std::uint32_t Le32(const std::uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
         (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// The icon of an .ico file's first image (the file: a 6-byte header, 16-byte entries giving
// each image's size and offset, the images); nullptr when there is none.
HICON IconOf(const WindowPicture& picture) {
  if (picture.ico.size() < 22) return nullptr;
  const std::uint8_t* file = picture.ico.data();
  const std::uint32_t size = Le32(file + 14);
  const std::uint32_t offset = Le32(file + 18);
  if (offset > picture.ico.size() || size > picture.ico.size() - offset) return nullptr;
  return ::CreateIconFromResourceEx(const_cast<PBYTE>(file + offset), size, TRUE, 0x00030000,
                                    picture.width, picture.height, LR_DEFAULTCOLOR);
}

// The dialog template: no controls, a caption, a system menu and a modal frame.
struct alignas(4) EmptyDialogTemplate {
  DLGTEMPLATE header;
  WORD menu = 0;
  WORD window_class = 0;
  WORD title = 0;
};

// The thread's visible and enabled windows, disabled from its making until it goes: what
// makes a window without an owner modal.
class DisabledThreadWindows {
 public:
  DisabledThreadWindows() {
    ::EnumThreadWindows(::GetCurrentThreadId(), Disable, reinterpret_cast<LPARAM>(&windows_));
  }
  DisabledThreadWindows(const DisabledThreadWindows&) = delete;
  DisabledThreadWindows& operator=(const DisabledThreadWindows&) = delete;
  ~DisabledThreadWindows() {
    for (HWND window : windows_) ::EnableWindow(window, TRUE);
  }

 private:
  static BOOL CALLBACK Disable(HWND window, LPARAM list) {
    if (!::IsWindowVisible(window) || !::IsWindowEnabled(window)) return TRUE;
    try {
      reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    } catch (...) {
      return FALSE;  // no room to remember it: the rest stay enabled
    }
    ::EnableWindow(window, FALSE);
    return TRUE;
  }

  std::vector<HWND> windows_;
};

class ReportDialog final : public ShownReportWindow {
 public:
  // Draws the window as `model` describes it and shows it.
  explicit ReportDialog(const ReportWindowModel& model);
  ReportDialog(const ReportDialog&) = delete;
  ReportDialog& operator=(const ReportDialog&) = delete;
  ~ReportDialog() override;

  Click WaitForClick() override;
  void ShowMessage(std::u16string_view prompt, std::int32_t style,
                   std::u16string_view title) override {
    ShowDesktopMessageBox(dialog_.get(), prompt, style, title);
  }

 private:
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(HWND dialog, UINT message, WPARAM wparam);
  // Twips to pixels at the screen's DPI, across and down.
  struct Scale {
    int dpi_x, dpi_y;
    int X(int twips) const { return TwipsToPixels(twips, dpi_x); }
    int Y(int twips) const { return TwipsToPixels(twips, dpi_y); }
  };
  void Build(HWND dialog);
  void MakeFonts(int dpi_y);
  static void Centre(HWND dialog, int width, int height);
  void AddControl(HWND dialog, const WindowControl& c, int id, HDC screen, const Scale& scale);
  // Keeps a press, with the text the box holds now, for WaitForClick.
  void Press(std::int32_t button);

  const ReportWindowModel* model_;  // while the window is being built
  DisabledThreadWindows disabled_;
  UniqueHfont dialog_font_;
  UniqueHfont text_font_;
  UniqueHicon icon_;
  HWND edit_ = nullptr;
  int default_index_ = -1;
  int cancel_index_ = -1;
  std::u16string text_;            // the box's text at the last press, else as given
  std::optional<Click> pressed_;   // a press that WaitForClick has not answered yet
  bool closed_ = false;            // WM_QUIT came, or the window was destroyed by another
  std::exception_ptr failure_;     // an error inside the dialog procedure, raised by the wait
  // Last, so that it goes first: its procedure may still be called while it goes, and the
  // fonts and the icon must outlive its controls.
  UniqueHwnd dialog_;
};

ReportDialog::ReportDialog(const ReportWindowModel& model)
    : model_(&model), text_(model.Text()) {
  EmptyDialogTemplate dialog_template{};
  dialog_template.header.style =
      DS_MODALFRAME | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  ::SetLastError(0);
  ::CreateDialogIndirectParamW(ThisModule(), &dialog_template.header, nullptr, DialogProc,
                               reinterpret_cast<LPARAM>(this));  // dialog_ is set on the way
  const DWORD error = ::GetLastError();
  model_ = nullptr;
  if (failure_) std::rethrow_exception(failure_);
  if (!dialog_) RaiseWindowsError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
  ::ShowWindow(dialog_.get(), SW_SHOWNORMAL);
}

ReportDialog::~ReportDialog() {
  // The window goes without calling back into what is going.
  if (dialog_) ::SetWindowLongPtrW(dialog_.get(), DWLP_USER, 0);
}

INT_PTR CALLBACK ReportDialog::DialogProc(HWND dialog, UINT message, WPARAM wparam,
                                          LPARAM lparam) {
  if (message == WM_INITDIALOG) ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
  auto* self = reinterpret_cast<ReportDialog*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  if (self == nullptr) return FALSE;
  // Nothing may unwind through the dialog manager: an error is kept, and raised again once
  // the dialog manager has returned.
  try {
    return self->Handle(dialog, message, wparam);
  } catch (...) {
    if (!self->failure_) self->failure_ = std::current_exception();
    return TRUE;
  }
}

INT_PTR ReportDialog::Handle(HWND dialog, UINT message, WPARAM wparam) {
  switch (message) {
    case WM_INITDIALOG:
      dialog_.reset(dialog);
      Build(dialog);
      return FALSE;  // the focus is set: in the text box
    case WM_COMMAND: {
      const int id = LOWORD(wparam);
      int index = -1;
      if (id == IDCANCEL) {
        index = cancel_index_;
      } else if (id == IDOK) {
        index = default_index_;
      } else if (id >= kButtonBase && id < kEditId && HIWORD(wparam) == BN_CLICKED) {
        index = id - kButtonBase;
      }
      if (index < 0) return FALSE;
      Press(index);
      return TRUE;
    }
    case WM_CLOSE:  // the close box
      Press(Click::kCloseBox);
      return TRUE;
    case WM_DESTROY:  // by another: the last text it had
      if (edit_ != nullptr) text_ = WindowText(edit_);
      return FALSE;
    case WM_NCDESTROY:
      dialog_.release();
      edit_ = nullptr;
      closed_ = true;
      return FALSE;
    default:
      return FALSE;
  }
}

void ReportDialog::Press(std::int32_t button) {
  if (edit_ != nullptr) text_ = WindowText(edit_);
  if (!pressed_) pressed_ = Click{button, text_};
}

Click ReportDialog::WaitForClick() {
  while (!pressed_ && !failure_ && !closed_) {
    MSG message;
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      // WM_QUIT ends the window as its close box does, and is left for the host's own loop.
      if (got == 0) ::PostQuitMessage(static_cast<int>(message.wParam));
      closed_ = true;
    } else if (!::IsDialogMessageW(dialog_.get(), &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  if (pressed_) return *std::exchange(pressed_, std::nullopt);
  if (edit_ != nullptr) text_ = WindowText(edit_);
  return Click{Click::kCloseBox, text_};
}

// Builds the window: the fonts and the icon, its size and place, the controls in tab order
// (the dialog manager moves the focus in creation order), its title and default button.
void ReportDialog::Build(HWND dialog) {
  const ReportWindowModel& model = *model_;
  const UniqueScreenDc screen(::GetDC(nullptr));
  const Scale scale{::GetDeviceCaps(screen.get(), LOGPIXELSX),
                    ::GetDeviceCaps(screen.get(), LOGPIXELSY)};
  MakeFonts(scale.dpi_y);
  icon_.reset(IconOf(model.picture));
  Centre(dialog, scale.X(model.width), scale.Y(model.height));
  int other_id = kOtherBase;
  for (const WindowControl* c : model.InTabOrder()) {
    const int other = other_id++;  // every control takes a number; labels keep theirs
    const int id = c->kind == WindowControl::Kind::kTextBox  ? kEditId
                   : c->kind == WindowControl::Kind::kButton ? kButtonBase + c->index
                                                             : other;
    AddControl(dialog, *c, id, screen.get(), scale);
  }
  ::SetWindowTextW(dialog, Wide(model.title).c_str());
  if (icon_) {
    ::SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_.get()));
    ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_.get()));
  }
  if (default_index_ >= 0) {
    ::SendMessageW(dialog, DM_SETDEFID, static_cast<WPARAM>(kButtonBase + default_index_), 0);
  }
  if (edit_ != nullptr) {
    ::SetFocus(edit_);
    ::SendMessageW(edit_, EM_SETSEL, 0, 0);
  }
}

// The host's dialog font, 8 pt, and the text box's "Courier New" 8.25 pt.
void ReportDialog::MakeFonts(int dpi_y) {
  dialog_font_.reset(::CreateFontW(-::MulDiv(8, dpi_y, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                   FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                   CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                   DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif"));
  text_font_.reset(::CreateFontW(-::MulDiv(825, dpi_y, 7200), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                 FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                 DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN, L"Courier New"));
}

// The client area of `width` by `height` pixels, centred on the screen.
void ReportDialog::Centre(HWND dialog, int width, int height) {
  RECT frame{0, 0, width, height};
  ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongW(dialog, GWL_EXSTYLE)));
  const int outer_w = frame.right - frame.left;
  const int outer_h = frame.bottom - frame.top;
  ::SetWindowPos(dialog, nullptr, (::GetSystemMetrics(SM_CXSCREEN) - outer_w) / 2,
                 (::GetSystemMetrics(SM_CYSCREEN) - outer_h) / 2, outer_w, outer_h,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

// One control at its place, with its font and its caption (the picture: the icon).
void ReportDialog::AddControl(HWND dialog, const WindowControl& c, int id, HDC screen,
                              const Scale& scale) {
  int w = scale.X(c.width);
  int h = scale.Y(c.height);
  const wchar_t* window_class = L"STATIC";
  DWORD style = WS_CHILD | WS_VISIBLE;
  DWORD ex_style = 0;
  HFONT font = dialog_font_.get();
  switch (c.kind) {
    case WindowControl::Kind::kImage:
      style |= SS_ICON;
      break;
    case WindowControl::Kind::kLabel:
      style |= SS_NOPREFIX | (c.word_wrap ? SS_LEFT : SS_LEFTNOWORDWRAP);
      if (c.auto_size) {
        const ScopedSelection selection(screen, font);
        RECT size{0, 0, 0, 0};
        ::DrawTextW(screen, Wide(c.caption).c_str(), static_cast<int>(c.caption.size()), &size,
                    DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
        w = std::max<int>(size.right - size.left, 1);
        h = std::max<int>(size.bottom - size.top, 1);
      }
      break;
    case WindowControl::Kind::kTextBox:
      window_class = L"EDIT";
      style |= WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL;
      ex_style = WS_EX_CLIENTEDGE;
      font = text_font_.get();
      break;
    case WindowControl::Kind::kButton:
      window_class = L"BUTTON";
      style |= WS_TABSTOP | (c.is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
      if (c.is_default) default_index_ = c.index;
      if (c.is_cancel) cancel_index_ = c.index;
      break;
  }
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  HWND control = ::CreateWindowExW(ex_style, window_class, nullptr, style, scale.X(c.left),
                                   scale.Y(c.top), w, h, dialog,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                                   nullptr);
  if (control == nullptr) return;
  ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (c.kind == WindowControl::Kind::kTextBox) {
    edit_ = control;
    ::SendMessageW(control, EM_SETLIMITTEXT, 0, 0);  // no limit of 32 K characters
  }
  if (c.kind == WindowControl::Kind::kImage) {
    if (icon_) ::SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(icon_.get()), 0);
  } else {
    ::SetWindowTextW(control, Wide(c.caption).c_str());
  }
}

}  // namespace

std::unique_ptr<ShownReportWindow> ShowReportDialog(const ReportWindowModel& model) {
  return std::make_unique<ReportDialog>(model);
}

}  // namespace cobaltmoth::platform::windows
