// Turning what was drawn on a page's recording device context into page
// content: one full-page bitmap blit embeds that bitmap's own pixels, any
// other drawing is rasterised at the drawing area's pixel size.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pdf_document.h"

namespace skan::pdfwriter {

struct TDrawingArea {
  uint32_t widthPx = 0;
  uint32_t heightPx = 0;
  uint32_t drawFlags = 0;
};

// A device context that records an enhanced metafile whose logical
// coordinates 0..widthPx x 0..heightPx cover the page. Raises on failure.
HDC BeginRecording(const TDrawingArea& area);

// Ends the recording of `dc` and places its drawing on `canvas`, adding the
// image it needs to `doc`. The device context is gone afterwards, also when
// this raises.
void FinishRecording(HDC dc, const TDrawingArea& area, TDocument& doc, TCanvas& canvas);

// Ends a recording that will not be used.
void DiscardRecording(HDC dc);

}  // namespace skan::pdfwriter
