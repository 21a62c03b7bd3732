// Bitmap files made from one known pixel pattern in every layout a scanner
// driver may write, each with the colours a reader must find in it. Written
// here from the file format alone, without the reader under test, so the
// expected pixels do not depend on it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skan::dib {

struct TRgb8 {
  uint8_t r = 0, g = 0, b = 0;
  bool operator==(const TRgb8&) const = default;
};

constexpr uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3;

struct TVariant {
  const char* name;
  uint16_t bitCount;
  uint32_t compression = kRgb;
  uint32_t headerSize = 40;       // 12 (core), 40 (info), 108 (V4), 124 (V5)
  uint32_t colours = 0;           // palette entries the pattern uses (up to 8 bits)
  bool clrUsedZero = false;       // biClrUsed 0 with a full table (colours must be 2^n)
  bool gray = false;              // a grey ramp for a palette
  uint32_t masks[3] = {0, 0, 0};  // red, green, blue for bit fields
  bool topDown = false;
  bool sizeImageZero = false;
  uint32_t gap = 0;  // junk bytes between the colour table and the pixels
};

struct TFixture {
  std::string file;
  uint32_t width = 0, height = 0;
  std::vector<TRgb8> pixels;  // top row first
};

// The pattern: runs of equal pixels on the left half, a different value at
// every pixel on the right half, so RLE writes both kinds of run.
inline uint8_t PatternIndex(uint32_t x, uint32_t y, uint32_t width) {
  return static_cast<uint8_t>(x < width / 2 ? (x / 4) * 37 + (y / 3) * 11 : x * 7 + y * 13);
}

inline TRgb8 PaletteColour(uint32_t i, uint32_t colours, bool gray) {
  if (gray) {
    const auto v = static_cast<uint8_t>(i * 255 / (colours - 1));
    return {v, v, v};
  }
  return {static_cast<uint8_t>(i * 97), static_cast<uint8_t>(i * 53 + 101), static_cast<uint8_t>(255 - i)};
}

namespace detail {

inline void Put16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF), s += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& s, uint32_t v) { Put16(s, v & 0xFFFF), Put16(s, v >> 16); }
inline void Set32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline unsigned Shift(uint32_t mask) {
  unsigned s = 0;
  while (!((mask >> s) & 1)) ++s;
  return s;
}
inline unsigned Width(uint32_t mask) {
  unsigned w = 0;
  for (uint32_t m = mask >> Shift(mask); m & 1; m >>= 1) ++w;
  return w;
}
// 8 bits kept in a field of `w` bits, and what a reader makes of it again:
// the field's bits repeated (5 bits v: v << 3 | v >> 2; 6 bits v: v << 2 |
// v >> 4), or its 8 highest bits.
inline uint32_t Narrow(uint8_t v, unsigned w) { return w >= 8 ? uint32_t{v} << (w - 8) : v >> (8 - w); }
inline uint8_t Widen(uint32_t f, unsigned w) {
  if (w >= 8) return static_cast<uint8_t>(f >> (w - 8));
  return static_cast<uint8_t>((f << (8 - w)) | (f >> (2 * w - 8)));
}

// One row of indexes as RLE8 or RLE4: runs of two or more equal pixels, and
// literal runs of three or more (padded to a 16-bit boundary).
inline void RleRow(std::string& out, const std::vector<uint8_t>& row, bool four) {
  const size_t w = row.size();
  size_t i = 0;
  while (i < w) {
    size_t run = 1;
    while (i + run < w && run < 255 && row[i + run] == row[i]) ++run;
    if (run >= 2) {
      out += static_cast<char>(run);
      out += static_cast<char>(four ? row[i] << 4 | row[i] : row[i]);
      i += run;
      continue;
    }
    size_t j = i;
    while (j < w && j - i < 255 && !(j + 1 < w && row[j + 1] == row[j])) ++j;
    const size_t len = j - i;
    if (len < 3) {
      out += '\x01';
      out += static_cast<char>(four ? row[i] << 4 | row[i] : row[i]);
      ++i;
      continue;
    }
    out += '\0';
    out += static_cast<char>(len);
    std::string data;
    for (size_t k = 0; k < len; ++k) {
      if (!four)
        data += static_cast<char>(row[i + k]);
      else if (k % 2 == 0)
        data += static_cast<char>(row[i + k] << 4);
      else
        data.back() = static_cast<char>(data.back() | row[i + k]);
    }
    if (data.size() % 2) data += '\0';
    out += data;
    i = j;
  }
}

}  // namespace detail

inline TFixture MakeFixture(const TVariant& v, uint32_t width = 37, uint32_t height = 23) {
  using namespace detail;
  TFixture f;
  f.width = width;
  f.height = height;
  const bool indexed = v.bitCount <= 8;
  const uint32_t colours = indexed ? v.colours : 0;
  const uint32_t tableEntries = indexed && (v.clrUsedZero || v.headerSize == 12) ? 1u << v.bitCount : colours;

  // What each pixel is, top row first: an index, or a colour.
  std::vector<std::vector<uint8_t>> indexRows(height, std::vector<uint8_t>(width));
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const uint8_t p = PatternIndex(x, y, width);
      TRgb8 c;
      if (indexed) {
        indexRows[y][x] = static_cast<uint8_t>(p % colours);
        c = PaletteColour(indexRows[y][x], colours, v.gray);
      } else {
        c = PaletteColour(p, 256, false);
      }
      f.pixels.push_back(c);
    }
  }

  // Pixel data in file order.
  std::string pixels;
  uint32_t masks[3] = {v.masks[0], v.masks[1], v.masks[2]};
  if (v.bitCount == 16 && v.compression == kRgb) masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
  if (v.compression == kRle8 || v.compression == kRle4) {
    for (uint32_t i = 0; i < height; ++i) {
      RleRow(pixels, indexRows[height - 1 - i], v.compression == kRle4);
      pixels += std::string("\0\0", 2);  // end of line
    }
    pixels += std::string("\0\1", 2);  // end of bitmap
  } else {
    const size_t stride = (size_t{width} * v.bitCount + 31) / 32 * 4;
    for (uint32_t i = 0; i < height; ++i) {
      const uint32_t y = v.topDown ? i : height - 1 - i;
      std::string row(stride, '\xEE');  // padding is junk on purpose
      for (uint32_t x = 0; x < width; ++x) {
        TRgb8& c = f.pixels[size_t{y} * width + x];
        if (indexed) {
          if (x * v.bitCount % 8 == 0) row[x * v.bitCount / 8] = 0;
          row[x * v.bitCount / 8] =
              static_cast<char>(row[x * v.bitCount / 8] | indexRows[y][x] << (8 - v.bitCount - x * v.bitCount % 8));
          continue;
        }
        if (v.bitCount == 24 || (v.bitCount == 32 && v.compression == kRgb)) {
          char* p = &row[x * (v.bitCount / 8)];
          p[0] = static_cast<char>(c.b), p[1] = static_cast<char>(c.g), p[2] = static_cast<char>(c.r);
          if (v.bitCount == 32) p[3] = '\xA5';  // the unused byte, ignored
          continue;
        }
        // Bit fields: each colour narrowed into its field; the rest of the
        // pixel is junk that a reader must ignore.
        uint32_t pixel = ~(masks[0] | masks[1] | masks[2]) & (v.bitCount == 16 ? 0xFFFF : 0xFFFFFFFF) & 0xDADADADA;
        uint8_t* parts[3] = {&c.r, &c.g, &c.b};
        for (int k = 0; k < 3; ++k) {
          const unsigned w = Width(masks[k]);
          const uint32_t field = Narrow(*parts[k], w);
          pixel |= field << Shift(masks[k]);
          *parts[k] = Widen(field, w);
        }
        for (unsigned b = 0; b < v.bitCount / 8u; ++b)
          row[x * (v.bitCount / 8) + b] = static_cast<char>(pixel >> (8 * b));
      }
      if (indexed && (width * v.bitCount) % 8) {
        // The last byte's unused low bits are junk too.
        const size_t last = (size_t{width} * v.bitCount - 1) / 8;
        row[last] = static_cast<char>(row[last] | ((0xFF >> ((width * v.bitCount) % 8)) & 0x55));
      }
      pixels += row;
    }
  }

  // Header block: header, masks after a plain info header, colour table, gap.
  std::string info;
  if (v.headerSize == 12) {
    Put32(info, 12);
    Put16(info, width), Put16(info, height), Put16(info, 1), Put16(info, v.bitCount);
  } else {
    Put32(info, v.headerSize);
    Put32(info, width);
    Put32(info, v.topDown ? static_cast<uint32_t>(-static_cast<int32_t>(height)) : height);
    Put16(info, 1), Put16(info, v.bitCount);
    Put32(info, v.compression);
    Put32(info, v.sizeImageZero ? 0 : static_cast<uint32_t>(pixels.size()));
    Put32(info, 11811), Put32(info, 11811);  // 300 dpi
    Put32(info, v.clrUsedZero ? 0 : tableEntries);
    Put32(info, 0);
    if (v.headerSize > 40) {
      for (uint32_t m : masks) Put32(info, v.compression == kBitfields ? m : 0);
      Put32(info, 0);                                // alpha mask
      Put32(info, 0x73524742);                       // sRGB
      info.resize(v.headerSize, '\0');               // end points, gamma (V5: intent, profile)
      if (v.headerSize == 124) Set32(info, 108, 4);  // LCS_GM_IMAGES
    } else if (v.compression == kBitfields) {
      for (uint32_t m : masks) Put32(info, m);
    }
  }
  for (uint32_t i = 0; i < tableEntries; ++i) {
    const TRgb8 c = PaletteColour(i, colours, v.gray);
    info += static_cast<char>(c.b), info += static_cast<char>(c.g), info += static_cast<char>(c.r);
    if (v.headerSize != 12) info += '\0';
  }
  info.append(v.gap, '\x77');

  f.file = "BM";
  Put32(f.file, static_cast<uint32_t>(14 + info.size() + pixels.size()));
  Put32(f.file, 0);
  Put32(f.file, static_cast<uint32_t>(14 + info.size()));
  f.file += info;
  f.file += pixels;
  return f;
}

// Every layout: the table that the reader's tests and the PDF assembly's
// tests walk.
inline std::vector<TVariant> AllVariants() {
  std::vector<TVariant> v;
  auto add = [&](TVariant t) { v.push_back(t); };
  add({.name = "bw_1bit_clrused0", .bitCount = 1, .colours = 2, .clrUsedZero = true, .gray = true});
  add({.name = "bw_1bit_clrused2", .bitCount = 1, .colours = 2, .gray = true});
  add({.name = "pal_4bit_clrused0", .bitCount = 4, .colours = 16, .clrUsedZero = true});
  add({.name = "pal_4bit_clrused11", .bitCount = 4, .colours = 11});
  add({.name = "gray_8bit_clrused0", .bitCount = 8, .colours = 256, .clrUsedZero = true, .gray = true});
  add({.name = "pal_8bit_clrused0", .bitCount = 8, .colours = 256, .clrUsedZero = true});
  add({.name = "pal_8bit_clrused200", .bitCount = 8, .colours = 200});
  add({.name = "rgb_16bit_555", .bitCount = 16});
  add({.name = "rgb_16bit_555_fields", .bitCount = 16, .compression = kBitfields, .masks = {0x7C00, 0x03E0, 0x001F}});
  add({.name = "rgb_16bit_565_fields", .bitCount = 16, .compression = kBitfields, .masks = {0xF800, 0x07E0, 0x001F}});
  add({.name = "rgb_24bit", .bitCount = 24});
  add({.name = "rgb_24bit_topdown", .bitCount = 24, .topDown = true});
  add({.name = "rgb_24bit_sizeimage0", .bitCount = 24, .sizeImageZero = true});
  add({.name = "rgb_24bit_gap", .bitCount = 24, .gap = 22});
  add({.name = "rgb_32bit", .bitCount = 32});
  add({.name = "rgb_32bit_fields", .bitCount = 32, .compression = kBitfields, .masks = {0xFF0000, 0xFF00, 0xFF}});
  add({.name = "bgr_32bit_fields", .bitCount = 32, .compression = kBitfields, .masks = {0xFF, 0xFF00, 0xFF0000}});
  add({.name = "rgb_32bit_10bit_fields",
       .bitCount = 32,
       .compression = kBitfields,
       .masks = {0x3FF00000, 0x000FFC00, 0x000003FF}});
  add({.name = "pal_8bit_v4_clrused0", .bitCount = 8, .headerSize = 108, .colours = 256, .clrUsedZero = true});
  add({.name = "bw_1bit_v5_topdown",
       .bitCount = 1,
       .headerSize = 124,
       .colours = 2,
       .clrUsedZero = true,
       .gray = true,
       .topDown = true});
  add({.name = "rgb_24bit_v5_topdown_gap", .bitCount = 24, .headerSize = 124, .topDown = true, .gap = 9});
  add({.name = "rgb_16bit_565_v5",
       .bitCount = 16,
       .compression = kBitfields,
       .headerSize = 124,
       .masks = {0xF800, 0x07E0, 0x001F}});
  add({.name = "rle8_clrused0", .bitCount = 8, .compression = kRle8, .colours = 256, .clrUsedZero = true});
  add({.name = "rle8_sizeimage0_gap",
       .bitCount = 8,
       .compression = kRle8,
       .colours = 100,
       .sizeImageZero = true,
       .gap = 6});
  add({.name = "rle4_clrused0", .bitCount = 4, .compression = kRle4, .colours = 16, .clrUsedZero = true});
  add({.name = "rle4_clrused9", .bitCount = 4, .compression = kRle4, .colours = 9});
  add({.name = "core_8bit", .bitCount = 8, .headerSize = 12, .colours = 256});
  add({.name = "core_24bit", .bitCount = 24, .headerSize = 12});
  return v;
}

}  // namespace skan::dib
