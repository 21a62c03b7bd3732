#include "form_select_source.h"

#include <commctrl.h>

#include <stdexcept>
#include <vector>

#include "application.h"
#include "window.h"

namespace skan::twain {

std::wstring TFormSelectSource::Caption = L"Select source";
std::wstring TFormSelectSource::OkCaption = L"&OK";
std::wstring TFormSelectSource::CancelCaption = L"&Cancel";

namespace {

constexpr wchar_t kPanelClass[] = L"TFormSelectSourcePanel";
constexpr int kIdList = 100, kIdOK = IDOK, kIdCancel = IDCANCEL;
constexpr int kWidth = 300, kHeight = 200, kPanelHeight = 41, kInset = 3;
constexpr int kButtonWidth = 75, kButtonHeight = 25, kButtonGap = 6;
constexpr int kFontPoints = 8;

void RegisterClasses(HINSTANCE instance, WNDPROC panel) {
  static bool done = false;
  if (done) return;
  ui::TWindow::RegisterClass(TFormSelectSource::kClassName, 0, LoadCursorW(nullptr, IDC_ARROW),
                             GetSysColorBrush(COLOR_BTNFACE));
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  wc.lpfnWndProc = panel;
  wc.lpszClassName = kPanelClass;
  RegisterClassExW(&wc);
  done = true;
}

// Top-level windows of this thread that a modal dialog disables meanwhile.
struct TDisabledWindows {
  std::vector<HWND> windows;
  HWND except;
  static BOOL CALLBACK Collect(HWND w, LPARAM self) {
    auto* d = reinterpret_cast<TDisabledWindows*>(self);
    if (w != d->except && IsWindowVisible(w) && IsWindowEnabled(w)) {
      d->windows.push_back(w);
      EnableWindow(w, FALSE);
    }
    return TRUE;
  }
  explicit TDisabledWindows(HWND dialog) : except(dialog) {
    EnumThreadWindows(GetCurrentThreadId(), Collect, LPARAM(this));
  }
  ~TDisabledWindows() {
    for (HWND w : windows)
      if (IsWindow(w)) EnableWindow(w, TRUE);
  }
};

}  // namespace

TFormSelectSource::TFormSelectSource() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  RegisterClasses(instance, PanelProc);

  // Resizable frame with the system menu only: no minimise or maximise box.
  if (!Create(WS_EX_DLGMODALFRAME, kClassName, Caption.c_str(),
              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_CLIPCHILDREN, 0, 0, kWidth, kHeight,
              nullptr))
    throw std::runtime_error("Cannot create the source selection window");
  // Sizes are given at 96 dots per inch and scale with the screen.
  Dpi_ = ui::WindowDpi(Handle());
  Font_ = CreateFontW(-MulDiv(kFontPoints, int(Dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                      OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");

  // Centred on the work area of the monitor under the mouse pointer.
  POINT cursor{};
  GetCursorPos(&cursor);
  MONITORINFO mi{};
  mi.cbSize = sizeof mi;
  GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &mi);
  const RECT& work = mi.rcWork;
  const int width = S(kWidth), height = S(kHeight);
  SetWindowPos(Handle(), nullptr, (work.left + work.right - width) / 2, (work.top + work.bottom - height) / 2, width,
               height, SWP_NOZORDER | SWP_NOACTIVATE);

  LBSources = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                              WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, 0, 0,
                              10, 10, Handle(), HMENU(INT_PTR(kIdList)), instance, nullptr);
  PnlBottom = CreateWindowExW(0, kPanelClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 10, S(kPanelHeight),
                              Handle(), nullptr, instance, nullptr);
  BtnOK = CreateWindowExW(0, L"BUTTON", OkCaption.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0,
                          S(kButtonWidth), S(kButtonHeight), PnlBottom, HMENU(INT_PTR(kIdOK)), instance, nullptr);
  BtnCancel =
      CreateWindowExW(0, L"BUTTON", CancelCaption.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, 0,
                      S(kButtonWidth), S(kButtonHeight), PnlBottom, HMENU(INT_PTR(kIdCancel)), instance, nullptr);
  for (HWND w : {LBSources, BtnOK, BtnCancel}) {
    SendMessageW(w, WM_SETFONT, WPARAM(Font_), FALSE);
    // Enter works without a dialog manager in the loop.
    SetWindowSubclass(w, EnterKeyProc, 1, DWORD_PTR(this));
  }
  FormResize();
}

TFormSelectSource::~TFormSelectSource() {
  // Destroyed here rather than by the base, while this object still answers
  // its messages.
  if (HWND hwnd = Handle()) {
    for (HWND w : {LBSources, BtnOK, BtnCancel}) RemoveWindowSubclass(w, EnterKeyProc, 1);
    DestroyWindow(hwnd);
  }
  if (Font_) DeleteObject(Font_);
}

TFormSelectSource::TModalResult TFormSelectSource::ShowModal() {
  // Stays above the window that is active when it opens.
  if (HWND active = GetActiveWindow(); active && active != Handle())
    SetWindowLongPtrW(Handle(), GWLP_HWNDPARENT, LONG_PTR(active));
  ModalResult_ = mrNone;
  ui::TApplication& app = ui::TApplication::Instance();
  {
    TDisabledWindows disabled(Handle());
    ShowWindow(Handle(), SW_SHOW);
    SetForegroundWindow(Handle());
    SetFocus(LBSources);
    try {
      while (ModalResult_ == mrNone) {
        app.HandleMessage();
        app.RaisePending();
        if (app.Terminated()) ModalResult_ = mrCancel;
      }
    } catch (...) {
      ShowWindow(Handle(), SW_HIDE);
      throw;
    }
  }
  ShowWindow(Handle(), SW_HIDE);
  return ModalResult_;
}

void TFormSelectSource::FormResize() {
  RECT client{};
  GetClientRect(Handle(), &client);
  const int cw = client.right, ch = client.bottom;
  const int panelHeight = S(kPanelHeight), inset = S(kInset);
  MoveWindow(PnlBottom, 0, ch - panelHeight, cw, panelHeight, TRUE);
  MoveWindow(LBSources, inset, inset, cw - 2 * inset, ch - panelHeight - 2 * inset, TRUE);
  RECT panel{};
  GetClientRect(PnlBottom, &panel);
  const int bw = S(kButtonWidth), bh = S(kButtonHeight), gap = S(kButtonGap);
  const int cancelLeft = panel.right - bw - gap;
  const int okLeft = cancelLeft - bw - gap;
  const int top = (panel.bottom - bh) / 2;
  MoveWindow(BtnCancel, cancelLeft, top, bw, bh, TRUE);
  MoveWindow(BtnOK, okLeft, top, bw, bh, TRUE);
}

void TFormSelectSource::Command(WORD id, WORD code) {
  if (id == kIdList && code == LBN_DBLCLK)
    Close(mrOK);
  else if (id == kIdOK && code == BN_CLICKED)
    Close(mrOK);
  else if (id == kIdCancel && code == BN_CLICKED)
    Close(mrCancel);
}

LRESULT TFormSelectSource::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SIZE:
      if (LBSources) FormResize();
      return 0;
    case WM_COMMAND: Command(LOWORD(wp), HIWORD(wp)); return 0;
    case WM_CLOSE:  // close box and the system menu's Close
      Close(mrCancel);
      return 0;
  }
  return Default(msg, wp, lp);
}

// The panel hands its buttons' notifications to the form.
LRESULT CALLBACK TFormSelectSource::PanelProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COMMAND) return SendMessageW(GetParent(hwnd), msg, wp, lp);
  return DefWindowProcW(hwnd, msg, wp, lp);
}

// Enter presses the focused button, or OK from the list: the default button.
LRESULT CALLBACK TFormSelectSource::EnterKeyProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  if (msg == WM_GETDLGCODE) return DefSubclassProc(hwnd, msg, wp, lp) | DLGC_WANTALLKEYS;
  if (msg == WM_KEYDOWN && wp == VK_RETURN) {
    auto* self = reinterpret_cast<TFormSelectSource*>(data);
    self->Close(hwnd == self->BtnCancel ? mrCancel : mrOK);
    return 0;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

}  // namespace skan::twain
