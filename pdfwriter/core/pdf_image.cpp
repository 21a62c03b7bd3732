#include "pdf_image.h"

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <new>

namespace skan::pdfwriter {

namespace {

// libdeflate's level 2 already packs scanned pages tighter than zlib's
// default level does, at a small part of its time.
constexpr int kDeflateLevel = 2;
constexpr int kBilevelLevel = 9;

enum class TMode { Gray, GrayInverted, Indexed, Rgb };

bool PaletteIsRamp(const TRaster& r, bool inverted) {
  const size_t n = size_t{1} << r.bitsPerPixel;
  if (r.palette.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    const size_t level = inverted ? n - 1 - i : i;
    const auto v = static_cast<uint8_t>(level * 255 / (n - 1));
    const TRgb& c = r.palette[i];
    if (c.r != v || c.g != v || c.b != v) return false;
  }
  return true;
}

TMode ModeOf(const TRaster& r) {
  if (r.bitsPerPixel > 8) return TMode::Rgb;
  if (PaletteIsRamp(r, false)) return TMode::Gray;
  if (PaletteIsRamp(r, true)) return TMode::GrayInverted;
  return TMode::Indexed;
}

void CheckRaster(const TRaster& r) {
  if (!IsSupportedRaster(r.bitsPerPixel) || r.width == 0 || r.height == 0 || !r.bits)
    throw TPdfError(kErrInvalidParameter, "pdfwriter: unsupported bitmap format");
  if (r.stride < DibStride(r.width, r.bitsPerPixel))
    throw TPdfError(kErrInvalidParameter, "pdfwriter: bitmap rows are too short");
  if (r.bitsPerPixel <= 8 && (r.palette.empty() || r.palette.size() > (size_t{1} << r.bitsPerPixel)))
    throw TPdfError(kErrInvalidParameter, "pdfwriter: bitmap palette is missing or too large");
}

size_t PackedRowBytes(const TRaster& r) {
  return r.bitsPerPixel > 8 ? size_t{r.width} * 3 : (size_t{r.width} * r.bitsPerPixel + 7) / 8;
}

// One row of PDF samples from a DIB row.
void ConvertRow(const TRaster& r, const uint8_t* src, uint8_t* dst) {
  switch (r.bitsPerPixel) {
    case 24:
      for (uint32_t x = 0; x < r.width; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      break;
    case 32:
      for (uint32_t x = 0; x < r.width; ++x, src += 4, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
      }
      break;
    default:
      std::memcpy(dst, src, PackedRowBytes(r));
      break;
  }
}

std::string HexPalette(const std::vector<TRgb>& palette) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = "<";
  for (const TRgb& c : palette) {
    for (uint8_t v : {c.r, c.g, c.b}) {
      s += kHex[v >> 4];
      s += kHex[v & 15];
    }
  }
  s += ">";
  return s;
}

}  // namespace

size_t DibStride(uint32_t width, uint16_t bitsPerPixel) {
  return ((size_t{width} * bitsPerPixel + 31) / 32) * 4;
}

bool IsSupportedRaster(uint16_t bitsPerPixel) {
  return bitsPerPixel == 1 || bitsPerPixel == 4 || bitsPerPixel == 8 || bitsPerPixel == 24 || bitsPerPixel == 32;
}

TImageInfo DescribeRaster(const TRaster& r) {
  CheckRaster(r);
  TImageInfo info;
  info.width = r.width;
  info.height = r.height;
  info.filter = "/FlateDecode";
  switch (ModeOf(r)) {
    case TMode::Rgb:
      info.colorSpace = "/DeviceRGB";
      info.bitsPerComponent = 8;
      break;
    case TMode::Gray:
      info.colorSpace = "/DeviceGray";
      info.bitsPerComponent = r.bitsPerPixel;
      break;
    case TMode::GrayInverted:
      info.colorSpace = "/DeviceGray";
      info.bitsPerComponent = r.bitsPerPixel;
      info.decode = "[1 0]";
      break;
    case TMode::Indexed:
      info.colorSpace = "[/Indexed /DeviceRGB " + std::to_string(r.palette.size() - 1) + " " +
                        HexPalette(r.palette) + "]";
      info.bitsPerComponent = r.bitsPerPixel;
      break;
  }
  return info;
}

namespace {

struct TFreeCompressor {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

int LevelFor(const TRaster& r) {
  // Black-and-white pages are small: a strong level costs little there.
  return r.bitsPerPixel == 1 ? kBilevelLevel : kDeflateLevel;
}

}  // namespace

uint64_t DeflateRaster(const TRaster& r, TByteStore& store, uint64_t* offset) {
  CheckRaster(r);
  const size_t rowBytes = PackedRowBytes(r);
  // The compressor takes its input whole: the samples, top-down, unpadded.
  const size_t size = rowBytes * r.height;
  std::unique_ptr<uint8_t[]> samples(new uint8_t[size]);
  for (uint32_t y = 0; y < r.height; ++y) ConvertRow(r, r.Row(y), samples.get() + size_t{y} * rowBytes);

  const std::unique_ptr<libdeflate_compressor, TFreeCompressor> compressor(libdeflate_alloc_compressor(LevelFor(r)));
  if (!compressor) throw std::bad_alloc();
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), size);
  std::unique_ptr<uint8_t[]> out(new uint8_t[bound]);
  const size_t length = libdeflate_zlib_compress(compressor.get(), samples.get(), size, out.get(), bound);
  if (length == 0) throw TPdfError(kErrInvalidFunction, "pdfwriter: the image cannot be compressed");
  samples.reset();
  *offset = store.Append(out.get(), length);
  return length;
}

std::vector<uint8_t> ExpandRaster(const TRaster& r, int* components) {
  CheckRaster(r);
  const TMode mode = ModeOf(r);
  const bool gray = mode == TMode::Gray || mode == TMode::GrayInverted;
  *components = gray ? 1 : 3;
  std::vector<uint8_t> out(size_t{r.width} * r.height * (gray ? 1 : 3));
  uint8_t* dst = out.data();
  for (uint32_t y = 0; y < r.height; ++y) {
    const uint8_t* src = r.Row(y);
    for (uint32_t x = 0; x < r.width; ++x) {
      if (r.bitsPerPixel >= 24) {
        const uint8_t* p = src + size_t{x} * (r.bitsPerPixel / 8);
        *dst++ = p[2];
        *dst++ = p[1];
        *dst++ = p[0];
        continue;
      }
      const unsigned bpp = r.bitsPerPixel;
      const size_t bit = size_t{x} * bpp;
      const unsigned index = (src[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
      const TRgb c = index < r.palette.size() ? r.palette[index] : TRgb{0, 0, 0};
      if (gray) {
        *dst++ = c.r;
      } else {
        *dst++ = c.r;
        *dst++ = c.g;
        *dst++ = c.b;
      }
    }
  }
  return out;
}

}  // namespace skan::pdfwriter
