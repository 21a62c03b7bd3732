// Reading Windows bitmaps, as BMP files or as a header block plus a pixel
// block, in every layout a scanner driver may write: 1, 4 and 8 bits with a
// full or short colour table, 16 bits (5-5-5 or bit fields), 24 bits, 32 bits
// (plain or bit fields), RLE8 and RLE4, bottom-up or top-down, with the
// core, info, V4 or V5 header. The result is one plain form that GDI and the
// PDF writer both take as it is. Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace skan::dib {

// Anything that is not a valid bitmap; what() names the fault.
class TInvalidBitmap : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TQuad {
  uint8_t blue = 0, green = 0, red = 0, reserved = 0;  // RGBQUAD order
};

// A bitmap in plain form: uncompressed, rows padded to 4 bytes; 1, 4 and 8
// bits index `palette`, which always has all 2^n entries (indexes past a
// short colour table are black); 24 bits are blue-green-red, 32 bits
// blue-green-red-unused. Other layouts are converted to 24 bits, each colour
// field widened to 8 bits by repeating its bits (5 bits v: v << 3 | v >> 2;
// 6 bits v: v << 2 | v >> 4) or narrowed to its 8 highest bits.
//
// The pixels are the input's own when they already had this form, otherwise
// a buffer held here; the object moves but does not copy.
class TPlainBitmap {
 public:
  TPlainBitmap() = default;
  TPlainBitmap(TPlainBitmap&&) = default;
  TPlainBitmap& operator=(TPlainBitmap&&) = default;
  TPlainBitmap(const TPlainBitmap&) = delete;
  TPlainBitmap& operator=(const TPlainBitmap&) = delete;

  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerPixel = 0;  // 1, 4, 8, 24 or 32
  bool topDown = false;       // first row in memory is the top one
  size_t stride = 0;          // bytes per row
  std::vector<TQuad> palette;
  const uint8_t* bits = nullptr;  // stride * height bytes
  bool converted = false;         // the pixels are this object's own buffer

  const uint8_t* Row(uint32_t y) const { return bits + stride * (topDown ? y : height - 1 - y); }

 private:
  friend TPlainBitmap ReadBitmap(const uint8_t*, size_t, const uint8_t*, size_t);
  friend TPlainBitmap Turned(const TPlainBitmap&, int);
  std::vector<uint8_t> own_;
};

// Bytes per row of an uncompressed bitmap: padded to 4 bytes.
size_t RowStride(uint32_t width, uint16_t bitsPerPixel);

// A bitmap given as its header block (header, bit masks, colour table, and
// anything after them) and its pixel block, as a device-independent bitmap
// is handed to GDI. The input must outlive the result.
TPlainBitmap ReadBitmap(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize);

// A whole BMP file held in memory: the file header, then as above with the
// pixels at the offset the file header gives.
TPlainBitmap ReadBmpFile(const uint8_t* file, size_t size);

// `bitmap` turned clockwise by `degrees` (0, 90, 180 or 270): the same depth
// and palette, top-down rows in a buffer of its own.
TPlainBitmap Turned(const TPlainBitmap& bitmap, int degrees);

// The header block that describes a plain bitmap to GDI: a 40-byte info
// header (no compression, the colour count given) and the whole colour table.
std::vector<uint8_t> PlainInfoBlock(const TPlainBitmap& bitmap);

}  // namespace skan::dib
