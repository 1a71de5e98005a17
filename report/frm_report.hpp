// report/frm_report.hpp - frmReport, the report window as a model that any front end draws.
//
// The window shows the report of an error and does four things, one per button: copy the
// text to the clipboard, print it, prepare an e-mail to the support address, close. Its
// client area is 9225 x 6795 twips (615 x 453 pixels at 15 twips a pixel), centred on the
// screen; every control has its kind, position and size in twips, tab index, tag and design
// caption. A control with a numeric tag takes its caption from the string table when the
// window loads, in the user's language.
//
//   Image1        image    120,  120,  480,  480            icon 101
//   Label1(0)     label    780,  120, 8355,  495  tab 2  "101"  wraps
//   txtError      text    60,   720, 9135, 4395  tab 0        multi-line, scroll bar, editable
//   Label1(1)     label     60, 5280, 9075,  195  tab 3  "102"
//   Label1(2)     label     60, 5580,  480,  195  tab 4  "103"  sizes itself to its text
//   SupportFax    label   1560, 5580,  480,  195  tab 6         sizes itself to its text
//   Label1(3)     label     60, 5880,  480,  195  tab 5  "104"  sizes itself to its text
//   SupportMail   label   1560, 5880,  480,  195  tab 7         sizes itself to its text
//   cmdReport(0)  button  2160, 6240, 1335,  495  tab 1  "201"  Copy to Clipboard
//   cmdReport(1)  button  3600, 6240, 1335,  495  tab 8  "202"  Print Report
//   cmdReport(2)  button  5040, 6240, 1335,  495  tab 9  "203"  Send E-Mail, default (Enter)
//   cmdReport(3)  button  7800, 6240, 1335,  495  tab 10 "299"  Close, cancel (Esc)
//
// Every action takes the text as the box holds it at the moment of the click (the front end
// puts the user's edits into txtError first). A failure of the clipboard, the printer or the
// shell never reaches the host: the user is told in a message box and the window stays.
//
// Thread-safety: none; the window lives on the host's thread for one report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.hpp"
#include "platform/resources.hpp"

namespace cobaltmoth::report {

// One control of the window.
struct Control {
  enum class Kind { kImage, kLabel, kTextBox, kButton };
  std::u16string name;      // "Label1", "cmdReport", "txtError", ...
  std::int32_t index = -1;  // the member's index in a control array, -1 for a lone control
  Kind kind = Kind::kLabel;
  std::int32_t left = 0, top = 0, width = 0, height = 0;  // twips
  std::int32_t tab_index = -1;  // -1: takes no focus
  std::u16string tag;           // the string id of its caption, or empty
  std::u16string caption;       // the design caption until Form_Load; a text box's text
  bool auto_size = false;       // a label that sizes itself to its text
  bool word_wrap = false;       // a label whose text wraps inside its fixed size
  bool is_default = false;      // the button that Enter presses
  bool is_cancel = false;       // the button that Esc presses
};

inline constexpr std::int32_t kClientWidthTwips = 9225;
inline constexpr std::int32_t kClientHeightTwips = 6795;
inline constexpr std::int32_t kTwipsPerPixel = 15;

// The buttons' indexes.
enum ReportAction : std::int16_t { kCopy = 0, kPrint = 1, kSendMail = 2, kClose = 3 };

class frmReport {
 public:
  // The window with its design values (title "Form1", design captions); nothing loaded yet.
  explicit frmReport(std::shared_ptr<const platform::Platform> platform);

  // Gives every control with a numeric, non-empty tag its string-table caption, then loads
  // icon 101 as the picture of Image1 and, a second time, as the window's icon.
  void Form_Load();

  // Dispatches a button: 0 copy, 1 print, 2 send e-mail, 3 close; any other index does
  // nothing.
  void cmdReport_Click(std::int16_t index);

  // Ends the modal display (Close, Esc, the close box).
  void Unload() noexcept { unloaded_ = true; }
  bool Unloaded() const noexcept { return unloaded_; }

  // The window's title.
  const std::u16string& Caption() const noexcept { return caption_; }
  void Caption(std::u16string_view title) { caption_.assign(title); }

  // The controls in the window's collection order.
  const std::vector<Control>& Controls() const noexcept { return controls_; }
  // A control by name and index (-1 for a lone control); nullptr when there is none.
  Control* Find(std::u16string_view name, std::int32_t index = -1);

  // The report text: txtError's text, as the user may have edited it.
  const std::u16string& Text() const;
  void Text(std::u16string_view text);

  // The two contact labels that the bug handler fills.
  void SupportFax(std::u16string_view text);
  void SupportMail(std::u16string_view text);

  // The icon loaded for Image1 and for the window (empty until Form_Load).
  const platform::Icon* Image1Picture() const noexcept { return image1_.get(); }
  const platform::Icon* Icon() const noexcept { return icon_.get(); }

 private:
  void CopyToClipboard();
  void PrintReport();
  void SendMail();
  // Runs an action; an error it raises is shown to the user instead of reaching the host.
  template <typename Action>
  void Guarded(Action action);

  std::shared_ptr<const platform::Platform> platform_;
  std::u16string caption_ = u"Form1";
  std::vector<Control> controls_;
  std::unique_ptr<platform::Icon> image1_;
  std::unique_ptr<platform::Icon> icon_;
  bool unloaded_ = false;
};

}  // namespace cobaltmoth::report
