// Small controls of the toolkit: a plain panel and a splitter.
#pragma once

#include <functional>

#include "window.h"

namespace skan::ui {

// A plain panel in the button-face colour. It forwards owner-drawn buttons'
// messages to them and reports presses and double-clicks on its free area.
class TPanel : public TWindow {
 public:
  bool Create(HWND parent, UINT_PTR id);
  std::function<void(UINT button)> OnMouseDown;  // WM_LBUTTONDOWN, WM_RBUTTONDOWN, ...
  std::function<void()> OnDblClick;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;
};

// A vertical splitter bar: dragging it reports the bar's new left edge in
// the parent's client coordinates.
class TSplitter : public TWindow {
 public:
  bool Create(HWND parent, UINT_PTR id);
  std::function<void(int left)> OnMoved;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  int grabOffset_ = 0;
};

}  // namespace skan::ui
