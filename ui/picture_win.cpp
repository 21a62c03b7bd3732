#include "picture.h"

#include <wincodec.h>

#include <cstdint>
#include <cstring>

#include "base/handles_win.h"

namespace skan::ui {
namespace {

HBITMAP CreateDib(int side, void** bits) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = side;
  bi.bmiHeader.biHeight = -side;  // top-down rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  return CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, bits, nullptr, 0);
}

}  // namespace

void TPicture::Clear() {
  if (normal_) DeleteObject(normal_);
  if (grey_) DeleteObject(grey_);
  normal_ = grey_ = nullptr;
  side_ = 0;
}

bool TPicture::Load(const void* png, size_t size, int side) {
  Clear();
  if (!png || size == 0 || side <= 0) return false;
  base::TComPtr<IWICImagingFactory> factory;
  base::TComPtr<IWICStream> stream;
  base::TComPtr<IWICBitmapDecoder> decoder;
  base::TComPtr<IWICBitmapFrameDecode> frame;
  base::TComPtr<IWICFormatConverter> converter;
  base::TComPtr<IWICBitmapScaler> scaler;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              factory.put_void())) ||
      FAILED(factory->CreateStream(stream.put())) ||
      FAILED(stream->InitializeFromMemory(static_cast<BYTE*>(const_cast<void*>(png)), static_cast<DWORD>(size))) ||
      FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand, decoder.put())) ||
      FAILED(decoder->GetFrame(0, frame.put())) || FAILED(factory->CreateFormatConverter(converter.put())) ||
      FAILED(converter->Initialize(frame.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(factory->CreateBitmapScaler(scaler.put())) ||
      FAILED(scaler->Initialize(converter.get(), static_cast<UINT>(side), static_cast<UINT>(side),
                                WICBitmapInterpolationModeFant))) {
    return false;
  }

  void* bits = nullptr;
  normal_ = CreateDib(side, &bits);
  if (!normal_) return false;
  const UINT stride = static_cast<UINT>(side) * 4;
  if (FAILED(scaler->CopyPixels(nullptr, stride, stride * static_cast<UINT>(side), static_cast<BYTE*>(bits)))) {
    Clear();
    return false;
  }

  // The disabled look: luminance, at half the opacity (values stay
  // premultiplied).
  void* greyBits = nullptr;
  grey_ = CreateDib(side, &greyBits);
  if (grey_) {
    const auto* src = static_cast<const uint8_t*>(bits);
    auto* dst = static_cast<uint8_t*>(greyBits);
    for (size_t i = 0; i < size_t(side) * size_t(side); ++i, src += 4, dst += 4) {
      unsigned y = (src[0] * 29u + src[1] * 150u + src[2] * 77u) >> 8;
      dst[0] = dst[1] = dst[2] = static_cast<uint8_t>(y / 2);
      dst[3] = static_cast<uint8_t>(src[3] / 2);
    }
  }
  side_ = side;
  return true;
}

bool TPicture::LoadResource(const wchar_t* name, int side) {
  HMODULE module = GetModuleHandleW(nullptr);
  HRSRC res = FindResourceW(module, name, MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!res) return false;
  HGLOBAL data = ::LoadResource(module, res);
  return data && Load(LockResource(data), SizeofResource(module, res), side);
}

void TPicture::Draw(HDC dc, int x, int y, bool disabled) const {
  HBITMAP bitmap = disabled && grey_ ? grey_ : normal_;
  if (!bitmap) return;
  const base::TDC mem(CreateCompatibleDC(dc));
  const base::TSelectObject selected(mem.get(), bitmap);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  AlphaBlend(dc, x, y, side_, side_, mem.get(), 0, 0, side_, side_, blend);
}

}  // namespace skan::ui
