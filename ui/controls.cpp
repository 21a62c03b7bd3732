#include "controls.h"

#include <windowsx.h>

#include "image_button.h"

namespace skan::ui {

bool TPanel::Create(HWND parent, UINT_PTR id) {
  RegisterClass(L"TPanel", CS_DBLCLKS, LoadCursorW(nullptr, IDC_ARROW), reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  return TWindow::Create(WS_EX_CONTROLPARENT, L"TPanel", L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 0, 0,
                         parent, id);
}

LRESULT TPanel::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_DRAWITEM:
    case WM_COMMAND:
      if (TImageButton::Reflect(msg, wParam, lParam)) return TRUE;
      break;
    case WM_LBUTTONDOWN:
      if (OnMouseDown) OnMouseDown(MK_LBUTTON);
      return 0;
    case WM_RBUTTONDOWN:
      if (OnMouseDown) OnMouseDown(MK_RBUTTON);
      break;  // the right button still opens the context menu
    case WM_MBUTTONDOWN:
      if (OnMouseDown) OnMouseDown(MK_MBUTTON);
      return 0;
    case WM_LBUTTONDBLCLK:
      if (OnDblClick) OnDblClick();
      return 0;
  }
  return Default(msg, wParam, lParam);
}

bool TSplitter::Create(HWND parent, UINT_PTR id) {
  RegisterClass(L"TSplitter", 0, LoadCursorW(nullptr, IDC_SIZEWE), reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  return TWindow::Create(0, L"TSplitter", L"", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, parent, id);
}

LRESULT TSplitter::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_LBUTTONDOWN:
      grabOffset_ = GET_X_LPARAM(lParam);
      SetCapture(Handle());
      return 0;
    case WM_MOUSEMOVE:
      if (GetCapture() == Handle()) {
        POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        MapWindowPoints(Handle(), GetParent(Handle()), &p, 1);
        if (OnMoved) OnMoved(p.x - grabOffset_);
      }
      return 0;
    case WM_LBUTTONUP:
      if (GetCapture() == Handle()) ReleaseCapture();
      return 0;
  }
  return Default(msg, wParam, lParam);
}

}  // namespace skan::ui
