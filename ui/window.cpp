#include "window.h"

#include "application.h"

namespace skan::ui {

UINT WindowDpi(HWND window) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static auto getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (getDpi && window) {
    UINT dpi = getDpi(window);
    if (dpi) return dpi;
  }
  HDC dc = GetDC(nullptr);
  UINT dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSX));
  ReleaseDC(nullptr, dc);
  return dpi ? dpi : 96;
}

TWindow::~TWindow() {
  if (hwnd_) DestroyWindow(hwnd_);
}

void TWindow::RegisterClass(const wchar_t* className, UINT style, HCURSOR cursor, HBRUSH background, HICON icon,
                            HICON smallIcon) {
  WNDCLASSEXW wc{};
  if (GetClassInfoExW(GetModuleHandleW(nullptr), className, &wc)) return;
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = StaticWndProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = cursor;
  wc.hbrBackground = background;
  wc.hIcon = icon;
  wc.hIconSm = smallIcon;
  wc.lpszClassName = className;
  RegisterClassExW(&wc);
}

bool TWindow::Create(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
                     int height, HWND parent, UINT_PTR id) {
  HWND created = CreateWindowExW(exStyle, className, text, style, x, y, width, height, parent,
                                 reinterpret_cast<HMENU>(id), GetModuleHandleW(nullptr), this);
  return created != nullptr;
}

LRESULT TWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) { return Default(msg, wParam, lParam); }

LRESULT CALLBACK TWindow::StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWindow* self;
  if (msg == WM_NCCREATE) {
    self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    self->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = FromHandle(hwnd);
  }
  if (!self) return DefWindowProcW(hwnd, msg, wParam, lParam);

  LRESULT result = Guarded([&] { return self->WndProc(msg, wParam, lParam); }, LRESULT(0));
  if (msg == WM_NCDESTROY) {
    // The object may outlive its window; it must not call into a dead handle.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return result;
}

}  // namespace skan::ui
