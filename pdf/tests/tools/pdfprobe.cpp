// Test tool run beside the host (same Wine prefix and display) for the scan
// completion tests:
//
//   pdfprobe box [ms]   wait for the host's failure box, print its text
//                       (UTF-8), press OK; exit 1 when none comes in time
//   pdfprobe temp       the temporary folder as the host sees it (UTF-8)
//   pdfprobe windows    visible top-level windows: class, caption (UTF-8)
#include <windows.h>

#include <cstdio>
#include <string>

#include "base/encoding.h"

namespace skan::pdf {

namespace {

void Print(const std::wstring& text) {
  const std::string out = base::Narrow(text);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
}

std::wstring TextOf(HWND w) {
  std::wstring text(size_t(GetWindowTextLengthW(w)) + 1, L'\0');
  text.resize(size_t(GetWindowTextW(w, text.data(), int(text.size()))));
  return text;
}

BOOL CALLBACK MatchBox(HWND w, LPARAM out) {
  wchar_t cls[16] = L"";
  GetClassNameW(w, cls, 16);
  if (std::wstring(cls) == L"#32770" && IsWindowVisible(w) && TextOf(w) == L"Skanowanie") {
    *reinterpret_cast<HWND*>(out) = w;
    return FALSE;
  }
  return TRUE;
}

// A visible dialog-class window captioned with the application title.
HWND FindBox() {
  HWND found = nullptr;
  EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&found));
  return found;
}

BOOL CALLBACK PrintWindow(HWND w, LPARAM) {
  if (!IsWindowVisible(w)) return TRUE;
  wchar_t cls[64] = L"";
  GetClassNameW(w, cls, 64);
  Print(std::wstring(cls) + L"\t" + TextOf(w) + L"\n");
  return TRUE;
}

}  // namespace

int Main(int argc, wchar_t** argv) {
  const std::wstring cmd = argc > 1 ? argv[1] : L"";
  if (cmd == L"box") {
    const int ms = argc > 2 ? _wtoi(argv[2]) : 30000;
    for (int waited = 0; waited < ms; waited += 50) {
      if (HWND box = FindBox()) {
        Print(TextOf(GetDlgItem(box, 0xFFFF)));  // the message's static control
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return 0;
      }
      Sleep(50);
    }
    Print(L"no box\n");
    return 1;
  }
  if (cmd == L"windows") {
    EnumWindows(PrintWindow, 0);
    return 0;
  }
  if (cmd == L"temp") {
    wchar_t shortPath[MAX_PATH + 1], longPath[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, shortPath);
    GetLongPathNameW(shortPath, longPath, MAX_PATH + 1);
    Print(longPath);
    return 0;
  }
  fprintf(stderr, "usage: pdfprobe box [ms] | temp\n");
  return 2;
}
}  // namespace skan::pdf

int wmain(int argc, wchar_t** argv) { return skan::pdf::Main(argc, argv); }
