// Program entry: the standard streams to the peer, the application object,
// the main window and the message loop.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "application.h"
#include "main_window.h"

namespace {

// Blocking read from standard input for the peer channel's reader thread.
// ReadFile works on every kind of handle the peer may give us, a Unix pipe
// under Wine included.
skan::TPeerInput::ReadFn StdInReader() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (!in || in == INVALID_HANDLE_VALUE) return nullptr;
  return [in](char* buffer, size_t capacity) -> long {
    DWORD n = 0;
    if (!ReadFile(in, buffer, static_cast<DWORD>(capacity), &n, nullptr)) return -1;
    return static_cast<long>(n);
  };
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Dialogs (open file) and the imaging component need a single-threaded
  // apartment on the GUI thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES};
  InitCommonControlsEx(&icc);

  // Make sure the thread has a message queue before the reader may post to it.
  MSG probe;
  PeekMessageW(&probe, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  const DWORD guiThread = GetCurrentThreadId();
  TSkanowanie::FStdOut = std::make_unique<TStdOutStream>(GetStdHandle(STD_OUTPUT_HANDLE));

  auto& app = ui::TApplication::Instance();
  auto form = std::make_unique<TSkanowanie>();
  Skanowanie = form.get();
  if (!form->CreateForm()) return 1;
  app.SetMainWindow(form->Handle(), nullptr);
  app.OnIdle = [](bool& done) { Skanowanie->ApplicationEvents1Idle(done); };

  // The reader starts once the window can log what it reads; bytes that
  // arrived earlier wait in the pipe.
  TSkanowanie::FStdIn = std::make_unique<skan::TPeerInput>(
      StdInReader(), [guiThread] { PostThreadMessageW(guiThread, WM_NULL, 0, 0); });

  form->ShowMaximized();
  app.Run();

  Skanowanie = nullptr;
  form.reset();
  scan_id.clear();
  TSkanowanie::FStdOut.reset();
  TSkanowanie::FStdIn.reset();
  CoUninitialize();
  return 0;
}
