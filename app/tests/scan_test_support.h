// A stand-in for the main window's scan-request state, an application window
// for the TWAIN hook, and a way to play the user in the "Select source" dialog.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "application.h"
#include "form_select_source.h"
#include "scan_start.h"
#include "base/encoding.h"

namespace skan {

class TTestScanWindow : public IScanWindow {
 public:
  std::string ScanStatus;
  std::wstring tmpPath;
  std::optional<std::vector<std::wstring>> lista;
  std::wstring filename;
  std::vector<std::string> events;
  bool complete = false;

  void SetScanStatus(std::string_view status) override { ScanStatus = status; }
  std::wstring GetTmpPath() override { return tmpPath; }
  void SetTmpPath(const std::wstring& path) override { tmpPath = path; }
  std::optional<std::vector<std::wstring>>& Lista() override { return lista; }
  void SetFilename(const std::wstring& path) override { filename = path; }
  void TwainManager1TransferComplete(twain::TTwainObject*, int, bool canceled) override {
    events.push_back(canceled ? "complete canceled" : "complete");
    complete = true;
  }
};

inline LRESULT CALLBACK TestAppProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

inline HWND MakeTestAppWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = TestAppProc;
  wc.lpszClassName = L"ScanStartTestApp";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, wc.lpszClassName, L"app", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200, nullptr,
                           nullptr, nullptr, nullptr);
  ui::TApplication::Instance().SetMainWindow(w);
  return w;
}

// Plays the user in the "Select source" dialog once it shows.
inline std::function<void(twain::TFormSelectSource*)>& DialogAction() {
  static std::function<void(twain::TFormSelectSource*)> action;
  return action;
}
inline bool& DialogShown() {
  static bool shown = false;
  return shown;
}
inline void CALLBACK DriveSelectDialog(HWND, UINT, UINT_PTR id, DWORD) {
  HWND form = FindWindowW(twain::TFormSelectSource::kClassName, nullptr);
  if (!form || !IsWindowVisible(form)) return;
  KillTimer(nullptr, id);
  DialogShown() = true;
  auto action = std::move(DialogAction());
  DialogAction() = nullptr;
  auto* self = static_cast<twain::TFormSelectSource*>(ui::TWindow::FromHandle(form));
  if (action) action(self);
}
// Arms the player: when the dialog shows, run the action.
inline void WhenSelectDialogShows(std::function<void(twain::TFormSelectSource*)> action) {
  DialogShown() = false;
  DialogAction() = std::move(action);
  SetTimer(nullptr, 0, 20, DriveSelectDialog);
}
inline void ChooseRow(twain::TFormSelectSource* f, int row) {
  SendMessageW(f->LBSources, LB_SETCURSEL, WPARAM(row), 0);
  SendMessageW(f->BtnOK, BM_CLICK, 0, 0);
}
inline void CancelDialog(twain::TFormSelectSource* f) { SendMessageW(f->BtnCancel, BM_CLICK, 0, 0); }

// Dispatches messages until done() or the time is up.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    ui::TApplication::Instance().RaisePending();
    Sleep(5);
  }
  return true;
}

inline bool FileExistsW(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
inline long long FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace skan
