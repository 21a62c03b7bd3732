// The owning handle template with a fake handle kind whose closes are counted.
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "base/unique_handle.h"

namespace skan::base {

namespace {

std::vector<int> gClosed;

struct TFakeTraits {
  using pointer = int;
  static pointer invalid() noexcept { return -1; }
  static void close(pointer h) noexcept {
    gClosed.push_back(h);
    errno = EBADF;  // a close that fails must not hide the caller's error
  }
};
using TFake = base::TUniqueHandle<TFakeTraits>;

class UniqueHandle : public ::testing::Test {
 protected:
  void SetUp() override { gClosed.clear(); }
};

TEST_F(UniqueHandle, ClosesOnceOnEveryWayOut) {
  {
    TFake a(3);
    EXPECT_TRUE(a);
  }
  EXPECT_EQ(gClosed, std::vector<int>{3});
  gClosed.clear();
  try {
    TFake b(4);
    throw std::runtime_error("between acquire and release");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(gClosed, std::vector<int>{4});
  gClosed.clear();
  { TFake none; }
  { TFake invalid(-1); }
  EXPECT_TRUE(gClosed.empty()) << "the invalid value is never closed";
}

TEST_F(UniqueHandle, MoveReleaseResetAndPut) {
  TFake a(5);
  TFake b(std::move(a));
  EXPECT_FALSE(a);
  EXPECT_EQ(b.get(), 5);
  TFake c(6);
  c = std::move(b);  // 6 closed, 5 moves over
  EXPECT_EQ(gClosed, std::vector<int>{6});
  EXPECT_EQ(c.get(), 5);
  c = std::move(c);  // self-move keeps it
  EXPECT_EQ(c.get(), 5);

  EXPECT_EQ(c.release(), 5);  // given up, not closed
  EXPECT_FALSE(c);
  c.reset(7);
  c.reset(8);
  EXPECT_EQ(gClosed, (std::vector<int>{6, 7}));
  *c.put() = 9;  // put closes 8 first
  EXPECT_EQ(gClosed, (std::vector<int>{6, 7, 8}));
  EXPECT_EQ(c.get(), 9);
}

TEST_F(UniqueHandle, ResetKeepsErrno) {
  TFake a(10);
  errno = ENOENT;
  a.reset();
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(gClosed, std::vector<int>{10});
}

}  // namespace

}  // namespace skan::base
