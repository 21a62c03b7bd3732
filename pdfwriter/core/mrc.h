// The compact form of a scanned colour or grey page: the text and lines as
// full-resolution one-bit stencil masks, each painted with one colour, over a
// background with the text taken out, smoothed, at about 150 dpi and coded as
// JPEG. A page that is mostly photograph becomes one JPEG instead, and a
// black-and-white page is stored as AddImage stores it.
#pragma once

#include <cstdint>

#include "pdf_document.h"

namespace skan::pdfwriter {

enum class TCompactForm {
  Bilevel,  // one bit per pixel, stored losslessly
  Photo,    // one JPEG of the whole page
  Layered,  // a background JPEG and coloured masks
};

struct TCompactResult {
  TCompactForm form = TCompactForm::Bilevel;
  uint32_t masks = 0;  // the masks of a layered page
};

// Adds the raster to `doc` in compact form and places it over the whole of
// `canvas`, whose size in points gives the raster's resolution. Raises
// TPdfError as AddImage does.
TCompactResult AddCompactImage(TDocument& doc, TCanvas& canvas, const TRaster& raster);

}  // namespace skan::pdfwriter
