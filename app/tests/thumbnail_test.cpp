// Page thumbnails: the colour named from the bitmap, and a JPEG that decodes
// to the page's proportions within the size limit, even for a page of noise.
#include "thumbnail.h"

#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>
#include <random>
#include <vector>

#include <jpeglib.h>

namespace skan {
namespace {

std::vector<uint8_t> FromBase64(const std::string& text) {
  std::vector<uint8_t> out;
  unsigned buffer = 0, bits = 0;
  for (char c : text) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = std::strchr(alphabet, c);
    if (c == '=' || !at) break;
    buffer = buffer << 6 | unsigned(at - alphabet);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(uint8_t(buffer >> bits));
    }
  }
  return out;
}

struct TDecoded {
  unsigned width = 0, height = 0;
  int components = 0;
};

struct TErr {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

TDecoded Decode(const std::vector<uint8_t>& jpeg) {
  jpeg_decompress_struct info{};
  TErr err{};
  info.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = [](j_common_ptr i) { std::longjmp(reinterpret_cast<TErr*>(i->err)->jump, 1); };
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&info);
    return {};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
  jpeg_read_header(&info, TRUE);
  jpeg_start_decompress(&info);
  std::vector<uint8_t> row(size_t(info.output_width) * info.output_components);
  while (info.output_scanline < info.output_height) {
    JSAMPROW p = row.data();
    jpeg_read_scanlines(&info, &p, 1);
  }
  TDecoded d{info.output_width, info.output_height, info.output_components};
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return d;
}

// A bottom-up bitmap of random pixels with the given palette.
struct TPage {
  TPage(uint32_t width, uint32_t height, uint16_t bits, std::vector<dib::TQuad> palette) {
    info.resize(40 + 4 * palette.size());
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&info[at], &v, 4); };
    put32(0, 40);
    put32(4, width);
    put32(8, height);
    const uint16_t planes = 1;
    std::memcpy(&info[12], &planes, 2);
    std::memcpy(&info[14], &bits, 2);
    put32(32, uint32_t(palette.size()));
    if (!palette.empty()) std::memcpy(&info[40], palette.data(), 4 * palette.size());
    pixels.resize(dib::RowStride(width, bits) * height);
    std::mt19937 random(7);
    for (auto& b : pixels) b = uint8_t(random());
  }
  dib::TPlainBitmap Bitmap() const { return dib::ReadBitmap(info.data(), info.size(), pixels.data(), pixels.size()); }
  std::vector<uint8_t> info, pixels;
};

TEST(Thumbnail, NamesTheColourAndFitsTheLimit) {
  std::vector<dib::TQuad> greys(256), tinted(256);
  for (int i = 0; i < 256; ++i) {
    greys[i] = {uint8_t(i), uint8_t(i), uint8_t(i), 0};
    tinted[i] = {uint8_t(i / 2), uint8_t(i), uint8_t(i), 0};
  }
  const struct {
    const char* name;
    TPage page;
    const char* colour;
    int components;
  } cases[] = {
      {"colour noise", TPage(1240, 1754, 24, {}), "colour", 3},
      {"grey", TPage(1240, 1754, 8, greys), "grey", 1},
      {"palette", TPage(1240, 1754, 8, tinted), "colour", 3},
      {"black and white", TPage(1754, 1240, 1, {{0, 0, 0, 0}, {255, 255, 255, 0}}), "bw", 1},
      {"smaller than a thumbnail", TPage(40, 60, 24, {}), "colour", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const dib::TPlainBitmap bitmap = c.page.Bitmap();
    const TPageLook look = LookAtPage(bitmap);
    EXPECT_EQ(look.width, bitmap.width);
    EXPECT_EQ(look.height, bitmap.height);
    EXPECT_STREQ(look.colour, c.colour);
    ASSERT_FALSE(look.thumbnailBase64.empty());
    EXPECT_LE(look.thumbnailBase64.size(), kMaxThumbnailBytes);
    const TDecoded d = Decode(FromBase64(look.thumbnailBase64));
    EXPECT_EQ(d.components, c.components);
    const unsigned longer = std::max(d.width, d.height);
    EXPECT_EQ(longer, std::min(kThumbnailSide, std::max(bitmap.width, bitmap.height)));
    // The proportions are the page's.
    EXPECT_NEAR(double(d.width) / d.height, double(bitmap.width) / bitmap.height, 0.02);
  }
}

}  // namespace
}  // namespace skan
