// ui/report_view.hpp - the report window, drawn from the model the library sends.
//
// Every control stands at its place (twips over twips per pixel). Focus starts in the text box
// and moves through the controls in their tab order. Enter presses the focused button, or the
// default button when no button has the focus (the text box included; Ctrl+Enter starts a
// new line there); Esc presses the cancel button. A button press and the close box go to the
// library with the text the box holds at that moment; until the library says it is done, a
// further press waits (the first one is kept) and goes to the library once it is.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui.hpp"

class Fl_RGB_Image;
class Fl_Text_Buffer;
class Fl_Widget;

namespace cobaltmoth::ui {

class ReportView {
 public:
  // `on_click(index, text)` for a button, `on_close_box(text)` for the window's close box;
  // `text` with the host's CR LF line ends.
  ReportView(platform::ReportWindowModel model,
             std::function<void(int, const std::string&)> on_click,
             std::function<void(const std::string&)> on_close_box);
  ~ReportView();
  ReportView(const ReportView&) = delete;
  ReportView& operator=(const ReportView&) = delete;

  void Show();
  void Hide();
  // The library has dealt with the last press: a press that came meanwhile goes now.
  void Done();

  // The text box's text with CR LF line ends.
  std::string Text() const;

 private:
  class Window;
  class Editor;
  // The controls, each at its place in pixels (twips over twips per pixel).
  int Pixels(int twips) const;
  void AddControl(const platform::WindowControl& c);
  void AddLabel(const platform::WindowControl& c, int x, int y, int w, int h);
  void AddTextBox(const std::string& text, int x, int y, int w, int h);
  void AddButton(const platform::WindowControl& c, int x, int y, int w, int h);
  void Press(int index);
  void PressDefault(bool cancel);
  void CloseBox();

  platform::ReportWindowModel model_;
  std::function<void(int, const std::string&)> on_click_;
  std::function<void(const std::string&)> on_close_box_;
  std::string title_;       // UTF-8, as the window's label
  std::string given_text_;  // the text box's text as the library gave it (UTF-8, CR LF)
  std::string shown_text_;  // the same as the editor was given it
  std::unique_ptr<Fl_RGB_Image> picture_;
  std::unique_ptr<Fl_RGB_Image> icon_;
  std::unique_ptr<Fl_Text_Buffer> buffer_;  // shown by the editor, so made before the window
  std::unique_ptr<Window> window_;          // goes first, with its widgets
  Editor* editor_ = nullptr;                // the window's
  std::vector<std::pair<Fl_Widget*, int>> buttons_;  // each with its index
  int default_index_ = -1;
  int cancel_index_ = -1;
  bool busy_ = false;       // a press is being dealt with by the library
  int pending_ = kNoPress;  // the press that came meanwhile: a button's index or kCloseBox
  static constexpr int kNoPress = -2;
  static constexpr int kCloseBox = -1;
};

// The box's text as FLTK holds it (LF line ends, a NUL shown as "?") from the host's (CR LF),
// and back. A lone CR stays what it is.
std::string ToEditorText(const std::string& host_text);
std::string FromEditorText(const std::string& editor_text);
// A label's or a title's text as FLTK can show it: UTF-8, a NUL shown as "?".
std::string Shown(const std::u16string& text);

}  // namespace cobaltmoth::ui
