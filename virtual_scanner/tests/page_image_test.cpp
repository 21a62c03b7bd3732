#include <gtest/gtest.h>

#include <cstring>

#include "config.h"
#include "page_image.h"

namespace skan::virtual_scanner {

namespace {

struct TColor {
  uint8_t b, g, r;
};
TColor At(const TDib& dib, int x, int y) {
  uint8_t bgr[3] = {1, 2, 3};
  EXPECT_TRUE(PixelAt(dib, x, y, bgr)) << x << "," << y;
  return {bgr[0], bgr[1], bgr[2]};
}

}  // namespace

// The corner squares tell orientation and colour order apart: a page turned
// upside down or with red and blue swapped shows different corners.
TEST(RenderPage, A4WithCornerMarksInEachPixelType) {
  struct {
    TPixelType type;
    int bits;
  } cases[] = {{TPixelType::Rgb, 24}, {TPixelType::Gray, 8}, {TPixelType::BlackWhite, 1}};
  for (auto c : cases) {
    SCOPED_TRACE(c.bits);
    const int dpi = 100;
    TDib dib = RenderPage(7, c.type, dpi);
    TDibInfo info;
    ASSERT_TRUE(DescribeDib(dib, info));
    EXPECT_EQ(info.width, 827);    // 210 mm
    EXPECT_EQ(info.height, 1169);  // 297 mm, bottom-up
    EXPECT_EQ(info.bitCount, c.bits);
    const int inside = dpi;  // centre of the one-inch squares, half an inch in
    TColor tl = At(dib, inside, inside), tr = At(dib, info.width - inside, inside),
           bl = At(dib, inside, info.height - inside), br = At(dib, info.width - inside, info.height - inside);
    if (c.type == TPixelType::Rgb) {
      EXPECT_EQ(tl.r, 255);
      EXPECT_EQ(tl.b, 0);
      EXPECT_EQ(tr.g, 160);
      EXPECT_EQ(tr.r, 0);
      EXPECT_EQ(bl.b, 255);
      EXPECT_EQ(bl.r, 0);
    } else if (c.type == TPixelType::Gray) {
      EXPECT_EQ(tl.r, 76);  // red, green and blue keep distinct grey levels
      EXPECT_EQ(tr.r, 93);
      EXPECT_EQ(bl.r, 29);
    } else {
      EXPECT_EQ(tl.r, 0);
      EXPECT_EQ(tr.r, 0);
      EXPECT_EQ(bl.r, 0);
    }
    EXPECT_EQ(br.r, 255);                         // the fourth corner stays white
    EXPECT_EQ(At(dib, 0, info.height / 2).r, 0);  // border
  }
}

TEST(RenderPage, ResolutionScalesThePage) {
  TDibInfo info;
  ASSERT_TRUE(DescribeDib(RenderPage(1, TPixelType::BlackWhite, 300), info));
  EXPECT_EQ(info.width, 2480);
  EXPECT_EQ(info.height, 3508);
}

TEST(BmpFile, RoundTripKeepsTheBitmapAndPointsAtThePixels) {
  TDib dib = RenderPage(2, TPixelType::Gray, 60);
  std::vector<uint8_t> file = BmpFileBytes(dib);
  ASSERT_EQ(file.size(), dib.size() + 14);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[10] | file[11] << 8, 14 + 40 + 256 * 4);
  TDib back;
  ASSERT_TRUE(DibFromBmpFile(file, back));
  EXPECT_EQ(back, dib);
  EXPECT_FALSE(DibFromBmpFile({'B', 'M', 0}, back));
}

// A BI_BITFIELDS header is followed by three colour masks before the pixels.
TEST(DescribeDib, CountsBitfieldMasks) {
  TDib dib(40 + 12 + 4 * 2 * 2, 0);
  dib[0] = 40;
  dib[4] = 2;   // width
  dib[8] = 2;   // height
  dib[12] = 1;  // planes
  dib[14] = 32;
  dib[16] = 3;  // BI_BITFIELDS
  TDibInfo info;
  ASSERT_TRUE(DescribeDib(dib, info));
  EXPECT_EQ(info.pixelOffset, 52u);
  dib.resize(dib.size() - 1);
  EXPECT_FALSE(DescribeDib(dib, info));  // pixels cut short
}

TEST(BitfieldsBitmap, SamePixelsAfterTheMasks) {
  TDib rgb = RenderPage(3, TPixelType::Rgb, 50);
  TDib bf = ToBitfields32(rgb);
  TDibInfo info;
  ASSERT_TRUE(DescribeDib(bf, info));
  EXPECT_EQ(info.bitCount, 32);
  EXPECT_EQ(info.pixelOffset, 52u);
  for (auto [x, y] : {std::pair{0, 0}, {25, 25}, {50, 50}, {200, 300}, {412, 584}}) {
    uint8_t a[3], b[3];
    ASSERT_TRUE(PixelAt(rgb, x, y, a));
    ASSERT_TRUE(PixelAt(bf, x, y, b));
    EXPECT_EQ(std::vector<uint8_t>(a, a + 3), std::vector<uint8_t>(b, b + 3)) << x << "," << y;
  }
  EXPECT_EQ(ToBitfields32(RenderPage(1, TPixelType::Gray, 50)), RenderPage(1, TPixelType::Gray, 50));
}

TEST(RenderPage, PaperSizeAndPalette) {
  TDibInfo info;
  TDib a5 = RenderPage(1, TPixelType::Palette, 150, 148, 210);
  ASSERT_TRUE(DescribeDib(a5, info));
  EXPECT_EQ(info.width, 874);
  EXPECT_EQ(info.height, 1240);
  EXPECT_EQ(info.bitCount, 8);
  ASSERT_EQ(info.colors, 256u);
  // The table is the palette, and indices are grey levels: the red square
  // (grey 76) shows palette entry 76.
  uint8_t rgb[3], bgr[3];
  PaletteEntry(76, rgb);
  ASSERT_TRUE(PixelAt(a5, 150, 150, bgr));
  EXPECT_EQ(std::vector<uint8_t>({bgr[2], bgr[1], bgr[0]}), std::vector<uint8_t>(rgb, rgb + 3));
  EXPECT_NE(rgb[0], rgb[2]);  // not a grey
}

// A cut of the page holds the page's pixels at the offset, in every depth,
// including 1-bit rows that start inside a byte; a cut past the edge is
// clipped.
TEST(CropDib, KeepsThePixelsAtTheOffset) {
  for (TPixelType type : {TPixelType::Rgb, TPixelType::Gray, TPixelType::BlackWhite}) {
    SCOPED_TRACE(int(type));
    const TDib page = RenderPage(4, type, 50);
    const TDib cut = CropDib(page, 23, 17, 61, 45);
    TDibInfo info;
    ASSERT_TRUE(DescribeDib(cut, info));
    EXPECT_EQ(info.width, 61);
    EXPECT_EQ(info.height, 45);
    for (int y = 0; y < 45; ++y)
      for (int x = 0; x < 61; ++x) {
        uint8_t a[3], b[3];
        ASSERT_TRUE(PixelAt(page, 23 + x, 17 + y, a));
        ASSERT_TRUE(PixelAt(cut, x, y, b));
        ASSERT_EQ(std::vector<uint8_t>(a, a + 3), std::vector<uint8_t>(b, b + 3)) << x << "," << y;
      }
    ASSERT_TRUE(DescribeDib(CropDib(page, 400, 580, 100, 100), info));
    EXPECT_EQ(info.width, 13);
    EXPECT_EQ(info.height, 5);
    EXPECT_TRUE(CropDib(page, 500, 0, 10, 10).empty());
  }
}

// The other valid forms of a page keep its picture, and each changes what it
// says it changes.
TEST(PageImage, OtherValidFormsKeepThePicture) {
  for (TPixelType type : {TPixelType::BlackWhite, TPixelType::Gray, TPixelType::Rgb, TPixelType::Palette}) {
    const TDib page = RenderPage(4, type, 50, 40, 30);
    TDibInfo plain;
    ASSERT_TRUE(DescribeDib(page, plain));
    const TDib all = ToV5Header(ToTopDown(WithClrUsedZero(page)));
    for (const TDib& form : {WithClrUsedZero(page), ToTopDown(page), ToV5Header(page), all}) {
      TDibInfo info;
      ASSERT_TRUE(DescribeDib(form, info));
      for (int y = 0; y < plain.height; ++y)
        for (int x = 0; x < plain.width; ++x) {
          uint8_t a[3], b[3];
          ASSERT_TRUE(PixelAt(page, x, y, a));
          ASSERT_TRUE(PixelAt(form, x, y, b));
          ASSERT_EQ(std::vector<uint8_t>(a, a + 3), std::vector<uint8_t>(b, b + 3)) << x << "," << y;
        }
    }
    TDibInfo info;
    ASSERT_TRUE(DescribeDib(all, info));
    EXPECT_EQ(info.headerSize, 124u);
    EXPECT_EQ(info.height, -plain.height);
    uint32_t used;
    std::memcpy(&used, all.data() + 32, 4);
    EXPECT_EQ(used, 0u);
  }
}

TEST(ScannerConfig, ParsesTheScannerSection) {
  TScannerConfig c = ParseConfig(
      "[Other]\nPages=9\n[Scanner]\r\nUnattended=1\r\n Pages = 5 \nPixelType=grey\n"
      "Resolution=75\nCancelAtPage=2\nFailPage=3\nIndeterminate=yes\nImageFolder=C:\\pics\n"
      "CloseRequest=0\nNativeBitfields=1\nMemBufferSize=1000\nNoPixelFlavor=1\nPalette8Fails=1\n");
  EXPECT_TRUE(c.unattended);
  EXPECT_EQ(c.pages, 5);
  EXPECT_EQ(c.pixelType, TPixelType::Gray);
  EXPECT_EQ(c.resolution, 75);
  EXPECT_EQ(c.cancelAtPage, 2);
  EXPECT_EQ(c.failPage, 3);
  EXPECT_TRUE(c.indeterminate);
  EXPECT_FALSE(c.closeRequest);
  EXPECT_TRUE(c.nativeBitfields);
  EXPECT_EQ(c.imageFolder, "C:\\pics");
  EXPECT_EQ(c.memBufferSize, 1000);
  EXPECT_TRUE(c.noPixelFlavor);
  EXPECT_TRUE(c.palette8Fails);
  EXPECT_EQ(ParseConfig("[Scanner]\nPixelType=Palette\n").pixelType, TPixelType::Palette);

  TScannerConfig d = ParseConfig("[scanner]\nPages=abc\nResolution=5\nPixelType=purple\n");
  EXPECT_FALSE(d.unattended);
  EXPECT_EQ(d.pages, 3);
  EXPECT_EQ(d.resolution, 150);
  EXPECT_EQ(d.pixelType, TPixelType::Rgb);
  EXPECT_EQ(d.memBufferSize, 65536);
  EXPECT_FALSE(d.noPixelFlavor);
}

}  // namespace skan::virtual_scanner
