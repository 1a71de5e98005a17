// The report window, drawn with FLTK from its model.
#include "ui/report_view.hpp"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_RGB_Image.H>
#include <FL/Fl_Scroll.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Editor.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include "runtime/text.hpp"
#include "ui/plain_label.hpp"

namespace cobaltmoth::ui {
namespace {

using platform::WindowControl;
using Kind = WindowControl::Kind;

// The host's dialog font (8 pt at 96 dots an inch) and the text box's fixed-pitch one.
constexpr int kLabelSize = 11;
// FLTK draws a left- or right-aligned label this many pixels inside its widget.
constexpr int kLabelInset = 3;
constexpr int kTextBoxSize = 11;  // 8.25 pt
constexpr Fl_Font kTextBoxFont = FL_FREE_FONT;
// What a window manager's frame may take of the work area.
constexpr int kFrameAllowance = 48;

bool IsEnter(int key) { return key == FL_Enter || key == FL_KP_Enter; }

}  // namespace

std::string ToEditorText(const std::string& host_text) {
  std::string out;
  out.reserve(host_text.size());
  for (std::size_t i = 0; i < host_text.size(); ++i) {
    if (host_text[i] == '\r' && i + 1 < host_text.size() && host_text[i + 1] == '\n') continue;
    out += host_text[i] == '\0' ? '?' : host_text[i];  // FLTK's texts end at a NUL
  }
  return out;
}

std::string Shown(const std::u16string& text) {
  std::string out = runtime::ToUtf8(text);
  std::replace(out.begin(), out.end(), '\0', '?');
  return out;
}

std::string FromEditorText(const std::string& editor_text) {
  std::string out;
  out.reserve(editor_text.size() + editor_text.size() / 32);
  for (const char c : editor_text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The text box: Enter belongs to the window's default button, Ctrl+Enter makes a new line,
// Tab moves the focus on (Ctrl+Tab types a tab).
class ReportView::Editor : public Fl_Text_Editor {
 public:
  using Fl_Text_Editor::Fl_Text_Editor;

  int handle(int event) override {
    if (event == FL_KEYBOARD) {
      const int key = Fl::event_key();
      const bool ctrl = Fl::event_state(FL_CTRL) != 0;
      if (IsEnter(key)) {
        if (!ctrl) return 0;
        kf_enter(0, this);
        return 1;
      }
      if (key == FL_Tab) {
        if (!ctrl) return 0;
        insert("\t");
        return 1;
      }
    }
    return Fl_Text_Editor::handle(event);
  }
};

class ReportView::Window : public Fl_Double_Window {
 public:
  Window(int w, int h, const char* title, ReportView* owner)
      : Fl_Double_Window(w, h, title), owner_(owner) {}

  int handle(int event) override {
    if (event == FL_KEYBOARD || event == FL_SHORTCUT) {
      const int key = Fl::event_key();
      if (key == FL_Escape) {
        owner_->PressDefault(/*cancel=*/true);
        return 1;
      }
      if (IsEnter(key) && !Fl::event_state(FL_CTRL)) {
        for (const auto& [button, index] : owner_->buttons_) {
          if (Fl::focus() == button) {
            owner_->Press(index);
            return 1;
          }
        }
        owner_->PressDefault(/*cancel=*/false);
        return 1;
      }
    }
    return Fl_Double_Window::handle(event);
  }

 private:
  ReportView* owner_;
};

ReportView::ReportView(platform::ReportWindowModel model,
                       std::function<void(int, const std::string&)> on_click,
                       std::function<void(const std::string&)> on_close_box)
    : model_(std::move(model)),
      on_click_(std::move(on_click)),
      on_close_box_(std::move(on_close_box)),
      title_(Shown(model_.title)) {
  const platform::WindowPicture& picture = model_.picture;
  if (picture.width > 0 && picture.height > 0) {
    const uchar* pixels = picture.rgba.data();
    picture_ = std::make_unique<Fl_RGB_Image>(pixels, picture.width, picture.height, 4);
    icon_ = std::make_unique<Fl_RGB_Image>(pixels, picture.width, picture.height, 4);
  }
  Fl::set_font(kTextBoxFont, " Courier New");

  // The window fits the screen's work area: on a screen too small for it, the controls stay at
  // their places in a view that scrolls.
  int area_x = 0, area_y = 0, area_w = 0, area_h = 0;
  Fl::screen_work_area(area_x, area_y, area_w, area_h);
  const int full_w = Pixels(model_.width);
  const int full_h = Pixels(model_.height);
  const int w = std::min(full_w, area_w - kFrameAllowance);
  const int h = std::min(full_h, area_h - kFrameAllowance);
  window_ = std::make_unique<Window>(w, h, title_.c_str(), this);
  window_->begin();
  Fl_Scroll* scroller = nullptr;
  if (w < full_w || h < full_h) {
    scroller = new Fl_Scroll(0, 0, w, h);  // the window owns its children
    scroller->type(Fl_Scroll::BOTH);
    scroller->begin();
  }
  for (const WindowControl* c : model_.InTabOrder()) AddControl(*c);
  if (scroller != nullptr) scroller->end();
  window_->end();
  if (icon_) window_->icon(icon_.get());
  window_->xclass("Cobaltmoth");
  window_->callback([](Fl_Widget*, void* self) { static_cast<ReportView*>(self)->CloseBox(); },
                    this);
  window_->position(area_x + std::max(0, (area_w - w) / 2),
                    area_y + std::max(0, (area_h - h) / 2));
}

ReportView::~ReportView() = default;  // the window and its editor go before the editor's buffer

int ReportView::Pixels(int twips) const {
  return platform::TwipsToPixels(twips, 1440 / model_.twips_per_pixel);
}

void ReportView::AddControl(const WindowControl& c) {
  const int x = Pixels(c.left), y = Pixels(c.top), w = Pixels(c.width), h = Pixels(c.height);
  switch (c.kind) {
    case Kind::kImage: {
      auto* image = new Fl_Box(x, y, w, h);
      image->box(FL_NO_BOX);
      image->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT);
      if (picture_) image->image(picture_.get());
      break;
    }
    case Kind::kLabel:
      AddLabel(c, x, y, w, h);
      break;
    case Kind::kTextBox:
      AddTextBox(runtime::ToUtf8(c.caption), x, y, w, h);
      break;
    case Kind::kButton:
      AddButton(c, x, y, w, h);
      break;
  }
}

void ReportView::AddLabel(const WindowControl& c, int x, int y, int w, int h) {
  // The widget reaches past the control by FLTK's inset, so the text starts where the control
  // does.
  const std::string caption = Shown(c.caption);
  auto* label = new Fl_Box(x - kLabelInset, y, w + 2 * kLabelInset, h);
  label->box(FL_NO_BOX);
  label->labeltype(kPlainLabel);
  label->labelfont(FL_HELVETICA);
  label->labelsize(kLabelSize);
  label->copy_label(caption.c_str());
  label->align(FL_ALIGN_INSIDE | FL_ALIGN_TOP_LEFT | (c.word_wrap ? FL_ALIGN_WRAP : FL_ALIGN_CLIP));
  if (c.auto_size) {
    fl_font(FL_HELVETICA, kLabelSize);
    int tw = 0;
    int th = 0;
    MeasurePlainText(caption.c_str(), 0, &tw, &th);
    label->size(tw + 2 * kLabelInset, std::max(th, fl_height()));
  }
}

void ReportView::AddTextBox(const std::string& text, int x, int y, int w, int h) {
  buffer_ = std::make_unique<Fl_Text_Buffer>();
  given_text_ = text;
  shown_text_ = ToEditorText(text);
  buffer_->text(shown_text_.c_str());
  editor_ = new Editor(x, y, w, h);
  editor_->box(FL_DOWN_BOX);
  editor_->buffer(buffer_.get());
  editor_->textfont(kTextBoxFont);
  editor_->textsize(kTextBoxSize);
  editor_->wrap_mode(Fl_Text_Display::WRAP_AT_BOUNDS, 0);
  editor_->scrollbar_align(FL_ALIGN_RIGHT);
  editor_->insert_position(0);
}

void ReportView::AddButton(const WindowControl& c, int x, int y, int w, int h) {
  auto* button = new Fl_Button(x, y, w, h);
  button->labeltype(kPlainLabel);
  button->labelfont(FL_HELVETICA);
  button->labelsize(kLabelSize);
  button->copy_label(Shown(c.caption).c_str());
  buttons_.emplace_back(button, c.index);
  if (c.is_default) default_index_ = c.index;
  if (c.is_cancel) cancel_index_ = c.index;
  button->callback(
      [](Fl_Widget* widget, void* self) {
        auto* view = static_cast<ReportView*>(self);
        for (const auto& [b, i] : view->buttons_) {
          if (b == widget) view->Press(i);
        }
      },
      this);
}

void ReportView::Show() {
  window_->show();
  if (editor_ != nullptr) editor_->take_focus();
}

void ReportView::Hide() { window_->hide(); }

std::string ReportView::Text() const {
  if (buffer_ == nullptr) return std::string();
  char* text = buffer_->text();
  const std::string shown(text);
  std::free(text);
  // Unchanged, the text goes back as it was given: with every NUL it held.
  return shown == shown_text_ ? given_text_ : FromEditorText(shown);
}

void ReportView::Press(int index) {
  if (busy_) {
    if (pending_ == kNoPress) pending_ = index;
    return;
  }
  busy_ = true;
  if (index == kCloseBox) {
    on_close_box_(Text());
  } else {
    on_click_(index, Text());
  }
}

void ReportView::Done() {
  busy_ = false;
  const int pending = std::exchange(pending_, kNoPress);
  if (pending != kNoPress) Press(pending);
}

void ReportView::PressDefault(bool cancel) {
  const int index = cancel ? cancel_index_ : default_index_;
  if (index >= 0) Press(index);
}

void ReportView::CloseBox() {
  // Esc reaches a window's callback too; it is the cancel button's, not the close box's.
  if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
    PressDefault(/*cancel=*/true);
    return;
  }
  Press(kCloseBox);
}

}  // namespace cobaltmoth::ui
