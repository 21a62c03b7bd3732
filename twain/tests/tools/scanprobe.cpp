// Test tool run beside the host (same Wine prefix and display): answers the
// "Select source" dialog and the scanners' dialogs as a user would, and lists
// the page files in the temporary folder.
//
//   scanprobe select <row>|=<text>|cancel|close
//                                         wait for "Select source", print its
//                                         size, rows and selection, then choose
//   scanprobe scanner scan|cancel         press a button of the virtual scanner's dialog
//   scanprobe sheet <item>...             wait for a scanner dialog built as a property
//                                         sheet, print its controls, choose each item
//                                         in the combo box that offers it, press Scan
//   scanprobe is-open                     exit code 0 while "Select source" is shown
//   scanprobe files                       T\scan\*.bmp and T\tmp*.tmp, one a line
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/encoding.h"

namespace skan::twain {

namespace {

void Print(const std::wstring& text) {
  const std::string out = base::Narrow(text);
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

// A visible top-level dialog with a tab control of its own: a property sheet.
BOOL CALLBACK FindSheet(HWND w, LPARAM found) {
  wchar_t cls[64] = L"";
  GetClassNameW(w, cls, 64);
  if (IsWindowVisible(w) && std::wstring(cls) == L"#32770" && FindWindowExW(w, nullptr, WC_TABCONTROLW, nullptr)) {
    *reinterpret_cast<HWND*>(found) = w;
    return FALSE;
  }
  return TRUE;
}

HWND WaitSheet(int ms = 60000) {
  for (int waited = 0; waited < ms; waited += 100) {
    HWND found = nullptr;
    EnumWindows(FindSheet, reinterpret_cast<LPARAM>(&found));
    if (found) return found;
    Sleep(100);
  }
  return nullptr;
}

BOOL CALLBACK Collect(HWND w, LPARAM all) {
  reinterpret_cast<std::vector<HWND>*>(all)->push_back(w);
  return TRUE;
}

std::vector<HWND> Descendants(HWND parent) {
  std::vector<HWND> all;
  EnumChildWindows(parent, Collect, reinterpret_cast<LPARAM>(&all));
  return all;
}

std::wstring ClassOf(HWND w) {
  wchar_t cls[64] = L"";
  GetClassNameW(w, cls, 64);
  return cls;
}

std::wstring TextOf(HWND w) {
  wchar_t text[256] = L"";
  GetWindowTextW(w, text, 256);
  return text;
}

std::vector<std::wstring> ComboItems(HWND combo) {
  std::vector<std::wstring> items;
  const int n = int(SendMessageW(combo, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < n; ++i) {
    const LRESULT len = SendMessageW(combo, CB_GETLBTEXTLEN, WPARAM(i), 0);
    if (len < 0 || len > 255) {
      items.emplace_back();
      continue;
    }
    wchar_t item[256] = L"";
    SendMessageW(combo, CB_GETLBTEXT, WPARAM(i), LPARAM(item));
    items.emplace_back(item);
  }
  return items;
}

// Button text without its mnemonic ampersands.
std::wstring Label(HWND w) {
  std::wstring out;
  for (wchar_t c : TextOf(w))
    if (c != L'&') out += c;
  return out;
}

// Visits every page of the sheet (pages are made when first shown), prints
// each control, and picks each wanted item in the combo box that lists it,
// telling the page as a user's choice would (CBN_SELCHANGE).
int DriveSheet(const std::vector<std::wstring>& wanted) {
  HWND sheet = WaitSheet();
  if (!sheet) {
    Print(L"no sheet\n");
    return 1;
  }
  Print(L"sheet " + TextOf(sheet) + L"\n");
  std::vector<bool> done(wanted.size(), false);
  const int pages = int(SendMessageW(FindWindowExW(sheet, nullptr, WC_TABCONTROLW, nullptr), TCM_GETITEMCOUNT, 0, 0));
  for (int p = 0; p < pages; ++p) {
    SendMessageW(sheet, PSM_SETCURSEL, WPARAM(p), 0);
    HWND page = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    Print(L"page " + std::to_wstring(p) + L"\n");
    if (!page) continue;
    for (HWND control : Descendants(page)) {
      const std::wstring cls = ClassOf(control);
      std::wstring line =
          L"  " + cls + L" " + std::to_wstring(GetDlgCtrlID(control)) + L" \"" + TextOf(control) + L"\"";
      if (cls == L"ComboBox") {
        const std::vector<std::wstring> items = ComboItems(control);
        for (const std::wstring& item : items) line += L" [" + item + L"]";
        for (size_t k = 0; k < wanted.size(); ++k) {
          for (size_t i = 0; i < items.size() && !done[k]; ++i) {
            if (items[i] != wanted[k]) continue;
            SendMessageW(control, CB_SETCURSEL, WPARAM(i), 0);
            SendMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), CBN_SELCHANGE),
                         LPARAM(control));
            line += L" <- " + items[i];
            done[k] = true;
          }
        }
      }
      Print(line + L"\n");
    }
  }
  for (size_t k = 0; k < wanted.size(); ++k) {
    if (!done[k]) {
      Print(L"no combo box offers " + wanted[k] + L"\n");
      return 1;
    }
  }
  SendMessageW(sheet, PSM_SETCURSEL, 0, 0);
  for (HWND control : Descendants(sheet)) {
    if (ClassOf(control) == L"Button" && IsWindowVisible(control) && _wcsicmp(Label(control).c_str(), L"Scan") == 0) {
      Print(L"pressed Scan\n");
      PostMessageW(control, BM_CLICK, 0, 0);
      return 0;
    }
  }
  Print(L"pressed OK\n");
  PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
  return 0;
}

}  // namespace

int Main(int argc, wchar_t** argv) {
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
    } else if (choice[0] == L'=') {
      int row = -1;
      for (int i = 0; i < rows && row < 0; ++i) {
        wchar_t text[256] = L"";
        SendMessageW(list, LB_GETTEXT, WPARAM(i), LPARAM(text));
        if (choice.substr(1) == text) row = i;
      }
      if (row < 0) {
        Print(L"no row " + choice.substr(1) + L"\n");
        return 1;
      }
      SendMessageW(list, LB_SETCURSEL, WPARAM(row), 0);
      PostMessageW(ChildOf(panel, L"Button", L"&OK"), BM_CLICK, 0, 0);
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
  if (cmd == L"sheet") return DriveSheet(std::vector<std::wstring>(argv + 2, argv + argc));
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
}  // namespace skan::twain

int wmain(int argc, wchar_t** argv) { return skan::twain::Main(argc, argv); }
