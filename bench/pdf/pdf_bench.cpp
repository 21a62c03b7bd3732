// Assembles the given bitmap files into one PDF the way scan completion does
// and prints the time it took and the process's peak memory.
//   pdf_bench.exe <folder for the PDF> <page.bmp>...
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "create_valid_pdf.h"
#include "pdf/pdf_binding.h"

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pdf_bench <folder> <page.bmp>...\n");
    return 2;
  }
  std::vector<std::wstring> pages(argv + 2, argv + argc);
  std::wstring folder = argv[1];
  if (folder.back() != L'\\') folder += L'\\';
  // The host's window has loaded the display driver long before a scan ends;
  // a console program loads it at its first screen DC, which the assembly's
  // first page would otherwise pay for (about 0.3 s under Wine).
  if (HDC screen = GetDC(nullptr)) ReleaseDC(nullptr, screen);
  // COMPRESSION=lossless stores the pages as before; compact otherwise, as a
  // request does by default.
  const wchar_t* compression = _wgetenv(L"COMPRESSION");
  const uint32_t drawFlags = compression && std::wstring(compression) == L"lossless"
                                 ? skan::pdf::PdfWriterDrawFlag_None
                                 : skan::pdf::PdfWriterDrawFlag_CompactImages;
  try {
    const auto start = std::chrono::steady_clock::now();
    const std::wstring pdf = skan::CreateValidPDF(pages, folder, drawFlags);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto secondsOf = [](const FILETIME& t) {
      return (static_cast<uint64_t>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
    };
    std::printf("pages %zu seconds %.3f cpu_seconds %.3f peak_working_set_mb %.1f pdf %ls\n", pages.size(), seconds,
                secondsOf(kernel) + secondsOf(user), pmc.PeakWorkingSetSize / 1048576.0, pdf.c_str());
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "failed: %s\n", e.what());
    return 1;
  }
}
