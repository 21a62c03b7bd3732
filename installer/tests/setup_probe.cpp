// Test tool: plays the person at the desk in the installer's windows.
//
//   setup_probe click <button> [<text>]   waits (up to 120 s) for a visible
//       top-level window with an enabled button captioned <button> ("&" not
//       counted) and, when <text> is given, a control whose caption holds
//       <text>; prints the window's control captions, then presses the button.
//       Exit code 0 when pressed, 1 when no such window came.
//   setup_probe hold <file>   opens the file with no sharing, as a program
//       that uses it would, prints "held", and keeps it open until its
//       standard input ends.
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring Text(HWND w) {
  // WM_GETTEXT is marshalled across processes by the system; a window whose
  // thread is busy gives no text rather than holding this tool.
  DWORD_PTR n = 0;
  if (!SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &n)) return {};
  std::wstring t(size_t(n) + 1, L'\0');
  if (!SendMessageTimeoutW(w, WM_GETTEXT, t.size(), reinterpret_cast<LPARAM>(t.data()), SMTO_ABORTIFHUNG, 1000, &n))
    return {};
  t.resize(size_t(n));
  return t;
}

std::wstring WithoutAmpersands(std::wstring s) {
  std::erase(s, L'&');
  return s;
}

bool IsButton(HWND w) {
  wchar_t c[32];
  return GetClassNameW(w, c, 32) > 0 && lstrcmpiW(c, L"Button") == 0;
}

struct Search {
  std::wstring button;
  std::wstring text;
  HWND found = nullptr;
  std::wstring captions;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto& out = *reinterpret_cast<std::vector<HWND>*>(param);
  out.push_back(child);
  return TRUE;
}

BOOL CALLBACK Visit(HWND top, LPARAM param) {
  auto& search = *reinterpret_cast<Search*>(param);
  if (!IsWindowVisible(top)) return TRUE;
  std::vector<HWND> children;
  EnumChildWindows(top, CollectChild, reinterpret_cast<LPARAM>(&children));
  HWND button = nullptr;
  bool hasText = search.text.empty();
  std::wstring captions = Text(top);
  for (HWND c : children) {
    std::wstring t = Text(c);
    if (t.empty()) continue;
    captions += L" | " + t;
    if (!hasText && t.find(search.text) != std::wstring::npos) hasText = true;
    if (!button && IsButton(c) && IsWindowVisible(c) && IsWindowEnabled(c) && WithoutAmpersands(t) == search.button)
      button = c;
  }
  if (button && hasText) {
    search.found = button;
    search.captions = captions;
    return FALSE;
  }
  return TRUE;
}

void Print(const std::wstring& s) {
  int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0, nullptr, nullptr);
  std::string u(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, s.data(), int(s.size()), u.data(), n, nullptr, nullptr);
  u += "\n";
  DWORD written;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), u.data(), DWORD(u.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"hold") {
    HANDLE file = CreateFileW(argv[2], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      Print(L"cannot open " + std::wstring(argv[2]));
      return 1;
    }
    Print(L"held");
    char buffer[256];
    DWORD n;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    }
    CloseHandle(file);
    return 0;
  }
  if (argc < 3 || std::wstring(argv[1]) != L"click") {
    Print(L"usage: setup_probe click <button> [<text>] | hold <file>");
    return 2;
  }
  Search search;
  search.button = argv[2];
  if (argc > 3) search.text = argv[3];
  for (int waited = 0; waited <= 120000; waited += 200) {
    EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      Print(search.captions);
      // What a click on the button sends its dialog; posted, so that a
      // dialog that the press opens does not keep this tool waiting.
      auto id = WORD(GetDlgCtrlID(search.found));
      PostMessageW(GetParent(search.found), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                   reinterpret_cast<LPARAM>(search.found));
      return 0;
    }
    Sleep(200);
  }
  Print(L"no window with the button " + search.button);
  return 1;
}
