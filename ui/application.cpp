#include "application.h"

#include <stdexcept>
#include <system_error>

#include "failure_text.h"
#include "base/encoding.h"

namespace skan::ui {

TApplication& TApplication::Instance() {
  static TApplication app;
  return app;
}

void TApplication::SetMainWindow(HWND window, HACCEL accelerators) {
  mainWindow_ = window;
  accelerators_ = accelerators;
}

void TApplication::Run() {
  while (!terminated_) HandleMessage();
}

void TApplication::HandleMessage() {
  if (!ProcessMessage()) Idle();
}

bool TApplication::ProcessMessage() {
  MSG msg;
  if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    terminated_ = true;
    return true;
  }
  try {
    if (OnMessage && OnMessage(msg)) {
      RaisePending();
      return true;
    }
    bool translated = accelerators_ && mainWindow_ && (msg.hwnd == mainWindow_ || IsChild(mainWindow_, msg.hwnd)) &&
                      TranslateAcceleratorW(mainWindow_, accelerators_, &msg);
    if (!translated) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    RaisePending();
  } catch (...) {
    ShowException(std::current_exception());
  }
  return true;
}

void TApplication::Idle() {
  bool done = true;
  try {
    if (OnIdle) OnIdle(done);
    RaisePending();
  } catch (...) {
    ShowException(std::current_exception());
  }
  if (done && !terminated_) {
    // Returns when any message is waiting, including one that arrived while
    // the idle handler ran.
    MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}

void TApplication::Terminate() { PostQuitMessage(0); }

void TApplication::CaptureException() noexcept {
  if (!pending_) pending_ = std::current_exception();
}

void TApplication::RaisePending() {
  if (pending_) {
    std::exception_ptr e = pending_;
    pending_ = nullptr;
    std::rethrow_exception(e);
  }
}

std::wstring ExceptionMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return base::Widen(e.what());
  } catch (...) {
    return L"Unknown failure";
  }
}

void TApplication::ShowException(std::exception_ptr error) {
  if (!error) return;
  if (OnException) {
    OnException(error);
    return;
  }
  std::wstring text = FailureBoxText(ExceptionMessage(error));
  HWND owner = GetActiveWindow();
  if (!owner) owner = mainWindow_;
  MessageBoxW(owner, text.c_str(), Title().c_str(), MB_OK | MB_ICONSTOP);
}

std::wstring TApplication::Title() const {
  wchar_t path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  return ApplicationTitle(std::wstring_view(path, n));
}

}  // namespace skan::ui
