// The document model of the library and its serialisation to PDF 1.4:
// pages and reusable resources (form XObjects) are canvases that place images
// and forms; finished image streams live in a byte store until the save.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "pdf_image.h"
#include "pdf_store.h"
#include "text_layer.h"

namespace skan::pdfwriter {

struct TCompactBuffers;  // mrc.h

// Points (1/72 inch) per unit, indexed by the unit's ordinal 1..8
// (mm, 1/10 mm, 1/100 mm, 1/1000 mm, inch, 1/10, 1/100, 1/1000 inch).
double PointsPerUnit(uint32_t unit);
bool IsValidUnit(uint32_t unit);

// Numbers as PDF wants them: '.' whatever the C locale, at most 4 decimals,
// no exponent, no trailing zeros.
std::string FormatReal(double value);

// A PDF text string: literal when the text is printable ASCII, otherwise
// UTF-16BE with a byte-order mark, in hexadecimal.
std::string FormatTextString(const std::u16string& text);

struct TPlacement {
  bool form = false;  // false: an image index, true: a resource index
  uint32_t index = 0;
  // Maps the image's unit square, or the form's own space in points, onto
  // the canvas (points, origin at the bottom left).
  std::array<double, 6> matrix{1, 0, 0, 1, 0, 0};
  // For a stencil mask: the colour it paints, grey ("g") when `fillGrey`.
  bool fill = false;
  bool fillGrey = false;
  TRgb fillColour{0, 0, 0};
};

struct TCanvas {
  double width = 0;  // points
  double height = 0;
  std::vector<TPlacement> items;
  std::vector<TPlacedWord> words = {};  // invisible text over the items (text_layer.h)
};

class TDocument {
 public:
  // With a TPdfFileStore the document is written into that file as it is
  // made (see SaveInPlace).
  explicit TDocument(std::unique_ptr<TByteStore> store);

  // Images: the samples are taken now (and compressed now or on a worker
  // thread, before the next image or the save); the result is the image's
  // index for placements.
  uint32_t AddImage(const TRaster& raster);
  uint32_t AddEncodedImage(const TImageInfo& info, const void* data, size_t size);

  size_t PageCount() const { return pages_.size(); }
  void InsertPage(size_t index, double widthPt, double heightPt);
  void DeletePage(size_t index);
  TCanvas& Page(size_t index);
  // Places an image over the whole canvas.
  static void CoverWithImage(TCanvas& canvas, uint32_t image);

  // Resources are numbered from 1; 0 means none.
  uint32_t AddResource(TCanvas canvas);
  const TCanvas& Resource(uint32_t id) const;
  size_t ResourceCount() const { return forms_.size(); }

  // CreationDate and ModDate must be PDF dates. Every file also carries a
  // title, the producer and both dates, the document's creation time where
  // none were set, repeated in its XMP metadata (pdfa.h).
  void SetInfo(const std::string& name, const std::u16string& value);
  const std::u16string* FindInfo(const std::string& name) const;

  // Writes the whole file, once the images under way are stored. A document
  // without pages is refused. Images come first, numbered from 1 in the order
  // they were added (those drawn nowhere are left out), then the catalog, the
  // page tree, the information, the pages with their contents and the forms.
  void Save(TSink& sink);
  // For a document on a TPdfFileStore: completes the file in place, which
  // holds the images already, and returns true. False, with nothing written,
  // when the file cannot be the PDF as Save would write it (an image drawn
  // nowhere) or the store is no PDF file; the caller then saves elsewhere.
  bool SaveInPlace();

  // Memory the compact form keeps from one page to the next (mrc.cpp).
  std::shared_ptr<TCompactBuffers>& CompactBuffers() { return compactBuffers_; }

 private:
  struct TStoredImage {
    TImageInfo info;
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  struct TLayout;
  TLayout Prepare();
  void WriteAfterImages(TSink& sink, uint64_t base, TLayout& layout);
  TObjectFrame FrameFor(size_t image) const;
  std::unique_ptr<TByteStore> store_;
  TPdfFileStore* const pdfFile_;  // store_, when it is the PDF file
  std::vector<TStoredImage> images_;
  TDeflater deflater_;     // black-and-white images, compared with their fax coding
  TDeflateQueue pending_;  // the others, compressed while the next page is drawn
  std::vector<TCanvas> pages_;
  std::vector<TCanvas> forms_;
  std::vector<std::pair<std::string, std::u16string>> info_;
  std::time_t created_ = std::time(nullptr);
  uint64_t nonce_;  // makes the file identifier unique (pdfa.h)
  std::shared_ptr<TCompactBuffers> compactBuffers_;
};

}  // namespace skan::pdfwriter
