// The message box, drawn with FLTK.
#include "ui/message_box_view.hpp"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
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
// What a window manager's frame may take of the work area's height.
constexpr int kFrameAllowance = 48;

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

// The prompt with each CR LF, lone CR and lone LF as one line break, a NUL as "?".
std::string ShownPrompt(const std::string& prompt) {
  std::string out;
  for (std::size_t i = 0; i < prompt.size(); ++i) {
    if (prompt[i] == '\r') {
      out += '\n';
      if (i + 1 < prompt.size() && prompt[i + 1] == '\n') ++i;
    } else {
      out += prompt[i] == '\0' ? '?' : prompt[i];
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
    : title_(ShownPrompt(title)),
      prompt_(ShownPrompt(prompt)),
      on_closed_(std::move(on_closed)) {
  const int icon = IconOfStyle(style);
  // The box fits the screen's work area, as the platform's own boxes do: a prompt taller than
  // that is shown in a box of its own that scrolls, so that OK stays on the screen.
  int area_x = 0, area_y = 0, area_w = 0, area_h = 0;
  Fl::screen_work_area(area_x, area_y, area_w, area_h);
  const int most_text_h = area_h - kFrameAllowance - 2 * kMargin - kGap - kButtonHeight;
  fl_font(FL_HELVETICA, kTextSize);
  const bool tall = std::count(prompt_.begin(), prompt_.end(), '\n') * fl_height() > most_text_h;
  int text_w = kWrapWidth;
  int text_h = most_text_h;
  if (!tall) {
    MeasurePlainText(prompt_.c_str(), 0, &text_w, &text_h);
    if (text_w > kWrapWidth) {
      MeasurePlainText(prompt_.c_str(), kWrapWidth, &text_w, &text_h);
      text_w = kWrapWidth;
    }
    text_h = std::max(text_h, fl_height());
  }
  const bool scrolls = text_h > most_text_h;
  if (scrolls) {
    text_w = kWrapWidth + Fl::scrollbar_size();
    text_h = std::max(most_text_h, fl_height());
  }

  const int text_x = kMargin + (icon != 0 ? kIconSize + kGap : 0);
  const int body_h = std::max(text_h, icon != 0 ? kIconSize : 0);
  const int w = std::max(text_x + text_w + kMargin, kButtonWidth + 2 * kMargin + 100);
  const int h = kMargin + body_h + kGap + kButtonHeight + kMargin;

  window_ = std::make_unique<Window>(w, h, title_.c_str(), this);
  window_->begin();
  if (icon != 0) new StyleIcon(kMargin, kMargin, icon);
  if (scrolls) {
    buffer_ = std::make_unique<Fl_Text_Buffer>();
    buffer_->text(prompt_.c_str());
    auto* text = new Fl_Text_Display(text_x, kMargin, text_w, text_h);
    text->buffer(buffer_.get());
    text->textfont(FL_HELVETICA);
    text->textsize(kTextSize);
    text->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
    text->box(FL_FLAT_BOX);
    text->color(FL_BACKGROUND_COLOR);
  } else {
    // FLTK draws a left-aligned label 3 pixels inside its widget.
    auto* text = new Fl_Box(text_x - 3, kMargin + (body_h - text_h) / 2, text_w + 6, text_h);
    text->box(FL_NO_BOX);
    text->labeltype(kPlainLabel);
    text->labelfont(FL_HELVETICA);
    text->labelsize(kTextSize);
    text->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | FL_ALIGN_WRAP);
    text->label(prompt_.c_str());
  }
  auto* ok = new Fl_Button((w - kButtonWidth) / 2, h - kMargin - kButtonHeight, kButtonWidth,
                           kButtonHeight, "OK");
  ok->labeltype(kPlainLabel);
  ok->labelsize(kTextSize);
  ok->callback([](Fl_Widget*, void* self) { MessageBoxView::OnClose(self); }, this);
  window_->end();
  window_->set_modal();
  window_->xclass("Cobaltmoth");
  window_->callback([](Fl_Widget*, void* self) { MessageBoxView::OnClose(self); }, this);
  window_->position(area_x + std::max(0, (area_w - w) / 2),
                    area_y + std::max(0, (area_h - h) / 2));
}

MessageBoxView::~MessageBoxView() { window_.reset(); }  // the display goes before its buffer

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
