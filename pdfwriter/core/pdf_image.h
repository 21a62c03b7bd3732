// Turning device-independent bitmap pixels into a PDF image stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pdf_store.h"

namespace skan::pdfwriter {

struct TRgb {
  uint8_t r, g, b;
};

// Pixels as a Windows DIB holds them: rows padded to 4 bytes, bottom-up
// unless `topDown`, 24 and 32 bits in blue-green-red(-unused) order, 1, 4 and
// 8 bits as indexes into `palette`.
struct TRaster {
  uint32_t width = 0;
  uint32_t height = 0;
  uint16_t bitsPerPixel = 0;
  const uint8_t* bits = nullptr;
  size_t stride = 0;
  bool topDown = false;
  std::vector<TRgb> palette;

  const uint8_t* Row(uint32_t y) const { return bits + stride * (topDown ? y : height - 1 - y); }
};

size_t DibStride(uint32_t width, uint16_t bitsPerPixel);
bool IsSupportedRaster(uint16_t bitsPerPixel);

// What the image dictionary says about the stored samples.
struct TImageInfo {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitsPerComponent = 8;
  std::string colorSpace;  // a name ("/DeviceRGB") or an inline array
  std::string decode;      // "" or an array such as "[1 0]"
  std::string filter;      // "/FlateDecode", "/CCITTFaxDecode" or "/DCTDecode"
  std::string decodeParms;  // "" or a dictionary
};

// The PDF colour model for a raster: grey ramps become DeviceGray (so a
// black-and-white scan stays 1 bit and a grey one 8 bits), other palettes
// Indexed, 24 and 32 bits DeviceRGB.
TImageInfo DescribeRaster(const TRaster& raster);

// Flate-compresses the raster's samples into `store` as one zlib stream;
// returns the stored length. Raises std::bad_alloc when memory runs out.
uint64_t DeflateRaster(const TRaster& raster, TByteStore& store, uint64_t* offset);

// The raster's samples as 8-bit grey or RGB rows, top-down, no padding, for
// encoders that take plain samples (JPEG). `components` is 1 or 3.
std::vector<uint8_t> ExpandRaster(const TRaster& raster, int* components);

}  // namespace skan::pdfwriter
