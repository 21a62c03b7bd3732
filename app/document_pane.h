// The pane that shows the current document. The window talks to it through
// Navigate() only, so the viewer behind it can change without touching the
// window.
#pragma once

#include <string>

#include "window.h"

class TDocumentPane : public ui::TWindow {
 public:
  bool Create(HWND parent, UINT_PTR id);
  // Shows the document at `path`.
  void Navigate(const std::wstring& path);
  const std::wstring& LocationName() const { return location_; }

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  void Paint(HDC dc);
  std::wstring location_;
};
