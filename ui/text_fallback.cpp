// Text drawn with fonts that have its characters (ui/text_fallback.hpp): FLTK's Xlib driver,
// with its drawing and measuring of text split into runs by the font that has them.
#include "ui/text_fallback.hpp"

#include <FL/Fl.H>
#include <FL/Fl_Device.H>
#include <FL/fl_draw.H>
#include <FL/fl_utf8.h>
#include <FL/x.H>
#include <X11/Xft/Xft.h>

#include <cmath>
#include <map>
#include <memory>

// The XftFont that FLTK draws with now (FLTK keeps it; its header shows it to FLTK itself).
extern FL_EXPORT void* fl_xftfont;

namespace cobaltmoth::ui {
namespace {

// The fonts that stand in for one font FLTK draws with, found as characters ask for them.
class Substitutes {
 public:
  explicit Substitutes(XftFont* primary) : primary_(primary) {
    FcResult result;
    sorted_ = FcFontSort(nullptr, primary->pattern, FcTrue, nullptr, &result);
  }
  ~Substitutes() {
    for (auto& [index, font] : opened_) {
      if (font != nullptr) XftFontClose(fl_display, font);
    }
    if (sorted_ != nullptr) FcFontSetDestroy(sorted_);
  }
  Substitutes(const Substitutes&) = delete;
  Substitutes& operator=(const Substitutes&) = delete;

  // The font for `c`: nullptr when the primary font has it, or when no font does (FLTK then
  // draws its box).
  XftFont* For(FcChar32 c) {
    if (XftCharExists(fl_display, primary_, c) || sorted_ == nullptr) return nullptr;
    for (int i = 0; i < sorted_->nfont; ++i) {
      FcCharSet* charset = nullptr;
      if (FcPatternGetCharSet(sorted_->fonts[i], FC_CHARSET, 0, &charset) != FcResultMatch ||
          !FcCharSetHasChar(charset, c)) {
        continue;
      }
      auto [it, added] = opened_.try_emplace(i, nullptr);
      if (added) {
        FcPattern* pattern = FcFontRenderPrepare(nullptr, primary_->pattern, sorted_->fonts[i]);
        if (pattern != nullptr) it->second = XftFontOpenPattern(fl_display, pattern);
      }
      if (it->second != nullptr) return it->second;
    }
    return nullptr;
  }

 private:
  XftFont* primary_;
  FcFontSet* sorted_ = nullptr;
  std::map<int, XftFont*> opened_;
};

class FallbackDriver final : public Fl_Xlib_Graphics_Driver {
 public:
  void draw(const char* str, int count, int x, int y) override {
    ForEachRun(str, count, [&](const char* run, int length, XftFont* font) {
      if (font == nullptr) {
        Fl_Xlib_Graphics_Driver::draw(run, length, x, y);
        x += static_cast<int>(std::lround(Fl_Xlib_Graphics_Driver::width(run, length)));
      } else {
        DrawWith(font, run, length, x, y);
        x += Advance(font, run, length);
      }
    });
  }

  double width(const char* str, int count) override {
    double total = 0;
    bool substituted = false;
    ForEachRun(str, count, [&](const char* run, int length, XftFont* font) {
      substituted = substituted || font != nullptr;
      total += font == nullptr ? std::lround(Fl_Xlib_Graphics_Driver::width(run, length))
                               : Advance(font, run, length);
    });
    return substituted ? total : Fl_Xlib_Graphics_Driver::width(str, count);
  }

  double width(unsigned int c) override {
    char bytes[4];
    return width(bytes, fl_utf8encode(c, bytes));
  }

 private:
  // Calls visit(run, length, font) for each run of characters drawn with one font (nullptr:
  // FLTK's own).
  template <typename Visit>
  void ForEachRun(const char* str, int count, Visit visit) {
    auto* primary = static_cast<XftFont*>(fl_xftfont);
    if (primary == nullptr || count <= 0) {
      if (count > 0) visit(str, count, nullptr);
      return;
    }
    Substitutes& substitutes = SubstitutesOf(primary);
    const char* run = str;
    XftFont* run_font = nullptr;
    const char* end = str + count;
    for (const char* at = str; at < end;) {
      int length = 1;
      const unsigned c = fl_utf8decode(at, end, &length);
      XftFont* font = c < 0x80 ? nullptr : substitutes.For(c);
      if (font != run_font && at > run) {
        visit(run, static_cast<int>(at - run), run_font);
        run = at;
      }
      run_font = font;
      at += length > 0 ? length : 1;
    }
    if (end > run) visit(run, static_cast<int>(end - run), run_font);
  }

  Substitutes& SubstitutesOf(XftFont* primary) {
    auto it = substitutes_.find(primary);
    if (it == substitutes_.end()) {
      it = substitutes_.emplace(primary, std::make_unique<Substitutes>(primary)).first;
    }
    return *it->second;
  }

  static int Advance(XftFont* font, const char* run, int length) {
    XGlyphInfo extents{};
    XftTextExtentsUtf8(fl_display, font, reinterpret_cast<const FcChar8*>(run), length, &extents);
    return extents.xOff;
  }

  // Draws where FLTK draws now: its window or offscreen picture, its clip and colour.
  void DrawWith(XftFont* font, const char* run, int length, int x, int y) {
    if (draw_ == nullptr) {
      draw_ = XftDrawCreate(fl_display, fl_window, fl_visual->visual, fl_colormap);
    } else if (drawable_ != fl_window) {
      XftDrawChange(draw_, fl_window);
    }
    drawable_ = fl_window;
    XftDrawSetClip(draw_, fl_clip_region());
    uchar r = 0, g = 0, b = 0;
    Fl::get_color(Fl_Graphics_Driver::color(), r, g, b);
    const XRenderColor wanted{static_cast<unsigned short>(r * 0x101),
                              static_cast<unsigned short>(g * 0x101),
                              static_cast<unsigned short>(b * 0x101), 0xFFFF};
    XftColor color;
    XftColorAllocValue(fl_display, fl_visual->visual, fl_colormap, &wanted, &color);
    XftDrawStringUtf8(draw_, &color, font, x, y, reinterpret_cast<const FcChar8*>(run), length);
    XftColorFree(fl_display, fl_visual->visual, fl_colormap, &color);
  }

  std::map<XftFont*, std::unique_ptr<Substitutes>> substitutes_;
  XftDraw* draw_ = nullptr;
  Window drawable_ = 0;
};

}  // namespace

void UseFallbackFonts() {
  static FallbackDriver driver;
  Fl_Display_Device* display = Fl_Display_Device::display_device();
  display->driver(&driver);
  display->set_current();
}

}  // namespace cobaltmoth::ui
