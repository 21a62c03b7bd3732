// The layer with the system's own platform calls, Wine's TWAIN_32.DLL and the
// virtual scanner: native transfers become bitmaps with the page's pixels in
// place, for a plain colour page, a grey page with a colour table, and a
// BI_BITFIELDS page (whose three colour masks come before the pixels).
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

#include "application.h"
#include "install_scanner.h"
#include "twain_manager.h"

namespace skan::twain {

namespace {

LRESULT CALLBACK AppProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

struct TPixel {
  int r, g, b;
};

class TwainWithWine : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = AppProc;
    wc.lpszClassName = L"TwainDsmTestApp";
    RegisterClassW(&wc);
    app = CreateWindowExW(0, wc.lpszClassName, L"app", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr, nullptr,
                          nullptr);
    ui::TApplication::Instance().SetMainWindow(app);
  }
  void TearDown() override { DestroyWindow(app); }

  // Scans one page natively; copies its bitmap out as top-down 24-bit pixels.
  bool ScanOnePage(const std::string& settings) {
    if (!virtual_scanner::InstallVirtualScanner(virtual_scanner::WinePathOf(VIRTUAL_SCANNER_DS), settings))
      return false;
    TTwainManager manager;
    manager.SetLibraryLoaded(true);
    manager.SetSourceManagerLoaded(true);
    if (manager.SourceCount() == 0) return false;
    bool complete = false;
    manager.OnTwainAcquire = [&](TTwainObject*, int, TTwainBitmap& image, bool&) {
      BITMAP bm{};
      GetObjectW(image.Handle(), sizeof bm, &bm);
      width = bm.bmWidth;
      height = bm.bmHeight;
      BITMAPINFO bi{};
      bi.bmiHeader.biSize = sizeof bi.bmiHeader;
      bi.bmiHeader.biWidth = width;
      bi.bmiHeader.biHeight = -height;
      bi.bmiHeader.biPlanes = 1;
      bi.bmiHeader.biBitCount = 24;
      stride = ((width * 3 + 3) / 4) * 4;
      pixels.assign(size_t(stride) * height, 0);
      HDC dc = GetDC(nullptr);
      GetDIBits(dc, image.Handle(), 0, UINT(height), pixels.data(), &bi, DIB_RGB_COLORS);
      ReleaseDC(nullptr, dc);
    };
    manager.OnTransferComplete = [&](TTwainObject*, int, bool) { complete = true; };
    TTwainSource* source = manager.Source(0);  // the virtual scanner, listed first
    source->SetLoaded(true);
    source->SetEnabled(true);  // native is the default mode
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!complete && std::chrono::steady_clock::now() < end) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(5);
    }
    return complete;
  }
  TPixel At(int x, int y) const {
    const uint8_t* p = pixels.data() + size_t(y) * stride + 3 * x;
    return {p[2], p[1], p[0]};
  }

  HWND app = nullptr;
  int width = 0, height = 0, stride = 0;
  std::vector<uint8_t> pixels;
};

TEST_F(TwainWithWine, NativePagesKeepTheirPixelsInPlace) {
  struct {
    const char* settings;
    TPixel redSquare;
  } cases[] = {
      {"PixelType=RGB\r\n", {255, 0, 0}},
      {"PixelType=Gray\r\n", {76, 76, 76}},
      {"PixelType=RGB\r\nNativeBitfields=1\r\n", {255, 0, 0}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.settings);
    ASSERT_TRUE(ScanOnePage(c.settings));
    ASSERT_EQ(width, 413);  // A4 at 50 dpi
    ASSERT_EQ(height, 585);
    const TPixel red = At(50, 50), border = At(0, height / 2), inside = At(width - 3, height / 2),
                 white = At(width - 50, height - 50);
    EXPECT_EQ(red.r, c.redSquare.r);
    EXPECT_EQ(red.g, c.redSquare.g);
    EXPECT_EQ(red.b, c.redSquare.b);
    // Pixels read from the wrong place shift each row: the black border at
    // the left edge would show the white of the row before.
    EXPECT_EQ(border.r + border.g + border.b, 0);
    EXPECT_EQ(inside.r + inside.g + inside.b, 3 * 255);
    EXPECT_EQ(white.r + white.g + white.b, 3 * 255);
  }
}

}  // namespace

}  // namespace skan::twain
