// platform/ui.hpp - what the bug handler shows and hands on: the message box, the report
// window, the clipboard, the printer and the shell's mail hand-off.
//
// The ports only draw and carry out. The portable code decides what is shown and done: the
// titles, prompts and texts, the report window's model, and the window's modal loop with its
// four actions (report/frm_report.hpp), which call the ports below. Each backend lives in
// platform/<os>/; tests use fakes that record what was shown, copied, printed and launched.
//
// Thread-safety: called on the host's thread that reports the error.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cobaltmoth::platform {

// The host's MsgBox styles that the library uses.
enum MessageBoxStyle : std::int32_t {
  kOkOnly = 0,         // one OK button, no icon
  kCritical = 16,      // the critical-stop icon, one OK button
  kExclamation = 48,   // the warning icon, one OK button
};

// The title of a message box given none: the component's name.
inline constexpr std::u16string_view kDefaultMessageBoxTitle = u"Cobaltmoth";

// A modal message box: returns once the user has closed it.
class MessageBox {
 public:
  virtual ~MessageBox() = default;
  // An empty title means kDefaultMessageBoxTitle.
  virtual void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) = 0;
};

// --- The report window's model: what a front end draws. --------------------------------------

// One control of the window, placed in twips.
struct WindowControl {
  enum class Kind : std::int32_t { kImage = 0, kLabel = 1, kTextBox = 2, kButton = 3 };
  std::u16string name;      // "Label1", "cmdReport", "txtError", ...
  std::int32_t index = -1;  // the member's index in a control array, -1 for a lone control
  Kind kind = Kind::kLabel;
  std::int32_t left = 0, top = 0, width = 0, height = 0;
  std::int32_t tab_index = -1;  // -1: takes no focus
  std::u16string tag;           // the string id of its caption, or empty (not drawn)
  std::u16string caption;       // a label's or button's text; the text box's text
  bool auto_size = false;       // a label that sizes itself to its text
  bool word_wrap = false;       // a label whose text wraps inside its fixed size
  bool is_default = false;      // the button that Enter presses
  bool is_cancel = false;       // the button that Esc presses
};

// A picture: its pixels for a Linux window, its .ico bytes for a Windows one (either may be
// empty where the other is drawn).
struct WindowPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> rgba;  // top row first; red, green, blue, alpha
  std::vector<std::uint8_t> ico;
};

// The report window as a front end draws it: the title, the client area and every control in
// the window's collection order. Texts are the host's UTF-16 with its CR LF line ends.
struct ReportWindowModel {
  std::u16string title;
  std::int32_t width = 0, height = 0;  // the client area, twips
  std::int32_t twips_per_pixel = 15;   // at the screen's usual 96 dots per inch
  WindowPicture picture;               // Image1's picture and the window's icon
  std::vector<WindowControl> controls;

  // A control by name and index (-1 for a lone control); nullptr when there is none.
  const WindowControl* Find(std::u16string_view name, std::int32_t index = -1) const;
  WindowControl* Find(std::u16string_view name, std::int32_t index = -1);
  // The text box's text (empty when the window has none).
  const std::u16string& Text() const;
  // The index of the first button with is_default (or is_cancel) set, or -1.
  std::int32_t DefaultButton() const;
  std::int32_t CancelButton() const;
  // The controls in tab order, in which a front end makes them (the focus moves in the order
  // they were made); controls that take no focus (tab index -1) come last, in model order.
  std::vector<const WindowControl*> InTabOrder() const;
};

// Twips to pixels at `dots_per_inch`, rounded to the nearest pixel (half away from zero):
// every front end places controls by this one rule.
constexpr std::int32_t TwipsToPixels(std::int32_t twips, std::int32_t dots_per_inch) {
  const std::int64_t scaled = static_cast<std::int64_t>(twips) * dots_per_inch;
  return static_cast<std::int32_t>(scaled >= 0 ? (scaled + 720) / 1440 : (scaled - 720) / 1440);
}

// --- The report window port. ------------------------------------------------------------------

// A press of the user's: a button's index, or kCloseBox for the window's close box, with the
// text the box holds at that moment.
struct Click {
  static constexpr std::int32_t kCloseBox = -1;
  std::int32_t button = kCloseBox;
  std::u16string text;
};

// A report window on the screen. It only draws and reports the user's presses; the caller
// runs each press's action and asks for the next one. Destroying it takes the window away.
class ShownReportWindow {
 public:
  virtual ~ShownReportWindow() = default;
  // Waits for the user's next press (the previous one has been dealt with). A window that
  // can no longer be shown answers kCloseBox with the last text it had.
  virtual Click WaitForClick() = 0;
  // A modal message box over the window (an action's confirmation or failure).
  virtual void ShowMessage(std::u16string_view prompt, std::int32_t style,
                           std::u16string_view title) = 0;
};

class ReportWindow {
 public:
  virtual ~ReportWindow() = default;
  // Shows the window as `model` describes it, centred and modal.
  virtual std::unique_ptr<ShownReportWindow> Show(const ReportWindowModel& model) = 0;
};

// --- What the window's actions use. ----------------------------------------------------------

// The clipboard's set-text operation (plain text, the default format). Returns empty when the
// text is on the clipboard; where there is no clipboard, the text is kept elsewhere and the
// return value says where (a file's path), so that the user is told that instead. Failures
// raise the host's run-time error.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  virtual std::u16string SetText(std::u16string_view text) = 0;
};

// The default printer: one document holding `text` exactly as given (no header, footer, page
// number or re-wrapping of its own) in the named font and size. Failures raise a run-time
// error whose description is what the printing system said.
class Printer {
 public:
  virtual ~Printer() = default;
  virtual void PrintDocument(std::u16string_view text, std::u16string_view font_name,
                             double font_size_points) = 0;
};

// The shell's hand-off of a ".htm" file's program, as the report window's Send E-Mail uses it.
class Shell {
 public:
  virtual ~Shell() = default;
  // Creates an empty probe file with the extension ".htm" and returns its path (on Windows
  // "c:\~mail.htm", replacing any file of that name; elsewhere a new file in a private folder,
  // created exclusively). Raises the host's run-time error when it cannot.
  virtual std::u16string CreateHtmProbe() = 0;
  // Removes the probe file (and its private folder).
  virtual void DeleteHtmProbe(std::u16string_view path) = 0;
  // The program that opens `file`, written to `program`; returns a value above 32 on success,
  // 32 or less when there is none (as the Windows shell does).
  virtual std::int32_t FindExecutable(std::u16string_view file, std::u16string* program) = 0;
  // Starts `file` (a program) with the single parameter text `parameters`, never through a
  // command interpreter. `show` is the host's window state (1 = normal). The result, above 32
  // on success, is not examined by the library.
  virtual std::int32_t ShellExecute(std::u16string_view operation, std::u16string_view file,
                                    std::u16string_view parameters, std::int32_t show) = 0;
};

// --- Which front end. -------------------------------------------------------------------------

// COBALTMOTH_UI, read at every call, with the same meaning on every system:
//   "gui", unset, empty or any other value   the desktop's windows (on Linux only when DISPLAY
//                                            names a display; otherwise the terminal's)
//   "console"                                the texts only: in the terminal, or on a
//                                            standard stream
//   "none"                                   no window and no terminal: the texts go to
//                                            standard error, and nothing ever waits
enum class UiMode { kGui, kConsole, kNone };
inline UiMode UiModeFromName(const char* name) noexcept {
  if (name != nullptr && std::strcmp(name, "console") == 0) return UiMode::kConsole;
  if (name != nullptr && std::strcmp(name, "none") == 0) return UiMode::kNone;
  return UiMode::kGui;
}
inline UiMode UiModeFromEnvironment() noexcept {
  return UiModeFromName(std::getenv("COBALTMOTH_UI"));
}

// --- The model's lookups. ---------------------------------------------------------------------

inline const WindowControl* ReportWindowModel::Find(std::u16string_view name,
                                                    std::int32_t index) const {
  for (const WindowControl& c : controls) {
    if (c.name == name && c.index == index) return &c;
  }
  return nullptr;
}

inline WindowControl* ReportWindowModel::Find(std::u16string_view name, std::int32_t index) {
  return const_cast<WindowControl*>(std::as_const(*this).Find(name, index));
}

inline const std::u16string& ReportWindowModel::Text() const {
  for (const WindowControl& c : controls) {
    if (c.kind == WindowControl::Kind::kTextBox) return c.caption;
  }
  static const std::u16string kNone;
  return kNone;
}

inline std::int32_t ReportWindowModel::DefaultButton() const {
  for (const WindowControl& c : controls) {
    if (c.kind == WindowControl::Kind::kButton && c.is_default) return c.index;
  }
  return -1;
}

inline std::vector<const WindowControl*> ReportWindowModel::InTabOrder() const {
  std::vector<const WindowControl*> order;
  for (const WindowControl& c : controls) order.push_back(&c);
  std::stable_sort(order.begin(), order.end(), [](const auto* a, const auto* b) {
    return static_cast<std::uint32_t>(a->tab_index) < static_cast<std::uint32_t>(b->tab_index);
  });
  return order;
}

inline std::int32_t ReportWindowModel::CancelButton() const {
  for (const WindowControl& c : controls) {
    if (c.kind == WindowControl::Kind::kButton && c.is_cancel) return c.index;
  }
  return -1;
}

}  // namespace cobaltmoth::platform
