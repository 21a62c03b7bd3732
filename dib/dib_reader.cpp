#include "dib_reader.h"

#include <algorithm>
#include <cstring>

namespace skan::dib {

namespace {

// A converted bitmap (RLE, 16 bits, unusual bit fields) gets a buffer of its
// own. 512 MB holds a 1200 dpi A4 colour page (417 MB) and keeps a few bytes
// of RLE from asking for gigabytes.
constexpr uint64_t kMaxConvertedBytes = uint64_t{512} << 20;

constexpr size_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;       // BITMAPCOREHEADER
constexpr uint32_t kInfoHeaderSize = 40;       // BITMAPINFOHEADER
constexpr uint32_t kHeaderWithMasksSize = 52;  // larger headers carry the bit masks themselves
constexpr uint32_t kBiRgb = 0, kBiRle8 = 1, kBiRle4 = 2, kBiBitfields = 3;

[[noreturn]] void Invalid(const char* why) { throw TInvalidBitmap(why); }

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t Stride64(uint64_t width, unsigned bitsPerPixel) { return (width * bitsPerPixel + 31) / 32 * 4; }

// One colour's bit field in a 16- or 32-bit pixel.
struct TField {
  uint32_t mask = 0;
  unsigned shift = 0;
  unsigned width = 0;
  uint8_t widen[128] = {};  // fields narrower than 8 bits: value -> 8 bits

  explicit TField(uint32_t m) : mask(m) {
    if (m == 0) Invalid("a colour bit mask is empty");
    while (!(m & 1)) m >>= 1, ++shift;
    if (m & (m + 1)) Invalid("a colour bit mask has gaps");
    while (m) m >>= 1, ++width;
    if (width < 8) {
      // Repeating the bits maps 0 to 0 and all ones to 255.
      for (uint32_t v = 0; v < (1u << width); ++v) {
        uint32_t out = 0;
        unsigned n = 0;
        for (; n < 8; n += width) out = out << width | v;
        widen[v] = static_cast<uint8_t>(out >> (n - 8));
      }
    }
  }
  uint8_t Of(uint32_t pixel) const {
    const uint32_t v = (pixel & mask) >> shift;
    return width < 8 ? widen[v] : static_cast<uint8_t>(v >> (width - 8));
  }
};

struct THeader {
  uint32_t size = 0;
  int64_t width = 0, height = 0;
  uint16_t planes = 0, bitCount = 0;
  uint32_t compression = kBiRgb, sizeImage = 0, clrUsed = 0;
  uint32_t masks[3] = {};  // red, green, blue
  size_t tableAt = 0;      // where the colour table starts in the header block
  size_t entrySize = 4;    // RGBQUAD, or RGBTRIPLE after a core header
};

THeader ParseHeader(const uint8_t* info, size_t infoSize) {
  THeader h;
  if (infoSize < 4) Invalid("no bitmap header");
  h.size = U32(info);
  if (h.size == kCoreHeaderSize) {
    if (infoSize < kCoreHeaderSize) Invalid("the bitmap header is cut short");
    h.width = U16(info + 4);
    h.height = U16(info + 6);
    h.planes = U16(info + 8);
    h.bitCount = U16(info + 10);
    h.tableAt = kCoreHeaderSize;
    h.entrySize = 3;
    if (h.bitCount != 1 && h.bitCount != 4 && h.bitCount != 8 && h.bitCount != 24)
      Invalid("unsupported bits per pixel");
  } else if (h.size >= kInfoHeaderSize) {
    if (h.size > infoSize) Invalid("the bitmap header is cut short");
    h.width = static_cast<int32_t>(U32(info + 4));
    h.height = static_cast<int32_t>(U32(info + 8));
    h.planes = U16(info + 12);
    h.bitCount = U16(info + 14);
    h.compression = U32(info + 16);
    h.sizeImage = U32(info + 20);
    h.clrUsed = U32(info + 32);
    h.tableAt = h.size;
  } else {
    Invalid("unknown bitmap header size");
  }
  if (h.width <= 0) Invalid("the width is not positive");
  if (h.height == 0 || h.height == INT32_MIN) Invalid("the height is zero or out of range");
  if (h.planes != 1) Invalid("the plane count is not 1");
  switch (h.compression) {
    case kBiRgb:
      if (h.bitCount != 1 && h.bitCount != 4 && h.bitCount != 8 && h.bitCount != 16 && h.bitCount != 24 &&
          h.bitCount != 32)
        Invalid("unsupported bits per pixel");
      if (h.bitCount == 16) h.masks[0] = 0x7C00, h.masks[1] = 0x03E0, h.masks[2] = 0x001F;
      break;
    case kBiRle8:
    case kBiRle4:
      if (h.bitCount != (h.compression == kBiRle8 ? 8 : 4)) Invalid("RLE compression does not match the bit count");
      if (h.height < 0) Invalid("an RLE bitmap cannot be top-down");
      break;
    case kBiBitfields:
      if (h.bitCount != 16 && h.bitCount != 32) Invalid("bit fields need 16 or 32 bits per pixel");
      if (h.size < kHeaderWithMasksSize) {
        // A plain info header is followed by the three masks.
        if (infoSize < kHeaderWithMasksSize) Invalid("the bit masks are cut short");
        h.tableAt = kHeaderWithMasksSize;
      }
      for (int i = 0; i < 3; ++i) h.masks[i] = U32(info + kInfoHeaderSize + 4 * i);
      break;
    default: Invalid("unsupported compression");
  }
  return h;
}

// The colour table, always 2^n entries: a short table leaves the rest black.
std::vector<TQuad> ReadPalette(const THeader& h, const uint8_t* info, size_t infoSize) {
  const uint32_t max = 1u << h.bitCount;
  const uint32_t used = h.clrUsed == 0 || h.clrUsed > max ? max : h.clrUsed;
  if (h.tableAt + uint64_t{used} * h.entrySize > infoSize) Invalid("the colour table is cut short");
  std::vector<TQuad> palette(max);
  const uint8_t* p = info + h.tableAt;
  for (uint32_t i = 0; i < used; ++i, p += h.entrySize) palette[i] = {p[0], p[1], p[2], 0};
  return palette;
}

std::vector<uint8_t> OwnBuffer(uint64_t bytes) {
  if (bytes > kMaxConvertedBytes) Invalid("the bitmap is too large");
  return std::vector<uint8_t>(static_cast<size_t>(bytes), 0);
}

// RLE8 or RLE4 into rows of 8 or 4 bits, bottom-up as the data runs. Skipped
// pixels (end of line, delta) keep index 0; pixels past a row's end are cut
// off; decoding ends at the end-of-bitmap mark or once every row is done. A
// delta that leaves the bitmap, or data that ends before, is invalid.
void DecodeRle(const uint8_t* src, size_t n, bool four, uint32_t width, uint32_t height, size_t stride, uint8_t* out) {
  uint64_t x = 0;
  uint32_t y = 0;
  size_t p = 0;
  auto put = [&](uint8_t v) {
    if (x < width) {
      uint8_t* row = out + stride * y;
      if (four) {
        const unsigned shift = (x & 1) ? 0 : 4;
        row[x / 2] = static_cast<uint8_t>((row[x / 2] & ~(0xF << shift)) | v << shift);
      } else {
        row[x] = v;
      }
    }
    ++x;
  };
  while (y < height) {
    if (n - p < 2) Invalid("RLE data ends before the end-of-bitmap mark");
    const uint8_t count = src[p], value = src[p + 1];
    p += 2;
    if (count > 0) {
      for (unsigned i = 0; i < count; ++i) put(four ? ((i & 1) ? value & 0xF : value >> 4) : value);
      continue;
    }
    switch (value) {
      case 0:  // end of line
        x = 0;
        ++y;
        break;
      case 1:  // end of bitmap
        return;
      case 2:  // delta: right and up
        if (n - p < 2) Invalid("RLE data ends inside a delta");
        x += src[p];
        y += src[p + 1];
        p += 2;
        if (y > height) Invalid("an RLE delta moves past the last row");
        break;
      default: {  // a literal run, padded to a 16-bit boundary
        const size_t bytes = four ? (value + 1u) / 2 : value;
        if (n - p < bytes) Invalid("RLE data ends inside a literal run");
        for (unsigned i = 0; i < value; ++i) put(four ? (src[p + i / 2] >> ((i & 1) ? 0 : 4)) & 0xF : src[p + i]);
        p += std::min(n - p, (bytes + 1) & ~size_t{1});
      }
    }
  }
}

}  // namespace

size_t RowStride(uint32_t width, uint16_t bitsPerPixel) { return static_cast<size_t>(Stride64(width, bitsPerPixel)); }

TPlainBitmap ReadBitmap(const uint8_t* info, size_t infoSize, const uint8_t* bits, size_t bitsSize) {
  if (!info) infoSize = 0;
  if (!bits) bitsSize = 0;
  const THeader h = ParseHeader(info, infoSize);
  TPlainBitmap out;
  out.width = static_cast<uint32_t>(h.width);
  out.height = static_cast<uint32_t>(h.height < 0 ? -h.height : h.height);
  out.topDown = h.height < 0;
  if (h.bitCount <= 8) out.palette = ReadPalette(h, info, infoSize);

  if (h.compression == kBiRle8 || h.compression == kBiRle4) {
    if (h.sizeImage > bitsSize) Invalid("the RLE data is cut short");
    const size_t size = h.sizeImage ? h.sizeImage : bitsSize;
    out.bitsPerPixel = h.bitCount;
    out.stride = RowStride(out.width, out.bitsPerPixel);
    out.own_ = OwnBuffer(Stride64(out.width, out.bitsPerPixel) * out.height);
    DecodeRle(bits, size, h.compression == kBiRle4, out.width, out.height, out.stride, out.own_.data());
    out.bits = out.own_.data();
    out.converted = true;
    return out;
  }

  const uint64_t stride = Stride64(out.width, h.bitCount);
  if (stride * out.height > bitsSize) Invalid("the pixel data is cut short");
  out.stride = static_cast<size_t>(stride);
  out.bits = bits;
  out.bitsPerPixel = h.bitCount;
  if (h.bitCount != 16 && h.bitCount != 32) return out;
  if (h.bitCount == 32 &&
      (h.compression == kBiRgb || (h.masks[0] == 0xFF0000 && h.masks[1] == 0xFF00 && h.masks[2] == 0xFF)))
    return out;  // already blue-green-red-unused

  const TField red(h.masks[0]), green(h.masks[1]), blue(h.masks[2]);
  if ((red.mask & green.mask) || (red.mask & blue.mask) || (green.mask & blue.mask))
    Invalid("colour bit masks overlap");
  if (h.bitCount == 16 && ((red.mask | green.mask | blue.mask) >> 16)) Invalid("a colour bit mask exceeds 16 bits");
  const size_t outStride = RowStride(out.width, 24);
  out.own_ = OwnBuffer(uint64_t{outStride} * out.height);
  for (uint32_t y = 0; y < out.height; ++y) {
    const uint8_t* s = bits + out.stride * y;
    uint8_t* d = out.own_.data() + outStride * y;
    for (uint32_t x = 0; x < out.width; ++x, d += 3) {
      const uint32_t pixel = h.bitCount == 16 ? U16(s + 2 * size_t{x}) : U32(s + 4 * size_t{x});
      d[0] = blue.Of(pixel);
      d[1] = green.Of(pixel);
      d[2] = red.Of(pixel);
    }
  }
  out.bitsPerPixel = 24;
  out.stride = outStride;
  out.bits = out.own_.data();
  out.converted = true;
  return out;
}

TPlainBitmap ReadBmpFile(const uint8_t* file, size_t size) {
  if (!file || size < kFileHeaderSize) Invalid("shorter than a bitmap file header");
  if (file[0] != 'B' || file[1] != 'M') Invalid("no bitmap signature");
  const uint32_t offset = U32(file + 10);
  if (offset < kFileHeaderSize || offset > size) Invalid("the pixel offset lies outside the file");
  return ReadBitmap(file + kFileHeaderSize, offset - kFileHeaderSize, file + offset, size - offset);
}

std::vector<uint8_t> PlainInfoBlock(const TPlainBitmap& b) {
  std::vector<uint8_t> block(kInfoHeaderSize + b.palette.size() * 4, 0);
  auto put32 = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) block[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(0, kInfoHeaderSize);
  put32(4, b.width);
  put32(8, b.topDown ? static_cast<uint32_t>(-static_cast<int64_t>(b.height)) : b.height);
  block[12] = 1;  // planes
  block[14] = static_cast<uint8_t>(b.bitsPerPixel);
  put32(16, kBiRgb);
  put32(20, static_cast<uint32_t>(b.stride * b.height));
  put32(32, static_cast<uint32_t>(b.palette.size()));
  for (size_t i = 0; i < b.palette.size(); ++i) {
    const TQuad& q = b.palette[i];
    uint8_t* e = block.data() + kInfoHeaderSize + 4 * i;
    e[0] = q.blue, e[1] = q.green, e[2] = q.red;
  }
  return block;
}

TPlainBitmap Turned(const TPlainBitmap& bitmap, int degrees) {
  if (degrees != 0 && degrees != 90 && degrees != 180 && degrees != 270) Invalid("a turn is not a quarter turn");
  const bool quarter = degrees == 90 || degrees == 270;
  TPlainBitmap out;
  out.width = quarter ? bitmap.height : bitmap.width;
  out.height = quarter ? bitmap.width : bitmap.height;
  out.bitsPerPixel = bitmap.bitsPerPixel;
  out.topDown = true;
  out.stride = RowStride(out.width, out.bitsPerPixel);
  out.palette = bitmap.palette;
  if (uint64_t{out.stride} * out.height > kMaxConvertedBytes) Invalid("the bitmap is too large to turn");
  out.own_.assign(out.stride * out.height, 0);
  out.bits = out.own_.data();
  out.converted = true;
  const unsigned bpp = bitmap.bitsPerPixel;
  const uint32_t w = bitmap.width, h = bitmap.height;
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = bitmap.Row(y);
    for (uint32_t x = 0; x < w; ++x) {
      uint32_t nx = x, ny = y;
      if (degrees == 90) {  // clockwise: the left column becomes the top row
        nx = h - 1 - y, ny = x;
      } else if (degrees == 180) {
        nx = w - 1 - x, ny = h - 1 - y;
      } else if (degrees == 270) {
        nx = y, ny = w - 1 - x;
      }
      uint8_t* to = out.own_.data() + out.stride * ny;
      if (bpp >= 8) {
        std::memcpy(to + size_t{nx} * (bpp / 8), row + size_t{x} * (bpp / 8), bpp / 8);
      } else {
        const size_t from = size_t{x} * bpp, at = size_t{nx} * bpp;
        const unsigned mask = (1u << bpp) - 1;
        const unsigned v = (row[from / 8] >> (8 - bpp - from % 8)) & mask;
        to[at / 8] = static_cast<uint8_t>(to[at / 8] | v << (8 - bpp - at % 8));
      }
    }
  }
  return out;
}

}  // namespace skan::dib
