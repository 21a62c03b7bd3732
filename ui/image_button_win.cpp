#include "image_button.h"

#include <commctrl.h>

#include "application.h"
#include "window.h"

namespace skan::ui {
namespace {

constexpr UINT_PTR kSubclassId = 1;

COLORREF Mix(COLORREF a, COLORREF b, int percentB) {
  auto ch = [&](int shift) {
    int va = (a >> shift) & 0xFF, vb = (b >> shift) & 0xFF;
    return ((va * (100 - percentB) + vb * percentB) / 100) << shift;
  };
  return static_cast<COLORREF>(ch(0) | ch(8) | ch(16));
}

void Fill(HDC dc, const RECT& r, COLORREF color) {
  HBRUSH brush = CreateSolidBrush(color);
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

}  // namespace

TImageButton::TImageButton(HWND parent, UINT_PTR id, std::wstring hint, const wchar_t* resource)
    : hint_(std::move(hint)), resource_(resource) {
  hwnd_ = CreateWindowExW(0, L"BUTTON", hint_.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 0, 0, 0, 0,
                          parent, reinterpret_cast<HMENU>(id), GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowSubclass(hwnd_, SubclassProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));

  tooltip_ =
      CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                      CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  TTTOOLINFOW tool{};
  tool.cbSize = sizeof tool;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = parent;
  tool.uId = reinterpret_cast<UINT_PTR>(hwnd_);
  tool.lpszText = hint_.data();
  SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

TImageButton::~TImageButton() {
  if (tooltip_) DestroyWindow(tooltip_);
  if (hwnd_ && IsWindow(hwnd_)) {
    RemoveWindowSubclass(hwnd_, SubclassProc, kSubclassId);
    SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
    DestroyWindow(hwnd_);
  }
}

void TImageButton::SetBounds(int x, int y, int size, int pictureSize, UINT dpi) {
  int side = Scale(pictureSize, dpi);
  if (picture_.Side() != side) picture_.LoadResource(resource_, side);
  MoveWindow(hwnd_, Scale(x, dpi), Scale(y, dpi), Scale(size, dpi), Scale(size, dpi), TRUE);
}

TImageButton* TImageButton::FromHandle(HWND hwnd) {
  if (!hwnd) return nullptr;
  wchar_t cls[16];
  if (!GetClassNameW(hwnd, cls, 16) || lstrcmpiW(cls, L"Button") != 0) return nullptr;
  if (!(GetWindowLongW(hwnd, GWL_STYLE) & BS_OWNERDRAW)) return nullptr;
  return reinterpret_cast<TImageButton*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

bool TImageButton::Reflect(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_DRAWITEM) {
    const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
    if (item->CtlType != ODT_BUTTON) return false;
    TImageButton* self = FromHandle(item->hwndItem);
    if (!self) return false;
    self->Paint(*item);
    return true;
  }
  if (msg == WM_COMMAND && lParam) {
    TImageButton* self = FromHandle(reinterpret_cast<HWND>(lParam));
    if (!self) return false;
    // An owner-drawn button reports the second click of a double-click as
    // BN_DOUBLECLICKED; it is a click like any other.
    WORD code = HIWORD(wParam);
    if ((code == BN_CLICKED || code == BN_DOUBLECLICKED) && self->OnClick) self->OnClick();
    return true;
  }
  return false;
}

void TImageButton::Paint(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  const RECT& r = item.rcItem;
  const bool disabled = item.itemState & ODS_DISABLED;
  const bool pressed = item.itemState & ODS_SELECTED;
  const COLORREF face = GetSysColor(COLOR_BTNFACE);

  COLORREF back = face;
  if (pressed)
    back = Mix(face, GetSysColor(COLOR_BTNSHADOW), 35);
  else if (hot_ && !disabled)
    back = Mix(face, GetSysColor(COLOR_BTNHIGHLIGHT), 60);
  Fill(dc, r, back);
  if ((pressed || hot_) && !disabled) {
    HBRUSH frame = CreateSolidBrush(GetSysColor(COLOR_BTNSHADOW));
    FrameRect(dc, &r, frame);
    DeleteObject(frame);
  }

  int offset = pressed ? 1 : 0;
  int x = r.left + (r.right - r.left - picture_.Side()) / 2 + offset;
  int y = r.top + (r.bottom - r.top - picture_.Side()) / 2 + offset;
  picture_.Draw(dc, x, y, disabled);

  if ((item.itemState & ODS_FOCUS) && !(item.itemState & ODS_NOFOCUSRECT)) {
    RECT focus = r;
    InflateRect(&focus, -3, -3);
    DrawFocusRect(dc, &focus);
  }
}

LRESULT CALLBACK TImageButton::SubclassProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                            DWORD_PTR data) {
  auto* self = reinterpret_cast<TImageButton*>(data);
  Guarded([&] {
    if (msg == WM_MOUSEMOVE && !self->hot_) {
      self->hot_ = true;
      TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, hwnd, 0};
      TrackMouseEvent(&track);
      InvalidateRect(hwnd, nullptr, FALSE);
    } else if (msg == WM_MOUSELEAVE) {
      self->hot_ = false;
      InvalidateRect(hwnd, nullptr, FALSE);
    }
  });
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(hwnd, SubclassProc, kSubclassId);
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace skan::ui
