#include "jpeg_wic.h"

#include <windows.h>
#include <wincodec.h>

#include <vector>

#include "pdf_store.h"

namespace pdfw {

namespace {

template <class T>
struct TCom {
  T* p = nullptr;
  ~TCom() {
    if (p) p->Release();
  }
  T** put() { return &p; }
  T* operator->() const { return p; }
};

void Check(HRESULT hr, const char* step) {
  if (FAILED(hr)) throw TPdfError(kErrNotSupported, std::string("pdfwriter: JPEG encoding failed at ") + step);
}

// COM for this call only; a caller that already chose its apartment keeps it.
struct TComScope {
  bool initialised;
  TComScope() : initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
  ~TComScope() {
    if (initialised) CoUninitialize();
  }
};

}  // namespace

std::string EncodeJpeg(const uint8_t* samples, uint32_t width, uint32_t height, int components) {
  TComScope com;
  TCom<IWICImagingFactory> factory;
  Check(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                         reinterpret_cast<void**>(factory.put())),
        "the imaging factory");
  TCom<IStream> stream;
  Check(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), "the output stream");
  TCom<IWICBitmapEncoder> encoder;
  Check(factory->CreateEncoder(GUID_ContainerFormatJpeg, nullptr, encoder.put()), "the encoder");
  Check(encoder->Initialize(stream.p, WICBitmapEncoderNoCache), "the encoder's start");
  TCom<IWICBitmapFrameEncode> frame;
  TCom<IPropertyBag2> options;
  Check(encoder->CreateNewFrame(frame.put(), options.put()), "the frame");
  Check(frame->Initialize(options.p), "the frame's start");
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
  Check(GetHGlobalFromStream(stream.p, &memory), "the output");
  STATSTG stat{};
  Check(stream->Stat(&stat, STATFLAG_NONAME), "the output's size");
  const void* data = GlobalLock(memory);
  if (!data) throw TPdfError(kErrNotEnoughMemory, "pdfwriter: JPEG output cannot be read");
  std::string jpeg(static_cast<const char*>(data), static_cast<size_t>(stat.cbSize.QuadPart));
  GlobalUnlock(memory);
  return jpeg;
}

}  // namespace pdfw
