#include "pdf_image.h"

#include <zlib.h>

#include <cstring>
#include <functional>
#include <system_error>
#include <thread>

namespace pdfw {

namespace {

// zlib's default level: the same trade of size against time as common
// image-to-PDF converters, so lossless pages come out no larger than theirs.
constexpr int kDeflateLevel = Z_DEFAULT_COMPRESSION;
constexpr size_t kDeflateChunk = 1 << 16;
constexpr unsigned kMaxStrips = 8;
constexpr uint64_t kParallelMinBytes = 1 << 20;

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

// Compresses rows [first, last) as raw deflate data that continues a stream:
// primed with the 32 KB of samples before `first`, ended with a sync flush
// (or the final block when `final`). Such pieces laid end to end form one
// deflate stream, so strips can be compressed at the same time.
struct TStrip {
  uint32_t first = 0, last = 0;
  bool final = false;
  std::string out;
  uLong adler = 1;
  uLong length = 0;
  std::string error;
};

void CompressStrip(const TRaster& r, int level, TStrip& strip) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    strip.error = "pdfwriter: compressor cannot be started";
    return;
  }
  std::vector<uint8_t> row(PackedRowBytes(r));
  if (strip.first > 0) {
    // The dictionary: converted rows just before the strip, at most 32 KB.
    std::string dict;
    for (uint32_t y = strip.first; y > 0 && dict.size() < 32768; --y) {
      ConvertRow(r, r.Row(y - 1), row.data());
      dict.insert(0, reinterpret_cast<const char*>(row.data()), row.size());
    }
    if (dict.size() > 32768) dict.erase(0, dict.size() - 32768);
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict.data()), static_cast<uInt>(dict.size()));
  }
  std::vector<uint8_t> out(kDeflateChunk);
  auto drain = [&](int flush) {
    int rc;
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = deflate(&z, flush);
      strip.out.append(reinterpret_cast<const char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  };
  for (uint32_t y = strip.first; y < strip.last; ++y) {
    ConvertRow(r, r.Row(y), row.data());
    strip.adler = adler32(strip.adler, row.data(), static_cast<uInt>(row.size()));
    strip.length += static_cast<uLong>(row.size());
    z.next_in = row.data();
    z.avail_in = static_cast<uInt>(row.size());
    drain(Z_NO_FLUSH);
  }
  drain(strip.final ? Z_FINISH : Z_SYNC_FLUSH);
  deflateEnd(&z);
}

int LevelFor(const TRaster& r) {
  // Black-and-white pages are small: the strongest level costs little there.
  return r.bitsPerPixel == 1 ? 9 : kDeflateLevel;
}

}  // namespace

uint64_t DeflateRaster(const TRaster& r, TByteStore& store, uint64_t* offset, unsigned strips) {
  CheckRaster(r);
  if (strips == 0) {
    // One strip per processor for pages worth it (a 300 dpi grey page is 8 MB).
    strips = std::thread::hardware_concurrency();
    if (strips == 0) strips = 1;
    if (strips > kMaxStrips) strips = kMaxStrips;
    if (uint64_t{PackedRowBytes(r)} * r.height < kParallelMinBytes) strips = 1;
  }
  if (strips > r.height) strips = r.height;

  std::vector<TStrip> parts(strips);
  for (unsigned i = 0; i < strips; ++i) {
    parts[i].first = static_cast<uint32_t>(uint64_t{r.height} * i / strips);
    parts[i].last = static_cast<uint32_t>(uint64_t{r.height} * (i + 1) / strips);
    parts[i].final = i + 1 == strips;
  }
  const int level = LevelFor(r);
  std::vector<std::thread> workers;
  try {
    for (unsigned i = 1; i < strips; ++i) workers.emplace_back(CompressStrip, std::cref(r), level, std::ref(parts[i]));
  } catch (const std::system_error&) {
    // No thread to be had: the remaining strips run here.
  }
  CompressStrip(r, level, parts[0]);
  for (size_t i = workers.size() + 1; i < strips; ++i) CompressStrip(r, level, parts[i]);
  for (std::thread& t : workers) t.join();

  // zlib header (deflate, 32 KB window), the strips, then the Adler-32 of
  // all samples in network byte order.
  uLong adler = 1;
  for (const TStrip& part : parts) {
    if (!part.error.empty()) throw TPdfError(kErrNotEnoughMemory, part.error);
    adler = adler32_combine(adler, part.adler, static_cast<z_off_t>(part.length));
  }
  const uint8_t header[2] = {0x78, level == 9 ? uint8_t{0xDA} : uint8_t{0x9C}};
  *offset = store.Append(header, sizeof header);
  uint64_t total = sizeof header;
  for (TStrip& part : parts) {
    store.Append(part.out.data(), part.out.size());
    total += part.out.size();
    std::string().swap(part.out);
  }
  const uint8_t trailer[4] = {static_cast<uint8_t>(adler >> 24), static_cast<uint8_t>(adler >> 16),
                              static_cast<uint8_t>(adler >> 8), static_cast<uint8_t>(adler)};
  store.Append(trailer, sizeof trailer);
  return total + sizeof trailer;
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

}  // namespace pdfw
