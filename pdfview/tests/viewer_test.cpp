// The pane's portable halves: page layout and the worker that draws pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "page_layout.h"
#include "page_loader.h"

namespace skan::pdfview {
namespace {

namespace fs = std::filesystem;

fs::path Fixture(const std::string& name) {
  const char* v = std::getenv("PDFVIEW_FIXTURES");
  std::string s = v ? v : "";
#ifdef _WIN32
  if (!s.empty() && s[0] == '/') s = "Z:" + s;
  for (char& c : s)
    if (c == '/') c = '\\';
#endif
  return fs::path(s) / name;
}

TEST(PageLayout, StacksPagesFittedToTheWidth) {
  TPageLayout layout;
  // A4 portrait, a landscape page, A4 again.
  layout.SetPages({{595, 842}, {842, 595}, {595, 842}});
  layout.Arrange(620, 10, 8);
  EXPECT_EQ(layout.PageWidth(), 600);
  EXPECT_EQ(layout.Height(0), 849);
  EXPECT_EQ(layout.Height(1), 424);
  EXPECT_EQ(layout.Top(0), 10);
  EXPECT_EQ(layout.Top(1), 10 + 849 + 8);
  EXPECT_EQ(layout.Top(2), 10 + 849 + 8 + 424 + 8);
  EXPECT_EQ(layout.TotalHeight(), layout.Top(2) + 849 + 10);

  const int view = 500;
  struct {
    int scroll;
    size_t first, last, current;
  } cases[] = {
      {0, 0, 0, 0},
      {700, 0, 1, 1},  // the middle line is on page 2
      {862, 1, 2, 1},  // the top edge in the gap after page 1
      {layout.MaxScroll(view), 2, 2, 2},
      {1100, 1, 2, 2},
      {900, 1, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scroll);
    auto [first, last] = layout.Visible(c.scroll, view);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(last, c.last);
    EXPECT_EQ(layout.CurrentPage(c.scroll, view), c.current);
  }
  EXPECT_EQ(layout.ClampScroll(-5, view), 0);
  EXPECT_EQ(layout.ClampScroll(1 << 30, view), layout.TotalHeight() - view);
  EXPECT_EQ(PageIndicatorText(2, 12), L"3 / 12");
}

TEST(PageLayout, APositionSurvivesANewWidth) {
  TPageLayout layout;
  layout.SetPages(std::vector<std::pair<double, double>>(100, {595, 842}));
  layout.Arrange(620, 10, 8);
  int scroll = layout.Top(41) + layout.Height(41) / 4;
  auto anchor = layout.Anchor(scroll);
  EXPECT_EQ(anchor.first, 41u);
  layout.Arrange(1240, 20, 16);
  EXPECT_EQ(layout.PageAt(layout.ScrollFor(anchor)), 41u);
  EXPECT_NEAR(layout.ScrollFor(anchor) - layout.Top(41), layout.Height(41) / 4, 2);
}

TEST(PageLayout, NoPagesAndTinyViews) {
  TPageLayout layout;
  layout.Arrange(0, 10, 8);
  EXPECT_EQ(layout.TotalHeight(), 0);
  auto [first, last] = layout.Visible(0, 100);
  EXPECT_GT(first, last);
  layout.SetPages({{1, 100000}});
  layout.Arrange(5, 10, 8);  // narrower than the margins
  EXPECT_EQ(layout.PageWidth(), 1);
  EXPECT_GE(layout.Height(0), 1);
}

// Collects what the loader hands back, as the window would.
class TCollector {
 public:
  TCollector()
      : loader_([this] {
          std::lock_guard guard(lock_);
          ++wakeUps_;
          cv_.notify_all();
        }) {}

  TPageLoader& Loader() { return loader_; }

  // Waits until `done` holds for the results so far (or a timeout).
  bool WaitFor(const std::function<bool(const std::vector<TLoadResult>&)>& done) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      // The loader wakes the window once until it takes the results: a wake
      // between the take and the wait below must not be lost.
      int seen = 0;
      {
        std::lock_guard guard(lock_);
        seen = wakeUps_;
      }
      for (TLoadResult& r : loader_.Take()) results_.push_back(std::move(r));
      if (done(results_)) return true;
      std::unique_lock guard(lock_);
      if (!cv_.wait_until(guard, until, [&] { return wakeUps_ != seen; })) return false;
    }
  }
  std::vector<TLoadResult>& Results() { return results_; }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  int wakeUps_ = 0;
  std::vector<TLoadResult> results_;
  TPageLoader loader_;
};

// Takes what comes for `time`.
void PumpFor(TCollector& c, std::chrono::milliseconds time) {
  std::this_thread::sleep_for(time);
  c.WaitFor([](auto&) { return true; });
}

size_t Count(const std::vector<TLoadResult>& results, TLoadResult::Type type) {
  return static_cast<size_t>(std::count_if(results.begin(), results.end(), [&](auto& r) { return r.type == type; }));
}

TEST(PageLoader, OpensThenDrawsTheWantedPagesInOrder) {
  TCollector c;
  c.Loader().Open(Fixture("three_pages.pdf"), 1);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::Opened) == 1; }));
  ASSERT_EQ(c.Results()[0].pageSizes.size(), 3u);
  c.Loader().Want({2, 0, 1}, 120);
  // Each page twice: a preview at half the width, then the page itself.
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::Page) == 6; }));
  const size_t order[] = {2, 0, 1};
  for (size_t i = 0; i < 3; ++i) {
    const TLoadResult& quick = c.Results()[1 + 2 * i];
    const TLoadResult& full = c.Results()[2 + 2 * i];
    EXPECT_EQ(quick.page, order[i]);
    EXPECT_EQ(full.page, order[i]);
    EXPECT_EQ(quick.raster.width, 60);
    EXPECT_EQ(full.raster.width, 120);
    EXPECT_EQ(full.generation, 1u);
  }
  // A new width: no preview, the old picture stands in meanwhile.
  c.Loader().Want({0}, 90);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::Page) == 7; }));
  EXPECT_EQ(c.Results().back().raster.width, 90);
}

TEST(PageLoader, TheFirstPageIsDrawnWithoutAWish) {
  TCollector c;
  c.Loader().Open(Fixture("three_pages.pdf"), 1, 120);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::Page) == 2; }));
  EXPECT_EQ(c.Results()[0].type, TLoadResult::Opened);
  EXPECT_EQ(c.Results()[2].page, 0u);
  EXPECT_EQ(c.Results()[2].raster.width, 120);
  // Another width in the window's first wish: the page is drawn again for it.
  c.Loader().Want({0}, 100);
  // (The rest of the page tree may be reported before or after it.)
  ASSERT_TRUE(c.WaitFor([](auto& r) {
    return std::any_of(r.begin() + 3, r.end(),
                       [](const TLoadResult& x) { return x.type == TLoadResult::Page && x.width == 100; });
  }));
}

// With the first page wanted at once, the document opens as soon as that
// page is read, the rest standing in at its size as many as the root
// claims; the page comes first, then every page as read. A page tree
// damaged past the first page still fails the document, with the same
// reason as when read whole, even when the first page fails too.
TEST(PageLoader, TheFirstPageComesBeforeTheRestOfThePageTree) {
  using TSizes = std::vector<std::pair<double, double>>;
  const TSizes upright(7, {200, 280});
  const TSizes both = {{200, 280}, {560, 400}};
  TCollector c;
  c.Loader().Open(Fixture("count_wrong.pdf"), 1, 100);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::PagesKnown) == 1; }));
  const auto& got = c.Results();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].type, TLoadResult::Opened);
  EXPECT_EQ(got[0].pageSizes, upright);
  EXPECT_EQ(got[1].type, TLoadResult::Page);
  EXPECT_EQ(got[2].type, TLoadResult::Page);
  EXPECT_EQ(got[2].page, 0u);
  EXPECT_EQ(got[2].raster.width, 100);
  EXPECT_EQ(got[3].pageSizes, both);
  // The second page, past the first's size.
  c.Loader().Want({1, 5}, 100);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::PageFailed) == 1; }));
  EXPECT_EQ(Count(c.Results(), TLoadResult::Page), 4u);
  EXPECT_EQ(c.Results()[5].raster.height, 71);
  EXPECT_EQ(c.Results().back().page, 5u);

  struct {
    const char* file;
    size_t pagesFirst;  // Page results before the failure
  } damaged[] = {{"tree_cycle.pdf", 2}, {"text_then_cycle.pdf", 0}};
  uint64_t generation = 1;
  for (const auto& k : damaged) {
    SCOPED_TRACE(k.file);
    TCollector d;
    d.Loader().Open(Fixture(k.file), ++generation, 100);
    ASSERT_TRUE(d.WaitFor([](auto& r) { return Count(r, TLoadResult::OpenFailed) == 1; }));
    PumpFor(d, std::chrono::milliseconds(200));  // nothing more comes
    EXPECT_EQ(d.Results().front().type, TLoadResult::Opened);
    EXPECT_EQ(d.Results().back().type, TLoadResult::OpenFailed);
    EXPECT_EQ(d.Results().back().error, TErrorKind::Damaged);
    EXPECT_EQ(Count(d.Results(), TLoadResult::Page), k.pagesFirst);
    EXPECT_EQ(Count(d.Results(), TLoadResult::PageFailed) + Count(d.Results(), TLoadResult::PagesKnown), 0u);
  }
}

TEST(PageLoader, FailuresComeBackAsResults) {
  struct {
    const char* file;
    TLoadResult::Type type;
    TErrorKind error;
  } cases[] = {
      {"quad.png", TLoadResult::OpenFailed, TErrorKind::NotPdf},
      {"missing.pdf", TLoadResult::OpenFailed, TErrorKind::Unreadable},
      {"text_only.pdf", TLoadResult::PageFailed, TErrorKind::Unsupported},
  };
  uint64_t generation = 10;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.file);
    TCollector c;
    c.Loader().Open(Fixture(k.file), ++generation);
    c.Loader().Want({0}, 50);
    ASSERT_TRUE(
        c.WaitFor([](auto& r) { return Count(r, TLoadResult::OpenFailed) + Count(r, TLoadResult::Opened) == 1; }));
    if (k.type == TLoadResult::PageFailed) {
      c.Loader().Want({0}, 50);
      ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::PageFailed) == 1; }));
    }
    EXPECT_EQ(c.Results().back().type, k.type);
    EXPECT_EQ(c.Results().back().error, k.error);
  }
}

TEST(PageLoader, ANewDocumentDropsTheOldOnesWork) {
  TCollector c;
  c.Loader().Open(Fixture("jpeg.pdf"), 1);
  c.Loader().Want({0}, 2000);
  c.Loader().Open(Fixture("three_pages.pdf"), 2);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return !r.empty() && r.back().generation == 2; }));
  c.Loader().Want({1}, 120);
  ASSERT_TRUE(c.WaitFor([](auto& r) { return Count(r, TLoadResult::Page) == 2; }));
  for (const TLoadResult& r : c.Results()) EXPECT_EQ(r.generation, 2u);
}

// The loader goes away while it draws a page whose whole drawing takes far
// longer than the limit (slow_page.pdf: 120 decodes of large images):
// it stops at a check part of the way through, not at the page's end.
TEST(PageLoader, StopsPromptlyWhileDrawing) {
  auto c = std::make_unique<TCollector>();
  c->Loader().Open(Fixture("slow_page.pdf"), 1, 400);
  ASSERT_TRUE(c->WaitFor([](auto& r) { return !r.empty(); }));
  ASSERT_EQ(c->Results()[0].type, TLoadResult::Opened);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  for (const TLoadResult& r : c->Loader().Take()) EXPECT_NE(r.type, TLoadResult::Page) << "drawn already";
  const auto start = std::chrono::steady_clock::now();
  c.reset();
  const auto stopping = std::chrono::steady_clock::now() - start;
  std::printf("  the stop took %.3f s\n", std::chrono::duration<double>(stopping).count());
  EXPECT_LT(stopping, std::chrono::seconds(3));
}

}  // namespace
}  // namespace skan::pdfview
