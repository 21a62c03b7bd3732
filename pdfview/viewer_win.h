// A window that shows a PDF document. It reads and draws the PDF itself (pdfview/): the pages stacked top
// to bottom, fitted to the pane's width, scrolled with the scroll bar, the
// mouse wheel and the keyboard, with a page indicator in the corner. A worker
// thread reads the file and draws pages on demand; it posts a message when
// results wait, and the pane takes them on the GUI thread. A document or a
// first page it cannot draw gives a message with the file's name and a button
// that opens the file in the system's PDF viewer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "error.h"
#include "page_layout.h"
#include "window.h"

namespace skan::pdfview {

class TPageLoader;

class TViewerWindow : public ui::TWindow {
 public:
  TViewerWindow();
  ~TViewerWindow() override;

  // A child window of the class `className` (registered here).
  bool Create(HWND parent, UINT_PTR id, const wchar_t* className);
  // Shows the document at `path`; the pane's window text becomes the path.
  void Navigate(const std::wstring& path);
  const std::wstring& LocationName() const { return location_; }

  // Raised once per Navigate, when the first drawn page reaches the screen.
  std::function<void()> OnFirstPageShown;
  // True when every page in view is drawn for the current width, or known
  // to be undrawable (benchmarks).
  bool ViewComplete() const;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  struct TCached {
    int width = 0, height = 0;
    std::vector<uint32_t> bgrx;  // top-down 32-bit device-independent bitmap
  };

  void TakeResults();
  // Forgets drawn pages, their pixels going back to the loader as room.
  std::map<size_t, TCached>::iterator Drop(std::map<size_t, TCached>::iterator it);
  void DropCache();
  void Relayout();
  // The same, keeping the view at `anchor` (a page and a part of its height).
  void Relayout(std::pair<size_t, double> anchor);
  void ApplyDpi();
  void RequestPages();
  void ScrollTo(int pos);
  void UpdateScrollBar();
  int ViewHeight() const;
  int LineHeight() const;
  void Paint(HDC dc, const RECT& client);
  void PaintPage(HDC dc, size_t page, const RECT& r);
  void PaintIndicator(HDC dc, const RECT& client);
  void ShowNotice(TErrorKind why);
  void HideNotice();
  void PlaceNotice();
  void OpenExternally();
  // The failed page under a point of the client area, or -1.
  long FailedPageAt(POINT p) const;

  std::wstring location_;
  uint64_t generation_ = 0;
  std::unique_ptr<TPageLoader> loader_;
  TPageLayout layout_;
  bool opened_ = false;
  int scroll_ = 0;
  int wheelRemainder_ = 0;
  std::map<size_t, TCached> cache_;
  std::vector<bool> failed_;
  bool firstShown_ = false;

  HWND noticeText_ = nullptr;
  HWND noticeButton_ = nullptr;
  UINT dpi_ = 96;
  HFONT font_ = nullptr;
};

}  // namespace skan::pdfview
