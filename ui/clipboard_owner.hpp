// ui/clipboard_owner.hpp - keeping a text on the X11 clipboard after the window has gone.
//
// Nothing else keeps the clipboard's content on X11: it lives in the program that owns the
// CLIPBOARD selection. cobaltmoth-ui --clipboard takes the text from its channel, owns the
// selection, tells the library (OWNED, or ERROR with the reason) and then serves the text as
// UTF8_STRING, text/plain;charset=utf-8, TEXT and STRING (Latin-1, "?" for what it cannot
// hold), in increments when it is too large for one request, until another program takes the
// clipboard or ten minutes have passed.
#pragma once

namespace cobaltmoth::ui {

inline constexpr int kClipboardKeepSeconds = 600;

// Runs the clipboard's owner on channel `fd`; returns the program's exit code.
int KeepClipboard(int fd);

}  // namespace cobaltmoth::ui
