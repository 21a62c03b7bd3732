// The application object: the message loop with its idle notification, the
// quit request, and the failure box for exceptions that escape a handler.
//
// No C++ exception may cross a Win32 callback. Window procedures, hooks and
// timer callbacks run their code through Guarded(), which keeps the
// exception; the message loop raises it again right after DispatchMessage
// returns, where it is shown in the failure box and the loop carries on.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <string>
#include <type_traits>

namespace skan::ui {

class TApplication {
 public:
  static TApplication& Instance();

  // Raised each time the message queue has run empty. A handler that clears
  // `done` is called again at once instead of waiting for the next message.
  std::function<void(bool& done)> OnIdle;
  // Sees each message that this loop takes, before it is dispatched; a
  // handler that returns true has handled it. Modal loops of the system
  // (message boxes, common dialogs) dispatch without it.
  std::function<bool(const MSG& msg)> OnMessage;
  // Replaces the failure box for exceptions that reach the loop (tests).
  std::function<void(std::exception_ptr)> OnException;

  // The application's window (the main window) and its keyboard short-cuts.
  void SetMainWindow(HWND window, HACCEL accelerators = nullptr);
  HWND AppWindow() const { return mainWindow_; }

  // Runs the message loop until the quit request has been seen.
  void Run();
  // One step of a loop: take and dispatch one message; when the queue is
  // empty, raise the idle notification and wait for the next message.
  void HandleMessage();
  // Posts the quit request.
  void Terminate();
  bool Terminated() const { return terminated_; }

  // Inside catch(...) at a callback boundary: keeps the current exception
  // (the first one, when several arrive before the loop takes them).
  void CaptureException() noexcept;
  // Raises a kept exception again, clearing it.
  void RaisePending();
  // Shows the failure box for an exception.
  void ShowException(std::exception_ptr error);

  // The executable's name by the title rule.
  std::wstring Title() const;

 private:
  TApplication() = default;
  bool ProcessMessage();
  void Idle();

  HWND mainWindow_ = nullptr;
  HACCEL accelerators_ = nullptr;
  bool terminated_ = false;
  std::exception_ptr pending_;
};

// The message of an exception as the box shows it.
std::wstring ExceptionMessage(std::exception_ptr error);

// Runs `f` at a Win32 callback boundary. An exception is kept for the message
// loop and `onError` is returned instead.
template <class F, class R = std::invoke_result_t<F>>
auto Guarded(F&& f, R onError = R()) noexcept -> std::enable_if_t<!std::is_void_v<R>, R> {
  try {
    return f();
  } catch (...) {
    TApplication::Instance().CaptureException();
    return onError;
  }
}

template <class F>
auto Guarded(F&& f) noexcept -> std::enable_if_t<std::is_void_v<std::invoke_result_t<F>>> {
  try {
    f();
  } catch (...) {
    TApplication::Instance().CaptureException();
  }
}

}  // namespace skan::ui
