// Image codecs on Windows: the Windows Imaging Component decodes CCITT fax
// data wrapped in a one-strip TIFF (JPEG is in codecs_jpeg.cpp).
#include <windows.h>
#include <wincodec.h>

#include <cstring>
#include <vector>

#include "base/handles_win.h"
#include "image.h"

namespace skan::pdfview {

namespace {

void Check(HRESULT hr, TErrorKind kind, const char* what) {
  if (FAILED(hr)) Fail(kind, what);
}

// Decodes the first frame of an encoded picture to 8-bit grey or RGB.
TImage DecodeWithWic(const std::string& data, const GUID* container, TErrorKind failure, const char* what) {
  // COM for the calling thread (the pane's worker has no apartment of its
  // own); a thread that already has one keeps it.
  const base::TComInit com(COINIT_MULTITHREADED);
  base::TComPtr<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                         reinterpret_cast<void**>(factory.put())),
        TErrorKind::Unsupported, "the imaging component is missing");
  base::TComPtr<IWICStream> stream;
  Check(factory->CreateStream(stream.put()), failure, what);
  Check(stream->InitializeFromMemory(reinterpret_cast<BYTE*>(const_cast<char*>(data.data())),
                                     static_cast<DWORD>(data.size())),
        failure, what);
  base::TComPtr<IWICBitmapDecoder> decoder;
  if (container) Check(factory->CreateDecoder(*container, nullptr, decoder.put()), TErrorKind::Unsupported, what);
  if (container)
    Check(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand), failure, what);
  else
    Check(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.put()),
          failure, what);
  base::TComPtr<IWICBitmapFrameDecode> frame;
  Check(decoder->GetFrame(0, frame.put()), failure, what);
  UINT w = 0, h = 0;
  Check(frame->GetSize(&w, &h), failure, what);
  if (w == 0 || h == 0 || static_cast<uint64_t>(w) * h > 50'000'000ull)
    Fail(TErrorKind::TooLarge, "an image has too many pixels");
  WICPixelFormatGUID format{};
  Check(frame->GetPixelFormat(&format), failure, what);
  TImage image;
  image.width = static_cast<int>(w);
  image.height = static_cast<int>(h);
  if (format == GUID_WICPixelFormatBlackWhite) {
    // Expanded here: Wine's converter refuses 1-bit sources.
    const UINT stride = (w + 7) / 8;
    std::vector<uint8_t> bits(static_cast<size_t>(stride) * h);
    Check(frame->CopyPixels(nullptr, stride, static_cast<UINT>(bits.size()), bits.data()), failure, what);
    image.channels = 1;
    image.pixels.resize(static_cast<size_t>(w) * h);
    for (UINT y = 0; y < h; ++y)
      for (UINT x = 0; x < w; ++x)
        image.pixels[static_cast<size_t>(y) * w + x] =
            (bits[static_cast<size_t>(y) * stride + x / 8] >> (7 - x % 8)) & 1 ? 255 : 0;
    return image;
  }
  const bool grey = format == GUID_WICPixelFormat8bppGray || format == GUID_WICPixelFormat2bppGray ||
                    format == GUID_WICPixelFormat4bppGray;
  const WICPixelFormatGUID target = grey ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR;
  image.channels = grey ? 1 : 3;
  const UINT stride = w * image.channels;
  image.pixels.resize(static_cast<size_t>(stride) * h);
  if (format == target) {
    Check(frame->CopyPixels(nullptr, stride, static_cast<UINT>(image.pixels.size()), image.pixels.data()), failure,
          what);
  } else {
    base::TComPtr<IWICFormatConverter> converter;
    Check(factory->CreateFormatConverter(converter.put()), failure, what);
    Check(converter->Initialize(frame.get(), target, WICBitmapDitherTypeNone, nullptr, 0, WICBitmapPaletteTypeCustom),
          TErrorKind::Unsupported, what);
    Check(converter->CopyPixels(nullptr, stride, static_cast<UINT>(image.pixels.size()), image.pixels.data()), failure,
          what);
  }
  if (!grey)
    for (size_t i = 0; i + 2 < image.pixels.size(); i += 3) std::swap(image.pixels[i], image.pixels[i + 2]);
  return image;
}

void Put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<uint16_t>(v >> 16));
}

}  // namespace

TImage DecodeCcittFax(const std::string& data, const TDict& parms, int width, int height) {
  const int64_t k = parms.Get("K").IntValue();
  const int64_t columns = parms.Has("Columns") ? parms.Get("Columns").IntValue() : 1728;
  int64_t rows = parms.Get("Rows").IntValue();
  if (rows <= 0) rows = height;
  if (columns != width || columns <= 0 || rows <= 0 || rows > height) Damaged("a fax image's size does not match");
  // Little-endian TIFF: header, the data as one strip, then the directory.
  std::string tiff = "II";
  Put16(tiff, 42);
  const uint32_t dataAt = 8, ifdAt = static_cast<uint32_t>(8 + data.size() + (data.size() & 1));
  Put32(tiff, ifdAt);
  tiff += data;
  if (data.size() & 1) tiff += '\0';
  struct TEntry {
    uint16_t tag, type;
    uint32_t value;
  };
  const uint16_t kShort = 3, kLong = 4;
  const TEntry entries[] = {
      {256, kLong, static_cast<uint32_t>(columns)},
      {257, kLong, static_cast<uint32_t>(rows)},
      {258, kShort, 1},
      {259, kShort, static_cast<uint32_t>(k < 0 ? 4 : 3)},  // T6 (Group 4) or T4 (Group 3)
      {262, kShort, 0},                                     // white is zero: runs show as drawn
      {273, kLong, dataAt},
      {277, kShort, 1},
      {278, kLong, static_cast<uint32_t>(rows)},
      {279, kLong, static_cast<uint32_t>(data.size())},
      {k < 0 ? uint16_t(293) : uint16_t(292), kLong, static_cast<uint32_t>(k > 0 ? 1 : 0)},
  };
  Put16(tiff, static_cast<uint16_t>(std::size(entries)));
  for (const TEntry& e : entries) {
    Put16(tiff, e.tag);
    Put16(tiff, e.type);
    Put32(tiff, 1);
    if (e.type == kShort) {
      Put16(tiff, static_cast<uint16_t>(e.value));
      Put16(tiff, 0);
    } else {
      Put32(tiff, e.value);
    }
  }
  Put32(tiff, 0);
  TImage image = DecodeWithWic(tiff, &GUID_ContainerFormatTiff, TErrorKind::Unsupported,
                               "the platform cannot decode this fax image");
  if (image.channels != 1) Fail(TErrorKind::Unsupported, "the platform cannot decode this fax image");
  if (image.height < height) {
    // Fewer rows than the image claims: the rest stays white.
    image.pixels.resize(static_cast<size_t>(image.width) * height, 255);
    image.height = height;
  }
  return image;
}

}  // namespace skan::pdfview
