// The window-bound source manager: the DSM's parent is the application's
// window, whose messages a hook offers to every enabled source, and a 100 ms
// timer keeps messages flowing while a source is enabled.
#pragma once

#include <windows.h>

#include "custom_twain_manager.h"
#include "twain_source.h"

namespace skan::twain {

class TTwainManager : public TCustomTwainManager {
 public:
  TTwainManager();
  ~TTwainManager() override;

  TOnTwainAcquire OnTwainAcquire;
  TOnAcquireProgress OnAcquireProgress;

  void MessageTimer_Enable() override;
  void MessageTimer_Disable() override;
  bool MessageTimerEnabled() const { return TimerEnabled_; }
  HWND CustomGetParentWindow() override;
  bool DoTwainAcquire(TTwainObject* Sender, int Index, HBITMAP Image, bool& Cancel) override;
  void DoAcquireProgress(TTwainObject* Sender, int Index, HBITMAP Image, int Current, int Total) override;

  // The hook: offers one message of the application's window to the open and
  // enabled sources; true when one consumed it.
  bool WndFunc(UINT msg, WPARAM wParam, LPARAM lParam);

 protected:
  void DoCreate() override;
  void DoDestroy() override;
  int CustomSelectSource() override;
  void DoMessagesTimer();

 private:
  void AttachHook();
  static LRESULT CALLBACK HookProc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);
  static LRESULT CALLBACK TimerProc(HWND, UINT, WPARAM, LPARAM);

  HWND MessagesTimer_ = nullptr;  // message-only window carrying the timer
  bool TimerEnabled_ = false;
  HWND HookedWindow_ = nullptr;
  bool HookActive_ = false;
};

}  // namespace skan::twain
