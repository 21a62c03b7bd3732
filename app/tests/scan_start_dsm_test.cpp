// Scan start with Wine's own TWAIN_32.DLL and the virtual scanner, installed
// into the prefix by the test, unattended.
#include "scan_test_support.h"

#include <fstream>
#include <iterator>

namespace {

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
  std::ifstream f(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

std::wstring FromUnixPath(const char* path) {
  std::wstring w = L"Z:";
  for (const char* p = path; *p; ++p) w += *p == '/' ? L'\\' : wchar_t(*p);
  return w;
}

void InstallScanner(const std::string& settings) {
  wchar_t windows[MAX_PATH];
  const std::wstring dir = std::wstring(windows, GetWindowsDirectoryW(windows, MAX_PATH)) + L"\\twain_32\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring built = FromUnixPath(VIRTUAL_SCANNER_DS), installed = dir + L"sane.ds";
  // A loaded source cannot be replaced; the settings are read at each open.
  if (ReadBytes(built) != ReadBytes(installed)) {
    ASSERT_TRUE(CopyFileW(built.c_str(), installed.c_str(), FALSE)) << GetLastError();
  }
  std::ofstream ini((dir + L"sane.ini").c_str(), std::ios::binary | std::ios::trunc);
  ini << "[Scanner]\r\nUnattended=1\r\nResolution=50\r\n" << settings;
}

class ScanStartWithWine : public ::testing::Test {
 protected:
  void SetUp() override { app = MakeTestAppWindow(); }
  void TearDown() override {
    start.reset();
    DestroyWindow(app);
  }
  // Presses "Scan to PDF", cancels the selection (the default source is the
  // virtual scanner) and waits for the end of the batch.
  void Scan() {
    window.complete = false;
    WhenSelectDialogShows(CancelDialog);
    start->SkanujdoPDF1Click();
    ASSERT_TRUE(DialogShown());
    ASSERT_TRUE(PumpUntil([&] { return window.complete; }));
  }
  HWND app = nullptr;
  TTestScanWindow window;
  std::unique_ptr<TScanStart> start = std::make_unique<TScanStart>(window);
};

TEST_F(ScanStartWithWine, ThreePagesBecomeThreeBitmapsInPageOrder) {
  InstallScanner("Pages=3\r\n");
  Scan();
  EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
  ASSERT_EQ(window.lista->size(), 3u);
  for (const std::wstring& page : *window.lista) {
    SCOPED_TRACE(ui::Narrow(page));
    EXPECT_EQ(page.rfind(TempFolder() + L"scan\\tmp", 0), 0u);
    const std::vector<uint8_t> bytes = ReadBytes(page);
    ASSERT_GT(bytes.size(), 54u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[1], 'M');
  }
  EXPECT_EQ(window.filename, (*window.lista)[2]);

  // The layer rebuilt itself after the batch; a second start lists the
  // scanners again. The list was not released here, so pages follow it.
  Scan();
  EXPECT_EQ(window.lista->size(), 6u);
}

TEST_F(ScanStartWithWine, CancelAtTheFirstPageAndAFeeder) {
  InstallScanner("Pages=3\r\nCancelAtPage=1\r\n");
  Scan();
  EXPECT_EQ(window.events, std::vector<std::string>{"complete canceled"});
  EXPECT_EQ(window.lista->size(), 1u);  // named, never written
  EXPECT_FALSE(FileExistsW(window.lista->front()));

  window = TTestScanWindow();
  InstallScanner("Pages=4\r\nIndeterminate=1\r\n");
  Scan();
  EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
  ASSERT_EQ(window.lista->size(), 4u);
  for (const std::wstring& page : *window.lista) EXPECT_TRUE(FileExistsW(page));
}

}  // namespace
