// Draws a page whose content is images (and filled rectangles) into an RGB
// raster. Text that is visible, vector paths other than filled rectangles,
// shadings and inline images are not drawn: such a page is Unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "document.h"
#include "error.h"

namespace skan::pdfview {

struct TRaster {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // 3 bytes a pixel, rows top down, no padding
};

struct TImage;

// The last decoded image, kept so that drawing the same page again (a quick
// preview, then the page itself) decodes it only once.
class TImageCache {
 public:
  std::shared_ptr<const TImage> Find(uint32_t objectNumber) const {
    return objectNumber == number_ ? image_ : nullptr;
  }
  void Keep(uint32_t objectNumber, std::shared_ptr<const TImage> image) {
    number_ = objectNumber;
    image_ = std::move(image);
  }
  void Clear() { Keep(0, nullptr); }

 private:
  uint32_t number_ = 0;
  std::shared_ptr<const TImage> image_;
};

// The height in pixels of `page` drawn `width` pixels wide.
int PageHeightFor(const TPage& page, int width);

// Draws page `index` `width` pixels wide. Throws TPdfError. A preview
// samples images without averaging: quick, but rough.
TRaster RenderPage(TDocument& doc, size_t index, int width, const TCancel& cancel, TImageCache* cache = nullptr,
                   bool preview = false);

}  // namespace skan::pdfview
