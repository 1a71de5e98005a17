// ui/text_fallback.hpp - text in the windows drawn with fonts that have its characters.
//
// FLTK draws a text with the one font it was given, and a character that font lacks (Chinese,
// Japanese, an emoji in a Latin font) comes out as an empty box. With the fallback on, every
// run of such characters is drawn, and measured, with the first installed font that has them,
// in fontconfig's order of preference for the font FLTK chose; the rest of the text is drawn by
// FLTK itself, exactly as without the fallback. A character that no installed font has still
// shows as FLTK's box. The windows then show what the clipboard and the mail get.
//
// Thread-safety: FLTK's thread only.
#pragma once

namespace cobaltmoth::ui {

// Puts the fallback in place for every window drawn on the display from now on. Needs the
// display to be open.
void UseFallbackFonts();

}  // namespace cobaltmoth::ui
