// Baseline JPEG coding of plain 8-bit samples with libjpeg-turbo, for the
// compact form of scanned pages.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace skan::pdfwriter {

// Row `y` of the image, top-down: `width` samples of `components` bytes. It
// must not throw; the pointer stays valid until the next call.
using TJpegRowFn = std::function<const uint8_t*(uint32_t y)>;

// Codes `height` rows of `width` samples of `components` bytes each (1: grey,
// 3: RGB) at `quality` (1..100); colour is coded with chroma at half
// resolution each way, both with optimised Huffman tables. Raises TPdfError
// (out of memory, or a coding failure).
std::string EncodeJpeg8(const TJpegRowFn& row, uint32_t width, uint32_t height, int components, int quality);

}  // namespace skan::pdfwriter
