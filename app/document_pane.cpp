#include "document_pane.h"

bool TDocumentPane::Create(HWND parent, UINT_PTR id) {
  RegisterClass(L"TDocumentPane", 0, LoadCursorW(nullptr, IDC_ARROW),
                reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1));
  // Not a tab stop: the keyboard stays with the buttons.
  return TWindow::Create(WS_EX_CLIENTEDGE, L"TDocumentPane", L"", WS_CHILD | WS_VISIBLE, 0, 0, 0,
                         0, parent, id);
}

void TDocumentPane::Navigate(const std::wstring& path) {
  location_ = path;
  SetWindowTextW(Handle(), path.c_str());
  InvalidateRect(Handle(), nullptr, TRUE);
}

void TDocumentPane::Paint(HDC dc) {
  if (location_.empty()) return;
  RECT r;
  GetClientRect(Handle(), &r);
  size_t slash = location_.find_last_of(L"\\/");
  std::wstring name = slash == std::wstring::npos ? location_ : location_.substr(slash + 1);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  auto font = reinterpret_cast<HFONT>(SendMessageW(GetParent(Handle()), WM_GETFONT, 0, 0));
  HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
  DrawTextW(dc, name.c_str(), static_cast<int>(name.size()), &r,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
  if (old) SelectObject(dc, old);
}

LRESULT TDocumentPane::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(Handle(), &ps);
    Paint(dc);
    EndPaint(Handle(), &ps);
    return 0;
  }
  return Default(msg, wParam, lParam);
}
