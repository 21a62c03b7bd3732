#include "jpeg_wic.h"

#include <windows.h>
#include <wincodec.h>

#include <vector>

#include "base/handles_win.h"
#include "pdf_store.h"

namespace skan::pdfwriter {

namespace {

void Check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw TPdfError(kErrNotSupported, std::string("pdfwriter: JPEG encoding failed at ") + step);
}

}  // namespace

std::string EncodeJpeg(const uint8_t* samples, uint32_t width, uint32_t height, int components) {
  // COM for this call only; a caller that already chose its apartment keeps it.
  const base::TComInit com(COINIT_APARTMENTTHREADED);
  base::TComPtr<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                         reinterpret_cast<void**>(factory.put())),
        "the imaging factory");
  base::TComPtr<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), "the output stream");
  base::TComPtr<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put()), "the encoder");
  Check(encoder->Initialize(stream.get(), WICBitmapEncoderNoCache), "the encoder's start");
  base::TComPtr<IWICBitmapFrameEncode> frame;
  base::TComPtr<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(frame.put(), options.put()), "the frame");
  Check(frame->Initialize(options.get()), "the frame's start");
  Check(frame->SetSize(width, height), "the size");
  WICPixelFormatGUID format = components == 1 ? GUID_WICPixelFormat8bppGray : GUID_WICPixelFormat24bppBGR;
  const WICPixelFormatGUID wanted = format;
  Check(frame->SetPixelFormat(&format), "the pixel format");
  if (format != wanted) throw TPdfError(kErrNotSupported, "pdfwriter: the JPEG encoder refuses the pixel format");

  // WIC takes blue-green-red; write the rows in bands to bound the copy.
  const UINT stride = width * static_cast<UINT>(components);
  const uint32_t band = 64;
  std::vector<uint8_t> rows;
  for (uint32_t y = 0; y < height; y += band) {
    const uint32_t n = height - y < band ? height - y : band;
    rows.assign(samples + size_t{stride} * y, samples + size_t{stride} * (y + n));
    if (components == 3)
      for (size_t i = 0; i + 2 < rows.size(); i += 3) std::swap(rows[i], rows[i + 2]);
    Check(frame->WritePixels(n, stride, static_cast<UINT>(rows.size()), rows.data()), "the pixels");
  }
  Check(frame->Commit(), "the frame's end");
  Check(encoder->Commit(), "the encoder's end");

  HGLOBAL memory = nullptr;
  Check(GetHGlobalFromStream(stream.get(), &memory), "the output");
  STATSTG stat{};
  Check(stream->Stat(&stat, STATFLAG_NONAME), "the output's size");
  const base::TGlobalLock<const char> data(memory);
  if (!data) throw TPdfError(kErrNotEnoughMemory, "pdfwriter: JPEG output cannot be read");
  return std::string(data.get(), static_cast<size_t>(stat.cbSize.QuadPart));
}

}  // namespace skan::pdfwriter
