// Benchmark of the document pane (not a test): time from Navigate to the
// first page on screen, time from Page Down to the next page drawn, and the
// process's peak memory after paging through the whole document.
// With "phases", first times the reader's own steps on this thread, without
// the window: opening the document, the preview (which decodes the images
// and averages them down), the page itself, and the first image's decode
// alone.
// Usage: viewer_bench <pdf> [runs] [phases]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "document.h"
#include "image.h"
#include "render.h"
#include "viewer_win.h"

namespace skan::bench {

namespace {

using Clock = std::chrono::steady_clock;

bool PumpUntil(const std::function<bool()>& done, int seconds = 30) {
  auto until = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > until) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
  return true;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Rows decoded into a buffer of their own, for timing a decoder alone.
class TPlainRows final : public pdfview::IImageRows {
 public:
  uint8_t* Start(int width, int height, int channels, bool) override {
    pixels_.resize(static_cast<size_t>(width) * height * channels);
    return pixels_.data();
  }
  void Ready(int) override {}

 private:
  std::vector<uint8_t> pixels_;
};

// The first page's first image read and decoded (into a kept buffer, not
// averaged down): the decoder's share of the preview's time.
double TimeFirstImage(pdfview::TDocument& doc, TPlainRows& rows) {
  pdfview::TNeverCancel never;
  pdfview::TObject resources = doc.Resolve(doc.Page(0).resources);
  pdfview::TObject xobjects = doc.Get(resources.DictValue(), "XObject");
  if (xobjects.DictValue().Items().empty()) return 0;
  pdfview::TObject image = doc.Resolve(xobjects.DictValue().Items().front().second);
  auto start = Clock::now();
  pdfview::DecodeImage(doc, image, resources.DictValue(), never, rows);
  auto decoded = Clock::now();
  doc.CloseFile();
  return Ms(decoded - start);
}

// The reader's steps for the first page, each timed on its own.
void PrintPhases(const std::wstring& path, int runs, int width) {
  std::vector<double> open, preview, page;
  pdfview::TImageCache cache;
  pdfview::TNeverCancel never;
  for (int run = 0; run < runs; ++run) {
    cache.Clear();
    auto start = Clock::now();
    pdfview::TDocument doc(pdfview::OpenFileSource(path));
    auto opened = Clock::now();
    pdfview::TRaster quick = pdfview::RenderPage(doc, 0, width / 2, never, &cache, width);
    auto previewed = Clock::now();
    pdfview::TRaster full = pdfview::RenderPage(doc, 0, width, never, &cache);
    auto drawn = Clock::now();
    doc.CloseFile();
    open.push_back(Ms(opened - start));
    preview.push_back(Ms(previewed - opened));
    page.push_back(Ms(drawn - previewed));
    cache.GiveRaster(std::move(quick.pixels));
    cache.GiveRaster(std::move(full.pixels));
  }
  std::printf("phases: open %.1f ms, preview (with the decode) %.1f ms, page %.1f ms\n", Median(open), Median(preview),
              Median(page));
  std::vector<double> decode;
  TPlainRows rows;
  for (int run = 0; run < runs; ++run) {
    pdfview::TDocument doc(pdfview::OpenFileSource(path));
    decode.push_back(TimeFirstImage(doc, rows));
  }
  std::printf("phases: first image alone, read and decoded %.1f ms\n", Median(decode));
}

}  // namespace

int Main(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring path = argv[1];
  const int runs = argc > 2 ? _wtoi(argv[2]) : 5;
  if (argc > 3 && std::wstring(argv[3]) == L"phases")
    PrintPhases(path, runs, pdfview::TPageLayout::PageWidthFor(1920 - 176 - 4 - GetSystemMetrics(SM_CXVSCROLL), 12));
  // The main window's layout on a 1920 x 1080 screen: the pane right of the
  // 176-pixel button column.
  HWND host = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 1920, 1080, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
  pdfview::TViewerWindow viewer;
  if (!viewer.Create(host, 1, L"TBenchViewer")) return 1;
  MoveWindow(viewer.Handle(), 176, 0, 1920 - 176, 1080, TRUE);
  bool shown = false;
  viewer.OnFirstPageShown = [&] { shown = true; };

  // First page: the quick preview on screen, then the page at full quality.
  std::vector<double> first, sharp;
  for (int run = 0; run < runs; ++run) {
    shown = false;
    auto start = Clock::now();
    viewer.Navigate(path);
    if (!PumpUntil([&] {
          UpdateWindow(viewer.Handle());
          return shown;
        }))
      return 1;
    first.push_back(Ms(Clock::now() - start));
    if (!PumpUntil([&] { return viewer.ViewComplete(); })) return 1;
    sharp.push_back(Ms(Clock::now() - start));
    // Let the worker finish drawing ahead (the next page) and go idle, as
    // it is when a scan completes: a JPEG decode under way cannot be cut short.
    PumpUntil([] { return false; }, 2);
  }

  // Page through the whole document: a Page Down that brings a page not yet
  // drawn waits until the view is drawn at full quality.
  std::vector<double> turns;
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  for (int guard = 0; guard < 10000; ++guard) {
    GetScrollInfo(viewer.Handle(), SB_VERT, &si);
    if (si.nPos + static_cast<int>(si.nPage) > si.nMax) break;
    auto start = Clock::now();
    SendMessageW(viewer.Handle(), WM_KEYDOWN, VK_NEXT, 0);
    if (viewer.ViewComplete()) continue;  // the view stayed on pages drawn before
    if (PumpUntil([&] { return viewer.ViewComplete(); }, 10)) turns.push_back(Ms(Clock::now() - start));
  }
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  std::printf("first page: median %.1f ms (runs %d, min %.1f, max %.1f)\n", Median(first), runs,
              *std::min_element(first.begin(), first.end()), *std::max_element(first.begin(), first.end()));
  std::printf("first page at full quality: median %.1f ms\n", Median(sharp));
  std::printf("page down to a new page drawn: median %.1f ms over %zu turns\n", Median(turns), turns.size());
  std::printf("peak working set: %.1f MB, peak private bytes: %.1f MB\n", pmc.PeakWorkingSetSize / 1048576.0,
              pmc.PeakPagefileUsage / 1048576.0);
  DestroyWindow(host);
  return 0;
}
}  // namespace skan::bench

int wmain(int argc, wchar_t** argv) { return skan::bench::Main(argc, argv); }
