// A scanned page as the page's live view shows it: its size, resolution and
// colour, and a small JPEG thumbnail in Base64. Portable.
#pragma once

#include <cstddef>
#include <string>

#include "dib_reader.h"

namespace skan {

// The thumbnail's Base64 text stays within this many bytes, so a page event
// is small beside the 1 MiB message limit whatever the page.
inline constexpr std::size_t kMaxThumbnailBytes = 16 * 1024;
// The longer side of the thumbnail, in pixels.
inline constexpr unsigned kThumbnailSide = 200;

struct TPageLook {
  unsigned width = 0, height = 0;
  const char* colour = "colour";  // "colour", "grey" or "bw"
  std::string thumbnailBase64;    // a JPEG; empty when none could be made
};

// Looks at a page bitmap: 1-bit pages are "bw", pages whose palette is all
// grey are "grey", the rest "colour". The thumbnail is grey for grey and
// black-and-white pages.
TPageLook LookAtPage(const dib::TPlainBitmap& page);

}  // namespace skan
