#include <gtest/gtest.h>

#include "page_naming.h"

namespace skan {

TEST(PageFileName, PlaceholderNameWithBmpInTheScanFolder) {
  struct {
    const wchar_t *tmpPath, *unique, *expected;
  } cases[] = {
      {L"C:\\T\\scan\\", L"C:\\T\\tmp5A3F.tmp", L"C:\\T\\scan\\tmp5A3F.bmp"},
      {L"C:\\T\\scan\\2025_03_07_09_05_02_045\\", L"C:\\T\\tmpA.tmp",
       L"C:\\T\\scan\\2025_03_07_09_05_02_045\\tmpA.bmp"},
      {L"C:\\Users\\Łucja\\Temp\\scan\\", L"C:\\Users\\Łucja\\Temp\\tmp1.tmp",
       L"C:\\Users\\Łucja\\Temp\\scan\\tmp1.bmp"},
      {L"D:\\s\\", L"C:\\dir.with.dots\\tmpFF.tmp", L"D:\\s\\tmpFF.bmp"},
      {L"", L"tmp2.tmp", L"tmp2.bmp"},
  };
  for (auto& c : cases) EXPECT_EQ(PageFileName(c.tmpPath, c.unique), c.expected);
}

}  // namespace skan
