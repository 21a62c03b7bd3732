// The end of a scan batch without the scanner and the window: page files
// land in a temporary folder one every <delay> ms, as a feeder delivers
// them, each handed to the page pipeline as the host hands it; after the
// last one the host's own completion runs (the PDF, its Base64 export) and
// the time from the last page file to "Redy_SCAN" is printed, with the
// process's peak memory. With OCR_LANGUAGES set ("pol+eng"), each page's
// words are recognised as the host does it, with the models beside the
// program (tessdata\).
//   batch_end_bench.exe <delay ms> <page.bmp>...
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "create_valid_pdf.h"
#include "page_ocr.h"
#include "page_pipeline.h"
#include "pdf/pdf_binding.h"
#include "scan_completion.h"

namespace {

using TClock = std::chrono::steady_clock;

class TBenchHost : public skan::TScanCompletionHost {
 public:
  TBenchHost(std::vector<std::wstring> lista, std::wstring temp, std::unique_ptr<skan::TPagePipeline> pipeline,
             std::shared_ptr<skan::TPageOcr> ocr)
      : lista_(std::move(lista)), temp_(std::move(temp)), pipeline_(std::move(pipeline)), ocr_(std::move(ocr)) {}
  const std::vector<std::wstring>* Lista() override { return &lista_; }
  void ReleaseLista() override {}
  void SetFilename(const std::wstring& filename) override { filename_ = filename; }
  void SetScanStatus(const std::wstring& status) override {
    if (status == L"Redy_SCAN") ready_ = TClock::now();
  }
  void WriteMessage(const std::string&) override {}
  void AppendLog(const std::wstring&) override {
    if (saved_ == TClock::time_point{}) saved_ = TClock::now();  // the first line names the saved PDF
  }
  std::wstring ScanId() override { return L""; }
  void Navigate(const std::wstring&) override {}
  std::wstring TempFolder() override { return temp_; }
  std::unique_ptr<skan::TPagePipeline> TakePipeline() override { return std::move(pipeline_); }
  std::shared_ptr<skan::TPageOcr> TakePageOcr() override { return ocr_; }

  TClock::time_point saved_{}, ready_{};
  std::wstring filename_;

 private:
  std::vector<std::wstring> lista_;
  std::wstring temp_;
  std::unique_ptr<skan::TPagePipeline> pipeline_;
  std::shared_ptr<skan::TPageOcr> ocr_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: batch_end_bench <delay ms> <page.bmp>...\n");
    return 2;
  }
  const int delayMs = _wtoi(argv[1]);
  // As in pdf_bench: the host's window has loaded the display driver already.
  if (HDC screen = GetDC(nullptr)) ReleaseDC(nullptr, screen);
  wchar_t tempPath[MAX_PATH];
  GetTempPathW(MAX_PATH, tempPath);
  const std::wstring temp = tempPath;
  std::vector<std::wstring> lista;
  try {
    // COMPRESSION=lossless draws the pages as before; compact otherwise, as
    // a request does by default. OCR_LANGUAGES (e.g. pol+eng) turns
    // recognition on.
    const wchar_t* compression = _wgetenv(L"COMPRESSION");
    const uint32_t drawFlags = compression && std::wstring(compression) == L"lossless"
                                   ? skan::pdf::PdfWriterDrawFlag_None
                                   : skan::pdf::PdfWriterDrawFlag_CompactImages;
    std::shared_ptr<skan::TPageOcr> ocr;
    const char* languages = std::getenv("OCR_LANGUAGES");
    if (languages && *languages) ocr = std::make_shared<skan::TPageOcr>(skan::OcrDataFolder(), languages);
    auto pipeline = std::make_unique<skan::TPagePipeline>(temp, nullptr, drawFlags, ocr);
    TClock::time_point last{};
    for (int i = 2; i < argc; ++i) {
      if (i > 2) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      const std::wstring page = temp + L"batch_end_bench_" + std::to_wstring(i - 2) + L".bmp";
      if (!CopyFileW(argv[i], page.c_str(), FALSE)) throw std::runtime_error("cannot copy a page");
      lista.push_back(page);
      last = TClock::now();
      pipeline->PageFileWritten(page);
    }
    // Not part of the host's path: marks when the last page is drawn, so the
    // time splits into drawing, saving and exporting.
    pipeline->WaitIdle();
    const TClock::time_point drawn = TClock::now();
    TBenchHost host(lista, temp, std::move(pipeline), ocr);
    skan::TwainManager1TransferComplete(host);
    auto since = [](TClock::time_point a, TClock::time_point b) {
      return std::chrono::duration<double>(b - a).count();
    };
    const double seconds = since(last, host.ready_);
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    std::printf(
        "pages %zu last_page_to_ready_seconds %.3f (drawn %.3f saved %.3f exported %.3f) peak_working_set_mb %.1f\n",
        lista.size(), seconds, since(last, drawn), since(drawn, host.saved_), since(host.saved_, host.ready_),
        pmc.PeakWorkingSetSize / 1048576.0);
    for (const std::wstring& page : lista) DeleteFileW(page.c_str());
    DeleteFileW(host.filename_.c_str());
    DeleteFileW(skan::ChangeFileExt(host.filename_, L".bs").c_str());
    DeleteFileW(skan::ChangeFileExt(host.filename_, L".tmp").c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
}
