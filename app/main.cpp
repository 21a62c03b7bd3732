// Program entry: the standard streams to the peer, the application object,
// the main window and the message loop.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <system_error>
#include <thread>

#include "application.h"
#include "main_window.h"
#include "work_files.h"

namespace skan {

namespace {

// Blocking read from standard input for the peer channel's reader thread.
// ReadFile works on every kind of handle the peer may give us, a Unix pipe
// under Wine included.
skan::TPeerInput::ReadFn StdInReader(HANDLE in) {
  if (!in || in == INVALID_HANDLE_VALUE) return nullptr;
  return [in](char* buffer, size_t capacity) -> long {
    DWORD n = 0;
    if (!ReadFile(in, buffer, static_cast<DWORD>(capacity), &n, nullptr)) return -1;
    return static_cast<long>(n);
  };
}

// A peer that starts the host gives it a pipe; when that pipe ends, the peer
// has gone. Standard input of any other kind (none at all when a person
// starts the program, a file, a console) ending says nothing about a peer.
bool IsPeerPipe(HANDLE in) { return in && in != INVALID_HANDLE_VALUE && GetFileType(in) == FILE_TYPE_PIPE; }

}  // namespace

// The host: its window, the peer channel and the message loop until the end.
int RunHost() {
  // Dialogs (open file) and the imaging component need a single-threaded
  // apartment on the GUI thread.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES};
  InitCommonControlsEx(&icc);

  TSkanowanie::FStdOut = std::make_unique<TStdOutStream>(GetStdHandle(STD_OUTPUT_HANDLE));

  // Work files of hosts killed while writing them go, on a thread of their
  // own (the request folders may be many); when no thread can be had, the
  // next start removes them.
  try {
    std::thread([temp = TempFolder()] {
      SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
      RemoveStaleWorkFilesUnder(temp);
    }).detach();
  } catch (const std::system_error&) {
  }

  auto& app = ui::TApplication::Instance();
  auto form = std::make_unique<TSkanowanie>();
  Skanowanie = form.get();
  if (!form->CreateForm()) return 1;
  // F10 and F11 are taken by actions without handlers, so they do nothing
  // (F10 would otherwise open the system menu).
  app.SetMainWindow(form->Handle(), form->Shortcuts());
  app.OnIdle = [](bool& done) { Skanowanie->ApplicationEvents1Idle(done); };

  // The reader starts once the window can log what it reads; bytes that
  // arrived earlier wait in the pipe.
  // Its wake is a message to the window, which modal loops (message boxes,
  // dialogs) dispatch too, so a peer that has gone ends the program even then.
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HWND window = form->Handle();
  TSkanowanie::FStdIn = std::make_unique<TPeerInput>(
      StdInReader(in), [window] { PostMessageW(window, TSkanowanie::WM_PEERINPUT, 0, 0); }, IsPeerPipe(in));
  // The reader's wake only needs to wake this loop: the idle poll that
  // follows takes the message, or sees that the peer has gone. The window
  // receives the wake only from modal loops of the system, where no poll runs.
  app.OnMessage = [window](const MSG& msg) { return msg.hwnd == window && msg.message == TSkanowanie::WM_PEERINPUT; };

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

}  // namespace skan

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return skan::RunHost(); }
