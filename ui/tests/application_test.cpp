#include "application.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "window.h"

namespace skan::ui {
namespace {

constexpr UINT kThrow = WM_APP + 1;

// A window whose handler fails, as a button handler might.
class TFailingWindow : public TWindow {
 public:
  bool Make() {
    RegisterClass(L"TFailingWindow", 0, nullptr, nullptr);
    return Create(0, L"TFailingWindow", L"", WS_POPUP, 0, 0, 10, 10, nullptr);
  }
  int handled = 0;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    if (msg == kThrow) {
      ++handled;
      throw std::runtime_error("Plik nie istnieje");
    }
    return Default(msg, wParam, lParam);
  }
};

struct ApplicationTest : ::testing::Test {
  TApplication& app = TApplication::Instance();
  std::vector<std::wstring> shown;
  void SetUp() override {
    app.OnException = [this](std::exception_ptr e) { shown.push_back(ExceptionMessage(e)); };
  }
  void TearDown() override {
    app.OnException = nullptr;
    app.OnIdle = nullptr;
    app.OnMessage = nullptr;
  }
  // Runs loop steps until the queue is empty (without waiting).
  void Drain() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_NOREMOVE)) app.HandleMessage();
  }
};

TEST_F(ApplicationTest, HandlerFailureReachesTheLoopAndTheLoopCarriesOn) {
  TFailingWindow w;
  ASSERT_TRUE(w.Make());
  PostMessageW(w.Handle(), kThrow, 0, 0);
  PostMessageW(w.Handle(), kThrow, 0, 0);
  Drain();
  EXPECT_EQ(w.handled, 2);
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], L"Plik nie istnieje");
}

TEST_F(ApplicationTest, SentMessageFailureSurfacesAfterTheDispatchingMessage) {
  // The failure happens inside SendMessage, deep in another handler; it is
  // kept and raised when control is back in the loop.
  TFailingWindow w;
  ASSERT_TRUE(w.Make());
  LRESULT r = SendMessageW(w.Handle(), kThrow, 0, 0);
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(shown.empty());
  PostMessageW(w.Handle(), WM_NULL, 0, 0);
  Drain();
  ASSERT_EQ(shown.size(), 1u);
}

TEST_F(ApplicationTest, IdleFailureIsShownAndIdleRunsOnlyWhenQueueIsEmpty) {
  int idles = 0;
  app.OnIdle = [&](bool& done) {
    ++idles;
    done = false;  // do not wait for a message in this test
    throw std::runtime_error("idle failed");
  };
  TFailingWindow w;
  ASSERT_TRUE(w.Make());
  PostMessageW(w.Handle(), WM_NULL, 0, 0);
  app.HandleMessage();  // dispatches the posted message: no idle yet
  EXPECT_EQ(idles, 0);
  app.HandleMessage();  // queue empty: idle
  EXPECT_EQ(idles, 1);
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], L"idle failed");
}

TEST_F(ApplicationTest, MessageHandledBeforeDispatchNeverReachesTheWindow) {
  TFailingWindow w;
  ASSERT_TRUE(w.Make());
  std::vector<UINT> seen;
  app.OnMessage = [&](const MSG& m) {
    if (m.hwnd != w.Handle()) return false;
    seen.push_back(m.message);
    if (m.message == WM_USER) throw std::runtime_error("hook failed");
    return m.message == kThrow;  // taken here, so the window does not fail
  };
  PostMessageW(w.Handle(), kThrow, 0, 0);
  PostMessageW(w.Handle(), WM_USER, 0, 0);
  Drain();
  EXPECT_EQ(w.handled, 0);
  EXPECT_EQ(seen, (std::vector<UINT>{kThrow, WM_USER}));
  EXPECT_EQ(shown, std::vector<std::wstring>{L"hook failed"});
}

TEST_F(ApplicationTest, GuardedKeepsOnlyTheFirstFailure) {
  Guarded([] { throw std::runtime_error("first"); });
  LRESULT r = Guarded([]() -> LRESULT { throw std::runtime_error("second"); }, LRESULT(7));
  EXPECT_EQ(r, 7);
  try {
    app.RaisePending();
    FAIL() << "expected the kept exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "first");
  }
  EXPECT_NO_THROW(app.RaisePending());  // cleared
}

}  // namespace
}  // namespace skan::ui
