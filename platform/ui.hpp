// platform/ui.hpp - what the bug handler shows and hands on: the message box, the report
// window's front end, the clipboard, the printer and the shell's mail hand-off.
//
// The portable code decides what is shown and done (the titles, prompts and texts, the report
// window's model and its four actions); a backend only draws and carries out. Each backend
// lives in platform/<os>/; tests use fakes that record what was shown, copied, printed and
// launched.
//
// Thread-safety: called on the host's thread that reports the error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cobaltmoth::report {
class frmReport;
}

namespace cobaltmoth::platform {

// The host's MsgBox styles that the library uses.
enum MessageBoxStyle : std::int32_t {
  kOkOnly = 0,         // one OK button, no icon
  kCritical = 16,      // the critical-stop icon, one OK button
  kExclamation = 48,   // the warning icon, one OK button
};

// A modal message box: returns once the user has closed it.
class MessageBox {
 public:
  virtual ~MessageBox() = default;
  // An empty title means the platform's default title for the component ("Cobaltmoth").
  virtual void Show(std::u16string_view prompt, std::int32_t style, std::u16string_view title) = 0;
};

// Shows the report window modally: draws `form` (its title, controls, captions and text),
// lets the user edit the text, hands every button press to form.cmdReport_Click after putting
// the box's current text into form.txtError, and returns once the form is unloaded (Close, Esc
// or the window's close box, which unloads it through form.Unload()).
class ReportWindow {
 public:
  virtual ~ReportWindow() = default;
  virtual void ShowModal(report::frmReport& form) = 0;
};

// The clipboard's set-text operation (plain text, the default format). Failures raise the
// host's run-time error.
class Clipboard {
 public:
  virtual ~Clipboard() = default;
  virtual void SetText(std::u16string_view text) = 0;
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

}  // namespace cobaltmoth::platform
