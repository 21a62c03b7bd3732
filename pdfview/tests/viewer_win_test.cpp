// The viewer window under Wine: what it shows after Navigate, how it
// scrolls, its message for files it cannot draw, and that it leaves the
// file free for others.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "page_layout.h"
#include "viewer_win.h"
#include "window.h"

namespace skan::pdfview {
namespace {

namespace fs = std::filesystem;

std::wstring Fixture(const std::string& name) {
  const char* v = std::getenv("PDFVIEW_FIXTURES");
  std::string s = std::string("Z:") + (v ? v : "") + "/" + name;
  for (char& c : s)
    if (c == '/') c = '\\';
  return std::wstring(s.begin(), s.end());
}

// Dispatches messages until `done` holds or a few seconds pass.
bool PumpUntil(const std::function<bool()>& done, int seconds = 15) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

std::wstring TextOf(HWND w) {
  wchar_t buffer[512] = L"";
  GetWindowTextW(w, buffer, 512);
  return buffer;
}

HWND ChildOfClass(HWND parent, const wchar_t* cls) {
  for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
    wchar_t name[64];
    GetClassNameW(c, name, 64);
    if (_wcsicmp(name, cls) == 0) return c;
  }
  return nullptr;
}

class ViewerWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, 820, 640,
                            nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(host_);
    ASSERT_TRUE(viewer_.Create(host_, 1, L"TViewerUnderTest"));
    MoveWindow(viewer_.Handle(), 0, 0, 800, 600, TRUE);
    viewer_.OnFirstPageShown = [this] { ++shown_; };
  }
  void TearDown() override { DestroyWindow(host_); }

  SCROLLINFO Scroll() {
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    GetScrollInfo(viewer_.Handle(), SB_VERT, &si);
    return si;
  }
  void Key(WPARAM key) { SendMessageW(viewer_.Handle(), WM_KEYDOWN, key, 0); }

  bool ShowsPages(const std::wstring& path) {
    int before = shown_;
    viewer_.Navigate(path);
    return PumpUntil([&] {
      UpdateWindow(viewer_.Handle());
      return shown_ > before;
    });
  }

  HWND host_ = nullptr;
  TViewerWindow viewer_;
  int shown_ = 0;
};

TEST_F(ViewerWindow, ShowsTheFirstPageAndScrollsWithKeysWheelAndBar) {
  const std::wstring path = Fixture("three_pages.pdf");
  ASSERT_TRUE(ShowsPages(path));
  EXPECT_EQ(TextOf(viewer_.Handle()), path);
  EXPECT_EQ(viewer_.LocationName(), path);
  EXPECT_EQ(ChildOfClass(viewer_.Handle(), L"Static"), nullptr);

  SCROLLINFO si = Scroll();
  const int max = si.nMax + 1 - static_cast<int>(si.nPage);
  ASSERT_GT(max, 1000);  // three pages, each taller than the view
  Key(VK_END);
  EXPECT_EQ(Scroll().nPos, max);
  Key(VK_HOME);
  EXPECT_EQ(Scroll().nPos, 0);
  Key(VK_NEXT);
  const int page = Scroll().nPos;
  EXPECT_GT(page, static_cast<int>(si.nPage) / 2);
  EXPECT_LE(page, static_cast<int>(si.nPage));
  Key(VK_PRIOR);
  EXPECT_EQ(Scroll().nPos, 0);
  SendMessageW(viewer_.Handle(), WM_MOUSEWHEEL, MAKEWPARAM(0, -WHEEL_DELTA), 0);
  EXPECT_GT(Scroll().nPos, 0);
  SendMessageW(viewer_.Handle(), WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
  EXPECT_EQ(Scroll().nPos, 0);
  SendMessageW(viewer_.Handle(), WM_VSCROLL, SB_PAGEDOWN, 0);
  EXPECT_EQ(Scroll().nPos, page);
  SendMessageW(viewer_.Handle(), WM_VSCROLL, SB_BOTTOM, 0);
  EXPECT_EQ(Scroll().nPos, max);
}

// The first page shows before every page is read: the pages then read
// replace those that stood in, and the scroll range, the page count and
// the view's place end as for the document read whole.
TEST_F(ViewerWindow, ThePagesReadAfterTheFirstSetTheScrollRange) {
  TPageLayout whole;  // two pages: upright, then on its side (the root claims seven)
  whole.SetPages({{200, 280}, {560, 400}});
  auto wholeMax = [&] {
    RECT client;
    GetClientRect(viewer_.Handle(), &client);
    const UINT dpi = ui::WindowDpi(viewer_.Handle());
    whole.Arrange(client.right, ui::Scale(12, dpi), ui::Scale(10, dpi));
    return whole.TotalHeight() - 1;
  };
  ASSERT_TRUE(ShowsPages(Fixture("count_wrong.pdf")));
  ASSERT_TRUE(PumpUntil([&] { return Scroll().nMax == wholeMax(); }));
  Key(VK_END);
  ASSERT_TRUE(PumpUntil([&] { return viewer_.ViewComplete(); }));
  EXPECT_EQ(Scroll().nPos, wholeMax() + 1 - static_cast<int>(Scroll().nPage));
  PumpUntil([] { return false; }, 1);
  EXPECT_EQ(Scroll().nMax, wholeMax());
  EXPECT_EQ(ChildOfClass(viewer_.Handle(), L"Static"), nullptr);
}

TEST_F(ViewerWindow, KeepsItsPlaceWhenResized) {
  ASSERT_TRUE(ShowsPages(Fixture("three_pages.pdf")));
  Key(VK_NEXT);
  Key(VK_NEXT);
  SCROLLINFO before = Scroll();
  double fraction = static_cast<double>(before.nPos) / (before.nMax + 1);
  MoveWindow(viewer_.Handle(), 0, 0, 400, 600, TRUE);
  SCROLLINFO after = Scroll();
  EXPECT_LT(after.nMax, before.nMax * 0.6);  // pages fitted to the narrower width
  EXPECT_NEAR(static_cast<double>(after.nPos) / (after.nMax + 1), fraction, 0.02);
}

TEST_F(ViewerWindow, FilesItCannotDrawGiveAMessageWithTheirName) {
  const fs::path folder = fs::temp_directory_path();
  const std::string whole = [] {
    std::ifstream f(fs::path(Fixture("jpeg.pdf")), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
  }();
  ASSERT_FALSE(whole.empty());
  struct {
    const char* name;
    std::string bytes;  // empty: use the fixture of that name
    const wchar_t* reason;
  } cases[] = {
      {"text_only.pdf", "", L"Podgląd pokazuje tylko strony zeskanowane jako obrazy."},
      {"quad.png", "", L"To nie jest plik PDF."},
      {"ucięty.pdf", whole.substr(0, whole.size() / 2), L"Plik jest uszkodzony lub niekompletny."},
      {"losowy.pdf", std::string("%PDF-1.4\n\x01\x02garbage\n%%EOF\n"), L"Plik jest uszkodzony lub niekompletny."},
      // The page tree is damaged past a first page that draws, or one that does not.
      {"tree_cycle.pdf", "", L"Plik jest uszkodzony lub niekompletny."},
      {"text_then_cycle.pdf", "", L"Plik jest uszkodzony lub niekompletny."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::wstring name(c.name, c.name + std::strlen(c.name));
    std::wstring path = Fixture(c.name);
    if (!c.bytes.empty()) {
      // Polish letters in the name: "ucięty" is written through the wide API.
      std::wstring wide = name == L"ucięty.pdf" ? L"uci\u0119ty.pdf" : name;
      path = (folder / wide).wstring();
      name = wide;
      std::ofstream(fs::path(path), std::ios::binary) << c.bytes;
    }
    viewer_.Navigate(path);
    HWND text = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (text = ChildOfClass(viewer_.Handle(), L"Static")) != nullptr; }));
    EXPECT_EQ(TextOf(text), L"Nie można wyświetlić pliku " + name + L".\r\n" + c.reason);
    HWND button = ChildOfClass(viewer_.Handle(), L"Button");
    ASSERT_TRUE(button);
    EXPECT_EQ(TextOf(button), L"Otwórz w domyślnej przeglądarce PDF");
    EXPECT_EQ(TextOf(viewer_.Handle()), path);
    if (!c.bytes.empty()) fs::remove(fs::path(path));
  }
  // The next document replaces the message.
  ASSERT_TRUE(ShowsPages(Fixture("jpeg.pdf")));
  EXPECT_EQ(ChildOfClass(viewer_.Handle(), L"Static"), nullptr);
  EXPECT_EQ(ChildOfClass(viewer_.Handle(), L"Button"), nullptr);
}

TEST_F(ViewerWindow, APageItCannotDrawLeavesTheOthersShown) {
  // Page 1 is a scan, page 2 text: page 2's place says so, the document stays.
  ASSERT_TRUE(ShowsPages(Fixture("mixed.pdf")));
  Key(VK_END);
  ASSERT_TRUE(PumpUntil([&] { return viewer_.ViewComplete(); }));
  PumpUntil([] { return false; }, 1);
  EXPECT_EQ(ChildOfClass(viewer_.Handle(), L"Static"), nullptr);
  EXPECT_GT(Scroll().nPos, 0);
}

TEST_F(ViewerWindow, TheShownFileStaysFreeForOthers) {
  const fs::path copy = fs::temp_directory_path() / L"pokazany.pdf";
  fs::copy_file(fs::path(Fixture("three_pages.pdf")), copy, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(ShowsPages(copy.wstring()));
  Key(VK_END);  // more pages read; between reads the file is closed
  ASSERT_TRUE(PumpUntil([&] { return viewer_.ViewComplete(); }));
  // The worker closes the file after its last read of the burst, which may
  // come a moment after the view is complete on a slow machine.
  HANDLE exclusive = INVALID_HANDLE_VALUE;
  PumpUntil(
      [&] {
        exclusive = CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        return exclusive != INVALID_HANDLE_VALUE;
      },
      5);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
  if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
  PumpUntil([] { return false; }, 1);
  EXPECT_TRUE(DeleteFileW(copy.c_str()));
}

}  // namespace
}  // namespace skan::pdfview
