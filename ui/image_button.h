// A flat button that paints a PNG picture with transparency.
//
// Each button is a real owner-drawn BUTTON window, so accessibility tools
// see a push button named by its hint, and keyboard focus and activation
// behave as for any button. The parent forwards WM_DRAWITEM and WM_COMMAND
// through Reflect().
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "picture.h"

namespace skan::ui {

class TImageButton {
 public:
  // `resource`: name of the RCDATA resource that holds the PNG picture.
  TImageButton(HWND parent, UINT_PTR id, std::wstring hint, const wchar_t* resource);
  ~TImageButton();
  TImageButton(const TImageButton&) = delete;
  TImageButton& operator=(const TImageButton&) = delete;

  HWND Handle() const { return hwnd_; }
  const std::wstring& Hint() const { return hint_; }

  // Places the button (sizes at 96 dpi) and fits the picture to `dpi`.
  void SetBounds(int x, int y, int size, int pictureSize, UINT dpi);
  void SetEnabled(bool enabled) { EnableWindow(hwnd_, enabled); }

  std::function<void()> OnClick;

  // For the parent's window procedure: handles WM_DRAWITEM and WM_COMMAND
  // addressed to an image button; false for anything else.
  static bool Reflect(UINT msg, WPARAM wParam, LPARAM lParam);

 private:
  static TImageButton* FromHandle(HWND hwnd);
  static LRESULT CALLBACK SubclassProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  void Paint(const DRAWITEMSTRUCT& item);

  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  std::wstring hint_;
  const wchar_t* resource_;
  TPicture picture_;
  bool hot_ = false;
};

}  // namespace skan::ui
