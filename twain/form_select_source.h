// The "Select source" dialog: a list of the sources by product name with OK
// and Cancel, shown modally. Its controls are made in code.
#pragma once

#include <windows.h>

#include <string>

#include "window.h"

namespace skan::twain {

class TFormSelectSource : public ui::TWindow {
 public:
  enum TModalResult { mrNone = 0, mrOK = 1, mrCancel = 2 };

  // Process-wide captions of the window and the two buttons.
  static std::wstring Caption;
  static std::wstring OkCaption;
  static std::wstring CancelCaption;

  TFormSelectSource();  // made hidden, placed and laid out
  ~TFormSelectSource() override;
  TFormSelectSource(const TFormSelectSource&) = delete;
  TFormSelectSource& operator=(const TFormSelectSource&) = delete;

  // Shows the dialog above the window active now and runs the application's
  // message loop (so idle work goes on) until it is closed.
  TModalResult ShowModal();
  void Close(TModalResult result) { ModalResult_ = result; }

  HWND LBSources = nullptr;
  HWND PnlBottom = nullptr;
  HWND BtnOK = nullptr;
  HWND BtnCancel = nullptr;

  static constexpr const wchar_t* kClassName = L"TFormSelectSource";

 private:
  static LRESULT CALLBACK PanelProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK EnterKeyProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  LRESULT WndProc(UINT, WPARAM, LPARAM) override;
  void Command(WORD id, WORD code);
  void FormResize();

  int S(int at96) const { return MulDiv(at96, int(Dpi_), 96); }

  UINT Dpi_ = 96;
  HFONT Font_ = nullptr;
  TModalResult ModalResult_ = mrNone;
};

}  // namespace skan::twain
