#include "scanner_dialog.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace skan::virtual_scanner {
namespace {

constexpr wchar_t kClassName[] = L"VirtualScannerDialog";
constexpr int kIdPages = 101, kIdColor = 102, kIdResolution = 103, kIdFeeder = 104;
constexpr int kResolutions[] = {75, 100, 150, 200, 300, 600};

void SetFont(HWND w) { SendMessageW(w, WM_SETFONT, WPARAM(GetStockObject(DEFAULT_GUI_FONT)), TRUE); }

}  // namespace

bool TScannerDialog::Show(HINSTANCE instance, HWND owner, const TScanSettings& initial) {
  if (hwnd_) return true;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = StaticProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpszClassName = kClassName;
  RegisterClassExW(&wc);  // fails harmlessly when already registered

  const int w = 330, h = 230;
  RECT work{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  if (owner && !IsWindow(owner)) owner = nullptr;
  hwnd_ = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, kClassName, L"Virtual Scanner",
                          WS_POPUP | WS_CAPTION | WS_SYSMENU, (work.left + work.right - w) / 2,
                          (work.top + work.bottom - h) / 2, w, h, owner, nullptr, instance, this);
  if (!hwnd_) return false;

  auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int cx, int cy, int id) {
    HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, cx, cy, hwnd_, HMENU(INT_PTR(id)),
                             instance, nullptr);
    SetFont(c);
    return c;
  };
  make(L"STATIC", L"Pages:", 0, 12, 16, 110, 20, -1);
  pages_ = make(L"EDIT", std::to_wstring(initial.pages).c_str(), WS_BORDER | WS_TABSTOP | ES_NUMBER, 130, 12, 170, 22,
                kIdPages);
  make(L"STATIC", L"Colour:", 0, 12, 46, 110, 20, -1);
  color_ = make(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_TABSTOP | WS_VSCROLL, 130, 42, 170, 120, kIdColor);
  for (const wchar_t* s : {L"Black and white", L"Grey", L"Colour"}) SendMessageW(color_, CB_ADDSTRING, 0, LPARAM(s));
  SendMessageW(color_, CB_SETCURSEL, WPARAM(initial.pixelType), 0);
  make(L"STATIC", L"Resolution (dpi):", 0, 12, 76, 110, 20, -1);
  resolution_ = make(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_TABSTOP | WS_VSCROLL, 130, 72, 170, 160, kIdResolution);
  int selected = 2;
  for (int i = 0; i < int(std::size(kResolutions)); ++i) {
    SendMessageW(resolution_, CB_ADDSTRING, 0, LPARAM(std::to_wstring(kResolutions[i]).c_str()));
    if (kResolutions[i] == initial.resolution) selected = i;
  }
  SendMessageW(resolution_, CB_SETCURSEL, WPARAM(selected), 0);
  feeder_ = make(L"BUTTON", L"Document feeder (page count unknown)", BS_AUTOCHECKBOX | WS_TABSTOP, 12, 104, 290, 22,
                 kIdFeeder);
  SendMessageW(feeder_, BM_SETCHECK, initial.indeterminate ? BST_CHECKED : BST_UNCHECKED, 0);
  scan_ = make(L"BUTTON", L"Scan", BS_DEFPUSHBUTTON | WS_TABSTOP, 130, 150, 80, 26, IDOK);
  make(L"BUTTON", L"Cancel", WS_TABSTOP, 220, 150, 80, 26, IDCANCEL);

  ShowWindow(hwnd_, SW_SHOW);
  SetForegroundWindow(hwnd_);
  return true;
}

void TScannerDialog::SetBusy(bool busy) {
  if (scan_) EnableWindow(scan_, !busy);
}

void TScannerDialog::Close() {
  if (HWND w = hwnd_) {
    hwnd_ = nullptr;
    DestroyWindow(w);
  }
}

TScanSettings TScannerDialog::Read() const {
  TScanSettings s;
  wchar_t text[16] = {};
  GetWindowTextW(pages_, text, 16);
  s.pages = std::max(1, _wtoi(text));
  const LRESULT type = SendMessageW(color_, CB_GETCURSEL, 0, 0);
  s.pixelType = type >= 0 && type <= 2 ? TPixelType(type) : TPixelType::Rgb;
  const LRESULT res = SendMessageW(resolution_, CB_GETCURSEL, 0, 0);
  s.resolution = res >= 0 && res < LRESULT(std::size(kResolutions)) ? kResolutions[res] : 150;
  s.indeterminate = SendMessageW(feeder_, BM_GETCHECK, 0, 0) == BST_CHECKED;
  return s;
}

LRESULT CALLBACK TScannerDialog::StaticProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<TScannerDialog*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, LONG_PTR(self));
  }
  auto* self = reinterpret_cast<TScannerDialog*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || msg == WM_NCDESTROY) {
    if (msg == WM_NCDESTROY) SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  try {  // nothing may unwind into the host's message loop
    return self->Proc(hwnd, msg, wp, lp);
  } catch (...) {
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

LRESULT TScannerDialog::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (LOWORD(wp) == IDOK) {
        if (OnScan) OnScan(Read());
        return 0;
      }
      if (LOWORD(wp) == IDCANCEL) {
        if (OnCancel) OnCancel();
        return 0;
      }
      break;
    case WM_CLOSE:  // the host closes the dialog when it disables the source
      if (OnCancel) OnCancel();
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace skan::virtual_scanner
