// Draws a page whose content is images (and filled rectangles) into an RGB
// raster. Text that is visible, vector paths other than filled rectangles,
// shadings and inline images are not drawn: such a page is Unsupported.
#pragma once

#include <cstdint>
#include <vector>

#include "document.h"
#include "error.h"

namespace pdfview {

struct TRaster {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // 3 bytes a pixel, rows top down, no padding
};

// The height in pixels of `page` drawn `width` pixels wide.
int PageHeightFor(const TPage& page, int width);

// Draws page `index` `width` pixels wide. Throws TPdfError.
TRaster RenderPage(TDocument& doc, size_t index, int width, const TCancel& cancel);

}  // namespace pdfview
