// Memory transfer: the source hands a page over in buffers that this layer
// supplies, and the layer assembles them into a bottom-up bitmap section.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "twain_source.h"

namespace skan::twain {

namespace {

constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kColorTableSize = 256 * 4;

void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

// One colour-table entry: blue, green, red, reserved.
void PutColor(uint8_t* table, size_t i, uint8_t red, uint8_t green, uint8_t blue) {
  uint8_t* e = table + 4 * i;
  e[0] = blue;
  e[1] = green;
  e[2] = red;
  e[3] = 0;
}

// Pixels per metre from a resolution in the source's unit; 0 when the unit is
// neither inches nor centimetres (or could not be read).
int32_t PixelsPerMetre(TW_FIX32 resolution, TTwainUnit unit) {
  const double r = Fix32ToFloat(resolution);
  if (unit == tuInches) return int32_t(std::trunc(r / 2.54 * 100));
  if (unit == tuCentimeters) return int32_t(std::trunc(r * 100));
  return 0;
}

}  // namespace

TW_UINT16 TTwainSource::PrepareMemXfer(HBITMAP& Bitmap, TW_UINT16& PixelType) {
  TW_IMAGEINFO info{};
  const TW_UINT16 rc = Call(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info);
  if (rc != TWRC_SUCCESS) return rc;

  TW_SETUPMEMXFER setup{};
  Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
  // A source without a usable buffer size or image size fails the page here
  // instead of dividing by zero or making a bitmap of nothing.
  if (setup.Preferred == 0 || info.ImageWidth <= 0 || info.ImageLength <= 0 || info.BitsPerPixel <= 0)
    return TWRC_FAILURE;
  const uint64_t lineBytes = ((uint64_t(info.BitsPerPixel) * uint64_t(info.ImageWidth) + 31) / 32) * 4;
  uint64_t imageSize = lineBytes * uint64_t(info.ImageLength);
  imageSize = (imageSize / setup.Preferred + 1) * setup.Preferred;  // next multiple of the buffer size above
  if (imageSize > UINT32_MAX) return TWRC_FAILURE;

  // The pixel memory comes with the section; this block holds the header and
  // the colour table only.
  std::vector<uint8_t> header(kInfoHeaderSize + kColorTableSize, 0);
  uint8_t* h = header.data();
  uint8_t* table = h + kInfoHeaderSize;
  Put32(h + 0, kInfoHeaderSize);
  Put32(h + 4, uint32_t(info.ImageWidth));
  Put32(h + 8, uint32_t(info.ImageLength));  // positive: rows bottom-up
  Put16(h + 12, 1);
  Put16(h + 14, uint16_t(info.BitsPerPixel));
  Put32(h + 16, 0);  // no compression
  Put32(h + 20, uint32_t(imageSize));

  TTwainUnit unit = tuUnknown;
  TTwainUnitSet units;
  if (GetICapUnits(unit, units, rcGet) != crSuccess) unit = tuUnknown;
  Put32(h + 24, uint32_t(PixelsPerMetre(info.XResolution, unit)));
  Put32(h + 28, uint32_t(PixelsPerMetre(info.YResolution, unit)));

  uint32_t colors = 0;
  auto greyRamp = [&] {
    colors = 256;
    for (size_t i = 0; i < 256; ++i) PutColor(table, i, uint8_t(i), uint8_t(i), uint8_t(i));
  };
  switch (info.PixelType) {
    case TWPT_BW: {
      colors = 2;
      TTwainPixelFlavor flavor = tpfUnknown;
      TTwainPixelFlavorSet flavors;
      const bool vanilla = GetIPixelFlavor(flavor, flavors, rcGet) == crSuccess && flavor == tpfVanilla;
      PutColor(table, vanilla ? 1 : 0, 0, 0, 0);
      PutColor(table, vanilla ? 0 : 1, 0xFF, 0xFF, 0xFF);
      break;
    }
    case TWPT_GRAY: greyRamp(); break;
    case TWPT_RGB: break;
    default: {
      TW_PALETTE8 palette{};
      if (Call(DG_IMAGE, DAT_PALETTE8, MSG_GET, &palette) == TWRC_SUCCESS) {
        colors = std::min<uint32_t>(palette.NumColors, 256);
        for (size_t i = 0; i < colors; ++i)
          PutColor(table, i, palette.Colors[i].Channel1, palette.Colors[i].Channel2, palette.Colors[i].Channel3);
      } else {
        greyRamp();
      }
      break;
    }
  }
  Put32(h + 32, colors);
  Put32(h + 36, 0);  // important colours

  Bitmap = TwainPlatform().MakeSection(Owner_->VirtualWindow(), h);
  if (!Bitmap) return TWRC_FAILURE;
  PixelType = TW_UINT16(info.PixelType);
  return TWRC_SUCCESS;
}

TW_UINT16 TTwainSource::TransferImageMemory(HBITMAP& Bitmap, TW_UINT16 PixelType) {
  TTwainPlatform& platform = TwainPlatform();
  // The bitmap is deleted unless the page arrives whole, also when a
  // progress handler raises.
  struct TDropBitmap {
    HBITMAP& bitmap;
    bool keep = false;
    ~TDropBitmap() {
      if (keep || !bitmap) return;
      TwainPlatform().FreeBitmap(bitmap);
      bitmap = nullptr;
    }
  } drop{Bitmap};

  TW_SETUPMEMXFER setup{};
  TW_UINT16 rc = Call(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &setup);
  if (rc != TWRC_SUCCESS) return rc;
  if (setup.Preferred == 0) return TWRC_FAILURE;
  int width = 0, height = 0, bitsPerPixel = 0;
  uint8_t* pixels = nullptr;
  if (!platform.SectionPixels(Bitmap, width, height, bitsPerPixel, pixels) || width <= 0 || height <= 0)
    return TWRC_FAILURE;
  const size_t lineBytes = ((size_t(bitsPerPixel) * size_t(width) + 31) / 32) * 4;
  // Only a row that holds three bytes per pixel can be reordered.
  const bool swapRgb = PixelType == TWPT_RGB && 3 * size_t(width) <= lineBytes;

  std::vector<uint8_t> buffer;
  try {
    buffer.resize(setup.Preferred);
  } catch (const std::bad_alloc&) {
    return TWRC_FAILURE;
  }

  TW_IMAGEMEMXFER xfer;
  std::memset(&xfer, 0xFF, sizeof xfer);  // TWON_DONTCARE in every member
  xfer.Memory.Flags = TWMF_APPOWNS | TWMF_POINTER;
  xfer.Memory.Length = setup.Preferred;
  xfer.Memory.TheMem = buffer.data();

  // The source sends rows top first; the bitmap keeps the top row last.
  int row = height - 1;
  size_t rowStart = lineBytes * size_t(row);
  size_t filled = 0;             // bytes of the current source row received
  size_t sourceRow = lineBytes;  // length of a source row
  while (rc == TWRC_SUCCESS) {
    xfer.BytesWritten = 0;
    rc = Call(DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
    if (rc == TWRC_SUCCESS || rc == TWRC_XFERDONE) {
      // The source says how long its rows are (TWAIN leaves their padding to
      // it); one that does not is taken to pad them to 4 bytes as the bitmap.
      const TW_UINT32 perRow = xfer.BytesPerRow;
      if (perRow != 0 && perRow != TWON_DONTCARE32) sourceRow = perRow;
      // Never more than the buffer holds, and bytes past the last row are
      // dropped rather than written outside the bitmap.
      size_t left = std::min<size_t>(xfer.BytesWritten, buffer.size());
      const uint8_t* from = buffer.data();
      while (left > 0 && row >= 0) {
        if (filled < sourceRow) {
          const size_t n = std::min(left, sourceRow - filled);
          // Only what fits the bitmap's row is kept of a longer source row.
          if (filled < lineBytes) std::memcpy(pixels + rowStart + filled, from, std::min(n, lineBytes - filled));
          from += n;
          left -= n;
          filled += n;
        }
        if (filled >= sourceRow) {
          if (swapRgb) {
            uint8_t* p = pixels + rowStart;
            for (int x = 0; x < width; ++x) std::swap(p[3 * x], p[3 * x + 2]);
          }
          --row;
          rowStart -= lineBytes;
          filled = 0;
          Owner_->DoAcquireProgress(this, Index_, Bitmap, height - row - 1, height - 1);
        }
      }
    }
    xfer.Memory.TheMem = buffer.data();
  }
  drop.keep = rc == TWRC_XFERDONE;
  return rc;
}

bool TTwainSource::ReadMemory(HBITMAP Bitmap, bool& Cancel) {
  return Owner_->DoTwainAcquire(Owner_, Index_, Bitmap, Cancel);
}

}  // namespace skan::twain
