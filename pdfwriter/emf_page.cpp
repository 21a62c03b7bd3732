#include "emf_page.h"

#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <vector>

#include "base/handles_win.h"
#include "dib_reader.h"
#include "jpeg_wic.h"
#include "mrc.h"

namespace skan::pdfwriter {

namespace {

constexpr uint32_t kFlagJpeg = 8;      // PdfWriterDrawFlag_CompressImagesWithJPEG
constexpr uint32_t kFlagCompact = 32;  // PdfWriterDrawFlag_CompactImages
// A rasterised page is 3 bytes per pixel; this keeps it well inside a 32-bit
// process (about 190 MB).
constexpr uint64_t kMaxAreaPixels = 64ull * 1000 * 1000;

struct TDeleteEmf {
  void operator()(HENHMETAFILE h) const { DeleteEnhMetaFile(h); }
};
using TEmf = std::unique_ptr<std::remove_pointer_t<HENHMETAFILE>, TDeleteEmf>;

// A bitmap carried by a blit record, checked against the record's bounds.
struct TBlit {
  int32_t xDest, yDest, cxDest, cyDest;
  int32_t xSrc, ySrc, cxSrc, cySrc;
  uint32_t rop, usage;
  uint32_t offBmi, cbBmi, offBits, cbBits;
};

bool IsStateRecord(DWORD type) {
  switch (type) {
    case EMR_HEADER:
    case EMR_EOF:
    case EMR_SETSTRETCHBLTMODE:
    case EMR_SETBRUSHORGEX:
    case EMR_SETICMMODE:
    case EMR_SETBKMODE:
    case EMR_SETBKCOLOR:
    case EMR_SETTEXTCOLOR: return true;
    default: return false;
  }
}

std::optional<TBlit> BlitOf(const ENHMETARECORD* rec) {
  TBlit b{};
  if (rec->iType == EMR_STRETCHDIBITS && rec->nSize >= sizeof(EMRSTRETCHDIBITS)) {
    EMRSTRETCHDIBITS r;
    std::memcpy(&r, rec, sizeof r);
    b = {r.xDest, r.yDest, r.cxDest,    r.cyDest,    r.xSrc,     r.ySrc,       r.cxSrc,
         r.cySrc, r.dwRop, r.iUsageSrc, r.offBmiSrc, r.cbBmiSrc, r.offBitsSrc, r.cbBitsSrc};
    return b;
  }
  if (rec->iType == EMR_STRETCHBLT && rec->nSize >= sizeof(EMRSTRETCHBLT)) {
    EMRSTRETCHBLT r;
    std::memcpy(&r, rec, sizeof r);
    if (r.cbBmiSrc == 0) return std::nullopt;  // a fill without a source bitmap
    b = {r.xDest, r.yDest, r.cxDest,    r.cyDest,    r.xSrc,     r.ySrc,       r.cxSrc,
         r.cySrc, r.dwRop, r.iUsageSrc, r.offBmiSrc, r.cbBmiSrc, r.offBitsSrc, r.cbBitsSrc};
    return b;
  }
  return std::nullopt;
}

// The blit's bitmap, in plain form, when it is copied unchanged onto the
// whole drawing area: every layout GDI takes (short colour tables, 16 bits,
// bit fields, RLE, V4 and V5 headers) keeps its own pixels this way.
std::optional<dib::TPlainBitmap> CoveringBitmap(const ENHMETARECORD* rec, const TBlit& b, const TDrawingArea& area) {
  if (b.rop != SRCCOPY || b.usage != DIB_RGB_COLORS || b.xDest != 0 || b.yDest != 0 ||
      b.cxDest != static_cast<int32_t>(area.widthPx) || b.cyDest != static_cast<int32_t>(area.heightPx))
    return std::nullopt;
  const uint64_t size = rec->nSize;
  if (uint64_t{b.offBmi} + b.cbBmi > size || uint64_t{b.offBits} + b.cbBits > size) return std::nullopt;
  const auto* base = reinterpret_cast<const uint8_t*>(rec);
  std::optional<dib::TPlainBitmap> bitmap;
  try {
    bitmap.emplace(dib::ReadBitmap(base + b.offBmi, b.cbBmi, base + b.offBits, b.cbBits));
  } catch (const dib::TInvalidBitmap&) {
    return std::nullopt;  // left to playback
  }
  if (b.xSrc != 0 || b.ySrc != 0 || b.cxSrc != static_cast<int32_t>(bitmap->width) ||
      b.cySrc != static_cast<int32_t>(bitmap->height))
    return std::nullopt;
  return bitmap;
}

TRaster RasterOf(const dib::TPlainBitmap& b) {
  TRaster r;
  r.width = b.width;
  r.height = b.height;
  r.bitsPerPixel = b.bitsPerPixel;
  r.stride = b.stride;
  r.topDown = b.topDown;
  r.bits = b.bits;
  for (const dib::TQuad& q : b.palette) r.palette.push_back({q.red, q.green, q.blue});
  return r;
}

uint32_t AddImage(const TRaster& raster, const TDrawingArea& area, TDocument& doc) {
  // JPEG only where it pays: black-and-white pages stay 1 bit, losslessly.
  if (!(area.drawFlags & kFlagJpeg) || raster.bitsPerPixel == 1) return doc.AddImage(raster);
  int components = 0;
  const std::vector<uint8_t> samples = ExpandRaster(raster, &components);
  const std::string jpeg = EncodeJpeg(samples.data(), raster.width, raster.height, components);
  TImageInfo info;
  info.width = raster.width;
  info.height = raster.height;
  info.bitsPerComponent = 8;
  info.colorSpace = components == 1 ? "/DeviceGray" : "/DeviceRGB";
  info.filter = "/DCTDecode";
  return doc.AddEncodedImage(info, jpeg.data(), jpeg.size());
}

// Puts the raster on the canvas: in compact form (which may take several
// images), or as one image covering it.
void PlaceImage(const TRaster& raster, const TDrawingArea& area, TDocument& doc, TCanvas& canvas) {
  if (area.drawFlags & kFlagCompact)
    AddCompactImage(doc, canvas, raster);
  else
    TDocument::CoverWithImage(canvas, AddImage(raster, area, doc));
}

// Plays the drawing onto a white 24-bit bitmap of the drawing area's size.
void Rasterise(HENHMETAFILE emf, const TDrawingArea& area, TDocument& doc, TCanvas& canvas) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = static_cast<LONG>(area.widthPx);
  bi.bmiHeader.biHeight = -static_cast<LONG>(area.heightPx);  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 24;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  // Released on every way out, whatever the image step throws.
  base::TDC mem(CreateCompatibleDC(nullptr));
  if (!mem) throw TPdfError(kErrNotEnoughMemory, "pdfwriter: no device context for drawing the page");
  base::TGdiObject<HBITMAP> dib(CreateDIBSection(mem.get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || !bits) throw TPdfError(kErrNotEnoughMemory, "pdfwriter: not enough memory to draw the page");
  // After the bitmap: the selection is undone before the bitmap is deleted.
  base::TSelectObject selected(mem.get(), dib.get());
  RECT rect{0, 0, static_cast<LONG>(area.widthPx), static_cast<LONG>(area.heightPx)};
  FillRect(mem.get(), &rect, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  const BOOL played = PlayEnhMetaFile(mem.get(), emf, &rect);
  GdiFlush();
  if (!played) throw TPdfError(kErrInvalidFunction, "pdfwriter: the page's drawing cannot be played back");
  TRaster r;
  r.width = area.widthPx;
  r.height = area.heightPx;
  r.bitsPerPixel = 24;
  r.stride = DibStride(area.widthPx, 24);
  r.topDown = true;
  r.bits = static_cast<const uint8_t*>(bits);
  PlaceImage(r, area, doc, canvas);
}

}  // namespace

HDC BeginRecording(const TDrawingArea& area) {
  if (area.widthPx == 0 || area.heightPx == 0 || area.widthPx > 0x7FFF || area.heightPx > 0x7FFF ||
      uint64_t{area.widthPx} * area.heightPx > kMaxAreaPixels)
    throw TPdfError(kErrInvalidParameter,
                    "pdfwriter: the drawing area must be 1 to 32767 pixels each way and at most 64 million pixels");
  // The frame is given in 1/100 mm of the reference device; choosing it as
  // widthPx x heightPx of that device's pixels makes playback map the logical
  // coordinates 0..widthPx onto the target rectangle one to one.
  const base::TWindowDC ref(nullptr);
  if (!ref) throw TPdfError(kErrNotEnoughMemory, "pdfwriter: no reference device context");
  const int mmX = GetDeviceCaps(ref.get(), HORZSIZE), mmY = GetDeviceCaps(ref.get(), VERTSIZE);
  const int pxX = GetDeviceCaps(ref.get(), HORZRES), pxY = GetDeviceCaps(ref.get(), VERTRES);
  RECT frame{0, 0, MulDiv(static_cast<int>(area.widthPx), mmX * 100, pxX),
             MulDiv(static_cast<int>(area.heightPx), mmY * 100, pxY)};
  HDC dc = CreateEnhMetaFileW(ref.get(), nullptr, &frame, nullptr);
  if (!dc) throw TPdfError(kErrNotEnoughMemory, "pdfwriter: the page's device context cannot be created");
  return dc;
}

void DiscardRecording(HDC dc) {
  if (HENHMETAFILE emf = CloseEnhMetaFile(dc)) DeleteEnhMetaFile(emf);
}

namespace {

// The records of a drawing, seen in place through EnumEnhMetaFile: a copy of
// a page's drawing (a whole scan) would cost as much as reading it again.
struct TRecordWalk {
  // First walk: which record is the single covering blit, if any.
  size_t count = 0, blitIndex = 0;
  bool blit = false, other = false;
  // Second walk: the image placed from that record, or what it threw.
  const TDrawingArea* area = nullptr;
  TDocument* doc = nullptr;
  TCanvas* canvas = nullptr;
  bool placed = false;
  std::exception_ptr error;
};

int CALLBACK Classify(HDC, HANDLETABLE*, const ENHMETARECORD* rec, int, LPARAM param) {
  auto& walk = *reinterpret_cast<TRecordWalk*>(param);
  if (!IsStateRecord(rec->iType)) {
    if (!walk.blit && BlitOf(rec)) {
      walk.blit = true;
      walk.blitIndex = walk.count;
    } else {
      walk.other = true;
    }
  }
  ++walk.count;
  return 1;  // a walk cut short reports failure
}

int CALLBACK ImageOfBlit(HDC, HANDLETABLE*, const ENHMETARECORD* rec, int, LPARAM param) {
  auto& walk = *reinterpret_cast<TRecordWalk*>(param);
  if (walk.count++ != walk.blitIndex) return 1;
  // Nothing may unwind through the system's frames.
  try {
    if (auto bitmap = CoveringBitmap(rec, *BlitOf(rec), *walk.area)) {
      PlaceImage(RasterOf(*bitmap), *walk.area, *walk.doc, *walk.canvas);
      walk.placed = true;
    }
  } catch (...) {
    walk.error = std::current_exception();
  }
  return 0;
}

}  // namespace

void FinishRecording(HDC dc, const TDrawingArea& area, TDocument& doc, TCanvas& canvas) {
  TEmf emf(CloseEnhMetaFile(dc));
  if (!emf) throw TPdfError(kErrInvalidParameter, "pdfwriter: the page's device context cannot be closed");

  // Classify: nothing drawn, one covering blit, or anything else.
  TRecordWalk walk;
  if (!EnumEnhMetaFile(nullptr, emf.get(), Classify, &walk, nullptr))
    throw TPdfError(kErrInvalidFunction, "pdfwriter: the page's drawing cannot be read");
  if (!walk.blit && !walk.other) return;  // an empty page
  if (walk.blit && !walk.other) {
    walk.count = 0;
    walk.area = &area;
    walk.doc = &doc;
    walk.canvas = &canvas;
    EnumEnhMetaFile(nullptr, emf.get(), ImageOfBlit, &walk, nullptr);
    if (walk.error) std::rethrow_exception(walk.error);
  }
  if (!walk.placed) Rasterise(emf.get(), area, doc, canvas);
}

}  // namespace skan::pdfwriter
