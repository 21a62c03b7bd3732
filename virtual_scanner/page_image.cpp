#include "page_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace skan::virtual_scanner {
namespace {

constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kBiBitfields = 3;

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

struct TRgb {
  uint8_t r, g, b;
};
constexpr TRgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kRed{255, 0, 0}, kGreen{0, 160, 0}, kBlue{0, 0, 255};

// A top-down RGB canvas; drawing clips to the page.
class TCanvas {
 public:
  TCanvas(int w, int h) : w_(w), h_(h), px_(size_t(w) * h, kWhite) {}
  void Fill(int x0, int y0, int x1, int y1, TRgb c) {
    x0 = std::max(x0, 0), y0 = std::max(y0, 0);
    x1 = std::min(x1, w_), y1 = std::min(y1, h_);
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) px_[size_t(y) * w_ + x] = c;
  }
  TRgb At(int x, int y) const { return px_[size_t(y) * w_ + x]; }
  int Width() const { return w_; }
  int Height() const { return h_; }

 private:
  int w_, h_;
  std::vector<TRgb> px_;
};

// Seven-segment digit in the box x, y, w, h with stroke t.
void DrawDigit(TCanvas& c, int digit, int x, int y, int w, int h, int t) {
  static const uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};
  const uint8_t s = kSegments[digit % 10];
  const int mid = y + h / 2;
  if (s & 0x01) c.Fill(x, y, x + w, y + t, kBlack);                      // a
  if (s & 0x02) c.Fill(x + w - t, y, x + w, mid, kBlack);                // b
  if (s & 0x04) c.Fill(x + w - t, mid, x + w, y + h, kBlack);            // c
  if (s & 0x08) c.Fill(x, y + h - t, x + w, y + h, kBlack);              // d
  if (s & 0x10) c.Fill(x, mid, x + t, y + h, kBlack);                    // e
  if (s & 0x20) c.Fill(x, y, x + t, mid, kBlack);                        // f
  if (s & 0x40) c.Fill(x, mid - t / 2, x + w, mid + t - t / 2, kBlack);  // g
}

void DrawMarks(TCanvas& c, int pageNumber, int dpi) {
  const int w = c.Width(), h = c.Height();
  const int border = std::max(2, dpi / 50);
  c.Fill(0, 0, w, border, kBlack);
  c.Fill(0, h - border, w, h, kBlack);
  c.Fill(0, 0, border, h, kBlack);
  c.Fill(w - border, 0, w, h, kBlack);

  // Centimetre ruler along the top and the left edge; every fifth tick longer.
  const double cm = dpi / 2.54;
  const int thin = std::max(1, dpi / 100);
  for (int k = 1; k * cm < w; ++k) {
    const int x = int(std::lround(k * cm)), len = (k % 5 == 0) ? dpi / 4 : dpi / 8;
    c.Fill(x, 0, x + thin, len, kBlack);
  }
  for (int k = 1; k * cm < h; ++k) {
    const int y = int(std::lround(k * cm)), len = (k % 5 == 0) ? dpi / 4 : dpi / 8;
    c.Fill(0, y, len, y + thin, kBlack);
  }

  // One-inch squares: red top-left, green top-right, blue bottom-left.
  const int m = dpi / 2, s = dpi;
  c.Fill(m, m, m + s, m + s, kRed);
  c.Fill(w - m - s, m, w - m, m + s, kGreen);
  c.Fill(m, h - m - s, m + s, h - m, kBlue);

  // Arrow pointing to the top edge.
  const int cx = w / 2, top = h / 6, head = h / 12;
  for (int dy = 0; dy < head; ++dy) c.Fill(cx - dy, top + dy, cx + dy + 1, top + dy + 1, kBlack);
  c.Fill(cx - head / 5, top + head, cx + head / 5, top + 2 * head, kBlack);

  // Page number, centred below the arrow.
  const std::string digits = std::to_string(pageNumber);
  const int dh = h / 4, dw = dh / 2, gap = dw / 3, t = std::max(1, dh / 10);
  const int total = int(digits.size()) * dw + (int(digits.size()) - 1) * gap;
  int x = (w - total) / 2;
  const int y = h / 2 - dh / 4;
  for (char d : digits) {
    DrawDigit(c, d - '0', x, y, dw, dh, t);
    x += dw + gap;
  }
}

uint8_t Luminance(TRgb p) { return uint8_t((p.r * 299 + p.g * 587 + p.b * 114) / 1000); }

}  // namespace

void PaletteEntry(int i, uint8_t rgb[3]) {
  rgb[0] = uint8_t(i);
  rgb[1] = uint8_t(i * 3 / 4);
  rgb[2] = uint8_t(i / 2);
}

TDib RenderPage(int pageNumber, TPixelType type, int dpi, double widthMm, double heightMm) {
  dpi = std::clamp(dpi, 50, 1200);
  const int w = std::max(1, int(std::lround(widthMm / 25.4 * dpi)));
  const int h = std::max(1, int(std::lround(heightMm / 25.4 * dpi)));
  TCanvas canvas(w, h);
  DrawMarks(canvas, pageNumber, dpi);

  const int bits = type == TPixelType::Rgb ? 24 : type == TPixelType::BlackWhite ? 1 : 8;
  const uint32_t colors = bits == 24 ? 0 : (1u << bits);
  const uint32_t stride = ((uint32_t(w) * bits + 31) / 32) * 4;
  const uint32_t pixelOffset = kInfoHeaderSize + 4 * colors;
  TDib dib(pixelOffset + stride * uint32_t(h), 0);
  uint8_t* hd = dib.data();
  Put32(hd + 0, kInfoHeaderSize);
  Put32(hd + 4, uint32_t(w));
  Put32(hd + 8, uint32_t(h));  // bottom-up rows
  Put16(hd + 12, 1);
  Put16(hd + 14, uint16_t(bits));
  Put32(hd + 16, 0);  // BI_RGB
  Put32(hd + 20, stride * uint32_t(h));
  const uint32_t ppm = uint32_t(std::lround(dpi / 0.0254));
  Put32(hd + 24, ppm);
  Put32(hd + 28, ppm);
  Put32(hd + 32, colors);
  Put32(hd + 36, 0);
  for (uint32_t i = 0; i < colors; ++i) {
    const uint8_t v = uint8_t(colors == 2 ? i * 255 : i);
    uint8_t* e = hd + kInfoHeaderSize + 4 * i;
    e[0] = e[1] = e[2] = v;
    if (type == TPixelType::Palette) {
      uint8_t rgb[3];
      PaletteEntry(int(i), rgb);
      e[0] = rgb[2], e[1] = rgb[1], e[2] = rgb[0];
    }
  }
  for (int y = 0; y < h; ++y) {
    uint8_t* row = dib.data() + pixelOffset + stride * uint32_t(h - 1 - y);
    for (int x = 0; x < w; ++x) {
      const TRgb p = canvas.At(x, y);
      if (bits == 24) {
        row[3 * x] = p.b, row[3 * x + 1] = p.g, row[3 * x + 2] = p.r;
      } else if (bits == 8) {
        row[x] = Luminance(p);
      } else if (Luminance(p) >= 192) {  // white bit; anything coloured prints black
        row[x / 8] |= uint8_t(0x80 >> (x % 8));
      }
    }
  }
  return dib;
}

TDib CropDib(const TDib& dib, int x, int y, int width, int height) {
  TDibInfo info;
  if (!DescribeDib(dib, info) || info.headerSize != kInfoHeaderSize || info.height <= 0) return {};
  const int x0 = std::clamp(x, 0, info.width), y0 = std::clamp(y, 0, info.height);
  const int x1 = std::clamp(x + width, x0, info.width), y1 = std::clamp(y + height, y0, info.height);
  const int w = x1 - x0, h = y1 - y0;
  if (w == 0 || h == 0) return {};
  const uint32_t inStride = ((uint32_t(info.width) * info.bitCount + 31) / 32) * 4;
  const uint32_t outStride = ((uint32_t(w) * info.bitCount + 31) / 32) * 4;
  TDib out(info.pixelOffset + outStride * uint32_t(h), 0);
  std::memcpy(out.data(), dib.data(), info.pixelOffset);
  Put32(out.data() + 4, uint32_t(w));
  Put32(out.data() + 8, uint32_t(h));
  Put32(out.data() + 20, outStride * uint32_t(h));
  for (int row = 0; row < h; ++row) {
    // Bottom-up rows: top row y0 + row sits at stored row height - 1 - (y0 + row).
    const uint8_t* from = dib.data() + info.pixelOffset + inStride * uint32_t(info.height - 1 - (y0 + row));
    uint8_t* to = out.data() + info.pixelOffset + outStride * uint32_t(h - 1 - row);
    if (info.bitCount >= 8) {
      const int bytes = info.bitCount / 8;
      std::memcpy(to, from + x0 * bytes, size_t(w) * bytes);
    } else {
      for (int col = 0; col < w; ++col) {
        const int sx = x0 + col;
        const int sbit = sx * info.bitCount, dbit = col * info.bitCount;
        const int mask = (1 << info.bitCount) - 1;
        const int v = (from[sbit / 8] >> (8 - info.bitCount - sbit % 8)) & mask;
        to[dbit / 8] |= uint8_t(v << (8 - info.bitCount - dbit % 8));
      }
    }
  }
  return out;
}

TDib ToBitfields32(const TDib& dib) {
  TDibInfo info;
  if (!DescribeDib(dib, info) || info.bitCount != 24 || info.headerSize != kInfoHeaderSize) return dib;
  const uint32_t rows = uint32_t(std::abs(info.height)), width = uint32_t(info.width);
  const uint32_t pixelOffset = kInfoHeaderSize + 12;
  TDib out(pixelOffset + 4 * width * rows, 0);
  std::memcpy(out.data(), dib.data(), kInfoHeaderSize);
  Put16(out.data() + 14, 32);
  Put32(out.data() + 16, kBiBitfields);
  Put32(out.data() + 20, 4 * width * rows);
  Put32(out.data() + 32, 0);
  Put32(out.data() + 40, 0x00FF0000);
  Put32(out.data() + 44, 0x0000FF00);
  Put32(out.data() + 48, 0x000000FF);
  const uint32_t stride = ((width * 24 + 31) / 32) * 4;
  for (uint32_t y = 0; y < rows; ++y)
    for (uint32_t x = 0; x < width; ++x)
      std::memcpy(out.data() + pixelOffset + 4 * (y * width + x), dib.data() + info.pixelOffset + y * stride + 3 * x,
                  3);
  return out;
}

TDib WithClrUsedZero(const TDib& dib) {
  TDibInfo info;
  if (!DescribeDib(dib, info) || info.headerSize != kInfoHeaderSize || info.bitCount > 8 ||
      info.colors != (1u << info.bitCount))
    return dib;
  TDib out = dib;
  Put32(out.data() + 32, 0);
  return out;
}

TDib ToTopDown(const TDib& dib) {
  TDibInfo info;
  if (!DescribeDib(dib, info) || info.height <= 0) return dib;
  TDib out = dib;
  const uint32_t stride = ((uint32_t(info.width) * info.bitCount + 31) / 32) * 4;
  const auto rows = uint32_t(info.height);
  for (uint32_t y = 0; y < rows; ++y)
    std::memcpy(out.data() + info.pixelOffset + stride * y, dib.data() + info.pixelOffset + stride * (rows - 1 - y),
                stride);
  Put32(out.data() + 8, uint32_t(-info.height));
  return out;
}

TDib ToV5Header(const TDib& dib) {
  constexpr uint32_t kV5HeaderSize = 124;
  constexpr uint32_t kSrgb = 0x73524742;  // 'sRGB'
  constexpr uint32_t kIntentImages = 4;
  TDibInfo info;
  if (!DescribeDib(dib, info) || info.headerSize != kInfoHeaderSize || Get32(dib.data() + 16) != 0) return dib;
  TDib out(kV5HeaderSize, 0);
  std::memcpy(out.data(), dib.data(), kInfoHeaderSize);
  Put32(out.data(), kV5HeaderSize);
  Put32(out.data() + 56, kSrgb);           // colour space
  Put32(out.data() + 108, kIntentImages);  // rendering intent
  out.insert(out.end(), dib.begin() + kInfoHeaderSize, dib.end());
  return out;
}

bool DescribeDib(const TDib& dib, TDibInfo& info) {
  if (dib.size() < 4) return false;
  info.headerSize = Get32(dib.data());
  if (info.headerSize == kCoreHeaderSize && dib.size() >= kCoreHeaderSize) {
    info.width = Get16(dib.data() + 4);
    info.height = Get16(dib.data() + 6);
    info.bitCount = Get16(dib.data() + 10);
    info.colors = info.bitCount <= 8 ? 1u << info.bitCount : 0;
    info.pixelOffset = kCoreHeaderSize + 3 * info.colors;
  } else if (info.headerSize >= kInfoHeaderSize && dib.size() >= info.headerSize) {
    info.width = int32_t(Get32(dib.data() + 4));
    info.height = int32_t(Get32(dib.data() + 8));
    info.bitCount = Get16(dib.data() + 14);
    const uint32_t used = Get32(dib.data() + 32);
    info.colors = used ? used : info.bitCount <= 8 ? 1u << info.bitCount : 0;
    const bool masks = info.headerSize == kInfoHeaderSize && Get32(dib.data() + 16) == kBiBitfields;
    info.pixelOffset = info.headerSize + 4 * info.colors + (masks ? 12 : 0);
  } else {
    return false;
  }
  if (info.width <= 0 || info.height == 0 || info.colors > 256) return false;
  const uint64_t stride = ((uint64_t(info.width) * info.bitCount + 31) / 32) * 4;
  return info.pixelOffset + stride * uint64_t(std::abs(info.height)) <= dib.size();
}

std::vector<uint8_t> BmpFileBytes(const TDib& dib) {
  TDibInfo info;
  std::vector<uint8_t> file(kFileHeaderSize + dib.size(), 0);
  const uint32_t offset = kFileHeaderSize + (DescribeDib(dib, info) ? info.pixelOffset : 0);
  file[0] = 'B';
  file[1] = 'M';
  Put32(file.data() + 2, uint32_t(file.size()));
  Put32(file.data() + 10, offset);
  std::memcpy(file.data() + kFileHeaderSize, dib.data(), dib.size());
  return file;
}

bool DibFromBmpFile(const std::vector<uint8_t>& file, TDib& dib) {
  if (file.size() <= kFileHeaderSize || file[0] != 'B' || file[1] != 'M') return false;
  dib.assign(file.begin() + kFileHeaderSize, file.end());
  TDibInfo info;
  return DescribeDib(dib, info);
}

bool PixelAt(const TDib& dib, int x, int y, uint8_t bgr[3]) {
  TDibInfo info;
  if (!DescribeDib(dib, info) || x < 0 || y < 0 || x >= info.width || y >= std::abs(info.height)) return false;
  const uint32_t stride = ((uint32_t(info.width) * info.bitCount + 31) / 32) * 4;
  const int row = info.height > 0 ? info.height - 1 - y : y;
  const uint8_t* p = dib.data() + info.pixelOffset + stride * uint32_t(row);
  const uint32_t entrySize = info.headerSize == kCoreHeaderSize ? 3 : 4;
  auto palette = [&](uint32_t index) {
    const uint8_t* e = dib.data() + info.headerSize + entrySize * std::min(index, info.colors - 1);
    bgr[0] = e[0], bgr[1] = e[1], bgr[2] = e[2];
  };
  switch (info.bitCount) {
    case 1: palette((p[x / 8] >> (7 - x % 8)) & 1); return true;
    case 4: palette((p[x / 2] >> (x % 2 ? 0 : 4)) & 15); return true;
    case 8: palette(p[x]); return true;
    case 24: std::memcpy(bgr, p + 3 * x, 3); return true;
    case 32: std::memcpy(bgr, p + 4 * x, 3); return true;
    default: return false;
  }
}

}  // namespace skan::virtual_scanner
