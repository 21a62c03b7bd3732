#include "mrc.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ccitt_g4.h"
#include "jpeg_encode.h"

namespace skan::pdfwriter {

namespace {

// The background's resolution: the page's divided by a whole factor to come
// near this.
constexpr uint32_t kBackgroundDpi = 150;
constexpr uint32_t kMaxScale = 8;
// Segmentation works on blocks of 8 x 8 background pixels (about 1.4 mm):
// each is judged flat, text on paper, or picture.
constexpr uint32_t kCellsPerBlock = 8;
// A block whose luma and channels all vary less than this is flat (paper,
// a tint, scanner noise, a smooth part of a picture): it is only averaged
// down, and JPEG's quantisation takes the noise out.
constexpr int kFlatRange = 40;
// In a block with text the ink is what lies this far below the paper's
// luma, or a third of the block's range when that is more.
constexpr int kInkDepth = 36;
// A block with more than this share of pixels in the middle third of its
// range is a picture, not text on paper (a stroke's soft edge has few).
constexpr int kPictureMidPercent = 25;
// A page with this share of blocks that are neither text nor plain paper
// (pictures, and flat blocks off the paper's tone), or this much ink, is
// stored as one photograph.
constexpr int kPhotoPagePercent = 35;
constexpr int kPaperTone = 24;
constexpr int kPhotoInkPercent = 30;
// Ink colours: a colour joins the nearest colour already found when nearer
// than this (luma differences count a quarter, so the lighter edges of a
// stroke go with its core); at most kMaxColours masks per page.
constexpr int kJoinDistance = 48;
constexpr size_t kMaxColours = 12;
constexpr int kBackgroundQuality = 40;
constexpr int kPhotoQuality = 75;

inline int Luma(int r, int g, int b) { return (77 * r + 150 * g + 29 * b) >> 8; }

enum class TBlockKind : uint8_t { Flat, Text, Picture };

// The raster's rows as plain samples: 1 byte (grey) or 3 (RGB) per pixel.
class TRows {
 public:
  explicit TRows(const TRaster& r) : r_(r) {
    grey_ = r.bitsPerPixel <= 8;
    for (const TRgb& c : r.palette) grey_ = grey_ && c.r == c.g && c.g == c.b;
    components_ = grey_ ? 1 : 3;
  }
  bool Grey() const { return grey_; }
  int Components() const { return components_; }

  // Converts row `y` into `dst` (width x components bytes) and, given
  // `luma`, a colour row's luma into it in the same pass.
  void Read(uint32_t y, uint8_t* dst, uint8_t* luma = nullptr) const {
    const uint8_t* src = r_.Row(y);
    const uint32_t w = r_.width;
    switch (r_.bitsPerPixel) {
      case 24:
        if (luma)
          ReadBgr<3, true>(src, w, dst, luma);
        else
          ReadBgr<3, false>(src, w, dst, luma);
        return;
      case 32:
        if (luma)
          ReadBgr<4, true>(src, w, dst, luma);
        else
          ReadBgr<4, false>(src, w, dst, luma);
        return;
      default: {
        const unsigned bpp = r_.bitsPerPixel;
        const unsigned mask = (1u << bpp) - 1;
        for (uint32_t x = 0; x < w; ++x) {
          const size_t bit = size_t{x} * bpp;
          const unsigned index = (src[bit / 8] >> (8 - bpp - bit % 8)) & mask;
          const TRgb c = index < r_.palette.size() ? r_.palette[index] : TRgb{0, 0, 0};
          if (grey_) {
            *dst++ = c.r;
          } else {
            *dst++ = c.r;
            *dst++ = c.g;
            *dst++ = c.b;
            if (luma) *luma++ = static_cast<uint8_t>(Luma(c.r, c.g, c.b));
          }
        }
        return;
      }
    }
  }

 private:
  template <unsigned step, bool withLuma>
  static void ReadBgr(const uint8_t* src, uint32_t w, uint8_t* dst, uint8_t* luma) {
    for (uint32_t x = 0; x < w; ++x, src += step, dst += 3) {
      dst[0] = src[2];
      dst[1] = src[1];
      dst[2] = src[0];
      if constexpr (withLuma) luma[x] = static_cast<uint8_t>(Luma(src[2], src[1], src[0]));
    }
  }

  const TRaster& r_;
  bool grey_ = false;
  int components_ = 3;
};

// One colour of ink: its mask over the whole page (1 bits are no ink, as a
// stencil mask and the fax coder want them) and the sum of its pixels'
// colours.
struct TInk {
  int y = 0, u = 0, v = 0;  // the colour that decides who joins
  std::vector<uint8_t> mask;
  uint64_t count = 0, sum[3] = {0, 0, 0};
};

class TInks {
 public:
  // Masks are taken from `spare` and given back to it.
  TInks(uint32_t width, uint32_t height, bool grey, std::vector<std::vector<uint8_t>>& spare)
      : width_(width), height_(height), stride_(DibStride(width, 1)), grey_(grey), spare_(spare) {
    binToInk_.assign(grey ? 64 : 4096, -1);
  }
  ~TInks() {
    for (TInk& ink : inks_) spare_.push_back(std::move(ink.mask));
  }
  TInks(const TInks&) = delete;
  TInks& operator=(const TInks&) = delete;

  // Marks pixel (x, y) of colour (r, g, b) as ink.
  void Add(uint32_t x, uint32_t y, int r, int g, int b) {
    const size_t bin = grey_ ? size_t(r >> 2) : (size_t(r >> 4) << 8 | size_t(g >> 4) << 4 | size_t(b >> 4));
    int k = binToInk_[bin];
    if (k < 0) k = binToInk_[bin] = Choose(bin);
    TInk& ink = inks_[static_cast<size_t>(k)];
    ink.mask[size_t{y} * stride_ + x / 8] &= static_cast<uint8_t>(~(0x80u >> (x & 7)));
    ++ink.count;
    ink.sum[0] += static_cast<uint64_t>(r);
    ink.sum[1] += static_cast<uint64_t>(g);
    ink.sum[2] += static_cast<uint64_t>(b);
    ++total_;
  }
  uint64_t Total() const { return total_; }
  std::vector<TInk>& Inks() { return inks_; }
  size_t Stride() const { return stride_; }

 private:
  // The ink a colour bin joins, by the colour at the bin's centre.
  int Choose(size_t bin) {
    int r, g, b;
    if (grey_) {
      r = g = b = static_cast<int>(bin << 2) + 2;
    } else {
      r = static_cast<int>(bin >> 8) * 16 + 8;
      g = static_cast<int>(bin >> 4 & 15) * 16 + 8;
      b = static_cast<int>(bin & 15) * 16 + 8;
    }
    const int y = Luma(r, g, b), u = b - y, v = r - y;
    int best = -1;
    long bestDistance = 0;
    for (size_t i = 0; i < inks_.size(); ++i) {
      const TInk& ink = inks_[i];
      const long dy = (y - ink.y) / 4, du = u - ink.u, dv = v - ink.v;
      const long d = dy * dy + du * du + dv * dv;
      if (best < 0 || d < bestDistance) {
        best = static_cast<int>(i);
        bestDistance = d;
      }
    }
    if (best >= 0 && (bestDistance < long{kJoinDistance} * kJoinDistance || inks_.size() >= kMaxColours)) return best;
    TInk ink;
    ink.y = y;
    ink.u = u;
    ink.v = v;
    if (!spare_.empty()) {
      ink.mask = std::move(spare_.back());
      spare_.pop_back();
    }
    ink.mask.assign(stride_ * height_, 0xFF);
    inks_.push_back(std::move(ink));
    return static_cast<int>(inks_.size() - 1);
  }

  uint32_t width_, height_;
  size_t stride_;
  bool grey_;
  std::vector<std::vector<uint8_t>>& spare_;
  std::vector<int> binToInk_;
  std::vector<TInk> inks_;
  uint64_t total_ = 0;
};

// Stores one mask as a stencil mask over the whole page, in Group 4 or in
// Flate, whichever is smaller. (Cropped to its rows it would be placed at
// fractions of a point, which readers round to a row off here and there;
// the empty rows cost a bit each in Group 4.)
uint32_t AddMask(TDocument& doc, TDeflater& deflater, const TInk& ink, uint32_t width, uint32_t rows, size_t stride) {
  const uint8_t* bits = ink.mask.data();
  const std::string g4 = EncodeG4(bits, stride, width, rows, true);
  TRaster r;
  r.width = width;
  r.height = rows;
  r.bitsPerPixel = 1;
  r.bits = bits;
  r.stride = stride;
  r.topDown = true;
  r.palette = {{0, 0, 0}, {255, 255, 255}};
  TMemoryStore flate;
  uint64_t flateOffset = 0;
  const uint64_t flateLength = deflater.Deflate(r, flate, &flateOffset);
  TImageInfo info;
  info.width = width;
  info.height = rows;
  info.bitsPerComponent = 1;
  info.imageMask = true;
  if (g4.size() <= flateLength) {
    info.filter = "/CCITTFaxDecode";
    info.decodeParms = "<< /K -1 /Columns " + std::to_string(width) + " /Rows " + std::to_string(rows) + " >>";
    return doc.AddEncodedImage(info, g4.data(), g4.size());
  }
  TStringSink bytes;
  flate.CopyTo(flateOffset, flateLength, bytes);
  info.filter = "/FlateDecode";
  return doc.AddEncodedImage(info, bytes.Data().data(), bytes.Data().size());
}

uint32_t AddJpeg(TDocument& doc, const TJpegRowFn& row, uint32_t width, uint32_t height, int components, int quality) {
  const std::string jpeg = EncodeJpeg8(row, width, height, components, quality);
  TImageInfo info;
  info.width = width;
  info.height = height;
  info.bitsPerComponent = 8;
  info.colorSpace = components == 1 ? "/DeviceGray" : "/DeviceRGB";
  info.filter = "/DCTDecode";
  return doc.AddEncodedImage(info, jpeg.data(), jpeg.size());
}

}  // namespace

// Page buffers of tens of megabytes, taken afresh for every page, cost a
// page fault per 4 KiB touched: they are kept with the document.
struct TCompactBuffers {
  TReusedBuffer band, luma, background;
  std::vector<std::vector<uint8_t>> masks;
  TDeflater deflater;
};

namespace {

// The page's layers, for `nc` components per pixel (known at compile time,
// so the per-pixel loops unroll).
template <int nc>
TCompactResult AddLayers(TDocument& doc, TCanvas& canvas, const TRaster& raster, const TRows& rows) {
  TCompactResult result;
  const uint32_t w = raster.width, h = raster.height;

  // The background's scale: whole pixels of the page per background pixel.
  const double dpi = canvas.width > 0 ? w * 72.0 / canvas.width : 300;
  // At most 8 (1200 dpi and more), which bounds a block at 64 x 64 pixels
  // whatever size in points the page is given.
  const uint32_t f = static_cast<uint32_t>(
      std::clamp((dpi + kBackgroundDpi / 2) / kBackgroundDpi, 1.0, static_cast<double>(kMaxScale)));
  const uint32_t block = f * kCellsPerBlock;
  const uint32_t bw = (w + f - 1) / f, bh = (h + f - 1) / f;
  const size_t rowBytes = size_t{w} * static_cast<size_t>(nc);
  const size_t bgRowBytes = size_t{bw} * static_cast<size_t>(nc);

  std::shared_ptr<TCompactBuffers>& kept = doc.CompactBuffers();
  if (!kept) kept = std::make_shared<TCompactBuffers>();
  TCompactBuffers& buffers = *kept;
  uint8_t* const band = buffers.band.Reserve(rowBytes * block);
  // A grey page's samples are its luma.
  uint8_t* const luma = nc == 1 ? band : buffers.luma.Reserve(size_t{w} * block);
  uint8_t* const background = buffers.background.Reserve(bgRowBytes * bh);
  TInks inks(w, h, rows.Grey(), buffers.masks);
  uint64_t pictureBlocks = 0, blocks = 0;
  uint32_t flatTones[64] = {};  // flat blocks by mean luma, four levels a bin

  for (uint32_t y0 = 0; y0 < h; y0 += block) {
    const uint32_t bandRows = std::min(block, h - y0);
    for (uint32_t j = 0; j < bandRows; ++j)
      rows.Read(y0 + j, band + rowBytes * j, nc == 1 ? nullptr : luma + size_t{w} * j);
    for (uint32_t x0 = 0; x0 < w; x0 += block) {
      const uint32_t cols = std::min(block, w - x0);
      ++blocks;
      // Ranges and the mean.
      int lo[4] = {255, 255, 255, 255}, hi[4] = {0, 0, 0, 0};
      uint32_t sum[3] = {0, 0, 0};
      for (uint32_t j = 0; j < bandRows; ++j) {
        const uint8_t* p = band + rowBytes * j + size_t{x0} * nc;
        const uint8_t* l = luma + size_t{w} * j + x0;
        // Luma in a loop of its own, which the compiler can vectorise.
        uint8_t lumaLo = static_cast<uint8_t>(lo[3]), lumaHi = static_cast<uint8_t>(hi[3]);
        uint32_t lumaSum = 0;
        for (uint32_t i = 0; i < cols; ++i) {
          lumaLo = std::min(lumaLo, l[i]);
          lumaHi = std::max(lumaHi, l[i]);
          if (nc == 1) lumaSum += l[i];
        }
        lo[3] = lumaLo;
        hi[3] = lumaHi;
        if (nc == 1) {  // the samples are the luma
          lo[0] = lumaLo;
          hi[0] = lumaHi;
          sum[0] += lumaSum;
          continue;
        }
        for (uint32_t i = 0; i < cols; ++i)
          for (int c = 0; c < nc; ++c, ++p) {
            lo[c] = std::min<int>(lo[c], *p);
            hi[c] = std::max<int>(hi[c], *p);
            sum[c] += *p;
          }
      }
      const uint32_t n = cols * bandRows;
      int range = hi[3] - lo[3];
      for (int c = 0; c < nc; ++c) range = std::max(range, hi[c] - lo[c]);
      const int lumaRange = hi[3] - lo[3];
      TBlockKind kind = TBlockKind::Flat;
      uint8_t fill[3] = {0, 0, 0};
      for (int c = 0; c < nc; ++c) fill[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
      int inkBelow = 0;
      if (range >= kFlatRange) {
        // The paper: the mean of the top quarter of the luma range; what
        // lies in the middle third counts as mid-tone.
        const int paperFrom = hi[3] - lumaRange / 4, midFrom = lo[3] + lumaRange / 3, midTo = hi[3] - lumaRange / 3;
        uint32_t paper = 0, mid = 0, paperSum[3] = {0, 0, 0};
        for (uint32_t j = 0; j < bandRows; ++j) {
          const uint8_t* p = band + rowBytes * j + size_t{x0} * nc;
          const uint8_t* l = luma + size_t{w} * j + x0;
          for (uint32_t i = 0; i < cols; ++i, p += nc) {
            if (l[i] >= paperFrom) {
              ++paper;
              for (int c = 0; c < nc; ++c) paperSum[c] += p[c];
            } else if (l[i] > midFrom && l[i] < midTo) {
              ++mid;
            }
          }
        }
        if (lumaRange >= kFlatRange && mid * 100 <= kPictureMidPercent * n) {
          kind = TBlockKind::Text;
          for (int c = 0; c < nc; ++c) fill[c] = static_cast<uint8_t>((paperSum[c] + paper / 2) / paper);
          const int paperLuma = nc == 1 ? fill[0] : Luma(fill[0], fill[1], fill[2]);
          inkBelow = paperLuma - std::max(kInkDepth, lumaRange / 3);
        } else {
          kind = TBlockKind::Picture;
          ++pictureBlocks;
        }
      } else {
        ++flatTones[(nc == 1 ? fill[0] : Luma(fill[0], fill[1], fill[2])) / 4];
      }
      if (kind == TBlockKind::Text) {
        for (uint32_t j = 0; j < bandRows; ++j) {
          const uint8_t* p = band + rowBytes * j + size_t{x0} * nc;
          const uint8_t* l = luma + size_t{w} * j + x0;
          for (uint32_t i = 0; i < cols; ++i, p += nc)
            if (l[i] < inkBelow) {
              if (nc == 1)
                inks.Add(x0 + i, y0 + j, p[0], p[0], p[0]);
              else
                inks.Add(x0 + i, y0 + j, p[0], p[1], p[2]);
            }
        }
      }
      // The block's background pixels: the paper for text, otherwise the mean
      // of each f x f cell.
      const uint32_t cx0 = x0 / f, cy0 = y0 / f;
      const uint32_t cellCols = (cols + f - 1) / f, cellRows = (bandRows + f - 1) / f;
      for (uint32_t cj = 0; cj < cellRows; ++cj) {
        uint8_t* out = background + bgRowBytes * (cy0 + cj) + size_t{cx0} * nc;
        for (uint32_t ci = 0; ci < cellCols; ++ci, out += nc) {
          if (kind == TBlockKind::Text) {
            for (int c = 0; c < nc; ++c) out[c] = fill[c];
            continue;
          }
          uint32_t s[3] = {0, 0, 0}, k = 0;
          for (uint32_t j = cj * f; j < std::min(bandRows, cj * f + f); ++j) {
            const uint8_t* p = band + rowBytes * j + size_t{x0 + ci * f} * nc;
            for (uint32_t i = ci * f; i < std::min(cols, ci * f + f); ++i, ++k)
              for (int c = 0; c < nc; ++c) s[c] += *p++;
          }
          for (int c = 0; c < nc; ++c) out[c] = static_cast<uint8_t>((s[c] + k / 2) / k);
        }
      }
    }
  }

  // The paper's tone: that of most flat blocks.
  const size_t paperBin = static_cast<size_t>(std::max_element(std::begin(flatTones), std::end(flatTones)) - flatTones);
  uint64_t offPaper = pictureBlocks;
  for (size_t i = 0; i < 64; ++i)
    if ((i > paperBin ? i - paperBin : paperBin - i) * 4 > kPaperTone) offPaper += flatTones[i];
  const uint64_t area = uint64_t{w} * h;
  if (offPaper * 100 >= kPhotoPagePercent * blocks || inks.Total() * 100 >= kPhotoInkPercent * area) {
    // A photograph: the page's own pixels in one JPEG.
    std::vector<uint8_t> row(rowBytes);
    const uint32_t image = AddJpeg(
        doc,
        [&](uint32_t y) {
          rows.Read(y, row.data());
          return row.data();
        },
        w, h, nc, kPhotoQuality);
    TDocument::CoverWithImage(canvas, image);
    result.form = TCompactForm::Photo;
    return result;
  }

  // The placements go on the canvas only once every image is stored, so a
  // failure leaves the canvas as it was.
  result.form = TCompactForm::Layered;
  TCanvas layers;
  layers.width = canvas.width;
  layers.height = canvas.height;
  TDocument::CoverWithImage(
      layers, AddJpeg(
                  doc, [&](uint32_t y) { return background + bgRowBytes * y; }, bw, bh, nc, kBackgroundQuality));
  for (const TInk& ink : inks.Inks()) {
    if (!ink.count) continue;
    TPlacement p;
    p.index = AddMask(doc, buffers.deflater, ink, w, h, inks.Stride());
    p.matrix = {canvas.width, 0, 0, canvas.height, 0, 0};
    p.fill = true;
    p.fillGrey = nc == 1;
    auto mean = [&](int c) { return static_cast<uint8_t>((ink.sum[c] + ink.count / 2) / ink.count); };
    p.fillColour = {mean(0), mean(1), mean(2)};
    layers.items.push_back(p);
    ++result.masks;
  }
  canvas.items.insert(canvas.items.end(), layers.items.begin(), layers.items.end());
  return result;
}

}  // namespace

TCompactResult AddCompactImage(TDocument& doc, TCanvas& canvas, const TRaster& raster) {
  if (raster.bitsPerPixel == 1) {
    TDocument::CoverWithImage(canvas, doc.AddImage(raster));
    return {};
  }
  DescribeRaster(raster);  // refuses what AddImage refuses
  const TRows rows(raster);
  return rows.Components() == 1 ? AddLayers<1>(doc, canvas, raster, rows) : AddLayers<3>(doc, canvas, raster, rows);
}

}  // namespace skan::pdfwriter
