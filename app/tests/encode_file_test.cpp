// The Base64 export: known answers, line lengths and breaks, and the list
// round trip that writes the export file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "encode_file.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace skan {

namespace {

TEST(Base64Export, KnownAnswersOfRfc4648) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFF\xFE\x00"s, "//4A"},
  };
  for (const auto& [in, out] : vectors) EXPECT_EQ(skan::Base64Lines(in), out) << in;
}

// Sizes around the 57-byte line (76 characters) and their file sizes.
TEST(Base64Export, LinesOf76WithCrLf) {
  struct {
    size_t bytes;
    size_t encoded;      // Base64Lines' size
    size_t exportSize;   // the export file's size
  } cases[] = {{0, 0, 0}, {1, 4, 6}, {56, 76 + 2, 78}, {57, 78, 78}, {58, 78 + 4, 84}, {114, 156, 156},
               {115, 160, 162}, {1000, 1336 + 34, 1336 + 36}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string data(c.bytes, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    const std::string text = skan::Base64Lines(data);
    EXPECT_EQ(text.size(), c.encoded);
    const std::string file = skan::JoinLinesCrLf(skan::SplitLines(text));
    EXPECT_EQ(file.size(), c.exportSize);
    // Every line of the file is 76 characters but the last, each ends in CR LF.
    const auto lines = skan::SplitLines(file);
    for (size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i].size(), 76u);
    if (!lines.empty()) {
      EXPECT_LE(lines.back().size(), 76u);
      EXPECT_EQ(file.substr(file.size() - 2), "\r\n");
    }
    EXPECT_EQ(file.find('\n'), file.empty() ? std::string::npos : file.find("\r\n") + 1);
  }
  EXPECT_EQ(skan::JoinLinesCrLf(skan::SplitLines(skan::Base64Lines(std::string(58, 'x')))),
            "eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4eHh4\r\neA==\r\n");
}

TEST(Base64Export, SplitLinesCutsAtEveryKindOfBreak) {
  using V = std::vector<std::string>;
  EXPECT_EQ(skan::SplitLines(""), V{});
  EXPECT_EQ(skan::SplitLines("a"), V{"a"});
  EXPECT_EQ(skan::SplitLines("a\r\n"), V{"a"});
  EXPECT_EQ(skan::SplitLines("a\r\nb"), (V{"a", "b"}));
  EXPECT_EQ(skan::SplitLines("a\rb\nc"), (V{"a", "b", "c"}));
  EXPECT_EQ(skan::SplitLines("a\r\n\r\nb"), (V{"a", "", "b"}));
  EXPECT_EQ(skan::SplitLines("\n"), V{""});
}

TEST(Base64Export, EncodeFileReadsTheWholeFileOrSaysWhyNot) {
  const auto path = std::filesystem::temp_directory_path() / "encode_file_test.bin";
  std::string data;
  for (int i = 0; i < 100000; ++i) data += static_cast<char>(i * 31);
  std::ofstream(path, std::ios::binary) << data;
  EXPECT_EQ(skan::EncodeFile(path), skan::Base64Lines(data));
  std::filesystem::remove(path);
  try {
    skan::EncodeFile(path);
    FAIL() << "read a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find("encode_file_test.bin\". "), std::string::npos) << e.what();
  }
}

#ifdef _WIN32
// A file too large to hold in memory: the read fails with the allocation, and
// the file handle must not stay open behind it.
TEST(Base64Export, FileTooLargeForMemoryLeavesNoHandleOpen) {
  const auto path = std::filesystem::temp_directory_path() / "encode_file_huge.bin";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end{};
  end.QuadPart = 0x7FFFFFFF;  // the largest size the export accepts; sparse on disk
  const bool sized = SetFilePointerEx(f, end, nullptr, FILE_BEGIN) && SetEndOfFile(f);
  CloseHandle(f);
  ASSERT_TRUE(sized);
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  EXPECT_ANY_THROW(skan::EncodeFile(path));  // 2 GB do not fit a 32-bit process
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_EQ(after, before);
  // Nobody holds the file any more: it opens without sharing and goes.
  HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << "the export left the file open";
  if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}
#endif

}  // namespace

}  // namespace skan
