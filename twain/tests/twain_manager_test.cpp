// The window-bound manager under Wine: the hook on the application's window,
// the 100 ms timer, failures carried to the message loop, and the "Select
// source" dialog.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>

#include "application.h"
#include "fake_dsm.h"
#include "form_select_source.h"
#include "twain_manager.h"

namespace skan::twain {

namespace {

int gPassedOn = 0;  // messages that reached the application window's own procedure

LRESULT CALLBACK AppProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_USER || m == WM_USER + 5) ++gPassedOn;
  return DefWindowProcW(h, m, w, l);
}

HWND MakeAppWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = AppProc;
  wc.lpszClassName = L"TwainManagerTestApp";
  RegisterClassW(&wc);
  return CreateWindowExW(0, wc.lpszClassName, L"app", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 400, 300, nullptr,
                         nullptr, nullptr, nullptr);
}

// Dispatches messages until done() or the time is up.
bool Pump(const std::function<bool()>& done, int ms = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
  return true;
}

class TwainManagerWin : public ::testing::Test {
 protected:
  void SetUp() override {
    app = MakeAppWindow();
    ui::TApplication::Instance().SetMainWindow(app);
    platform.folders[dkWindows] = L"C:\\windows";
    platform.filesPresent = {L"C:\\windows\\TWAIN_32.DLL"};
    for (const char* name : {"Scanner A", "Scanner B", "Scanner C"}) dsm.sources.push_back(TFakeDsm::Identity(name));
    manager = std::make_unique<TTwainManager>();
    manager->SetLibraryLoaded(true);
    manager->SetSourceManagerLoaded(true);
    ASSERT_EQ(dsm.Take(), "PARENT/OPENDSM");
    gPassedOn = 0;
  }
  void TearDown() override {
    manager.reset();
    DestroyWindow(app);
  }
  TTwainSource* OpenAndEnable(int index, TTwainTransferMode mode = ttmFile) {
    TTwainSource* s = manager->Source(index);
    s->SetLoaded(true);
    s->SetTransferMode(mode);
    s->SetEnabled(true);
    dsm.Take();
    return s;
  }
  size_t ProcessEvents() {
    size_t n = 0;
    for (auto& t : dsm.trace) n += t == "EVENT/PROCESSEVENT";
    return n;
  }

  HWND app = nullptr;
  TFakeTwainPlatform platform;
  TFakeDsm dsm;
  std::unique_ptr<TTwainManager> manager;
};

TEST_F(TwainManagerWin, TheDsmParentIsTheApplicationWindow) {
  EXPECT_EQ(manager->VirtualWindow(), app);
  OpenAndEnable(0);
  ASSERT_EQ(dsm.enables.size(), 1u);
  EXPECT_EQ(HWND(dsm.enables[0].hParent), app);
}

TEST_F(TwainManagerWin, HookOffersMessagesOnlyToOpenEnabledSources) {
  SendMessageW(app, WM_USER + 5, 1, 2);  // nothing open: the DSM is not called
  EXPECT_EQ(dsm.Take(), "");
  manager->Source(1)->SetLoaded(true);  // open, not enabled
  dsm.Take();
  SendMessageW(app, WM_USER + 5, 1, 2);
  EXPECT_EQ(dsm.Take(), "");
  EXPECT_EQ(gPassedOn, 2);

  manager->Source(1)->SetEnabled(true);
  dsm.Take();
  SendMessageW(app, WM_USER + 5, 7, 8);  // TWRC_NOTDSEVENT: passes on unchanged
  EXPECT_EQ(dsm.Take(), "EVENT/PROCESSEVENT");
  EXPECT_EQ(gPassedOn, 3);
  ASSERT_EQ(dsm.processed.size(), 1u);
  const MSG& rec = dsm.processed[0];
  EXPECT_EQ(rec.message, UINT(WM_USER + 5));
  EXPECT_EQ(rec.wParam, WPARAM(7));
  EXPECT_EQ(rec.lParam, LPARAM(8));
  EXPECT_EQ(rec.hwnd, HWND(manager->Handle()));
  EXPECT_EQ(rec.pt.x, 12);

  dsm.events = {MSG_NULL};  // a source event: consumed, the window never sees it
  SendMessageW(app, WM_USER + 5, 0, 0);
  EXPECT_EQ(gPassedOn, 3);
}

TEST_F(TwainManagerWin, TimerDrivesABatchAndTheHookIsRenewedOnce) {
  std::vector<std::string> events;
  manager->OnSourceSetupFileXfer = [&](TTwainObject*, int i) {
    events.push_back("setup");
    manager->Source(i)->SetupFileTransfer(L"C:\\p" + std::to_wstring(events.size()) + L".bmp", tfBMP);
  };
  manager->OnSourceFileTransfer = [&](TTwainObject*, int, const TW_STR255& name, TTwainFormat, bool&) {
    events.push_back(std::string("file ") + name);
  };
  manager->OnSourceDisable = [&](TTwainObject*, int) { events.push_back("disable"); };
  bool complete = false;
  manager->OnTransferComplete = [&](TTwainObject*, int, bool canceled) {
    events.push_back(canceled ? "complete canceled" : "complete");
    complete = true;
  };
  dsm.pages = {TWRC_XFERDONE, TWRC_XFERDONE, TWRC_XFERDONE};
  OpenAndEnable(0);
  EXPECT_TRUE(manager->MessageTimerEnabled());
  dsm.events = {MSG_NULL, MSG_XFERREADY};  // the second timer tick brings the batch
  ASSERT_TRUE(Pump([&] { return complete; }));
  EXPECT_EQ(events, (std::vector<std::string>{"setup", "file C:\\p1.bmp", "setup", "file C:\\p3.bmp", "setup",
                                              "file C:\\p5.bmp", "disable", "complete"}));
  EXPECT_FALSE(manager->MessageTimerEnabled());
  EXPECT_EQ(manager->SourcesLoaded(), 0);
  EXPECT_EQ(gPassedOn, 0);  // every tick was consumed by the source

  // Rebuilt: the hook works again, once per message.
  OpenAndEnable(2);
  dsm.trace.clear();
  dsm.Take();
  SendMessageW(app, WM_USER + 5, 0, 0);
  EXPECT_EQ(ProcessEvents(), 1u);
  manager.reset();  // its handlers refer to this test's locals
}

TEST_F(TwainManagerWin, HandlerFailureReachesTheMessageLoop) {
  manager->OnSourceFileTransfer = [](TTwainObject*, int, const TW_STR255&, TTwainFormat, bool&) {
    throw std::runtime_error("page handler failed");
  };
  dsm.pages = {TWRC_XFERDONE, TWRC_XFERDONE};
  TTwainSource* s = OpenAndEnable(0);
  dsm.events = {MSG_XFERREADY};
  SendMessageW(app, WM_USER, 0, 0);  // no exception crosses the window procedure
  EXPECT_THROW(ui::TApplication::Instance().RaisePending(), std::runtime_error);
  EXPECT_NO_THROW(ui::TApplication::Instance().RaisePending());
  EXPECT_TRUE(s->Enabled());  // the loop stopped where the handler failed
  EXPECT_EQ(dsm.Take().find("ENDXFER"), std::string::npos);
}

TEST_F(TwainManagerWin, DestroyingWithTheTimerRunning) {
  OpenAndEnable(0);
  ASSERT_TRUE(manager->MessageTimerEnabled());
  manager.reset();
  EXPECT_EQ(dsm.Take(), "USERINTERFACE/DISABLEDS IDENTITY/CLOSEDS PARENT/CLOSEDSM");
  // The timer's window went with the manager, so no tick can reach it: in
  // three intervals nothing more is asked of the source manager.
  EXPECT_EQ(FindWindowExW(HWND_MESSAGE, nullptr, L"TTwainMessagesTimer", nullptr), nullptr);
  Pump([] { return false; }, 300);
  EXPECT_EQ(dsm.Take(), "");
}

TEST_F(TwainManagerWin, NativeImagesGoToTheAcquireHandlerAndAreFreed) {
  std::vector<uint8_t> dib(40 + 4 * 4 * 4, 0);
  dib[0] = 40, dib[4] = 4, dib[8] = 4, dib[12] = 1, dib[14] = 32;
  dsm.nativeImage = dib;
  dsm.pages = {TWRC_XFERDONE, TWRC_XFERDONE};
  int images = 0;
  manager->OnTwainAcquire = [&](TTwainObject* sender, int, TTwainBitmap& image, bool&) {
    EXPECT_EQ(sender, manager.get());
    EXPECT_NE(image.Handle(), nullptr);
    ++images;
  };
  OpenAndEnable(0, ttmNative);
  dsm.events = {MSG_XFERREADY};
  SendMessageW(app, WM_USER, 0, 0);
  EXPECT_EQ(images, 2);
  EXPECT_EQ(platform.bitmapsMade, 2);
  EXPECT_EQ(platform.bitmapsDeleted, 2);
  EXPECT_EQ(platform.globalsFreed, 2);
}

// Every native page is announced before its transfer, as a file page is by
// OnSourceSetupFileXfer, also one that then fails; a page the handler could
// not keep counts as failed, so a handler that keeps none ends the batch
// after three, as cancelled, while a kept page starts the count afresh.
TEST_F(TwainManagerWin, NativePagesAreAnnouncedAndPagesNotKeptCountAsFailed) {
  std::vector<uint8_t> dib(40 + 4 * 4 * 4, 0);
  dib[0] = 40, dib[4] = 4, dib[8] = 4, dib[12] = 1, dib[14] = 32;
  dsm.nativeImage = dib;
  dsm.pages = {TWRC_XFERDONE, TWRC_FAILURE,  TWRC_XFERDONE, TWRC_XFERDONE,
               TWRC_XFERDONE, TWRC_XFERDONE, TWRC_XFERDONE, TWRC_XFERDONE};
  std::vector<std::string> events;
  manager->OnSourcePageStart = [&](TTwainObject* sender, int) {
    EXPECT_EQ(sender, manager.get());
    events.push_back("start");
  };
  int page = 0;
  manager->OnTwainAcquire = [&](TTwainObject*, int, TTwainBitmap& image, bool&) {
    events.push_back("page");
    image.SetKept(++page == 1);  // only the first is kept
  };
  manager->OnAcquireError = [&](TTwainObject*, int, int, int) { events.push_back("error"); };
  manager->OnTransferComplete = [&](TTwainObject*, int, bool canceled) {
    events.push_back(canceled ? "complete canceled" : "complete");
  };
  OpenAndEnable(0, ttmNative);
  dsm.events = {MSG_XFERREADY};
  SendMessageW(app, WM_USER, 0, 0);
  EXPECT_EQ(events, (std::vector<std::string>{"start", "page", "start", "error", "start", "page", "start", "page",
                                              "complete canceled"}));
  EXPECT_NE(dsm.Take().find("PENDINGXFERS/RESET"), std::string::npos);
  EXPECT_EQ(platform.bitmapsDeleted, 3);
}

// --- "Select source" dialog ---------------------------------------------

std::function<void(TFormSelectSource*, HWND)> gDialogAction;

void CALLBACK DriveDialog(HWND, UINT, UINT_PTR id, DWORD) {
  HWND form = FindWindowW(TFormSelectSource::kClassName, nullptr);
  if (!form || !IsWindowVisible(form) || !gDialogAction) return;
  auto* self = static_cast<TFormSelectSource*>(ui::TWindow::FromHandle(form));
  auto action = std::move(gDialogAction);
  gDialogAction = nullptr;
  KillTimer(nullptr, id);
  action(self, form);
}

// Runs SelectSource while the action plays the user.
int Select(TTwainManager& m, std::function<void(TFormSelectSource*, HWND)> action) {
  gDialogAction = std::move(action);
  const UINT_PTR timer = SetTimer(nullptr, 0, 20, DriveDialog);
  const int result = m.SelectSource();
  KillTimer(nullptr, timer);  // when no dialog came
  gDialogAction = nullptr;
  return result;
}

// A key pressed in the dialog: posted to the focused control and taken by the
// message loop, so whatever the dialog binds to keys sees it.
void Press(HWND focus, UINT key) {
  PostMessageW(focus, WM_KEYDOWN, key, 1);
  PostMessageW(focus, WM_KEYUP, key, 0xC0000001);
}

int CurrentRow(TFormSelectSource* f) { return int(SendMessageW(f->LBSources, LB_GETCURSEL, 0, 0)); }
void Click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

TEST_F(TwainManagerWin, DialogLayoutAndCaptions) {
  bool checked = false;
  int result = Select(*manager, [&](TFormSelectSource* f, HWND form) {
    checked = true;
    RECT r;
    GetWindowRect(form, &r);
    EXPECT_EQ(r.right - r.left, 300);
    EXPECT_EQ(r.bottom - r.top, 200);
    POINT cursor;
    GetCursorPos(&cursor);
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTONEAREST), &mi);
    EXPECT_EQ(r.left, (mi.rcWork.left + mi.rcWork.right - 300) / 2);
    EXPECT_EQ(r.top, (mi.rcWork.top + mi.rcWork.bottom - 200) / 2);
    wchar_t text[64];
    GetWindowTextW(form, text, 64);
    EXPECT_STREQ(text, L"Select source");
    GetWindowTextW(f->BtnOK, text, 64);
    EXPECT_STREQ(text, L"&OK");
    GetWindowTextW(f->BtnCancel, text, 64);
    EXPECT_STREQ(text, L"&Cancel");
    const LONG style = GetWindowLongW(form, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_TRUE(style & WS_THICKFRAME);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(GetWindowLongW(f->BtnOK, GWL_STYLE) & BS_DEFPUSHBUTTON);
    EXPECT_FALSE(IsWindowEnabled(app));  // modal

    RECT client, list, panel, ok, cancel;
    GetClientRect(form, &client);
    auto inForm = [&](HWND w, HWND parent, RECT& rc) {
      GetWindowRect(w, &rc);
      MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rc), 2);
    };
    inForm(f->LBSources, form, list);
    inForm(f->PnlBottom, form, panel);
    inForm(f->BtnOK, f->PnlBottom, ok);
    inForm(f->BtnCancel, f->PnlBottom, cancel);
    EXPECT_EQ(panel.bottom - panel.top, 41);
    EXPECT_EQ(panel.bottom, client.bottom);
    EXPECT_EQ(list.left, 3);
    EXPECT_EQ(list.top, 3);
    EXPECT_EQ(list.right, client.right - 3);
    EXPECT_EQ(list.bottom, panel.top - 3);
    EXPECT_EQ(cancel.right - cancel.left, 75);
    EXPECT_EQ(cancel.bottom - cancel.top, 25);
    EXPECT_EQ(cancel.left, client.right - 75 - 6);
    EXPECT_EQ(ok.left, cancel.left - 75 - 6);
    EXPECT_EQ(ok.top, (41 - 25) / 2);
    EXPECT_EQ(cancel.top, ok.top);

    // The buttons follow a resize.
    SetWindowPos(form, nullptr, 0, 0, 400, 260, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(form, &client);
    inForm(f->BtnCancel, f->PnlBottom, cancel);
    EXPECT_EQ(cancel.left, client.right - 81);

    EXPECT_EQ(SendMessageW(f->LBSources, LB_GETCOUNT, 0, 0), 3);
    wchar_t row[64];
    SendMessageW(f->LBSources, LB_GETTEXT, 1, LPARAM(row));
    EXPECT_STREQ(row, L"Scanner B");
    EXPECT_EQ(CurrentRow(f), 0);
    Click(f->BtnOK);
  });
  EXPECT_TRUE(checked);
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(IsWindowEnabled(app));
  EXPECT_EQ(FindWindowW(TFormSelectSource::kClassName, nullptr), nullptr);  // freed
}

TEST_F(TwainManagerWin, DialogResults) {
  // A chosen row is returned and preselected the next time.
  EXPECT_EQ(Select(*manager,
                   [](TFormSelectSource* f, HWND) {
                     SendMessageW(f->LBSources, LB_SETCURSEL, 2, 0);
                     Click(f->BtnOK);
                   }),
            2);
  EXPECT_EQ(manager->SelectedSourceIndex(), 2);
  int preselected = -5;
  // Cancel gives -1 and is stored.
  EXPECT_EQ(Select(*manager,
                   [&](TFormSelectSource* f, HWND) {
                     preselected = CurrentRow(f);
                     Click(f->BtnCancel);
                   }),
            -1);
  EXPECT_EQ(preselected, 2);
  EXPECT_EQ(manager->SelectedSourceIndex(), -1);
  // After a cancel row 0 is preselected; the close box gives -1.
  EXPECT_EQ(Select(*manager,
                   [&](TFormSelectSource* f, HWND form) {
                     preselected = CurrentRow(f);
                     PostMessageW(form, WM_SYSCOMMAND, SC_CLOSE, 0);
                   }),
            -1);
  EXPECT_EQ(preselected, 0);
  // Double-click on a row chooses it.
  EXPECT_EQ(Select(*manager,
                   [](TFormSelectSource* f, HWND form) {
                     SendMessageW(f->LBSources, LB_SETCURSEL, 1, 0);
                     SendMessageW(form, WM_COMMAND, MAKEWPARAM(100, LBN_DBLCLK), LPARAM(f->LBSources));
                   }),
            1);
  // Enter chooses the selected row; Escape does nothing.
  EXPECT_EQ(Select(*manager,
                   [](TFormSelectSource* f, HWND) {
                     EXPECT_EQ(GetFocus(), f->LBSources);  // the dialog opens with the focus in the list
                     SendMessageW(f->LBSources, LB_SETCURSEL, 2, 0);
                     Press(f->LBSources, VK_ESCAPE);
                     Press(f->LBSources, VK_RETURN);
                   }),
            2);
}

TEST_F(TwainManagerWin, NoSourcesNoDialog) {
  dsm.sources.clear();
  manager->RefreshVirtualWindow();
  bool shown = false;
  EXPECT_EQ(Select(*manager,
                   [&](TFormSelectSource* f, HWND) {
                     shown = true;
                     Click(f->BtnCancel);  // a dialog that did come is closed, so the test ends
                   }),
            -1);
  EXPECT_FALSE(shown);
}

}  // namespace

}  // namespace skan::twain
