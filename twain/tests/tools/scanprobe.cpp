// Test tool run beside the host (same Wine prefix and display): answers the
// "Select source" dialog and the virtual scanner's dialog as a user would,
// and lists the page files in the temporary folder.
//
//   scanprobe select <row>|cancel|close   wait for "Select source", print its
//                                         size, rows and selection, then choose
//   scanprobe scanner scan|cancel         press a button of the scanner's dialog
//   scanprobe is-open                     exit code 0 while "Select source" is shown
//   scanprobe files                       T\scan\*.bmp and T\tmp*.tmp, one a line
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Print(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
}

HWND WaitVisible(const wchar_t* cls, int ms = 20000) {
  for (int waited = 0; waited < ms; waited += 50) {
    HWND w = FindWindowW(cls, nullptr);
    if (w && IsWindowVisible(w)) return w;
    Sleep(50);
  }
  return nullptr;
}

void WaitHidden(HWND w, int ms = 10000) {
  for (int waited = 0; waited < ms && IsWindow(w) && IsWindowVisible(w); waited += 50) Sleep(50);
}

HWND ChildOf(HWND parent, const wchar_t* cls, const wchar_t* text = nullptr) {
  return FindWindowExW(parent, nullptr, cls, text);
}

std::wstring TempFolder() {
  wchar_t buf[MAX_PATH + 1];
  std::wstring t(buf, GetTempPathW(MAX_PATH + 1, buf));
  wchar_t longer[32768];
  DWORD n = GetLongPathNameW(t.c_str(), longer, 32768);
  if (n && n < 32768) t.assign(longer, n);
  if (!t.empty() && t.back() != L'\\') t += L'\\';
  return t;
}

void ListFiles(const std::wstring& pattern, const wchar_t* kind) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const unsigned long long size = (static_cast<unsigned long long>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    Print(std::wstring(kind) + L" " + fd.cFileName + L" " + std::to_wstring(size) + L"\n");
  } while (FindNextFileW(h, &fd));
  FindClose(h);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring cmd = argv[1];
  if (cmd == L"select" && argc > 2) {
    HWND form = WaitVisible(L"TFormSelectSource");
    if (!form) {
      Print(L"no dialog\n");
      return 1;
    }
    wchar_t caption[128] = L"";
    GetWindowTextW(form, caption, 128);
    HWND list = ChildOf(form, L"ListBox");
    HWND panel = ChildOf(form, L"TFormSelectSourcePanel");
    const int rows = int(SendMessageW(list, LB_GETCOUNT, 0, 0));
    RECT r{};
    GetWindowRect(form, &r);
    std::wstring out = std::wstring(L"caption ") + caption + L"\n" + L"size " + std::to_wstring(r.right - r.left) +
                       L" " + std::to_wstring(r.bottom - r.top) + L"\n";
    for (int i = 0; i < rows; ++i) {
      wchar_t row[256] = L"";
      SendMessageW(list, LB_GETTEXT, WPARAM(i), LPARAM(row));
      out += L"row " + std::wstring(row) + L"\n";
    }
    out += L"selected " + std::to_wstring(SendMessageW(list, LB_GETCURSEL, 0, 0)) + L"\n";
    Print(out);
    const std::wstring choice = argv[2];
    if (choice == L"cancel") {
      PostMessageW(ChildOf(panel, L"Button", L"&Cancel"), BM_CLICK, 0, 0);
    } else if (choice == L"close") {
      PostMessageW(form, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
      SendMessageW(list, LB_SETCURSEL, WPARAM(_wtoi(choice.c_str())), 0);
      PostMessageW(ChildOf(panel, L"Button", L"&OK"), BM_CLICK, 0, 0);
    }
    WaitHidden(form);
    return 0;
  }
  if (cmd == L"scanner" && argc > 2) {
    HWND dialog = WaitVisible(L"VirtualScannerDialog");
    if (!dialog) {
      Print(L"no scanner dialog\n");
      return 1;
    }
    const bool scan = std::wstring(argv[2]) == L"scan";
    PostMessageW(ChildOf(dialog, L"Button", scan ? L"Scan" : L"Cancel"), BM_CLICK, 0, 0);
    return 0;
  }
  if (cmd == L"is-open") {
    HWND form = FindWindowW(L"TFormSelectSource", nullptr);
    return form && IsWindowVisible(form) ? 0 : 1;
  }
  if (cmd == L"files") {
    const std::wstring t = TempFolder();
    ListFiles(t + L"scan\\*.bmp", L"bmp");
    ListFiles(t + L"tmp*.tmp", L"tmp");
    return 0;
  }
  return 2;
}
