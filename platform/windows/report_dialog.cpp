// The report window as a native modal dialog, drawn from the report window's model.
//
// An empty in-memory dialog template gives the dialog manager's keyboard handling (Tab
// through the controls in creation order, Enter for the default push button, Esc for
// IDCANCEL, a multi-line edit that leaves Enter to the default button and takes Ctrl+Enter
// as a new line); the controls are then created at their places in twips, converted at the
// screen's DPI, in tab order.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "component/base/host_error.hpp"
#include "platform/ui.hpp"
#include "platform/windows/windows_platform.hpp"
#include "report/frm_report.hpp"

namespace cobaltmoth::platform {
namespace {

constexpr int kButtonBase = 100;  // a button's control id is this plus its index
constexpr int kEditId = 200;
constexpr int kOtherBase = 300;   // labels and the picture

const wchar_t* Wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

std::u16string WindowText(HWND window) {
  const int length = ::GetWindowTextLengthW(window);
  std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
  const int copied = ::GetWindowTextW(window, reinterpret_cast<wchar_t*>(text.data()), length + 1);
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return text;
}

struct DialogState {
  report::frmReport* form = nullptr;
  HWND edit = nullptr;
  HFONT dialog_font = nullptr;
  HFONT text_font = nullptr;
  HICON icon = nullptr;
  int default_index = -1;
  int cancel_index = -1;
  std::exception_ptr failure;  // an error of an action, carried past the dialog manager

  ~DialogState() {
    if (dialog_font != nullptr) ::DeleteObject(dialog_font);
    if (text_font != nullptr) ::DeleteObject(text_font);
    if (icon != nullptr) ::DestroyIcon(icon);
  }
};

std::uint32_t Le32(const std::uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// The icon of an .ico file's first image (the file: a 6-byte header, 16-byte entries giving
// each image's size and offset, the images).
HICON IconOf(const Icon* picture) {
  if (picture == nullptr || picture->ico.size() < 22) return nullptr;
  const std::uint8_t* file = picture->ico.data();
  const std::uint32_t size = Le32(file + 14);
  const std::uint32_t offset = Le32(file + 18);
  if (offset > picture->ico.size() || size > picture->ico.size() - offset) return nullptr;
  return ::CreateIconFromResourceEx(const_cast<PBYTE>(file + offset), size, TRUE, 0x00030000,
                                    picture->width, picture->height, LR_DEFAULTCOLOR);
}

// Builds the window: its size and place, the controls, the fonts, the icon, the title.
void Build(HWND dialog, DialogState& state) {
  const report::frmReport& form = *state.form;
  HDC screen = ::GetDC(nullptr);
  const int dpi_x = ::GetDeviceCaps(screen, LOGPIXELSX);
  const int dpi_y = ::GetDeviceCaps(screen, LOGPIXELSY);
  const auto x_px = [dpi_x](int twips) { return ::MulDiv(twips, dpi_x, 1440); };
  const auto y_px = [dpi_y](int twips) { return ::MulDiv(twips, dpi_y, 1440); };

  // The host's dialog font, 8 pt, and the text box's "Courier New" 8.25 pt.
  state.dialog_font = ::CreateFontW(-::MulDiv(8, dpi_y, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                    FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                                    DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");
  state.text_font = ::CreateFontW(-::MulDiv(825, dpi_y, 7200), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                  FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FIXED_PITCH | FF_MODERN,
                                  L"Courier New");
  state.icon = IconOf(form.Icon());

  // The client area, centred on the screen.
  RECT frame{0, 0, x_px(report::kClientWidthTwips), y_px(report::kClientHeightTwips)};
  ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongW(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(::GetWindowLongW(dialog, GWL_EXSTYLE)));
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  ::SetWindowPos(dialog, nullptr, (::GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (::GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                 SWP_NOZORDER | SWP_NOACTIVATE);

  // The controls in tab order: the dialog manager moves the focus in creation order.
  std::vector<const report::Control*> order;
  for (const report::Control& c : form.Controls()) order.push_back(&c);
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    return static_cast<unsigned>(a->tab_index) < static_cast<unsigned>(b->tab_index);
  });
  HINSTANCE instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(dialog, GWLP_HINSTANCE));
  int other_id = kOtherBase;
  for (const report::Control* c : order) {
    int x = x_px(c->left);
    int y = y_px(c->top);
    int w = x_px(c->width);
    int h = y_px(c->height);
    const wchar_t* window_class = L"STATIC";
    DWORD style = WS_CHILD | WS_VISIBLE;
    DWORD ex_style = 0;
    int id = other_id++;
    HFONT font = state.dialog_font;
    std::u16string caption = c->caption;
    switch (c->kind) {
      case report::Control::Kind::kImage:
        style |= SS_ICON;
        caption.clear();
        break;
      case report::Control::Kind::kLabel:
        style |= SS_NOPREFIX | (c->word_wrap ? SS_LEFT : SS_LEFTNOWORDWRAP);
        if (c->auto_size) {
          HGDIOBJ old = ::SelectObject(screen, font);
          RECT size{0, 0, 0, 0};
          ::DrawTextW(screen, Wide(caption), static_cast<int>(caption.size()), &size,
                      DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS);
          ::SelectObject(screen, old);
          w = std::max<int>(size.right - size.left, 1);
          h = std::max<int>(size.bottom - size.top, 1);
        }
        break;
      case report::Control::Kind::kTextBox:
        window_class = L"EDIT";
        style |= WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL;
        ex_style = WS_EX_CLIENTEDGE;
        id = kEditId;
        font = state.text_font;
        caption = form.Text();
        break;
      case report::Control::Kind::kButton:
        window_class = L"BUTTON";
        style |= WS_TABSTOP | (c->is_default ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        id = kButtonBase + c->index;
        if (c->is_default) state.default_index = c->index;
        if (c->is_cancel) state.cancel_index = c->index;
        break;
    }
    HWND control = ::CreateWindowExW(ex_style, window_class, nullptr, style, x, y, w, h, dialog,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance,
                                     nullptr);
    if (control == nullptr) continue;
    ::SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (c->kind == report::Control::Kind::kTextBox) {
      state.edit = control;
      ::SendMessageW(control, EM_SETLIMITTEXT, 0, 0);  // no limit of 32 K characters
    }
    if (c->kind == report::Control::Kind::kImage) {
      if (state.icon != nullptr) {
        ::SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(state.icon), 0);
      }
    } else {
      ::SetWindowTextW(control, Wide(caption));
    }
  }
  ::ReleaseDC(nullptr, screen);

  ::SetWindowTextW(dialog, Wide(form.Caption()));
  if (state.icon != nullptr) {
    ::SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state.icon));
    ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state.icon));
  }
  if (state.default_index >= 0) {
    ::SendMessageW(dialog, DM_SETDEFID, static_cast<WPARAM>(kButtonBase + state.default_index),
                   0);
  }
  if (state.edit != nullptr) {
    ::SetFocus(state.edit);
    ::SendMessageW(state.edit, EM_SETSEL, 0, 0);
  }
}

// A button: the window's text as the box holds it goes into the form first.
void Press(HWND dialog, DialogState& state, int index) {
  if (state.edit != nullptr) state.form->Text(WindowText(state.edit));
  state.form->cmdReport_Click(static_cast<std::int16_t>(index));
  if (state.form->Unloaded()) ::EndDialog(dialog, 0);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* state = reinterpret_cast<DialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
  // Nothing may unwind through the dialog manager: an error ends the dialog and is raised
  // again once it has gone.
  try {
    switch (message) {
      case WM_INITDIALOG:
        ::SetWindowLongPtrW(dialog, DWLP_USER, lparam);
        Build(dialog, *reinterpret_cast<DialogState*>(lparam));
        return FALSE;  // the focus is set: in the text box
      case WM_COMMAND: {
        if (state == nullptr) return FALSE;
        const int id = LOWORD(wparam);
        int index = -1;
        if (id == IDCANCEL) {
          index = state->cancel_index;
        } else if (id == IDOK) {
          index = state->default_index;
        } else if (id >= kButtonBase && id < kEditId && HIWORD(wparam) == BN_CLICKED) {
          index = id - kButtonBase;
        }
        if (index < 0) return FALSE;
        Press(dialog, *state, index);
        return TRUE;
      }
      case WM_CLOSE:  // the close box unloads the window without a button
        if (state == nullptr) return FALSE;
        if (state->edit != nullptr) state->form->Text(WindowText(state->edit));
        state->form->Unload();
        ::EndDialog(dialog, 0);
        return TRUE;
      default:
        return FALSE;
    }
  } catch (...) {
    if (state != nullptr) state->failure = std::current_exception();
    ::EndDialog(dialog, 0);
    return TRUE;
  }
}

// The dialog template: no controls, a caption, a system menu and a modal frame.
struct alignas(4) EmptyDialogTemplate {
  DLGTEMPLATE header;
  WORD menu = 0;
  WORD window_class = 0;
  WORD title = 0;
};

BOOL CALLBACK DisableWindow(HWND window, LPARAM list) {
  if (::IsWindowVisible(window) && ::IsWindowEnabled(window)) {
    ::EnableWindow(window, FALSE);
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
  }
  return TRUE;
}

class DialogReportWindow final : public ReportWindow {
 public:
  void ShowModal(report::frmReport& form) override {
    EmptyDialogTemplate dialog_template{};
    dialog_template.header.style =
        DS_MODALFRAME | DS_SETFOREGROUND | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                             GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&DialogProc), &module);

    // Modal without an owner: the thread's other windows wait until the window has gone.
    std::vector<HWND> disabled;
    ::EnumThreadWindows(::GetCurrentThreadId(), DisableWindow,
                        reinterpret_cast<LPARAM>(&disabled));
    DialogState state;
    state.form = &form;
    ::SetLastError(0);
    const INT_PTR result = ::DialogBoxIndirectParamW(
        module, &dialog_template.header, nullptr, DialogProc, reinterpret_cast<LPARAM>(&state));
    const DWORD error = ::GetLastError();
    for (HWND window : disabled) ::EnableWindow(window, TRUE);

    if (state.failure) std::rethrow_exception(state.failure);
    if (result == -1) RaiseWindowsError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
  }
};

}  // namespace

std::shared_ptr<ReportWindow> MakeDialogReportWindow() {
  return std::make_shared<DialogReportWindow>();
}

}  // namespace cobaltmoth::platform
