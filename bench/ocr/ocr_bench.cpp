// Recognition of whole pages, one thread: each page file is read, then its
// words recognised; prints the seconds each recognition took, its word
// count, and the process's peak memory.
//   ocr_bench.exe <languages> <page.bmp>...
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "dib_reader.h"
#include "ocr_engine.h"
#include "page_ocr.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ocr_bench <languages> <page.bmp>...\n");
    return 2;
  }
  try {
    skan::ocr::TEngine engine(skan::OcrDataFolder(), skan::base::Narrow(argv[1]));
    for (int i = 2; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      const skan::dib::TPlainBitmap bitmap = skan::dib::ReadBmpFile(bytes.data(), bytes.size());
      const auto start = std::chrono::steady_clock::now();
      const skan::ocr::TPageText text = engine.Recognise(bitmap);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      std::printf("page %d seconds %.3f words %zu turn %d\n", i - 1, seconds, text.words.size(), text.turn);
    }
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    std::printf("peak_working_set_mb %.1f\n", pmc.PeakWorkingSetSize / 1048576.0);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
}
