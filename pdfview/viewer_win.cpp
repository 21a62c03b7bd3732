#include "viewer_win.h"

#include <shellapi.h>
#include <windowsx.h>

#include <algorithm>

#include "application.h"
#include "page_loader.h"

namespace skan::pdfview {

namespace {

// Posted by the worker when results wait; carries nothing.
constexpr UINT kResultsReady = WM_APP + 1;
constexpr UINT_PTR kNoticeButtonId = 1;
// Sent to child windows after the parent's DPI changed (Windows 10).
constexpr UINT kDpiChangedAfterParent = 0x02E3;

// Sizes at 96 dots per inch.
constexpr int kMargin = 12;
constexpr int kGap = 10;
constexpr int kLine = 40;
constexpr int kFontPoints = 8;

const wchar_t kOpenElsewhere[] = L"Otwórz w domyślnej przeglądarce PDF";

std::wstring FileNameOf(const std::wstring& path) {
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

const wchar_t* Reason(TErrorKind why) {
  switch (why) {
    case TErrorKind::Unreadable: return L"Nie można odczytać pliku.";
    case TErrorKind::NotPdf: return L"To nie jest plik PDF.";
    case TErrorKind::Damaged: return L"Plik jest uszkodzony lub niekompletny.";
    case TErrorKind::Unsupported: return L"Podgląd pokazuje tylko strony zeskanowane jako obrazy.";
    case TErrorKind::TooLarge: return L"Plik jest za duży, aby go tu pokazać.";
    case TErrorKind::Cancelled: break;
  }
  return L"";
}

// A memory device context with a bitmap of the client's size: the pane is
// drawn there whole and copied at once, so scrolling does not flicker.
class TBackBuffer {
 public:
  TBackBuffer(HDC target, int width, int height)
      : target_(target),
        width_(width),
        height_(height),
        dc_(CreateCompatibleDC(target)),
        bitmap_(CreateCompatibleBitmap(target, std::max(1, width), std::max(1, height))),
        old_(SelectObject(dc_, bitmap_)) {}
  TBackBuffer(const TBackBuffer&) = delete;
  TBackBuffer& operator=(const TBackBuffer&) = delete;
  ~TBackBuffer() {
    BitBlt(target_, 0, 0, width_, height_, dc_, 0, 0, SRCCOPY);
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
  }
  HDC dc() const { return dc_; }

 private:
  HDC target_;
  int width_, height_;
  HDC dc_;
  HBITMAP bitmap_;
  HGDIOBJ old_;
};

}  // namespace

TViewerWindow::TViewerWindow() = default;

// The worker stops (and is joined) before the window goes: it posts to it.
TViewerWindow::~TViewerWindow() {
  loader_.reset();
  if (font_) DeleteObject(font_);
}

bool TViewerWindow::Create(HWND parent, UINT_PTR id, const wchar_t* className) {
  RegisterClass(className, 0, LoadCursorW(nullptr, IDC_ARROW), reinterpret_cast<HBRUSH>(COLOR_APPWORKSPACE + 1));
  // Not a tab stop: the keyboard stays with the buttons until the pane is clicked.
  if (!TWindow::Create(WS_EX_CLIENTEDGE, className, L"", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_CLIPCHILDREN, 0, 0, 0,
                       0, parent, id))
    return false;
  ShowScrollBar(Handle(), SB_VERT, FALSE);
  ApplyDpi();
  HWND self = Handle();
  loader_ = std::make_unique<TPageLoader>([self] { PostMessageW(self, kResultsReady, 0, 0); });
  return true;
}

void TViewerWindow::Navigate(const std::wstring& path) {
  location_ = path;
  SetWindowTextW(Handle(), path.c_str());
  ++generation_;
  opened_ = false;
  layout_.SetPages({});
  DropCache();
  failed_.clear();
  scroll_ = 0;
  firstShown_ = false;
  HideNotice();
  // A scroll bar shown for the document before stays, emptied: hiding it and
  // showing it again would have the window change its frame and lay itself
  // out twice while the first page is being drawn.
  const bool barShown = (GetWindowLongW(Handle(), GWL_STYLE) & WS_VSCROLL) != 0;
  if (barShown) {
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL | SIF_DISABLENOSCROLL;
    SetScrollInfo(Handle(), SB_VERT, &si, TRUE);
  }
  // The first page is drawn at once for the width it will have once the
  // scroll bar shows; the window confirms (or changes) it when it learns of
  // the pages.
  RECT client;
  GetClientRect(Handle(), &client);
  const int firstWidth = TPageLayout::PageWidthFor(client.right - (barShown ? 0 : GetSystemMetrics(SM_CXVSCROLL)),
                                                   ui::Scale(kMargin, dpi_));
  if (loader_) loader_->Open(std::filesystem::path(path), generation_, firstWidth);
  InvalidateRect(Handle(), nullptr, FALSE);
}

void TViewerWindow::ApplyDpi() {
  dpi_ = ui::WindowDpi(Handle());
  if (font_) DeleteObject(font_);
  font_ =
      CreateFontW(-MulDiv(kFontPoints, static_cast<int>(dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
  if (noticeText_) SendMessageW(noticeText_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  if (noticeButton_) SendMessageW(noticeButton_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  Relayout();
}

int TViewerWindow::ViewHeight() const {
  RECT r;
  GetClientRect(Handle(), &r);
  return r.bottom;
}

int TViewerWindow::LineHeight() const { return ui::Scale(kLine, dpi_); }

void TViewerWindow::Relayout() { Relayout(layout_.Anchor(scroll_)); }

void TViewerWindow::Relayout(std::pair<size_t, double> anchor) {
  RECT client;
  GetClientRect(Handle(), &client);
  layout_.Arrange(client.right, ui::Scale(kMargin, dpi_), ui::Scale(kGap, dpi_));
  scroll_ = layout_.ClampScroll(layout_.ScrollFor(anchor), client.bottom);
  UpdateScrollBar();
  PlaceNotice();
  InvalidateRect(Handle(), nullptr, FALSE);
  RequestPages();
}

void TViewerWindow::UpdateScrollBar() {
  if (!opened_) return;
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  // Always shown while a document is open: a bar that came and went would
  // change the width, and with it every page's height.
  si.fMask = SIF_ALL | SIF_DISABLENOSCROLL;
  si.nMin = 0;
  si.nMax = std::max(0, layout_.TotalHeight() - 1);
  si.nPage = static_cast<UINT>(std::max(0, ViewHeight()));
  si.nPos = scroll_;
  SetScrollInfo(Handle(), SB_VERT, &si, TRUE);
}

void TViewerWindow::ScrollTo(int pos) {
  pos = layout_.ClampScroll(pos, ViewHeight());
  if (pos == scroll_) return;
  scroll_ = pos;
  UpdateScrollBar();
  InvalidateRect(Handle(), nullptr, FALSE);
  RequestPages();
}

void TViewerWindow::RequestPages() {
  if (!loader_ || !opened_ || noticeText_ || layout_.PageCount() == 0) return;
  const int width = layout_.PageWidth();
  auto [first, last] = layout_.Visible(scroll_, ViewHeight());
  if (first > last) return;
  // Pages far from the view are dropped: memory follows the view, not the
  // length of the document.
  const size_t keepFrom = first >= 2 ? first - 2 : 0, keepTo = last + 2;
  for (auto it = cache_.begin(); it != cache_.end();)
    it = (it->first < keepFrom || it->first > keepTo) ? Drop(it) : std::next(it);

  std::vector<size_t> wanted;
  auto want = [&](size_t page) {
    if (page >= layout_.PageCount() || failed_[page]) return;
    auto it = cache_.find(page);
    if (it != cache_.end() && it->second.width == width) return;
    wanted.push_back(page);
  };
  // The page under the middle of the view first, then the rest on screen,
  // then one page ahead and one behind.
  want(layout_.CurrentPage(scroll_, ViewHeight()));
  for (size_t p = first; p <= last; ++p) want(p);
  want(last + 1);
  if (first > 0) want(first - 1);
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  loader_->Want(std::move(wanted), width);
}

void TViewerWindow::TakeResults() {
  if (!loader_) return;
  bool changed = false;
  for (TLoadResult& r : loader_->Take()) {
    if (r.generation != generation_) continue;
    switch (r.type) {
      case TLoadResult::Opened:
        opened_ = true;
        failed_.assign(r.pageSizes.size(), false);
        layout_.SetPages(std::move(r.pageSizes));
        if (!(GetWindowLongW(Handle(), GWL_STYLE) & WS_VSCROLL)) ShowScrollBar(Handle(), SB_VERT, TRUE);
        Relayout();  // the scroll bar took some width
        break;
      case TLoadResult::PagesKnown: {
        // Nothing to do when a notice shows instead, or when the pages stood
        // in rightly (a scan's pages are all of a size).
        if (!opened_ || r.pageSizes == layout_.Sizes()) break;
        // Every page as read, in place of those that stood in: the view
        // keeps its place, pages past the real end go.
        const size_t count = r.pageSizes.size();
        failed_.resize(count, false);
        for (auto it = cache_.begin(); it != cache_.end();) it = it->first >= count ? Drop(it) : std::next(it);
        const auto anchor = layout_.Anchor(scroll_);
        layout_.SetPages(std::move(r.pageSizes));
        Relayout(anchor);
        break;
      }
      case TLoadResult::OpenFailed: ShowNotice(r.error); break;
      case TLoadResult::Page: {
        if (r.page >= layout_.PageCount()) break;
        TCached c;
        c.width = r.raster.width;
        c.height = r.raster.height;
        c.bgrx = std::move(r.raster.pixels);
        auto old = cache_.find(r.page);
        if (old != cache_.end()) Drop(old);
        cache_[r.page] = std::move(c);
        changed = true;
        break;
      }
      case TLoadResult::PageFailed:
        if (r.page >= failed_.size()) break;
        failed_[r.page] = true;
        // A document whose first page cannot be drawn is not shown at all.
        if (r.page == 0) ShowNotice(r.error);
        changed = true;
        break;
    }
  }
  if (changed) {
    InvalidateRect(Handle(), nullptr, FALSE);
    RequestPages();
  }
}

void TViewerWindow::ShowNotice(TErrorKind why) {
  HideNotice();
  std::wstring text = L"Nie można wyświetlić pliku " + FileNameOf(location_) + L".\r\n" + Reason(why);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  noticeText_ = CreateWindowExW(0, L"STATIC", text.c_str(), WS_CHILD | WS_VISIBLE | SS_CENTER | SS_NOPREFIX, 0, 0, 0, 0,
                                Handle(), nullptr, instance, nullptr);
  noticeButton_ = CreateWindowExW(0, L"BUTTON", kOpenElsewhere, WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 0, 0,
                                  Handle(), reinterpret_cast<HMENU>(kNoticeButtonId), instance, nullptr);
  SendMessageW(noticeText_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SendMessageW(noticeButton_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  opened_ = false;
  DropCache();
  if (loader_) loader_->Want({}, 0);
  ShowScrollBar(Handle(), SB_VERT, FALSE);
  PlaceNotice();
  InvalidateRect(Handle(), nullptr, TRUE);
}

void TViewerWindow::HideNotice() {
  if (noticeText_) DestroyWindow(noticeText_);
  if (noticeButton_) DestroyWindow(noticeButton_);
  noticeText_ = noticeButton_ = nullptr;
}

void TViewerWindow::PlaceNotice() {
  if (!noticeText_) return;
  RECT client;
  GetClientRect(Handle(), &client);
  const int width = std::min<int>(client.right - 2 * ui::Scale(kMargin, dpi_), ui::Scale(420, dpi_));
  const int textHeight = ui::Scale(44, dpi_), buttonHeight = ui::Scale(26, dpi_);
  const int buttonWidth = std::min(width, ui::Scale(240, dpi_));
  const int top = std::max(0, (static_cast<int>(client.bottom) - textHeight - buttonHeight - ui::Scale(8, dpi_)) / 2);
  const int left = (client.right - width) / 2;
  MoveWindow(noticeText_, left, top, std::max(0, width), textHeight, TRUE);
  MoveWindow(noticeButton_, (client.right - buttonWidth) / 2, top + textHeight + ui::Scale(8, dpi_), buttonWidth,
             buttonHeight, TRUE);
}

void TViewerWindow::OpenExternally() {
  if (location_.empty()) return;
  HWND top = GetAncestor(Handle(), GA_ROOT);
  auto result =
      reinterpret_cast<INT_PTR>(ShellExecuteW(top, L"open", location_.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32)
    MessageBoxW(top, L"Nie można otworzyć pliku w innym programie.", ui::TApplication::Instance().Title().c_str(),
                MB_OK | MB_ICONWARNING);
}

std::map<size_t, TViewerWindow::TCached>::iterator TViewerWindow::Drop(std::map<size_t, TCached>::iterator it) {
  if (loader_) loader_->Recycle(std::move(it->second.bgrx));
  return cache_.erase(it);
}

void TViewerWindow::DropCache() {
  while (!cache_.empty()) Drop(cache_.begin());
}

bool TViewerWindow::ViewComplete() const {
  if (!opened_) return noticeText_ != nullptr;
  auto [first, last] = layout_.Visible(scroll_, ViewHeight());
  for (size_t p = first; p <= last; ++p) {
    auto it = cache_.find(p);
    if (!failed_[p] && (it == cache_.end() || it->second.width != layout_.PageWidth())) return false;
  }
  return true;
}

long TViewerWindow::FailedPageAt(POINT p) const {
  if (!opened_ || layout_.PageCount() == 0 || p.x < layout_.Left() || p.x >= layout_.Left() + layout_.PageWidth())
    return -1;
  size_t page = layout_.PageAt(p.y + scroll_);
  int top = layout_.Top(page) - scroll_;
  if (p.y < top || p.y >= top + layout_.Height(page) || !failed_[page]) return -1;
  return static_cast<long>(page);
}

void TViewerWindow::Paint(HDC target, const RECT& client) {
  TBackBuffer buffer(target, client.right, client.bottom);
  HDC dc = buffer.dc();
  FillRect(dc, &client, GetSysColorBrush(COLOR_APPWORKSPACE));
  if (!opened_ || layout_.PageCount() == 0) return;
  bool drewPage = false;
  auto [first, last] = layout_.Visible(scroll_, client.bottom);
  for (size_t p = first; p <= last; ++p) {
    RECT r{layout_.Left(), layout_.Top(p) - scroll_, layout_.Left() + layout_.PageWidth(),
           layout_.Top(p) - scroll_ + layout_.Height(p)};
    PaintPage(dc, p, r);
    drewPage = drewPage || cache_.count(p);
  }
  PaintIndicator(dc, client);
  if (drewPage && !firstShown_) {
    firstShown_ = true;
    if (OnFirstPageShown) OnFirstPageShown();
  }
}

void TViewerWindow::PaintPage(HDC dc, size_t page, const RECT& r) {
  const int w = r.right - r.left, h = r.bottom - r.top;
  auto it = cache_.find(page);
  if (it != cache_.end()) {
    const TCached& c = it->second;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = c.width;
    bi.bmiHeader.biHeight = -c.height;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    // A page drawn for another width (a preview, or before a resize) is
    // stretched until its redraw arrives; only shrinking needs halftone.
    SetStretchBltMode(dc, c.width > w ? HALFTONE : COLORONCOLOR);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchDIBits(dc, r.left, r.top, w, h, 0, 0, c.width, c.height, c.bgrx.data(), &bi, DIB_RGB_COLORS, SRCCOPY);
    return;
  }
  FillRect(dc, &r, GetSysColorBrush(COLOR_WINDOW));
  if (!failed_[page]) return;  // still being drawn
  std::wstring text = L"Nie można wyświetlić strony " + std::to_wstring(page + 1) + L" pliku " + FileNameOf(location_) +
                      L".\r\nKliknij, aby otworzyć plik w domyślnej przeglądarce PDF.";
  HGDIOBJ old = SelectObject(dc, font_);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  RECT box = r;
  InflateRect(&box, -ui::Scale(kMargin, dpi_), 0);
  RECT measure = box;
  DrawTextW(dc, text.c_str(), -1, &measure, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
  OffsetRect(&box, 0, std::max(0, (h - static_cast<int>(measure.bottom - measure.top)) / 2));
  DrawTextW(dc, text.c_str(), -1, &box, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
  SelectObject(dc, old);
}

void TViewerWindow::PaintIndicator(HDC dc, const RECT& client) {
  std::wstring text = PageIndicatorText(layout_.CurrentPage(scroll_, client.bottom), layout_.PageCount());
  HGDIOBJ old = SelectObject(dc, font_);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  const int pad = ui::Scale(6, dpi_), inset = ui::Scale(kMargin, dpi_) + ui::Scale(4, dpi_);
  RECT box{client.right - inset - size.cx - 2 * pad, client.bottom - inset - size.cy - pad, client.right - inset,
           client.bottom - inset};
  HBRUSH back = CreateSolidBrush(RGB(248, 248, 248));
  FillRect(dc, &box, back);
  DeleteObject(back);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(96, 96, 96));
  DrawTextW(dc, text.c_str(), -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
  SelectObject(dc, old);
}

LRESULT TViewerWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Handle(), &ps);
      RECT client;
      GetClientRect(Handle(), &client);
      Paint(dc, client);
      EndPaint(Handle(), &ps);
      return 0;
    }
    case WM_ERASEBKGND: return 1;  // Paint covers everything
    case kResultsReady: TakeResults(); return 0;
    case WM_SIZE: Relayout(); return 0;
    case kDpiChangedAfterParent: ApplyDpi(); return 0;
    case WM_VSCROLL: {
      const int page = std::max(LineHeight(), ViewHeight() - LineHeight());
      switch (LOWORD(wParam)) {
        case SB_LINEUP: ScrollTo(scroll_ - LineHeight()); break;
        case SB_LINEDOWN: ScrollTo(scroll_ + LineHeight()); break;
        case SB_PAGEUP: ScrollTo(scroll_ - page); break;
        case SB_PAGEDOWN: ScrollTo(scroll_ + page); break;
        case SB_TOP: ScrollTo(0); break;
        case SB_BOTTOM: ScrollTo(layout_.TotalHeight()); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: {
          // The 32-bit position: the message's own is only 16 bits.
          SCROLLINFO si{};
          si.cbSize = sizeof si;
          si.fMask = SIF_TRACKPOS;
          GetScrollInfo(Handle(), SB_VERT, &si);
          ScrollTo(si.nTrackPos);
          break;
        }
        default: break;
      }
      return 0;
    }
    case WM_MOUSEWHEEL: {
      UINT lines = 3;
      SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines, 0);
      wheelRemainder_ += GET_WHEEL_DELTA_WPARAM(wParam);
      const int notches = wheelRemainder_ / WHEEL_DELTA;
      wheelRemainder_ -= notches * WHEEL_DELTA;
      if (lines == WHEEL_PAGESCROLL)
        ScrollTo(scroll_ - notches * std::max(LineHeight(), ViewHeight() - LineHeight()));
      else
        ScrollTo(scroll_ - notches * static_cast<int>(lines) * LineHeight() / 3);
      return 0;
    }
    case WM_KEYDOWN: {
      const int page = std::max(LineHeight(), ViewHeight() - LineHeight());
      switch (wParam) {
        case VK_PRIOR: ScrollTo(scroll_ - page); return 0;
        case VK_NEXT: ScrollTo(scroll_ + page); return 0;
        case VK_HOME: ScrollTo(0); return 0;
        case VK_END: ScrollTo(layout_.TotalHeight()); return 0;
        case VK_UP: ScrollTo(scroll_ - LineHeight()); return 0;
        case VK_DOWN: ScrollTo(scroll_ + LineHeight()); return 0;
        default: break;
      }
      break;
    }
    case WM_GETDLGCODE: return DLGC_WANTARROWS;
    case WM_LBUTTONDOWN: {
      SetFocus(Handle());
      POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (FailedPageAt(p) >= 0) OpenExternally();
      return 0;
    }
    case WM_SETCURSOR:
      if (LOWORD(lParam) == HTCLIENT && reinterpret_cast<HWND>(wParam) == Handle()) {
        POINT p;
        GetCursorPos(&p);
        ScreenToClient(Handle(), &p);
        SetCursor(LoadCursorW(nullptr, FailedPageAt(p) >= 0 ? IDC_HAND : IDC_ARROW));
        return TRUE;
      }
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == kNoticeButtonId && HIWORD(wParam) == BN_CLICKED) OpenExternally();
      return 0;
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      SetBkColor(dc, GetSysColor(COLOR_WINDOW));
      return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    case WM_DESTROY: loader_.reset(); return 0;
    default: break;
  }
  return Default(msg, wParam, lParam);
}

}  // namespace skan::pdfview
