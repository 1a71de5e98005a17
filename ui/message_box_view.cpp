// The message box, drawn with FLTK.
#include "ui/message_box_view.hpp"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>

#include "ui/plain_label.hpp"

namespace cobaltmoth::ui {
namespace {

constexpr int kMargin = 16;
constexpr int kIconSize = 32;
constexpr int kGap = 12;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 26;
constexpr int kTextSize = 12;
constexpr int kWrapWidth = 520;  // a longer line wraps

// The style's icon, drawn in its 32 x 32 box.
class StyleIcon : public Fl_Box {
 public:
  StyleIcon(int x, int y, int icon) : Fl_Box(x, y, kIconSize, kIconSize), icon_(icon) {
    box(FL_NO_BOX);
  }

  void draw() override {
    const int cx = x() + w() / 2;
    const int cy = y() + h() / 2;
    switch (icon_) {
      case 16:  // a red disc with a white cross
        fl_color(fl_rgb_color(200, 30, 30));
        fl_pie(x(), y(), w(), h(), 0, 360);
        fl_color(FL_WHITE);
        fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
        fl_line(cx - 7, cy - 7, cx + 7, cy + 7);
        fl_line(cx + 7, cy - 7, cx - 7, cy + 7);
        fl_line_style(0);
        break;
      case 48:  // a yellow triangle with an exclamation mark
        fl_color(fl_rgb_color(240, 190, 30));
        fl_polygon(cx, y() + 1, x() + w() - 1, y() + h() - 3, x() + 1, y() + h() - 3);
        fl_color(FL_BLACK);
        fl_rectf(cx - 2, y() + 10, 4, 12);
        fl_rectf(cx - 2, y() + 24, 4, 4);
        break;
      case 32:  // a blue disc with a question mark
      case 64:  // a blue disc with an i
        fl_color(fl_rgb_color(30, 90, 200));
        fl_pie(x(), y(), w(), h(), 0, 360);
        fl_color(FL_WHITE);
        fl_font(FL_HELVETICA_BOLD, 22);
        fl_draw(icon_ == 32 ? "?" : "i", x(), y(), w(), h(), FL_ALIGN_CENTER, nullptr, 0);
        break;
      default:
        break;
    }
  }

 private:
  int icon_;
};

// The prompt with each CR LF, lone CR and lone LF as one line break.
std::string ShownPrompt(const std::string& prompt) {
  std::string out;
  for (std::size_t i = 0; i < prompt.size(); ++i) {
    if (prompt[i] == '\r') {
      out += '\n';
      if (i + 1 < prompt.size() && prompt[i + 1] == '\n') ++i;
    } else {
      out += prompt[i];
    }
  }
  return out;
}

}  // namespace

int IconOfStyle(int style) {
  switch (style & 0x70) {
    case 16: return 16;
    case 32: return 32;
    case 48: return 48;
    case 64: return 64;
    default: return 0;
  }
}

class MessageBoxView::Window : public Fl_Window {
 public:
  Window(int w, int h, const char* title, MessageBoxView* owner)
      : Fl_Window(w, h, title), owner_(owner) {}

  int handle(int event) override {
    if ((event == FL_KEYBOARD || event == FL_SHORTCUT) &&
        (Fl::event_key() == FL_Enter || Fl::event_key() == FL_KP_Enter ||
         Fl::event_key() == FL_Escape)) {
      MessageBoxView::OnClose(owner_);
      return 1;
    }
    return Fl_Window::handle(event);
  }

 private:
  MessageBoxView* owner_;
};

MessageBoxView::MessageBoxView(std::string title, std::string prompt, int style,
                               std::function<void()> on_closed)
    : title_(std::move(title)),
      prompt_(ShownPrompt(prompt)),
      on_closed_(std::move(on_closed)) {
  const int icon = IconOfStyle(style);
  fl_font(FL_HELVETICA, kTextSize);
  int text_w = 0;
  int text_h = 0;
  MeasurePlainText(prompt_.c_str(), 0, &text_w, &text_h);
  if (text_w > kWrapWidth) {
    MeasurePlainText(prompt_.c_str(), kWrapWidth, &text_w, &text_h);
    text_w = kWrapWidth;
  }
  text_h = std::max(text_h, fl_height());

  const int text_x = kMargin + (icon != 0 ? kIconSize + kGap : 0);
  const int body_h = std::max(text_h, icon != 0 ? kIconSize : 0);
  const int w = std::max(text_x + text_w + kMargin, kButtonWidth + 2 * kMargin + 100);
  const int h = kMargin + body_h + kGap + kButtonHeight + kMargin;

  window_ = std::make_unique<Window>(w, h, title_.c_str(), this);
  window_->begin();
  if (icon != 0) new StyleIcon(kMargin, kMargin, icon);
  // FLTK draws a left-aligned label 3 pixels inside its widget.
  auto* text = new Fl_Box(text_x - 3, kMargin + (body_h - text_h) / 2, text_w + 6, text_h);
  text->box(FL_NO_BOX);
  text->labeltype(kPlainLabel);
  text->labelfont(FL_HELVETICA);
  text->labelsize(kTextSize);
  text->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP);
  text->label(prompt_.c_str());
  auto* ok = new Fl_Button((w - kButtonWidth) / 2, h - kMargin - kButtonHeight, kButtonWidth,
                           kButtonHeight, "OK");
  ok->labeltype(kPlainLabel);
  ok->labelsize(kTextSize);
  ok->callback([](Fl_Widget*, void* self) { MessageBoxView::OnClose(self); }, this);
  window_->end();
  window_->set_modal();
  window_->xclass("Cobaltmoth");
  window_->callback([](Fl_Widget*, void* self) { MessageBoxView::OnClose(self); }, this);
  window_->position((Fl::w() - w) / 2, (Fl::h() - h) / 2);
}

MessageBoxView::~MessageBoxView() = default;

void MessageBoxView::Show() {
  window_->show();
  if (Fl_Widget* ok = window_->child(window_->children() - 1)) ok->take_focus();
}

bool MessageBoxView::Shown() const { return window_->shown() != 0; }

void MessageBoxView::OnClose(void* self) {
  auto* view = static_cast<MessageBoxView*>(self);
  if (!view->window_->shown()) return;
  view->window_->hide();
  if (view->on_closed_) {
    auto closed = std::move(view->on_closed_);
    view->on_closed_ = nullptr;
    closed();
  }
}

}  // namespace cobaltmoth::ui
