// The system's error texts: trimmed, and a fallback for unknown codes.
#include <gtest/gtest.h>

#include <windows.h>

#include "base/system_error_win.h"

namespace skan::base {

namespace {

TEST(SystemError, TextWithoutLineBreakOrFullStop) {
  const std::wstring raw = base::SystemErrorText(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(raw.empty());
  EXPECT_NE(raw.back(), L'\n');
  EXPECT_NE(raw.back(), L'\r');
  const std::string shown = base::SystemMessage(ERROR_FILE_NOT_FOUND);
  ASSERT_FALSE(shown.empty());
  EXPECT_NE(shown.back(), '.');
  EXPECT_NE(shown.back(), ' ');
}

TEST(SystemError, UnknownCodeHasAFallback) {
  const unsigned long unknown = 0x2FFFFFFF;
  EXPECT_EQ(base::SystemErrorText(unknown), L"");
  EXPECT_EQ(base::SystemMessage(unknown), "System error " + std::to_string(unknown));
}

}  // namespace

}  // namespace skan::base
