// The Base64 export: known answers, line lengths and breaks, and the list
// round trip that writes the export file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "encode_file.h"

#ifdef _WIN32
#include <windows.h>

#include "base/system_error_win.h"
#endif

namespace skan {

namespace {

TEST(Base64Export, KnownAnswersOfRfc4648) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\x00"s, "//4A"},
  };
  for (const auto& [in, out] : vectors) EXPECT_EQ(skan::Base64Lines(in), out) << in;
}

// Sizes around the 57-byte line (76 characters) and their file sizes.
TEST(Base64Export, LinesOf76WithCrLf) {
  struct {
    size_t bytes;
    size_t encoded;     // Base64Lines' size
    size_t exportSize;  // the export file's size
  } cases[] = {{0, 0, 0},        {1, 4, 6},       {56, 76 + 2, 78}, {57, 78, 78},
               {58, 78 + 4, 84}, {114, 156, 156}, {115, 160, 162},  {1000, 1336 + 34, 1336 + 36}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string data(c.bytes, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + 3);
    const std::string text = skan::Base64Lines(data);
    EXPECT_EQ(text.size(), c.encoded);
    const std::string file = skan::JoinLinesCrLf(skan::SplitLines(text));
    EXPECT_EQ(file.size(), c.exportSize);
    EXPECT_EQ(skan::ExportText(text), file);
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

// A plain encoder, one character at a time, as the reference for the fast
// one: every size up to a few lines, so each tail and line end is met.
std::string ReferenceBase64Lines(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t column = 0;
  auto put = [&](char c) {
    out += c;
    if (++column == 76) out += "\r\n", column = 0;
  };
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k) put(k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=');
  }
  return out;
}

TEST(Base64Export, SameAsAPlainEncoderForEverySize) {
  std::string data;
  for (size_t size = 0; size <= 400; ++size) {
    ASSERT_EQ(skan::Base64Lines(data), ReferenceBase64Lines(data)) << size << " bytes";
    data += static_cast<char>(size * 113 + 7);
  }
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

#ifdef _WIN32
std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The export file is written a piece at a time and is the same, byte for
// byte, as the whole file's text, for sizes around the 57-byte line and
// pieces that are and are not whole lines; or it says why not.
TEST(Base64Export, ExportReadsTheFileInPiecesOrSaysWhyNot) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto source = dir / "encode_file_test.bin", target = dir / "encode_file_test.bs";
  for (size_t bytes : {0, 1, 2, 56, 57, 58, 171, 100000}) {
    for (size_t piece : {1, 57, 100, 57 * 16, 1 << 20}) {
      SCOPED_TRACE(std::to_string(bytes) + " bytes in pieces of " + std::to_string(piece));
      std::string data;
      for (size_t i = 0; i < bytes; ++i) data += static_cast<char>(i * 31 + i / 7);
      std::ofstream(source, std::ios::binary) << data;
      std::ofstream(target, std::ios::binary) << "an older export, longer than some new ones";
      skan::TExportSource(source).SaveTo(target, nullptr, piece);
      EXPECT_EQ(ReadAll(target), skan::ExportText(skan::Base64Lines(data)));
    }
  }
  std::filesystem::remove(target);
  try {
    skan::TExportSource(dir / "no such folder" / "x.bs").SaveTo(target);
    FAIL() << "exported a missing file";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot open file \"", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find("x.bs\". "), std::string::npos) << e.what();
  }
  try {
    skan::TExportSource(source).SaveTo(dir / "no such folder" / "scan.bs");
    FAIL() << "exported into a missing folder";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find("scan.bs\". "), std::string::npos) << e.what();
  }
  std::filesystem::remove(source);
}

// The export made ahead while a file grows (followed after each step, the
// writer keeping it open) and finished by SaveTo is the whole file's export,
// whatever the steps; when it cannot become the target the export is made
// whole, or fails as without it, and its own file never stays behind.
TEST(Base64Export, ExportMadeAheadOfAGrowingFileEndsAsTheWholeExport) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto source = dir / "encode_ahead.bin", target = dir / "encode_ahead.bs", work = dir / "encode_ahead.tmp";
  const std::vector<std::vector<size_t>> growths = {{0},       {56},          {57},
                                                    {57, 114}, {1, 58, 1000}, {57 * 70000, 57 * 70000 + 9}};
  for (const auto& steps : growths) {
    SCOPED_TRACE("grown to " + std::to_string(steps.back()) + " bytes in " + std::to_string(steps.size()) + " steps");
    std::string data;
    for (size_t i = 0; i < steps.back() + 30; ++i) data += static_cast<char>(i * 31 + i / 7);
    skan::base::TFileHandle writer(CreateFileW(source.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    skan::TExportAhead ahead(work);
    size_t written = 0;
    for (size_t size : steps) {
      DWORD wrote = 0;
      ASSERT_TRUE(WriteFile(writer.get(), data.data() + written, static_cast<DWORD>(size - written), &wrote, nullptr));
      written = size;
      EXPECT_TRUE(ahead.Follow(source));
      EXPECT_EQ(ahead.Bytes(), size / 57 * 57) << "whole lines only";
    }
    DWORD wrote = 0;
    ASSERT_TRUE(WriteFile(writer.get(), data.data() + written, 30, &wrote, nullptr));  // the writer's last part
    writer.reset();
    std::ofstream(target, std::ios::binary) << "an older export, longer than some new ones";
    skan::TExportSource(source).SaveTo(target, &ahead, 57 * 3);
    EXPECT_TRUE(ReadAll(target) == skan::ExportText(skan::Base64Lines(data)));
    EXPECT_FALSE(std::filesystem::exists(work));
  }

  // Into a missing folder: the same failure as without it, and no file left.
  {
    skan::TExportAhead ahead(work);
    EXPECT_TRUE(ahead.Follow(source));
    try {
      skan::TExportSource(source).SaveTo(dir / "no such folder" / "scan.bs", &ahead);
      ADD_FAILURE() << "exported into a missing folder";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("Cannot create file \"", 0), 0u) << e.what();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(work));
  // Ahead of a longer file than the one exported: not used.
  {
    skan::TExportAhead ahead(work);
    EXPECT_TRUE(ahead.Follow(source));
    const std::string shorter = "short";
    std::ofstream(source, std::ios::binary | std::ios::trunc) << shorter;
    skan::TExportSource(source).SaveTo(target, &ahead);
    EXPECT_EQ(ReadAll(target), skan::ExportText(skan::Base64Lines(shorter)));
  }
  EXPECT_FALSE(std::filesystem::exists(work));
  std::filesystem::remove(source);
  std::filesystem::remove(target);
}

// An export that fails, by a write (a full disk) or by a read of the PDF,
// leaves no part of itself at the target: an earlier export there stays as
// it was, and the export's own files go, also when it began with an export
// made ahead. Regression: a full disk left the target cut short, looking
// valid; a read failure removed the earlier export.
TEST(Base64Export, AFailedExportLeavesTheEarlierOneAsItWas) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "encode_failures";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path source = dir / "scan.pdf", target = dir / "scan.bs";
  std::string data;
  for (size_t i = 0; i < 57 * 1000 + 5; ++i) data += static_cast<char>(i * 31 + i / 7);
  std::ofstream(source, std::ios::binary) << data;
  const auto files = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  constexpr size_t kNever = SIZE_MAX;
  struct TCase {
    const char* name;
    size_t readFailsAfter, writeFailsAfter;  // bytes that go through first
    bool ahead;
    const char* failure;
    DWORD error;
  };
  const TCase cases[] = {
      {"disk full at once", kNever, 0, false, "Cannot write file", ERROR_DISK_FULL},
      {"disk full half way", kNever, 40000, false, "Cannot write file", ERROR_DISK_FULL},
      {"disk full after the export made ahead", kNever, 100, true, "Cannot write file", ERROR_DISK_FULL},
      {"the PDF cannot be read half way", 57 * 500, kNever, false, "Cannot read file", ERROR_READ_FAULT},
      {"the PDF cannot be read after the export made ahead", 0, kNever, true, "Cannot read file", ERROR_READ_FAULT},
      {"nothing fails", kNever, kNever, true, "", 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(target, std::ios::binary) << "an earlier export";
    std::unique_ptr<skan::TExportAhead> ahead;
    if (c.ahead) {
      // Half the PDF, as when its last pages were still to come.
      std::ofstream(dir / "half.pdf", std::ios::binary) << data.substr(0, data.size() / 2);
      ahead = std::make_unique<skan::TExportAhead>(dir / "ahead.tmp");
      ASSERT_TRUE(ahead->Follow(dir / "half.pdf"));
      fs::remove(dir / "half.pdf");
    }
    size_t read = 0, written = 0;
    skan::TExportIo io;
    io.read = [&](HANDLE file, void* buffer, size_t size) {
      if (read + size > c.readFailsAfter) {
        SetLastError(c.error);
        return false;
      }
      read += size;
      return skan::base::ReadExactly(file, buffer, size);
    };
    io.write = [&](HANDLE file, const void* buffer, size_t size) {
      if (written + size > c.writeFailsAfter) {
        skan::base::WriteAll(file, buffer, c.writeFailsAfter - written);  // what fitted
        SetLastError(c.error);
        return false;
      }
      written += size;
      return skan::base::WriteAll(file, buffer, size);
    };
    std::string raised;
    try {
      skan::TExportSource(source).SaveTo(target, ahead.get(), 57 * 100, io);
    } catch (const std::runtime_error& e) {
      raised = e.what();
    }
    ahead.reset();
    EXPECT_EQ(files(), (std::vector<std::string>{"scan.bs", "scan.pdf"})) << "no work file left";
    if (!c.error) {
      EXPECT_EQ(raised, "");
      EXPECT_TRUE(ReadAll(target) == skan::ExportText(skan::Base64Lines(data)));
      continue;
    }
    const std::string named = std::string(c.failure) + " \"" +
                              (std::string(c.failure) == "Cannot read file" ? source : target).string() + "\". ";
    EXPECT_EQ(raised, named + skan::base::SystemMessage(c.error));
    EXPECT_EQ(ReadAll(target), "an earlier export");
  }
  fs::remove_all(dir);
}

// A file larger than the export takes is refused before anything is
// written, and the file handle does not stay open behind the failure.
TEST(Base64Export, OversizedFileIsRefusedAndLeavesNoHandleOpen) {
  const auto dir = std::filesystem::temp_directory_path();
  const auto path = dir / "encode_file_huge.bin", target = dir / "encode_file_huge.bs";
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  LARGE_INTEGER end{};
  end.QuadPart = 0x80000000LL;  // one byte past the largest size the export accepts; sparse on disk
  const bool sized = SetFilePointerEx(f, end, nullptr, FILE_BEGIN) && SetEndOfFile(f);
  CloseHandle(f);
  ASSERT_TRUE(sized);
  std::ofstream(target, std::ios::binary) << "an older export";
  DWORD before = 0, after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &before);
  try {
    skan::TExportSource(path).SaveTo(target);
    ADD_FAILURE() << "exported a file of 2 GiB";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Cannot read file \"", 0), 0u) << e.what();
  }
  GetProcessHandleCount(GetCurrentProcess(), &after);
  EXPECT_EQ(after, before);
  EXPECT_EQ(ReadAll(target), "an older export");  // untouched
  // Nobody holds the file any more: it opens without sharing and goes.
  HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << "the export left the file open";
  if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
  EXPECT_TRUE(DeleteFileW(path.c_str()));
  std::filesystem::remove(target);
}
#endif

}  // namespace

}  // namespace skan
