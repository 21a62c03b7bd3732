// Reading a whole file: every byte, the size limit, and a missing file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/file.h"

namespace skan::base {

namespace {

namespace fs = std::filesystem;

fs::path WriteTemp(const char* name, const std::string& bytes) {
  const fs::path path = fs::temp_directory_path() / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(WholeFile, ReadsEveryByteUpToTheLimit) {
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes += static_cast<char>(i * 7);
  const fs::path path = WriteTemp("base_file_test.bin", bytes);
  const base::TWholeFile whole = base::ReadWholeFile(path, bytes.size());
  ASSERT_TRUE(whole) << whole.error;
  EXPECT_EQ(whole.view(), bytes);

  const base::TWholeFile tooLarge = base::ReadWholeFile(path, bytes.size() - 1);
  EXPECT_FALSE(tooLarge);
  EXPECT_EQ(tooLarge.failure, base::TWholeFile::TFailure::Read);
  EXPECT_NE(tooLarge.error, 0u);
  EXPECT_EQ(tooLarge.size, 0u);
  fs::remove(path);
}

// A buffer handed back in serves the next file when it is large enough (the
// same memory, the new file's bytes, its own size), and is replaced when not.
TEST(WholeFile, ReadsIntoAGivenBufferWhenItIsLargeEnough) {
  const fs::path big = WriteTemp("base_file_big.bin", std::string(5000, 'b'));
  const fs::path small = WriteTemp("base_file_small.bin", "small file");
  base::TWholeFile first = base::ReadWholeFile(big, 10000);
  ASSERT_TRUE(first);
  const std::uint8_t* memory = first.data.get();
  const base::TWholeFile second = base::ReadWholeFile(small, 10000, std::move(first));
  ASSERT_TRUE(second);
  EXPECT_EQ(second.data.get(), memory);
  EXPECT_EQ(second.view(), "small file");
  EXPECT_EQ(second.capacity, 5000u);

  base::TWholeFile tooSmall = base::ReadWholeFile(small, 10000);
  const base::TWholeFile third = base::ReadWholeFile(big, 10000, std::move(tooSmall));
  ASSERT_TRUE(third);
  EXPECT_EQ(third.view(), std::string(5000, 'b'));
  EXPECT_EQ(third.capacity, 5000u);
  fs::remove(big);
  fs::remove(small);
}

TEST(WholeFile, EmptyFileIsEmptyAndMissingFileSaysOpen) {
  const fs::path path = WriteTemp("base_file_empty.bin", "");
  const base::TWholeFile empty = base::ReadWholeFile(path, 100);
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty.size, 0u);
  fs::remove(path);

  const base::TWholeFile missing = base::ReadWholeFile(path, 100);
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.failure, base::TWholeFile::TFailure::Open);
  EXPECT_NE(missing.error, 0u);
}

}  // namespace

}  // namespace skan::base
