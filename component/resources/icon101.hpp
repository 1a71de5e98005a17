// component/resources/icon101.hpp - icon 101, the picture of the report window, compiled in.
//
// A 32 x 32 picture in the standard 16 colours with transparent pixels, drawn in
// component/resources/icon101.txt (one letter a pixel) and turned by scripts/gen_icon.py into the
// Windows icon resource component/resources/icon101.ico and into icon101.inc, compiled in here: the
// same .ico bytes, and the pixels as RGBA for a Linux window.
//
// The .ico holds one image: a 6-byte ICONDIR (0, type 1, count 1), one 16-byte ICONDIRENTRY
// (32, 32, 16 colours, 0, 1 plane, 4 bits, 744 bytes at offset 22), then the 744 bytes of the
// image: a 40-byte BITMAPINFOHEADER (32 wide, 64 high for the colour bitmap and its mask,
// 4 bits a pixel), the 16-colour palette (64 bytes), the 4-bit colour bitmap (512 bytes) and
// the 1-bit mask (128 bytes), both bottom row first; a transparent pixel is colour 0 under a
// set mask bit.
//
// Thread-safety: constant data.
#pragma once

#include <cstdint>
#include <span>

namespace cobaltmoth::component::resources {

inline constexpr int kIcon101Size = 32;  // pixels wide and high

// The bytes of component/resources/icon101.ico (766).
std::span<const std::uint8_t> Icon101Ico() noexcept;

// The pixels, top row first, 4 bytes each (red, green, blue, alpha): alpha 255 for a pixel of
// the picture, and 0, 0, 0, 0 for a transparent one.
std::span<const std::uint8_t> Icon101Rgba() noexcept;

}  // namespace cobaltmoth::component::resources
