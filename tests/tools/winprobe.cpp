// Test tool: inspects and drives the host's main window from another process.
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/encoding.h"

namespace skan::tests {

namespace {

void Print(const std::string& s) {
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s.data(), DWORD(s.size()), &written, nullptr);
}

std::wstring Text(HWND w) {
  // WM_GETTEXT is marshalled across processes by the system.
  LRESULT n = SendMessageW(w, WM_GETTEXTLENGTH, 0, 0);
  std::wstring t(size_t(n) + 1, L'\0');
  n = SendMessageW(w, WM_GETTEXT, t.size(), reinterpret_cast<LPARAM>(t.data()));
  t.resize(size_t(n));
  return t;
}

std::wstring ClassOf(HWND w) {
  wchar_t c[256];
  int n = GetClassNameW(w, c, 256);
  return std::wstring(c, n);
}

HWND MainWindow(int timeoutMs = 90000) {
  for (int waited = 0; waited <= timeoutMs; waited += 50) {
    HWND w = FindWindowW(L"TSkanowanie", nullptr);
    if (w && IsWindowVisible(w)) return w;
    Sleep(50);
  }
  return nullptr;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> out;
  for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) out.push_back(c);
  return out;
}

HWND ChildOfClass(HWND parent, const wchar_t* cls) {
  for (HWND c : Children(parent))
    if (ClassOf(c) == cls) return c;
  return nullptr;
}

std::string RectText(const RECT& r) {
  char b[96];
  std::snprintf(b, sizeof b, "%ld %ld %ld %ld", r.left, r.top, r.right - r.left, r.bottom - r.top);
  return b;
}

std::string State(HWND main) {
  RECT r, work;
  GetWindowRect(main, &r);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromWindow(main, MONITOR_DEFAULTTONEAREST), &mi);
  work = mi.rcWork;
  LONG style = GetWindowLongW(main, GWL_STYLE), ex = GetWindowLongW(main, GWL_EXSTYLE);
  char b[512];
  std::snprintf(b, sizeof b, "window %s\nwork %s\nmaximized %d\ncaption %d\nframe %d\nappwindow %d\ntitle %s\n",
                RectText(r).c_str(), RectText(work).c_str(), IsZoomed(main) ? 1 : 0,
                (style & WS_CAPTION) == WS_CAPTION ? 1 : 0, (style & WS_THICKFRAME) ? 1 : 0,
                (ex & WS_EX_APPWINDOW) ? 1 : 0, base::Narrow(Text(main)).c_str());
  return b;
}

void Controls(HWND parent, int depth, std::string& out) {
  for (HWND c : Children(parent)) {
    RECT r;
    GetWindowRect(c, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    char b[64];
    std::snprintf(b, sizeof b, "%d\t%d\t%d\t", depth, IsWindowVisible(c) ? 1 : 0, IsWindowEnabled(c) ? 1 : 0);
    out += b + base::Narrow(ClassOf(c)) + "\t" + RectText(r) + "\t" +
           (ClassOf(c) == L"Edit" ? std::string("<log>") : base::Narrow(Text(c))) + "\n";
    Controls(c, depth + 1, out);
  }
}

HWND FindButton(HWND main, const std::wstring& hint) {
  HWND panel = ChildOfClass(main, L"TPanel");
  for (HWND c : Children(panel))
    if (Text(c) == hint) return c;
  return nullptr;
}

HWND WaitDialog(HWND owner) {
  for (int i = 0; i < 200; ++i) {
    HWND found = nullptr;
    for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT))
      if (ClassOf(w) == L"#32770" && GetWindow(w, GW_OWNER) == owner && IsWindowVisible(w)) found = w;
    if (found) return found;
    Sleep(50);
  }
  return nullptr;
}

}  // namespace

int Main(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring cmd = argv[1];
  if (cmd == L"gone") {
    // Whether the main window has gone within a few seconds (no waiting for
    // it to appear first).
    for (int waited = 0; waited < 5000 && FindWindowW(L"TSkanowanie", nullptr); waited += 50) Sleep(50);
    Print(FindWindowW(L"TSkanowanie", nullptr) ? "present\n" : "gone\n");
    return 0;
  }
  if (cmd == L"shortpath" && argc > 2) {
    wchar_t shortPath[MAX_PATH] = L"";
    if (!GetShortPathNameW(argv[2], shortPath, MAX_PATH)) return 1;
    Print(base::Narrow(shortPath) + "\n");
    return 0;
  }
  if (cmd == L"memory") {
    // Private bytes of the host's process.
    HWND w = MainWindow();
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!process ||
        !GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters))
      return 1;
    CloseHandle(process);
    Print(std::to_string(counters.PagefileUsage) + " " + std::to_string(counters.WorkingSetSize) + "\n");
    return 0;
  }
  HWND main = MainWindow();
  if (!main) {
    Print("no main window\n");
    return 1;
  }
  if (cmd == L"wait" || cmd == L"state") {
    Print(State(main));
  } else if (cmd == L"log") {
    Print(base::Narrow(Text(ChildOfClass(main, L"Edit"))));
  } else if (cmd == L"controls") {
    std::string out;
    Controls(main, 0, out);
    Print(out);
  } else if (cmd == L"dblclick-panel") {
    HWND panel = ChildOfClass(main, L"TPanel");
    // A free spot between the Exit and Load PDF buttons.
    LPARAM at = MAKELPARAM(80, 200);
    SendMessageW(panel, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
    SendMessageW(panel, WM_LBUTTONUP, 0, at);
    Sleep(200);
    Print(State(main));
  } else if (cmd == L"click" && argc > 2) {
    HWND button = FindButton(main, argv[2]);
    if (!button) return 1;
    PostMessageW(button, BM_CLICK, 0, 0);
  } else if (cmd == L"focus" && argc > 2) {
    // Gives the keyboard focus to a button of the column (through the
    // window's own thread, which owns the focus).
    HWND button = FindButton(main, argv[2]);
    if (!button) return 1;
    DWORD thread = GetWindowThreadProcessId(main, nullptr);
    AttachThreadInput(GetCurrentThreadId(), thread, TRUE);
    SetForegroundWindow(main);
    SetFocus(button);
    const bool focused = GetFocus() == button && GetForegroundWindow() == main;
    AttachThreadInput(GetCurrentThreadId(), thread, FALSE);
    Print(focused ? "focused\n" : "not focused\n");
    if (!focused) return 1;
  } else if (cmd == L"dialog") {
    // Waits for a dialog of the main window (the open-file dialog).
    const bool open = WaitDialog(main) != nullptr;
    Print(open ? "dialog\n" : "no dialog\n");
    if (!open) return 1;
  } else if (cmd == L"load-pdf" && argc > 2) {
    HWND button = FindButton(main, L"Load PDF");
    if (!button) return 1;
    PostMessageW(button, BM_CLICK, 0, 0);
    HWND dialog = WaitDialog(main);
    if (!dialog) {
      Print("no dialog\n");
      return 1;
    }
    // The file-name box of the common dialog (cmb13, or edt1 in old styles).
    HWND name = GetDlgItem(dialog, 0x47C);
    if (!name) name = GetDlgItem(dialog, 0x480);
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    for (int i = 0; i < 100 && IsWindow(dialog); ++i) Sleep(50);
    Print(base::Narrow(Text(ChildOfClass(main, L"TDocumentPane"))) + "\n");
  } else if (cmd == L"menu") {
    // The open context menu: its items, one per line ("-" for a separator).
    HWND popup = nullptr;
    for (int i = 0; i < 100 && !popup; ++i, Sleep(50)) {
      popup = FindWindowW(L"#32768", nullptr);
      if (popup && !IsWindowVisible(popup)) popup = nullptr;
    }
    if (!popup) {
      Print("no menu\n");
      return 1;
    }
    // Item texts are readable where menus are shared between processes
    // (Windows); elsewhere only "open" is printed.
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(popup, MN_GETHMENU, 0, 0));
    std::string out = "open\n";
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      wchar_t text[256] = L"";
      MENUITEMINFOW info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_FTYPE | MIIM_STRING;
      info.dwTypeData = text;
      info.cch = 255;
      GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
      out += (info.fType & MFT_SEPARATOR) ? std::string("-") : base::Narrow(text);
      out += "\n";
    }
    Print(out);
  } else if (cmd == L"close") {
    PostMessageW(main, WM_CLOSE, 0, 0);
  } else {
    return 2;
  }
  return 0;
}
}  // namespace skan::tests

int wmain(int argc, wchar_t** argv) { return skan::tests::Main(argc, argv); }
