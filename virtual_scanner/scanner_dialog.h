// The virtual scanner's own dialog: page count, colour / grey / black and
// white, resolution, a feeder switch, Scan and Cancel. Modeless: it lives in
// the host's message loop while the source is enabled.
#pragma once

#include <windows.h>

#include <functional>

#include "page_image.h"

namespace skan::virtual_scanner {

struct TScanSettings {
  int pages = 3;
  TPixelType pixelType = TPixelType::Rgb;
  int resolution = 150;
  bool indeterminate = false;
};

class TScannerDialog {
 public:
  std::function<void(const TScanSettings&)> OnScan;
  std::function<void()> OnCancel;  // Cancel button or close box

  ~TScannerDialog() { Close(); }
  bool Show(HINSTANCE instance, HWND owner, const TScanSettings& initial);
  void SetBusy(bool busy);  // Scan is disabled while a batch runs
  void Close();
  HWND Handle() const { return hwnd_; }

 private:
  static LRESULT CALLBACK StaticProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT Proc(HWND, UINT, WPARAM, LPARAM);
  TScanSettings Read() const;

  HWND hwnd_ = nullptr;
  HWND pages_ = nullptr, color_ = nullptr, resolution_ = nullptr, feeder_ = nullptr, scan_ = nullptr;
};

}  // namespace skan::virtual_scanner
