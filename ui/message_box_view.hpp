// ui/message_box_view.hpp - the message box: the title, the prompt, the icon of its style and
// one OK button, centred on the screen's work area and modal, never taller than it (a longer
// prompt scrolls). Enter, Esc, the button and the close box all close it.
#pragma once

#include <functional>
#include <memory>
#include <string>

class Fl_Text_Buffer;
class Fl_Window;

namespace cobaltmoth::ui {

class MessageBoxView {
 public:
  // `on_closed` runs once, when the user has closed the box (the window is hidden then).
  MessageBoxView(std::string title, std::string prompt, int style,
                 std::function<void()> on_closed);
  ~MessageBoxView();
  MessageBoxView(const MessageBoxView&) = delete;
  MessageBoxView& operator=(const MessageBoxView&) = delete;

  void Show();
  bool Shown() const;

 private:
  class Window;
  static void OnClose(void* self);

  std::string title_;
  std::string prompt_;
  std::function<void()> on_closed_;
  std::unique_ptr<Fl_Text_Buffer> buffer_;  // a prompt too tall for the screen scrolls in it
  std::unique_ptr<Window> window_;
};

// The icon a message-box style shows: 16 critical stop, 32 question, 48 exclamation, 64
// information; 0 for none.
int IconOfStyle(int style);

}  // namespace cobaltmoth::ui
