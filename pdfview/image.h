// Image XObjects decoded to 8-bit samples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "document.h"
#include "error.h"

namespace skan::pdfview {

struct TImage {
  int width = 0;
  int height = 0;
  int channels = 0;     // 1 grey (or coverage of a stencil mask), 3 RGB
  bool stencil = false;  // samples are how much of the fill colour covers the pixel
  std::vector<uint8_t> pixels;  // rows top down, no padding
};

// Decodes an image XObject. `resources` names colour spaces by name.
TImage DecodeImage(TDocument& doc, const TObject& xobject, const TDict& resources, const TCancel& cancel);

// Image codecs of the platform (the imaging component on Windows, libjpeg
// elsewhere). JPEG: grey or RGB samples, CMYK turned into RGB. CCITT fax:
// grey samples, 0 black and 255 white, before any /Decode. Both throw
// TPdfError; a codec the platform lacks is Unsupported.
TImage DecodeJpeg(const std::string& data, const TCancel& cancel);
TImage DecodeCcittFax(const std::string& data, const TDict& parms, int width, int height);

}  // namespace skan::pdfview
