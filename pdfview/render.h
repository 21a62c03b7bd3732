// Draws a page whose content is images (and filled rectangles) into a
// raster. Text that is visible, vector paths other than filled rectangles,
// shadings and inline images are not drawn: such a page is Unsupported.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "document.h"
#include "error.h"

namespace skan::pdfview {

struct TRaster {
  int width = 0;
  int height = 0;
  // 0x00RRGGBB a pixel (a top-down 32-bit bitmap's layout, shown as it is),
  // rows top down, no padding.
  std::vector<uint32_t> pixels;
};

struct TImage;

// What drawing keeps between pages: the last image as averaged down for
// the page (so that a quick preview and then the page itself decode it
// once), and room for the next: the buffer its rows were decoded into and
// rasters the window is done with. Fresh memory is costly: every page of it
// is faulted in (and zeroed) on first touch.
class TImageCache {
 public:
  struct TEntry {
    uint32_t objectNumber = 0;
    int sourceWidth = 0, sourceHeight = 0;  // as decoded
    std::shared_ptr<const TImage> image;    // averaged down
  };
  TImageCache();
  ~TImageCache();
  const TEntry* Find(uint32_t objectNumber) const {
    return objectNumber && objectNumber == entry_.objectNumber ? &entry_ : nullptr;
  }
  void Keep(TEntry entry) { entry_ = std::move(entry); }
  // Forgets the kept image and hands back its pixels' room when nothing else
  // holds it (else the room Clear kept, or an empty vector).
  std::vector<uint8_t> TakeImageRoom();
  // At least `size` bytes, kept for the next call; their content is undefined.
  uint8_t* Room(size_t size);
  // Room for an image's compressed bytes.
  std::string& RawRoom() { return raw_; }
  // Forgets the image (a new document); the rooms, its pixels' too, stay
  // for the new document's pages.
  void Clear();

  // Rasters no longer shown, for the next pages to be drawn into. Thread
  // safe: the window gives, the worker takes. At most two are kept.
  void GiveRaster(std::vector<uint32_t> pixels);
  // One with room for `size` pixels, or an empty vector.
  std::vector<uint32_t> TakeRaster(size_t size);

 private:
  TEntry entry_;
  std::vector<uint8_t> imageRoom_;
  std::unique_ptr<uint8_t[]> room_;
  size_t roomSize_ = 0;
  std::string raw_;
  std::mutex rastersLock_;
  std::vector<std::vector<uint32_t>> rasters_;
};

// The height in pixels of `page` drawn `width` pixels wide.
int PageHeightFor(const TPage& page, int width);

// Draws page `index` `width` pixels wide. Throws TPdfError. Images are
// averaged down to the size they have on the page drawn `reduceForWidth`
// wide (0: `width`): a quick preview drawn for the page's full width samples
// the same averaged images as the page, and with a cache decodes them once.
TRaster RenderPage(TDocument& doc, size_t index, int width, const TCancel& cancel, TImageCache* cache = nullptr,
                   int reduceForWidth = 0);

}  // namespace skan::pdfview
