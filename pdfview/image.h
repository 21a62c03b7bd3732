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
  int channels = 0;             // 1 grey (or coverage of a stencil mask), 3 RGB
  bool stencil = false;         // samples are how much of the fill colour covers the pixel
  std::vector<uint8_t> pixels;  // rows top down, no padding
};

// Where an image's rows go while it is decoded. Start is called once, with
// the decoded size, and returns room for every row (width * channels bytes a
// row, top down, no padding); Ready(n) then says that rows [0, n) are final.
// A decoder that fails throws, after any number of Ready calls.
class IImageRows {
 public:
  virtual ~IImageRows() = default;
  virtual uint8_t* Start(int width, int height, int channels, bool stencil) = 0;
  virtual void Ready(int rows) = 0;
};

// Decodes an image XObject into `out`. `resources` names colour spaces by
// name. `room`, when given, holds compressed bytes meanwhile and is kept by
// the caller for the next image.
void DecodeImage(TDocument& doc, const TObject& xobject, const TDict& resources, const TCancel& cancel, IImageRows& out,
                 std::string* room = nullptr);

// Image codecs. JPEG (libjpeg): grey or RGB samples, CMYK turned into RGB,
// handed over row by row. CCITT fax (the imaging component on Windows, none
// elsewhere): grey samples, 0 black and 255 white, before any /Decode. Both
// throw TPdfError; a codec the platform lacks is Unsupported.
void DecodeJpeg(const std::string& data, const TCancel& cancel, IImageRows& out);
TImage DecodeCcittFax(const std::string& data, const TDict& parms, int width, int height);

}  // namespace skan::pdfview
