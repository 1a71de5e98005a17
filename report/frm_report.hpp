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
// ShowModal draws the window through the platform's report window port and runs its modal
// loop here: every press comes back with the text the box holds at that moment, which goes
// into txtError before the action runs, so every action takes the text as the user left it.
// A failure of the clipboard, the printer or the shell never reaches the host: the user is
// told in a message box over the window, and the window stays.
//
// Thread-safety: none; the window lives on the host's thread for one report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.hpp"
#include "platform/ui.hpp"

namespace cobaltmoth::report {

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
  // icon 101 as the picture of Image1 and of the window.
  void Form_Load();

  // Shows the window through the platform's report window and runs it until it is unloaded
  // (Close, Esc or the close box). Errors of the port itself reach the caller.
  void ShowModal();

  // Dispatches a button: 0 copy, 1 print, 2 send e-mail, 3 close; any other index does
  // nothing.
  void cmdReport_Click(std::int16_t index);

  // Ends the modal display.
  void Unload() noexcept { unloaded_ = true; }
  bool Unloaded() const noexcept { return unloaded_; }

  // The window's title.
  const std::u16string& Caption() const noexcept { return model_.title; }
  void Caption(std::u16string_view title) { model_.title.assign(title); }

  // The window as the front ends draw it: the controls in the window's collection order.
  const platform::ReportWindowModel& Model() const noexcept { return model_; }

  // The report text: txtError's text, as the user may have edited it.
  const std::u16string& Text() const { return model_.Text(); }
  void Text(std::u16string_view text);

  // The two contact labels that the bug handler fills.
  void SupportFax(std::u16string_view text);
  void SupportMail(std::u16string_view text);

 private:
  void CopyToClipboard();
  void PrintReport();
  void SendMail();
  // Runs an action; an error it raises is shown to the user instead of reaching the host.
  template <typename Action>
  void Guarded(Action action);
  // A message box over the window while it is shown, the platform's own otherwise.
  void MsgBox(std::u16string_view prompt, std::int32_t style);

  std::shared_ptr<const platform::Platform> platform_;
  platform::ReportWindowModel model_;
  platform::ShownReportWindow* shown_ = nullptr;  // while ShowModal runs
  bool unloaded_ = false;
};

}  // namespace cobaltmoth::report
