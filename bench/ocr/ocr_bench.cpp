// Recognition of whole pages, one thread: each page file is read, then its
// words recognised; prints the seconds each recognition took, its word
// count, and the process's peak memory. Built for Windows (models beside
// the program) and natively (models given by OCR_DATA, Debian's by default).
//   ocr_bench <languages> <page.bmp>...
#ifdef _WIN32
#include <windows.h>
#include <psapi.h>
#else
#include <sys/resource.h>
#endif

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "dib_reader.h"
#include "ocr_engine.h"
#ifdef _WIN32
#include "base/encoding.h"
#include "page_ocr.h"
#endif

namespace {

std::string DataFolder() {
#ifdef _WIN32
  return skan::OcrDataFolder();
#else
  const char* data = std::getenv("OCR_DATA");
  return data ? data : "/usr/share/tesseract-ocr/5/tessdata";
#endif
}

double PeakMegabytes() {
#ifdef _WIN32
  PROCESS_MEMORY_COUNTERS pmc{};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  return pmc.PeakWorkingSetSize / 1048576.0;
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024.0;
#endif
}

template <class C>
int Run(int argc, C** argv, std::string languages) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ocr_bench <languages> <page.bmp>...\n");
    return 2;
  }
  try {
    skan::ocr::TEngine engine(DataFolder(), languages);
    for (int i = 2; i < argc; ++i) {
      std::ifstream in(argv[i], std::ios::binary);
      const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
      const skan::dib::TPlainBitmap bitmap = skan::dib::ReadBmpFile(bytes.data(), bytes.size());
      const auto start = std::chrono::steady_clock::now();
      const std::clock_t cpuStart = std::clock();
      const skan::ocr::TPageText text = engine.Recognise(bitmap);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
      std::printf("page %d seconds %.3f cpu_seconds %.3f words %zu turn %d confidence %.1f\n", i - 1, seconds, cpu,
                  text.words.size(), text.turn, text.meanConfidence);
    }
    std::printf("peak_working_set_mb %.1f\n", PeakMegabytes());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return Run(argc, argv, argc > 1 ? skan::base::Narrow(argv[1]) : ""); }
#else
int main(int argc, char** argv) { return Run(argc, argv, argc > 1 ? argv[1] : ""); }
#endif
