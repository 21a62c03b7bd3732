#include "twain_manager.h"

#include <commctrl.h>

#include <memory>

#include "application.h"
#include "form_select_source.h"

namespace skan::twain {

namespace {
constexpr wchar_t kTimerClass[] = L"TTwainMessagesTimer";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerInterval = 100;
constexpr UINT_PTR kHookId = 0x7477;  // "tw"
}  // namespace

TTwainManager::TTwainManager() {
  AttachHook();  // the window part of DoCreate; the base part ran already
  static bool registered = false;
  if (!registered) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TimerProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kTimerClass;
    RegisterClassExW(&wc);
    registered = true;
  }
  MessagesTimer_ =
      CreateWindowExW(0, kTimerClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
  SetWindowLongPtrW(MessagesTimer_, GWLP_USERDATA, LONG_PTR(this));
}

TTwainManager::~TTwainManager() {
  // The timer goes first; the teardown below then finds none to stop.
  if (MessagesTimer_) {
    SetWindowLongPtrW(MessagesTimer_, GWLP_USERDATA, 0);
    DestroyWindow(MessagesTimer_);
    MessagesTimer_ = nullptr;
  }
  TimerEnabled_ = false;
  Destroyed_ = true;
  DoDestroy();
  if (HookedWindow_ && IsWindow(HookedWindow_)) RemoveWindowSubclass(HookedWindow_, HookProc, kHookId);
}

void TTwainManager::DoCreate() {
  TCustomTwainManager::DoCreate();
  AttachHook();
}

void TTwainManager::DoDestroy() {
  HookActive_ = false;
  TCustomTwainManager::DoDestroy();
}

// The window subclass stays in place for the manager's whole life (it may be
// removed and added again inside its own call during a rebuild otherwise);
// HookActive_ switches it on and off as DoCreate and DoDestroy attach and
// detach the hook.
void TTwainManager::AttachHook() {
  VirtualWindow_ = ui::TApplication::Instance().AppWindow();
  if (VirtualWindow_ != HookedWindow_) {
    if (HookedWindow_ && IsWindow(HookedWindow_)) RemoveWindowSubclass(HookedWindow_, HookProc, kHookId);
    HookedWindow_ = nullptr;
    if (VirtualWindow_ && SetWindowSubclass(VirtualWindow_, HookProc, kHookId, DWORD_PTR(this)))
      HookedWindow_ = VirtualWindow_;
  }
  HookActive_ = true;
}

void TTwainManager::MessageTimer_Enable() {
  if (MessagesTimer_ && !TimerEnabled_)
    TimerEnabled_ = SetTimer(MessagesTimer_, kTimerId, kTimerInterval, nullptr) != 0;
}

void TTwainManager::MessageTimer_Disable() {
  if (MessagesTimer_ && TimerEnabled_) KillTimer(MessagesTimer_, kTimerId);
  TimerEnabled_ = false;
}

void TTwainManager::DoMessagesTimer() {
  if (VirtualWindow_) SendMessageW(VirtualWindow_, WM_USER, 0, 0);
}

HWND TTwainManager::CustomGetParentWindow() { return IsConsoleApplication() ? nullptr : GetActiveWindow(); }

bool TTwainManager::DoTwainAcquire(TTwainObject* Sender, int Index, HBITMAP Image, bool& Cancel) {
  TTwainBitmap bitmap(Image);  // deleted afterwards, also when the handler raises
  if (OnTwainAcquire) OnTwainAcquire(Sender, Index, bitmap, Cancel);
  return bitmap.Kept();
}

void TTwainManager::DoAcquireProgress(TTwainObject*, int Index, HBITMAP Image, int Current, int Total) {
  if (OnAcquireProgress) OnAcquireProgress(this, Index, Image, Current, Total);
}

bool TTwainManager::WndFunc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!HookActive_ || SourcesLoaded() <= 0) return false;
  MSG record{};
  record.hwnd = HWND(Handle());
  record.message = msg;
  record.wParam = wParam;
  record.lParam = lParam;
  record.pt = TwainPlatform().CursorPos();
  const int count = SourceCount();
  for (int i = 0; i < count; ++i) {
    TTwainSource* source = Source(i);
    // The walk stops at the consuming source: its handling may have rebuilt
    // the manager and freed the list.
    if (source && source->Loaded() && source->Enabled() && source->ProcessMessage(&record)) return true;
  }
  return false;
}

LRESULT CALLBACK TTwainManager::HookProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data) {
  auto* self = reinterpret_cast<TTwainManager*>(data);
  if (msg == WM_NCDESTROY) {
    RemoveWindowSubclass(hwnd, HookProc, kHookId);
    self->HookedWindow_ = nullptr;
    return DefSubclassProc(hwnd, msg, wp, lp);
  }
  // A failure in an event handler is kept for the message loop, which raises
  // it again once this message's dispatch has returned.
  bool handled = false;
  try {
    handled = self->WndFunc(msg, wp, lp);
  } catch (...) {
    ui::TApplication::Instance().CaptureException();
    return 0;
  }
  return handled ? 0 : DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK TTwainManager::TimerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_TIMER && wp == kTimerId) {
    if (auto* self = reinterpret_cast<TTwainManager*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
      ui::Guarded([self] { self->DoMessagesTimer(); });
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

int TTwainManager::CustomSelectSource() {
  const int count = SourceCount();
  if (count == 0) return -1;
  auto form = std::make_unique<TFormSelectSource>();  // freed also when showing it raises
  for (int i = 0; i < count; ++i)
    SendMessageW(form->LBSources, LB_ADDSTRING, 0, LPARAM(Source(i)->ProductName().c_str()));
  SendMessageW(form->LBSources, LB_SETCURSEL, 0, 0);
  const int selected = SelectedSourceIndex();
  if (selected >= 0 && SendMessageW(form->LBSources, LB_GETCOUNT, 0, 0) > selected)
    SendMessageW(form->LBSources, LB_SETCURSEL, WPARAM(selected), 0);
  if (form->ShowModal() != TFormSelectSource::mrOK) return -1;
  return int(SendMessageW(form->LBSources, LB_GETCURSEL, 0, 0));
}

}  // namespace skan::twain
