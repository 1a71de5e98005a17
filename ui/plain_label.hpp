// ui/plain_label.hpp - labels that show their text as it is.
//
// FLTK reads "@" in a label as the start of a symbol and "&" in a button's label as the mark
// of a shortcut letter; a report title, an e-mail address or a prompt full of them would come
// out mangled. Every widget of cobaltmoth-ui uses this label type instead, which draws and
// measures the text verbatim.
#pragma once

#include <FL/Enumerations.H>

namespace cobaltmoth::ui {

inline constexpr Fl_Labeltype kPlainLabel = FL_FREE_LABELTYPE;

// Registers the label type; call once before the first widget is drawn.
void RegisterPlainLabel();

// The size of `text` in the current font: one line per line break, and wrapped to `width`
// when `width` is above 0.
void MeasurePlainText(const char* text, int width, int* w, int* h);

}  // namespace cobaltmoth::ui
