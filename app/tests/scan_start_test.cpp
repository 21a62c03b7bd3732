// Scan start and page naming against the fake source manager.
#include "scan_test_support.h"

#include "fake_dsm.h"

namespace {

class ScanStart : public ::testing::Test {
 protected:
  void SetUp() override {
    app = MakeTestAppWindow();
    platform.folders[dkWindows] = L"C:\\windows";
    platform.filesPresent = {L"C:\\windows\\TWAIN_32.DLL"};
    for (const char* name : {"Scanner A", "Scanner B"}) dsm.sources.push_back(TFakeDsm::Identity(name));
  }
  void TearDown() override {
    start.reset();
    DestroyWindow(app);
  }
  HWND app = nullptr;
  TFakeTwainPlatform platform;
  TFakeDsm dsm;
  TTestScanWindow window;
  std::unique_ptr<TScanStart> start = std::make_unique<TScanStart>(window);
};

TEST_F(ScanStart, NoLibraryOrNoScannerStopsSilently) {
  for (bool library : {false, true}) {
    SCOPED_TRACE(library);
    if (library) dsm.sources.clear();
    else platform.filesPresent.clear();
    TTestScanWindow w;
    TScanStart s(w);
    WhenSelectDialogShows(nullptr);
    s.SkanujdoPDF1Click();
    EXPECT_EQ(w.ScanStatus, "Begin_SCAN");
    EXPECT_EQ(w.tmpPath, TempFolder() + L"scan\\");
    EXPECT_TRUE(FileExistsW(w.tmpPath));
    ASSERT_TRUE(w.lista);
    EXPECT_TRUE(w.lista->empty());
    EXPECT_FALSE(DialogShown());
    EXPECT_EQ(s.TwainManager1()->SourcesLoaded(), 0);
  }
}

TEST_F(ScanStart, ChosenScannerIsOpenedForFileTransferAndEnabled) {
  WhenSelectDialogShows([](TFormSelectSource* f) { ChooseRow(f, 1); });
  start->SkanujdoPDF1Click();
  EXPECT_TRUE(DialogShown());
  const std::string calls = dsm.Take();
  EXPECT_NE(calls.find("IDENTITY/OPENDS USERINTERFACE/ENABLEDS"), std::string::npos) << calls;
  TTwainSource* source = start->TwainManager1()->Source(1);
  EXPECT_TRUE(source->Enabled());
  EXPECT_EQ(source->TransferMode(), ttmFile);
  EXPECT_FALSE(start->TwainManager1()->Source(0)->Loaded());
  EXPECT_TRUE(dsm.enables[0].ShowUI);  // the scanner shows its own dialog
}

// Also when opening gives the source a new Id, so that the default source's
// record stops matching it (regression: the source was opened but never
// enabled, and the scan never started).
TEST_F(ScanStart, CancelledSelectionStartsTheDefaultScanner) {
  for (bool newId : {false, true}) {
    SCOPED_TRACE(newId);
    TFakeDsm fresh;
    fresh.sources = dsm.sources;
    fresh.defaultSource = 1;
    fresh.newIdOnOpen = newId;
    TTestScanWindow w;
    TScanStart s(w);
    WhenSelectDialogShows(CancelDialog);
    s.SkanujdoPDF1Click();
    EXPECT_EQ(s.TwainManager1()->SelectedSourceIndex(), -1);
    EXPECT_TRUE(s.TwainManager1()->Source(1)->Enabled());
    EXPECT_EQ(fresh.enables.size(), 1u);
  }
}

TEST_F(ScanStart, DefaultScannerNotListedStopsSilently) {
  dsm.defaultSource = -1;
  WhenSelectDialogShows(CancelDialog);
  EXPECT_NO_THROW(start->SkanujdoPDF1Click());
  EXPECT_EQ(dsm.Take().find("IDENTITY/OPENDS"), std::string::npos);
  EXPECT_EQ(window.ScanStatus, "Begin_SCAN");
}

TEST_F(ScanStart, ThreePagesAreNamedInPageOrder) {
  window.lista = std::vector<std::wstring>{L"C:\\earlier.bmp"};  // an unfinished scan's list stays
  dsm.pages = {TWRC_XFERDONE, TWRC_XFERDONE, TWRC_XFERDONE};
  dsm.events = {MSG_XFERREADY};
  WhenSelectDialogShows([](TFormSelectSource* f) { ChooseRow(f, 0); });
  start->SkanujdoPDF1Click();
  ASSERT_TRUE(PumpUntil([&] { return window.complete; }));
  EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
  ASSERT_EQ(window.lista->size(), 4u);
  EXPECT_EQ((*window.lista)[0], L"C:\\earlier.bmp");
  const std::wstring temp = TempFolder();
  for (size_t i = 1; i < 4; ++i) {
    const std::wstring& page = (*window.lista)[i];
    SCOPED_TRACE(ui::Narrow(page));
    EXPECT_EQ(page.rfind(temp + L"scan\\tmp", 0), 0u);
    EXPECT_EQ(page.substr(page.size() - 4), L".bmp");
    EXPECT_EQ(dsm.fileNames[i - 1], ui::ToAnsi(page));  // the name the source was told
    // The placeholder of the same name stays in T, empty.
    const std::wstring placeholder = temp + page.substr(temp.size() + 5, page.size() - temp.size() - 9) + L".tmp";
    EXPECT_EQ(FileSize(placeholder), 0);
  }
  EXPECT_EQ(window.filename, window.lista->back());
  // The layer rebuilt itself; the next start lists the scanners again.
  EXPECT_FALSE(start->TwainManager1()->HasEnumerated());
}

// Pressing "Scan to PDF" again while the scanner's dialog of the first start
// is still open: the selection shows again, the list stays, and the open,
// enabled scanner is not opened or enabled a second time.
TEST_F(ScanStart, SecondStartWhileTheScannerIsEnabled) {
  WhenSelectDialogShows([](TFormSelectSource* f) { ChooseRow(f, 1); });
  start->SkanujdoPDF1Click();
  window.lista->push_back(L"C:\\page.bmp");
  dsm.Take();
  WhenSelectDialogShows([](TFormSelectSource* f) { ChooseRow(f, 1); });
  start->SkanujdoPDF1Click();
  EXPECT_TRUE(DialogShown());
  EXPECT_EQ(*window.lista, std::vector<std::wstring>{L"C:\\page.bmp"});
  const std::string calls = dsm.Take();
  EXPECT_EQ(calls.find("IDENTITY/OPENDS"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("ENABLEDS"), std::string::npos) << calls;
  EXPECT_TRUE(start->TwainManager1()->Source(1)->Enabled());
}

TEST_F(ScanStart, UniqueNameFailureRaisesTheSystemMessage) {
  const std::wstring missing = TempFolder() + L"no such folder\\";
  try {
    UniqueTempFile(missing);
    FAIL() << "no failure";
  } catch (const std::runtime_error& e) {
    const DWORD code = GetLastError();
    EXPECT_NE(std::string(e.what()), "");
    EXPECT_EQ(std::string(e.what()).find("System error"), std::string::npos) << e.what() << " " << code;
  }
  const std::wstring name = MyGetTempFile(L"ignored");
  EXPECT_EQ(name.rfind(TempFolder() + L"tmp", 0), 0u);
  EXPECT_EQ(name.substr(name.size() - 4), L".tmp");
  EXPECT_EQ(FileSize(name), 0);
  DeleteFileW(name.c_str());
}

}  // namespace
