// Labels drawn and measured verbatim.
#include "ui/plain_label.hpp"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

namespace cobaltmoth::ui {
namespace {

void DrawPlain(const Fl_Label* label, int x, int y, int w, int h, Fl_Align align) {
  const char shortcut = fl_draw_shortcut;
  fl_draw_shortcut = 0;
  fl_font(label->font, label->size);
  fl_color(static_cast<Fl_Color>(label->color));
  fl_draw(label->value, x, y, w, h, align, label->image, 0);
  fl_draw_shortcut = shortcut;
}

void MeasurePlain(const Fl_Label* label, int& w, int& h) {
  const char shortcut = fl_draw_shortcut;
  fl_draw_shortcut = 0;
  fl_font(label->font, label->size);
  fl_measure(label->value, w, h, 0);
  fl_draw_shortcut = shortcut;
}

}  // namespace

void RegisterPlainLabel() { Fl::set_labeltype(kPlainLabel, DrawPlain, MeasurePlain); }

void MeasurePlainText(const char* text, int width, int* w, int* h) {
  const char shortcut = fl_draw_shortcut;
  fl_draw_shortcut = 0;
  *w = width;
  *h = 0;
  fl_measure(text, *w, *h, 0);
  fl_draw_shortcut = shortcut;
}

}  // namespace cobaltmoth::ui
