// The pane that shows the current document. The window talks to it through
// Navigate() only, so the viewer behind it (pdfview/) can change without
// touching the window.
#pragma once

#include <string>

#include "viewer_win.h"

namespace skan {

class TDocumentPane : public pdfview::TViewerWindow {
 public:
  bool Create(HWND parent, UINT_PTR id) { return TViewerWindow::Create(parent, id, L"TDocumentPane"); }
  // Inherited: Navigate(path) shows the document at `path` and makes the
  // path the pane's window text; LocationName() returns it.
};

}  // namespace skan
