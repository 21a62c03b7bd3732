// Scan start with Wine's own TWAIN_32.DLL and the virtual scanner, installed
// into the prefix by the test, unattended.
#include "scan_test_support.h"

#include "install_scanner.h"

namespace {

std::vector<uint8_t> ReadBytes(const std::wstring& path) { return ReadFileBytesW(path); }

void InstallScanner(const std::string& settings) {
  ASSERT_TRUE(InstallVirtualScanner(WinePathOf(VIRTUAL_SCANNER_DS), settings)) << GetLastError();
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
