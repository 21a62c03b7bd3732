// The bitmap reader: every layout a driver may write gives the pattern's own
// colours; files that are not valid bitmaps are refused without reading past
// their end (the buffers here are exactly as long as the data, so the
// sanitizers see any overread).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bmp_fixture.h"
#include "dib_reader.h"

namespace skan::dib {

namespace {

using dib::TRgb8;

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

dib::TPlainBitmap ReadFile(const std::vector<uint8_t>& bytes) { return dib::ReadBmpFile(bytes.data(), bytes.size()); }

// The colours of a plain bitmap, top row first.
std::vector<TRgb8> Colours(const dib::TPlainBitmap& b) {
  std::vector<TRgb8> out;
  for (uint32_t y = 0; y < b.height; ++y) {
    const uint8_t* row = b.Row(y);
    for (uint32_t x = 0; x < b.width; ++x) {
      if (b.bitsPerPixel >= 24) {
        const uint8_t* p = row + size_t{x} * (b.bitsPerPixel / 8);
        out.push_back({p[2], p[1], p[0]});
        continue;
      }
      const size_t bit = size_t{x} * b.bitsPerPixel;
      const unsigned index = (row[bit / 8] >> (8 - b.bitsPerPixel - bit % 8)) & ((1u << b.bitsPerPixel) - 1);
      const dib::TQuad q = b.palette.at(index);
      out.push_back({q.red, q.green, q.blue});
    }
  }
  return out;
}

std::string Reason(const std::function<void()>& op) {
  try {
    op();
  } catch (const dib::TInvalidBitmap& e) {
    return e.what();
  }
  return "accepted";
}

TEST(DibReader, EveryLayoutGivesThePatternsOwnColours) {
  for (const dib::TVariant& v : dib::AllVariants()) {
    SCOPED_TRACE(v.name);
    const dib::TFixture f = dib::MakeFixture(v);
    const auto bytes = Bytes(f.file);
    const dib::TPlainBitmap b = ReadFile(bytes);
    ASSERT_EQ(b.width, f.width);
    ASSERT_EQ(b.height, f.height);
    EXPECT_EQ(b.stride % 4, 0u);
    EXPECT_EQ(b.palette.size(), b.bitsPerPixel <= 8 ? 1u << b.bitsPerPixel : 0u);
    EXPECT_TRUE(Colours(b) == f.pixels);
    // Pixels already in plain form are used where they lie.
    const bool plainAlready = v.compression == dib::kRgb
                                  ? v.bitCount != 16
                                  : v.compression == dib::kBitfields && v.bitCount == 32 && v.masks[0] == 0xFF0000;
    EXPECT_EQ(b.converted, !plainAlready);
    if (!b.converted) {
      EXPECT_GE(b.bits, bytes.data());
    }

    // The header block made for GDI describes the same bitmap.
    const std::vector<uint8_t> info = dib::PlainInfoBlock(b);
    const std::vector<uint8_t> pixels(b.bits, b.bits + b.stride * b.height);
    const dib::TPlainBitmap again = dib::ReadBitmap(info.data(), info.size(), pixels.data(), pixels.size());
    EXPECT_EQ(again.converted, false);
    EXPECT_TRUE(Colours(again) == f.pixels);
  }
}

// Any file cut short is refused; only an RLE stream whose size the header
// leaves open may lose its final end-of-bitmap mark, as every row is complete.
TEST(DibReader, EveryTruncationIsRefused) {
  for (const dib::TVariant& v : dib::AllVariants()) {
    SCOPED_TRACE(v.name);
    const std::string file = dib::MakeFixture(v).file;
    const bool openRle = v.compression != dib::kRgb && v.compression != dib::kBitfields && v.sizeImageZero;
    // Every cut through the headers and the first and last pixels, some in between.
    const size_t pixelsAt = static_cast<uint8_t>(file[10]) | static_cast<uint8_t>(file[11]) << 8;
    for (size_t n = 0; n < file.size(); ++n) {
      if (n > pixelsAt + 8 && n + 8 < file.size() && n % 5) continue;
      const std::vector<uint8_t> cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
      const std::string reason = Reason([&] { ReadFile(cut); });
      if (openRle && n >= file.size() - 2)
        EXPECT_EQ(reason, "accepted") << n;
      else
        ASSERT_NE(reason, "accepted") << n;
    }
  }
}

void Put32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}
void Put16(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v), s[at + 1] = static_cast<char>(v >> 8);
}

// Offsets in a file with an info header.
constexpr size_t kOffBits = 10, kWidth = 18, kHeight = 22, kPlanes = 26, kBitCount = 28, kCompression = 30,
                 kSizeImage = 34, kClrUsed = 46, kMasks = 54;

TEST(DibReader, InvalidHeadersAreRefused) {
  const auto variant = [](const char* name) {
    for (const auto& v : dib::AllVariants())
      if (std::string(v.name) == name) return dib::MakeFixture(v).file;
    throw std::logic_error(name);
  };
  const std::string rgb = variant("rgb_24bit"), pal = variant("pal_8bit_clrused200"),
                    fields = variant("rgb_16bit_565_fields"), rle = variant("rle8_clrused0"),
                    rle4 = variant("rle4_clrused0");
  struct TCase {
    const char* name;
    const std::string& base;
    std::function<void(std::string&)> change;
    const char* reason;
  } cases[] = {
      {"no signature", rgb, [](std::string& s) { s[0] = 'X'; }, "no bitmap signature"},
      {"pixels past the end", rgb, [](std::string& s) { Put32(s, kOffBits, static_cast<uint32_t>(s.size() + 1)); },
       "the pixel offset lies outside the file"},
      {"pixels inside the file header", rgb, [](std::string& s) { Put32(s, kOffBits, 10); },
       "the pixel offset lies outside the file"},
      {"pixels inside the info header", rgb, [](std::string& s) { Put32(s, kOffBits, 40); },
       "the bitmap header is cut short"},
      {"pixels inside the colour table", pal, [](std::string& s) { Put32(s, kOffBits, 54 + 199 * 4); },
       "the colour table is cut short"},
      {"one row short", rgb, [](std::string& s) { s.resize(s.size() - 1); }, "the pixel data is cut short"},
      {"header size 20", rgb, [](std::string& s) { Put32(s, 14, 20); }, "unknown bitmap header size"},
      {"header size beyond the pixels", rgb, [](std::string& s) { Put32(s, 14, 4000); },
       "the bitmap header is cut short"},
      {"width 0", rgb, [](std::string& s) { Put32(s, kWidth, 0); }, "the width is not positive"},
      {"negative width", rgb, [](std::string& s) { Put32(s, kWidth, 0xFFFFFFF0); }, "the width is not positive"},
      {"height 0", rgb, [](std::string& s) { Put32(s, kHeight, 0); }, "the height is zero or out of range"},
      {"lowest height", rgb, [](std::string& s) { Put32(s, kHeight, 0x80000000); },
       "the height is zero or out of range"},
      {"huge width", rgb, [](std::string& s) { Put32(s, kWidth, 0x7FFFFFFF); }, "the pixel data is cut short"},
      {"huge top-down height", rgb, [](std::string& s) { Put32(s, kHeight, 0x80000001); },
       "the pixel data is cut short"},
      {"two planes", rgb, [](std::string& s) { Put16(s, kPlanes, 2); }, "the plane count is not 1"},
      {"3 bits", rgb, [](std::string& s) { Put16(s, kBitCount, 3); }, "unsupported bits per pixel"},
      {"0 bits", rgb, [](std::string& s) { Put16(s, kBitCount, 0); }, "unsupported bits per pixel"},
      {"JPEG inside", rgb, [](std::string& s) { Put32(s, kCompression, 4); }, "unsupported compression"},
      {"RLE8 at 24 bits", rgb, [](std::string& s) { Put32(s, kCompression, 1); },
       "RLE compression does not match the bit count"},
      {"RLE4 at 8 bits", rle, [](std::string& s) { Put32(s, kCompression, 2); },
       "RLE compression does not match the bit count"},
      {"top-down RLE", rle, [](std::string& s) { Put32(s, kHeight, static_cast<uint32_t>(-23)); },
       "an RLE bitmap cannot be top-down"},
      {"RLE size past the end", rle, [](std::string& s) { Put32(s, kSizeImage, static_cast<uint32_t>(s.size())); },
       "the RLE data is cut short"},
      {"RLE size too small", rle4, [](std::string& s) { Put32(s, kSizeImage, 2); },
       "RLE data ends before the end-of-bitmap mark"},
      {"RLE larger than the limit", rle, [](std::string& s) { Put32(s, kWidth, 100000), Put32(s, kHeight, 100000); },
       "the bitmap is too large"},
      {"bit fields at 24 bits", rgb, [](std::string& s) { Put32(s, kCompression, 3); },
       "bit fields need 16 or 32 bits per pixel"},
      {"empty mask", fields, [](std::string& s) { Put32(s, kMasks + 4, 0); }, "a colour bit mask is empty"},
      {"mask with a gap", fields, [](std::string& s) { Put32(s, kMasks, 0xF801); }, "a colour bit mask has gaps"},
      {"overlapping masks", fields, [](std::string& s) { Put32(s, kMasks + 8, 0x003F); }, "colour bit masks overlap"},
      {"mask past 16 bits", fields, [](std::string& s) { Put32(s, kMasks, 0x1F0000); },
       "a colour bit mask exceeds 16 bits"},
      {"colour count past the table", pal, [](std::string& s) { Put32(s, kClrUsed, 201); },
       "the colour table is cut short"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file = c.base;
    c.change(file);
    EXPECT_EQ(Reason([&] { ReadFile(Bytes(file)); }), c.reason);
  }
  // Headers alone, without a file around them.
  const std::vector<uint8_t> three = {40, 0, 0};
  EXPECT_EQ(Reason([&] { dib::ReadBitmap(three.data(), three.size(), nullptr, 0); }), "no bitmap header");
  EXPECT_EQ(Reason([&] { dib::ReadBitmap(nullptr, 40, nullptr, 0); }), "no bitmap header");
  const std::vector<uint8_t> info(40, 0);
  std::vector<uint8_t> fieldsInfo(info);
  fieldsInfo[0] = 40, fieldsInfo[4] = 1, fieldsInfo[8] = 1, fieldsInfo[12] = 1, fieldsInfo[14] = 16, fieldsInfo[16] = 3;
  EXPECT_EQ(Reason([&] { dib::ReadBitmap(fieldsInfo.data(), fieldsInfo.size(), nullptr, 0); }),
            "the bit masks are cut short");
}

// A 4 x 3 RLE8 bitmap given by its stream: what each row holds (top row
// first, '.' for index 0), or why it is refused.
TEST(DibReader, RleStreams) {
  struct TCase {
    const char* name;
    std::vector<uint8_t> stream;
    bool four;
    const char* rowsOrReason;
  } cases[] = {
      {"runs and a literal", {4, 1, 0, 0, 0, 4, 1, 2, 3, 4, 0, 0, 2, 5, 2, 6, 0, 1}, false, "5566|1234|1111"},
      {"end of line leaves the rest of the row at 0", {1, 7, 0, 0, 2, 7, 0, 0, 3, 7, 0, 1}, false, "777.|77..|7..."},
      {"delta skips right and up", {1, 1, 0, 2, 2, 1, 1, 2, 0, 1}, false, "....|...2|1..."},
      {"end of bitmap leaves the rest at 0", {2, 3, 0, 1}, false, "....|....|33.."},
      {"odd literal padded to 16 bits", {0, 3, 1, 2, 3, 0, 0, 0, 4, 9, 0, 0, 4, 8, 0, 1}, false, "8888|9999|123."},
      {"a run past the row's end is cut off", {6, 4, 0, 0, 0, 0, 0, 0}, false, "....|....|4444"},
      {"the final mark may be missing once every row is done",
       {4, 1, 0, 0, 4, 2, 0, 0, 4, 3, 0, 0},
       false,
       "3333|2222|1111"},
      {"RLE4 runs alternate two values",
       {4, 0x12, 0, 0, 0, 4, 0x34, 0x56, 0, 0, 3, 0xF0, 0, 1},
       true,
       "F.F.|3456|1212"},
      {"RLE4 odd literal", {0, 3, 0xAB, 0xC0, 0, 1}, true, "....|....|ABC."},
      {"data after the last row is not read", {0, 0, 0, 0, 0, 0, 1, 5}, false, "....|....|...."},
      {"delta past the last row", {0, 2, 0, 4}, false, "an RLE delta moves past the last row"},
      {"cut inside a delta", {0, 2, 1}, false, "RLE data ends inside a delta"},
      {"cut inside a literal", {0, 4, 1, 2, 3}, false, "RLE data ends inside a literal run"},
      {"RLE4 cut inside a literal", {0, 5, 0x12, 0x34}, true, "RLE data ends inside a literal run"},
      {"no end", {4, 1, 0, 0}, false, "RLE data ends before the end-of-bitmap mark"},
      {"empty", {}, false, "RLE data ends before the end-of-bitmap mark"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uint16_t bpp = c.four ? 4 : 8;
    std::vector<uint8_t> info(40 + (size_t{4} << bpp), 0);
    info[0] = 40, info[4] = 4, info[8] = 3, info[12] = 1, info[14] = static_cast<uint8_t>(bpp),
    info[16] = c.four ? 2 : 1;
    const std::vector<uint8_t> stream = c.stream;  // exactly as long as the data
    std::string rows;
    try {
      const dib::TPlainBitmap b = dib::ReadBitmap(info.data(), info.size(), stream.data(), stream.size());
      for (uint32_t y = 0; y < b.height; ++y) {
        if (y) rows += '|';
        for (uint32_t x = 0; x < b.width; ++x) {
          const unsigned v = c.four ? (b.Row(y)[x / 2] >> ((x & 1) ? 0 : 4)) & 0xF : b.Row(y)[x];
          rows += v ? "0123456789ABCDEF"[v] : '.';
        }
      }
    } catch (const dib::TInvalidBitmap& e) {
      rows = e.what();
    }
    EXPECT_EQ(rows, c.rowsOrReason);
  }
}

// Pixel indexes past a short colour table are black, never read from past
// the table.
TEST(DibReader, IndexesPastAShortTableAreBlack) {
  dib::TVariant v{.name = "short", .bitCount = 8, .colours = 2};
  dib::TFixture f = dib::MakeFixture(v, 4, 1);
  std::string file = f.file;
  const size_t offBits = 14 + 40 + 2 * 4;
  file[offBits] = 1, file[offBits + 1] = 2, file[offBits + 2] = static_cast<char>(255), file[offBits + 3] = 0;
  const auto bytes = Bytes(file);
  const auto colours = Colours(ReadFile(bytes));
  const TRgb8 second = dib::PaletteColour(1, 2, false), black{}, first = dib::PaletteColour(0, 2, false);
  EXPECT_TRUE(colours == (std::vector<TRgb8>{second, black, black, first}));
}

// A page turned by quarter turns: every depth keeps its pixels and palette,
// a clockwise quarter turn takes the left column to the top row, and four
// of them give the page back.
TEST(DibTurned, QuarterTurnsMoveEveryPixel) {
  for (const uint16_t bpp : {1, 4, 8, 24, 32}) {
    SCOPED_TRACE(bpp);
    const uint32_t w = 5, h = 3;
    const unsigned levels = bpp >= 8 ? 256 : 1u << bpp;
    std::vector<uint8_t> pixels(RowStride(w, bpp) * h);
    TPlainBitmap page;
    page.width = w, page.height = h, page.bitsPerPixel = bpp, page.topDown = true, page.stride = RowStride(w, bpp);
    if (bpp <= 8) page.palette.resize(levels);
    const auto value = [&](uint32_t x, uint32_t y) { return (x * 7 + y * 3 + 1) % levels; };
    const auto get = [](const TPlainBitmap& b, uint32_t x, uint32_t y) -> unsigned {
      const uint8_t* row = b.Row(y);
      if (b.bitsPerPixel >= 8) return row[x * (b.bitsPerPixel / 8)];
      const size_t bit = size_t{x} * b.bitsPerPixel;
      return (row[bit / 8] >> (8 - b.bitsPerPixel - bit % 8)) & ((1u << b.bitsPerPixel) - 1);
    };
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        uint8_t* row = pixels.data() + page.stride * y;
        const unsigned v = value(x, y);
        if (bpp >= 8) {
          for (unsigned k = 0; k < bpp / 8u; ++k) row[x * (bpp / 8) + k] = static_cast<uint8_t>(v);
        } else {
          const size_t bit = size_t{x} * bpp;
          row[bit / 8] = static_cast<uint8_t>(row[bit / 8] | v << (8 - bpp - bit % 8));
        }
      }
    page.bits = pixels.data();
    const TPlainBitmap quarter = Turned(page, 90);
    ASSERT_EQ(quarter.width, h);
    ASSERT_EQ(quarter.height, w);
    EXPECT_EQ(quarter.palette.size(), page.palette.size());
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        ASSERT_EQ(get(quarter, h - 1 - y, x), value(x, y)) << x << "," << y;
        ASSERT_EQ(get(Turned(page, 180), w - 1 - x, h - 1 - y), value(x, y)) << x << "," << y;
        ASSERT_EQ(get(Turned(page, 270), y, w - 1 - x), value(x, y)) << x << "," << y;
      }
    const TPlainBitmap back = Turned(Turned(Turned(quarter, 90), 90), 90);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) ASSERT_EQ(get(back, x, y), value(x, y));
  }
  TPlainBitmap any;
  EXPECT_THROW(Turned(any, 45), TInvalidBitmap);
}

}  // namespace

}  // namespace skan::dib
