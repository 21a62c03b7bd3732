// Base of the toolkit's windows: one static window procedure finds the
// object from the creation parameters and calls its WndProc, guarded so no
// exception crosses into the system.
#pragma once

#include <windows.h>

namespace skan::ui {

// Scales a length given at 96 dots per inch.
inline int Scale(int value, UINT dpi) { return MulDiv(value, static_cast<int>(dpi), 96); }

// The window's dots per inch (per monitor when the process is aware of it).
UINT WindowDpi(HWND window);

class TWindow {
 public:
  TWindow() = default;
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;
  // Destroys the window if it still exists.
  virtual ~TWindow();

  HWND Handle() const { return hwnd_; }
  // The object behind a window of a class registered here, or null.
  static TWindow* FromHandle(HWND hwnd) { return reinterpret_cast<TWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

  // Registers a class routed to TWindow objects (once per name).
  static void RegisterClass(const wchar_t* className, UINT style, HCURSOR cursor, HBRUSH background,
                            HICON icon = nullptr, HICON smallIcon = nullptr);

  // CreateWindowExW for a class registered above; false when it failed.
  bool Create(DWORD exStyle, const wchar_t* className, const wchar_t* text, DWORD style, int x, int y, int width,
              int height, HWND parent, UINT_PTR id = 0);

 protected:
  virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam) { return DefWindowProcW(hwnd_, msg, wParam, lParam); }

 private:
  static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND hwnd_ = nullptr;
};

}  // namespace skan::ui
