// Capabilities and memory transfer through the layer, Wine's TWAIN_32.DLL and
// the virtual scanner: settings read back as set, and memory-mode pages equal
// to the file-mode pages of the same settings, byte for byte.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "application.h"
#include "install_scanner.h"
#include "page_image.h"
#include "twain_manager.h"
#include "twain_source.h"

namespace skan::twain {

namespace {

LRESULT CALLBACK AppProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

std::wstring TempFile(const wchar_t* name) {
  wchar_t buf[MAX_PATH];
  return std::wstring(buf, GetTempPathW(MAX_PATH, buf)) + name;
}

// One page as the layer handed it over (or as the file holds it): the header
// values that matter, the colour table and the bottom-up pixel rows.
struct TPage {
  int width = 0, height = 0, bits = 0;
  std::vector<RGBQUAD> colors;
  std::vector<uint8_t> pixels;
};

bool PageFromBitmap(HBITMAP bitmap, TPage& page) {
  DIBSECTION ds{};
  if (GetObjectW(bitmap, sizeof ds, &ds) != int(sizeof ds) || !ds.dsBm.bmBits) return false;
  page.width = ds.dsBm.bmWidth;
  page.height = ds.dsBm.bmHeight;
  page.bits = ds.dsBm.bmBitsPixel;
  const auto* bits = static_cast<const uint8_t*>(ds.dsBm.bmBits);
  page.pixels.assign(bits, bits + size_t(ds.dsBm.bmWidthBytes) * page.height);
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, bitmap);
  RGBQUAD table[256];
  page.colors.assign(table, table + GetDIBColorTable(dc, 0, 256, table));
  SelectObject(dc, old);
  DeleteDC(dc);
  return true;
}

bool PageFromFile(const std::wstring& path, TPage& page) {
  virtual_scanner::TDib dib;
  virtual_scanner::TDibInfo info;
  if (!virtual_scanner::DibFromBmpFile(virtual_scanner::ReadFileBytesW(path), dib) ||
      !virtual_scanner::DescribeDib(dib, info))
    return false;
  page.width = info.width;
  page.height = info.height;
  page.bits = info.bitCount;
  const auto* table = reinterpret_cast<const RGBQUAD*>(dib.data() + info.headerSize);
  page.colors.assign(table, table + info.colors);
  page.pixels.assign(dib.begin() + info.pixelOffset, dib.end());
  return true;
}

bool SameColor(const RGBQUAD& a, const RGBQUAD& b) {
  return a.rgbRed == b.rgbRed && a.rgbGreen == b.rgbGreen && a.rgbBlue == b.rgbBlue;
}

class CapsWithWine : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = AppProc;
    wc.lpszClassName = L"TwainCapsDsmTestApp";
    RegisterClassW(&wc);
    app = CreateWindowExW(0, wc.lpszClassName, L"app", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr, nullptr,
                          nullptr);
    ui::TApplication::Instance().SetMainWindow(app);
  }
  void TearDown() override { DestroyWindow(app); }

  // Opens the virtual scanner with the given settings, lets `negotiate` set
  // it up, and scans one batch in the given mode. File pages go to
  // vscan_caps_<n>.bmp in the temporary folder; memory pages land in `pages`.
  bool Scan(const std::string& settings, TTwainTransferMode mode,
            const std::function<void(TTwainSource&)>& negotiate = {}) {
    pages.clear();
    progress.clear();
    events.clear();
    firstProgressBitmap = nullptr;
    if (!virtual_scanner::InstallVirtualScanner(virtual_scanner::WinePathOf(VIRTUAL_SCANNER_DS), settings))
      return false;
    TTwainManager manager;
    manager.SetLibraryLoaded(true);
    manager.SetSourceManagerLoaded(true);
    if (manager.SourceCount() == 0) return false;
    bool complete = false;
    int fileNo = 0;
    manager.OnSourceSetupFileXfer = [&](TTwainObject*, int index) {
      manager.Source(index)->SetupFileTransfer(TempFile((L"vscan_caps_" + std::to_wstring(++fileNo) + L".bmp").c_str()),
                                               tfBMP);
    };
    manager.OnSourceFileTransfer = [&](TTwainObject*, int, const TW_STR255&, TTwainFormat, bool&) {
      events.push_back("file");
    };
    manager.OnTwainAcquire = [&](TTwainObject*, int, TTwainBitmap& image, bool&) {
      events.push_back("acquire");
      pages.emplace_back();
      EXPECT_TRUE(PageFromBitmap(image.Handle(), pages.back()));
    };
    manager.OnAcquireProgress = [&](TTwainObject*, int, HBITMAP image, int current, int total) {
      if (!firstProgressBitmap) firstProgressBitmap = image;
      progress.push_back(std::to_string(current) + "/" + std::to_string(total));
    };
    manager.OnAcquireCancel = [&](TTwainObject*, int) { events.push_back("cancel"); };
    manager.OnAcquireError = [&](TTwainObject*, int, int code, int condition) {
      events.push_back("error(" + std::to_string(code) + "," + std::to_string(condition) + ")");
    };
    manager.OnTransferComplete = [&](TTwainObject*, int, bool) { complete = true; };
    TTwainSource* source = manager.Source(0);  // the virtual scanner, listed first
    source->SetLoaded(true);
    if (!source->Loaded()) return false;
    if (negotiate) negotiate(*source);
    source->SetTransferMode(mode);
    source->SetEnabled(true);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!complete && std::chrono::steady_clock::now() < end) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(5);
    }
    return complete;
  }

  HWND app = nullptr;
  std::vector<TPage> pages;
  std::vector<std::string> progress;
  std::vector<std::string> events;
  HBITMAP firstProgressBitmap = nullptr;
};

void Grey150A5(TTwainSource& s) {
  EXPECT_EQ(s.SetIXResolution(150), crSuccess);
  EXPECT_EQ(s.SetIYResolution(150), crSuccess);
  EXPECT_EQ(s.SetIPixelType(tbdGray), crSuccess);
  EXPECT_EQ(s.SetPaperSize(tpsA5), crSuccess);
}

TEST_F(CapsWithWine, SettingsReadBackAsSet) {
  ASSERT_TRUE(Scan("Pages=1\r\n", ttmFile, [](TTwainSource& s) {
    Grey150A5(s);
    double dpi = 0;
    TTwainResolution offered;
    EXPECT_EQ(s.GetIXResolution(dpi, offered), crSuccess);
    EXPECT_EQ(dpi, 150);
    EXPECT_EQ(offered, (TTwainResolution{50, 75, 100, 150, 200, 300, 600, 1200}));
    EXPECT_EQ(s.GetIYResolution(dpi, offered), crSuccess);
    EXPECT_EQ(dpi, 150);
    TTwainPixelType type = tbdUnknown;
    TTwainPixelTypeSet types;
    EXPECT_EQ(s.GetIPixelType(type, types), crSuccess);
    EXPECT_EQ(type, tbdGray);
    EXPECT_EQ(types, (TTwainPixelTypeSet{tbdBw, tbdGray, tbdRgb, tbdPalette}));
    uint16_t depth = 0;
    TTwainBitDepth depths;
    EXPECT_EQ(s.GetIBitDepth(depth, depths), crSuccess);
    EXPECT_EQ(depth, 8);
    TW_UINT16 itemType = 0;
    TGetCapabilityList sizes;
    int32_t current = -1, def = -1;
    EXPECT_EQ(s.GetEnumerationValue(ICAP_SUPPORTEDSIZES, itemType, sizes, current, def), crSuccess);
    ASSERT_GE(current, 0);
    ASSERT_LT(size_t(current), sizes.size());
    EXPECT_EQ(sizes[size_t(current)], L"5");  // A5
    // The current value alone comes as a one value.
    std::wstring text;
    EXPECT_EQ(s.GetOneValue(ICAP_XRESOLUTION, itemType, text, rcGetCurrent), crSuccess);
    EXPECT_EQ(itemType, TWTY_FIX32);
    EXPECT_EQ(text.substr(0, 3), L"150");
    TTwainUnit unit = tuUnknown;
    TTwainUnitSet units;
    EXPECT_EQ(s.GetICapUnits(unit, units), crSuccess);
    EXPECT_EQ(unit, tuInches);
    EXPECT_EQ(units.size(), 6u);
    TTwainPixelFlavor flavor = tpfUnknown;
    TTwainPixelFlavorSet flavors;
    EXPECT_EQ(s.GetIPixelFlavor(flavor, flavors), crSuccess);
    EXPECT_EQ(flavor, tpfChocolate);

    bool flag = false;
    EXPECT_EQ(s.GetUIControllable(flag), crSuccess);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.GetFeederEnabled(flag), crSuccess);
    EXPECT_FALSE(flag);
    EXPECT_EQ(s.SetFeederEnabled(1), crSuccess);
    EXPECT_EQ(s.GetFeederEnabled(flag), crSuccess);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.GetFeederLoaded(flag), crSuccess);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.SetAutoFeed(1), crSuccess);
    EXPECT_EQ(s.GetAutofeed(flag), crSuccess);
    EXPECT_TRUE(flag);
    EXPECT_EQ(s.SetFeederEnabled(0), crSuccess);
    for (auto set : {&TTwainSource::SetIndicators, &TTwainSource::SetAutoBorderDetection, &TTwainSource::SetAutoDeskew,
                     &TTwainSource::SetAutoRotate, &TTwainSource::SetUndefinedImageSize})
      EXPECT_EQ((s.*set)(true), crSuccess);
    EXPECT_EQ(s.SetOrientation(torLandscape), crSuccess);
    EXPECT_EQ(s.SetAutoSize(tasAuto), crSuccess);
    EXPECT_EQ(s.SetCapXferCount(1), crSuccess);
    int16_t count = 0;
    EXPECT_EQ(s.GetCapXferCount(count), crSuccess);
    EXPECT_EQ(count, 1);

    double width = 0, height = 0;
    EXPECT_EQ(s.GetIPhysicalWidth(width), crSuccess);
    EXPECT_EQ(s.GetIPhysicalHeight(height), crSuccess);
    EXPECT_NEAR(width, 250 / 25.4, 0.001);
    EXPECT_NEAR(height, 356 / 25.4, 0.001);

    // Refusals map to results.
    EXPECT_EQ(s.SetIXResolution(10), crBadOperation);
    EXPECT_EQ(s.GetOneValue(0x8001, itemType, text), crUnsupported);  // a capability it does not have
    EXPECT_EQ(s.GetArrayValue(ICAP_UNITS, itemType, sizes), crInvalidContainer);
  }));
  // The page follows the settings: A5 at 150 dots per inch, 8-bit grey.
  TPage file;
  ASSERT_TRUE(PageFromFile(TempFile(L"vscan_caps_1.bmp"), file));
  EXPECT_EQ(file.width, 874);    // 148 mm
  EXPECT_EQ(file.height, 1240);  // 210 mm
  EXPECT_EQ(file.bits, 8);
}

TEST_F(CapsWithWine, MemoryPagesEqualFilePages) {
  const struct {
    const char* name;
    std::string settings;
    std::function<void(TTwainSource&)> negotiate;
    int width, height;
    bool sameTable;  // false: the colour table is checked apart
  } cases[] = {
      {"150 dpi, grey, A5", "Pages=1\r\n", Grey150A5, 874, 1240, true},
      // Rows of 1240 bytes in buffers of 1000: buffers end inside rows.
      {"colour, buffers ending inside rows", "Pages=1\r\nPixelType=RGB\r\nMemBufferSize=1000\r\n", {}, 413, 585, true},
      {"black and white, no readable pixel flavour",
       "Pages=1\r\nPixelType=BW\r\nNoPixelFlavor=1\r\n",
       {},
       413,
       585,
       true},
      {"palette", "Pages=1\r\nPixelType=Palette\r\n", {}, 413, 585, true},
      {"palette that cannot be read", "Pages=1\r\nPixelType=Palette\r\nPalette8Fails=1\r\n", {}, 413, 585, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW(TempFile(L"vscan_caps_1.bmp").c_str());
    ASSERT_TRUE(Scan(c.settings, ttmFile, c.negotiate));
    TPage file;
    ASSERT_TRUE(PageFromFile(TempFile(L"vscan_caps_1.bmp"), file));
    ASSERT_TRUE(Scan(c.settings, ttmMemory, c.negotiate));
    EXPECT_EQ(events, (std::vector<std::string>{"acquire"}));
    ASSERT_EQ(pages.size(), 1u);
    const TPage& memory = pages[0];
    EXPECT_EQ(memory.width, c.width);
    EXPECT_EQ(memory.height, c.height);
    EXPECT_EQ(memory.width, file.width);
    EXPECT_EQ(memory.height, file.height);
    EXPECT_EQ(memory.bits, file.bits);
    EXPECT_TRUE(memory.pixels == file.pixels);
    EXPECT_EQ(progress.size(), size_t(c.height));
    EXPECT_EQ(progress.back(), std::to_string(c.height) + "/" + std::to_string(c.height - 1));
    if (c.sameTable) {
      ASSERT_EQ(memory.colors.size(), file.colors.size());
      for (size_t i = 0; i < file.colors.size(); ++i) EXPECT_TRUE(SameColor(memory.colors[i], file.colors[i])) << i;
    } else {
      // A grey ramp in place of the palette it could not read.
      ASSERT_EQ(memory.colors.size(), 256u);
      for (int i = 0; i < 256; ++i)
        EXPECT_TRUE(SameColor(memory.colors[size_t(i)], RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0})) << i;
    }
  }
  // Black and white without a pixel flavour: entry 0 black, entry 1 white.
  ASSERT_TRUE(Scan("Pages=1\r\nPixelType=BW\r\nNoPixelFlavor=1\r\n", ttmMemory));
  ASSERT_EQ(pages.size(), 1u);
  ASSERT_EQ(pages[0].colors.size(), 2u);
  EXPECT_TRUE(SameColor(pages[0].colors[0], RGBQUAD{0, 0, 0, 0}));
  EXPECT_TRUE(SameColor(pages[0].colors[1], RGBQUAD{255, 255, 255, 0}));
}

// A frame of three rows over the red square: one buffer holds the page.
TEST_F(CapsWithWine, ThreeRgbRowsInOneBuffer) {
  auto frame = [](TTwainSource& s) {
    EXPECT_EQ(s.SetIPixelType(tbdRgb), crSuccess);
    EXPECT_EQ(s.SetIXResolution(100), crSuccess);
    EXPECT_EQ(s.SetImagelayoutFrame(0.5, 0.5, 1.0, 0.53), crSuccess);
  };
  ASSERT_TRUE(Scan("Pages=1\r\n", ttmMemory, frame));
  EXPECT_EQ(progress, (std::vector<std::string>{"1/2", "2/2", "3/2"}));
  ASSERT_EQ(pages.size(), 1u);
  const TPage page = pages[0];  // the next scan clears the list
  EXPECT_EQ(page.width, 50);
  EXPECT_EQ(page.height, 3);
  ASSERT_EQ(page.bits, 24);
  // Red in the bitmap's blue-green-red order.
  for (int y = 0; y < 3; ++y) {
    const uint8_t* p = page.pixels.data() + size_t(y) * 152 + 3 * 10;
    EXPECT_EQ(p[0], 0) << y;
    EXPECT_EQ(p[1], 0) << y;
    EXPECT_EQ(p[2], 255) << y;
  }
  ASSERT_TRUE(Scan("Pages=1\r\n", ttmFile, frame));
  TPage file;
  ASSERT_TRUE(PageFromFile(TempFile(L"vscan_caps_1.bmp"), file));
  EXPECT_TRUE(file.pixels == page.pixels);
}

TEST_F(CapsWithWine, ACancelInTheMiddleOfAPageLeavesNoBitmap) {
  ASSERT_TRUE(Scan("Pages=2\r\nPixelType=Gray\r\nCancelAtPage=1\r\nMemBufferSize=4096\r\n", ttmMemory));
  EXPECT_EQ(events, (std::vector<std::string>{"cancel"}));
  EXPECT_TRUE(pages.empty());
  // Half the page's rows arrived before the cancel.
  EXPECT_GT(progress.size(), 100u);
  EXPECT_LT(progress.size(), 585u);
  ASSERT_NE(firstProgressBitmap, nullptr);
  BITMAP bm;
  EXPECT_EQ(GetObjectW(firstProgressBitmap, sizeof bm, &bm), 0);  // deleted
}

}  // namespace

}  // namespace skan::twain
