// Pages of the virtual scanner as packed device-independent bitmaps (header,
// colour table, pixels), the form a native transfer hands over and the body of
// a BMP file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace skan::virtual_scanner {

enum class TPixelType { BlackWhite = 0, Gray = 1, Rgb = 2, Palette = 3 };  // TWPT_ codes

using TDib = std::vector<uint8_t>;

// A page of widthMm x heightMm (A4 unless given) at dpi dots per inch. Its
// marks make a wrong orientation, scale or colour order visible: red, green
// and blue squares in the top-left, top-right and bottom-left corners, a
// centimetre ruler along the top and left edges, an arrow pointing up, and the
// page number in large digits. A palette page is 8-bit with PaletteEntry's
// colours, its indices the grey level of the picture.
TDib RenderPage(int pageNumber, TPixelType type, int dpi, double widthMm = 210, double heightMm = 297);

// Entry i (red, green, blue) of the palette of palette pages: a brown tint,
// so a grey table in its place shows.
void PaletteEntry(int i, uint8_t rgb[3]);

// The part x, y, width, height (pixels from the top-left corner) of a page
// with an info header, clipped to the page; empty when nothing is left.
TDib CropDib(const TDib& dib, int x, int y, int width, int height);

// The same picture as a 32-bit BI_BITFIELDS bitmap: an info header, the red,
// green and blue masks, then the pixels. Bitmaps other than 24-bit come back
// unchanged.
TDib ToBitfields32(const TDib& dib);

// Other valid forms of the same bitmap (info header, BI_RGB, bottom-up rows
// in): biClrUsed 0 for a full colour table; rows top-down with a negative
// height; a 124-byte BITMAPV5HEADER (sRGB) in place of the info header.
TDib WithClrUsedZero(const TDib& dib);
TDib ToTopDown(const TDib& dib);
TDib ToV5Header(const TDib& dib);

// Width, height (positive: bottom-up rows), bits per pixel and colour-table
// entries of a packed DIB; false when it is not a usable bitmap.
struct TDibInfo {
  int32_t width = 0;
  int32_t height = 0;
  int bitCount = 0;
  uint32_t headerSize = 0;
  uint32_t colors = 0;
  uint32_t pixelOffset = 0;  // from the start of the packed DIB
};
bool DescribeDib(const TDib& dib, TDibInfo& info);

// A BMP file is a 14-byte file header followed by the packed DIB.
std::vector<uint8_t> BmpFileBytes(const TDib& dib);
bool DibFromBmpFile(const std::vector<uint8_t>& file, TDib& dib);

// The colour (B, G, R) of the pixel at x, y counted from the top-left corner.
bool PixelAt(const TDib& dib, int x, int y, uint8_t bgr[3]);

}  // namespace skan::virtual_scanner
