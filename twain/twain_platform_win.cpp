#include <windows.h>

#include <algorithm>
#include <cstring>

#include "twain_platform.h"

namespace skan::twain {

namespace {

// Asks for a folder into a 261-character buffer, passing 260; when the
// answer is longer, asks again with a buffer of that length plus one.
template <class Query>
std::wstring AskFolder(Query query) {
  std::wstring buf(261, L'\0');
  DWORD n = query(buf.data(), 260);
  if (n > 260) {
    buf.assign(n + 1, L'\0');
    n = query(buf.data(), n + 1);
  }
  buf.resize(n <= buf.size() ? n : 0);
  return buf;
}

class TWin32Platform final : public TTwainPlatform {
 public:
  std::wstring Folder(TDirectoryKind kind) override {
    switch (kind) {
      case dkWindows: return AskFolder([](wchar_t* b, DWORD n) { return DWORD(GetWindowsDirectoryW(b, n)); });
      case dkSystem: return AskFolder([](wchar_t* b, DWORD n) { return DWORD(GetSystemDirectoryW(b, n)); });
      case dkApplication: {
        // GetModuleFileNameW does not report the length it would need.
        std::wstring buf(261, L'\0');
        for (;;) {
          DWORD n = GetModuleFileNameW(nullptr, buf.data(), DWORD(buf.size()));
          if (n < buf.size()) {
            buf.resize(n);
            return buf;
          }
          buf.resize(buf.size() * 2);
        }
      }
      case dkCurrent: return AskFolder([](wchar_t* b, DWORD n) { return GetCurrentDirectoryW(n, b); });
      case dkTemp: return AskFolder([](wchar_t* b, DWORD n) { return GetTempPathW(n, b); });
    }
    return {};
  }
  bool FileExists(const std::wstring& path) override {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(path.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return true;
  }
  HMODULE LoadLibraryModule(const std::wstring& path) override { return LoadLibraryW(path.c_str()); }
  DSMENTRYPROC EntryByOrdinal1(HMODULE module) override {
    return reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(1))));
  }
  bool FreeLibraryModule(HMODULE module) override { return FreeLibrary(module) != 0; }
  POINT CursorPos() override {
    POINT pt{};
    GetCursorPos(&pt);
    return pt;
  }
  void* LockGlobal(TW_HANDLE handle, size_t& size) override {
    size = GlobalSize(handle);
    return GlobalLock(handle);
  }
  void UnlockGlobal(TW_HANDLE handle) override { GlobalUnlock(handle); }
  void FreeGlobal(TW_HANDLE handle) override { GlobalFree(handle); }
  HBITMAP MakeBitmap(HWND window, const void* header, const void* pixels, size_t pixelBytes) override {
    HDC dc = GetDC(window);
    void* bits = nullptr;
    const auto* info = static_cast<const BITMAPINFO*>(header);
    HBITMAP bitmap = CreateDIBSection(dc, info, DIB_RGB_COLORS, &bits, nullptr, 0);
    DIBSECTION section{};
    if (bitmap && bits && GetObjectW(bitmap, sizeof section, &section) == int(sizeof section)) {
      const size_t rows = size_t(section.dsBm.bmHeight);
      const size_t stride = ((size_t(section.dsBmih.biBitCount) * size_t(section.dsBm.bmWidth) + 31) / 32) * 4;
      std::memcpy(bits, pixels, std::min(pixelBytes, rows * stride));
    } else {
      if (bitmap) DeleteObject(bitmap);
      bitmap = CreateDIBitmap(dc, &info->bmiHeader, CBM_INIT, pixels, info, DIB_RGB_COLORS);
    }
    ReleaseDC(window, dc);
    return bitmap;
  }
  bool PackedDib(HBITMAP bitmap, std::vector<uint8_t>& dib) override {
    DIBSECTION section{};
    BITMAP plain{};
    int width = 0, height = 0, bits = 24;
    DWORD compression = BI_RGB, colors = 0;
    LONG xppm = 0, yppm = 0;
    if (GetObjectW(bitmap, sizeof section, &section) == int(sizeof section)) {
      width = section.dsBm.bmWidth;
      height = section.dsBm.bmHeight;
      bits = section.dsBmih.biBitCount;
      xppm = section.dsBmih.biXPelsPerMeter;
      yppm = section.dsBmih.biYPelsPerMeter;
      if (bits <= 8) {
        const DWORD all = DWORD(1) << bits;
        colors = section.dsBmih.biClrUsed && section.dsBmih.biClrUsed < all ? section.dsBmih.biClrUsed : all;
      } else if (section.dsBmih.biCompression == BI_BITFIELDS && (bits == 16 || bits == 32)) {
        compression = BI_BITFIELDS;
      }
    } else if (GetObjectW(bitmap, sizeof plain, &plain) == int(sizeof plain)) {
      width = plain.bmWidth;
      height = plain.bmHeight;
    } else {
      return false;
    }
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
      bits = 24, compression = BI_RGB, colors = 0;
    }
    if (width <= 0 || height <= 0) return false;
    const size_t stride = ((size_t(bits) * size_t(width) + 31) / 32) * 4;
    const size_t tail = (compression == BI_BITFIELDS ? 12 : 0) + 4 * size_t(colors);
    // GetDIBits writes a whole colour table (or the three masks) after the header.
    std::vector<uint8_t> info(sizeof(BITMAPINFOHEADER) + 256 * 4, 0);
    auto* h = reinterpret_cast<BITMAPINFOHEADER*>(info.data());
    h->biSize = sizeof(BITMAPINFOHEADER);
    h->biWidth = width;
    h->biHeight = height;  // rows bottom-up, whatever the bitmap's own order
    h->biPlanes = 1;
    h->biBitCount = WORD(bits);
    h->biCompression = compression;
    h->biClrUsed = colors;
    dib.assign(sizeof(BITMAPINFOHEADER) + tail + stride * size_t(height), 0);
    HDC dc = GetDC(nullptr);
    const int rows = GetDIBits(dc, bitmap, 0, UINT(height), dib.data() + sizeof(BITMAPINFOHEADER) + tail,
                               reinterpret_cast<BITMAPINFO*>(info.data()), DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    if (rows != height) return false;
    h->biCompression = compression;
    h->biSizeImage = DWORD(stride * size_t(height));
    h->biXPelsPerMeter = xppm;
    h->biYPelsPerMeter = yppm;
    h->biClrUsed = colors;
    h->biClrImportant = 0;
    std::memcpy(dib.data(), info.data(), sizeof(BITMAPINFOHEADER) + tail);
    return true;
  }
  void FreeBitmap(HBITMAP bitmap) override { DeleteObject(bitmap); }
  TW_HANDLE AllocGlobal(size_t size) override { return GlobalAlloc(GHND, size); }
  HBITMAP MakeSection(HWND window, const void* info) override {
    HDC dc = GetDC(window);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, static_cast<const BITMAPINFO*>(info), DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(window, dc);
    return bitmap;
  }
  bool SectionPixels(HBITMAP bitmap, int& width, int& height, int& bitsPerPixel, uint8_t*& bits) override {
    DIBSECTION section{};
    if (GetObjectW(bitmap, sizeof section, &section) != int(sizeof section) || !section.dsBm.bmBits) return false;
    width = section.dsBm.bmWidth;
    height = section.dsBm.bmHeight;
    bitsPerPixel = section.dsBm.bmBitsPixel;
    bits = static_cast<uint8_t*>(section.dsBm.bmBits);
    return true;
  }
  wchar_t DecimalSeparator() override {
    wchar_t text[8] = L".";
    return GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, text, 8) > 1 ? text[0] : L'.';
  }
};

TWin32Platform gSystem;
TTwainPlatform* gPlatform = &gSystem;

}  // namespace

TTwainPlatform& TwainPlatform() { return *gPlatform; }
void SetTwainPlatform(TTwainPlatform* platform) { gPlatform = platform ? platform : &gSystem; }

}  // namespace skan::twain
