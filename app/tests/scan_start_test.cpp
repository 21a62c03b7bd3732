// Scan start and page naming against the fake source manager.
#include "scan_test_support.h"

#include <fstream>
#include <iterator>

#include "base/system_error_win.h"
#include "fake_dsm.h"

namespace skan {

namespace {

std::vector<uint8_t> ReadBytes(const std::wstring& path) {
  std::ifstream f(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

class ScanStart : public ::testing::Test {
 protected:
  void SetUp() override {
    app = MakeTestAppWindow();
    platform.folders[twain::dkWindows] = L"C:\\windows";
    platform.filesPresent = {L"C:\\windows\\TWAIN_32.DLL"};
    for (const char* name : {"Scanner A", "Scanner B"}) dsm.sources.push_back(twain::TFakeDsm::Identity(name));
  }
  void TearDown() override {
    start.reset();
    DestroyWindow(app);
  }
  HWND app = nullptr;
  twain::TFakeTwainPlatform platform;
  twain::TFakeDsm dsm;
  TTestScanWindow window;
  std::unique_ptr<TScanStart> start = std::make_unique<TScanStart>(window);
};

TEST_F(ScanStart, NoLibraryOrNoScannerStopsSilently) {
  for (bool library : {false, true}) {
    SCOPED_TRACE(library);
    if (library)
      dsm.sources.clear();
    else
      platform.filesPresent.clear();
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
  WhenSelectDialogShows([](twain::TFormSelectSource* f) { ChooseRow(f, 1); });
  start->SkanujdoPDF1Click();
  EXPECT_TRUE(DialogShown());
  const std::string calls = dsm.Take();
  // Asked for its transfer mechanisms; this scanner does not say, and takes file transfer.
  EXPECT_NE(calls.find("IDENTITY/OPENDS CAPABILITY/GET STATUS/GET CAPABILITY/SET USERINTERFACE/ENABLEDS"),
            std::string::npos)
      << calls;
  twain::TTwainSource* source = start->TwainManager1()->Source(1);
  EXPECT_TRUE(source->Enabled());
  EXPECT_EQ(source->TransferMode(), twain::ttmFile);
  EXPECT_FALSE(start->TwainManager1()->Source(0)->Loaded());
  EXPECT_TRUE(dsm.enables[0].ShowUI);  // the scanner shows its own dialog
}

// Also when opening gives the source a new Id, so that the default source's
// record stops matching it (regression: the source was opened but never
// enabled, and the scan never started).
TEST_F(ScanStart, CancelledSelectionStartsTheDefaultScanner) {
  for (bool newId : {false, true}) {
    SCOPED_TRACE(newId);
    twain::TFakeDsm fresh;
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
  WhenSelectDialogShows([](twain::TFormSelectSource* f) { ChooseRow(f, 0); });
  start->SkanujdoPDF1Click();
  ASSERT_TRUE(PumpUntil([&] { return window.complete; }));
  EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
  ASSERT_EQ(window.lista->size(), 4u);
  EXPECT_EQ((*window.lista)[0], L"C:\\earlier.bmp");
  const std::wstring temp = TempFolder();
  for (size_t i = 1; i < 4; ++i) {
    const std::wstring& page = (*window.lista)[i];
    SCOPED_TRACE(base::Narrow(page));
    EXPECT_EQ(page.rfind(temp + L"scan\\tmp", 0), 0u);
    EXPECT_EQ(page.substr(page.size() - 4), L".bmp");
    EXPECT_EQ(dsm.fileNames[i - 1], base::ToAnsi(page));  // the name the source was told
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
  WhenSelectDialogShows([](twain::TFormSelectSource* f) { ChooseRow(f, 1); });
  start->SkanujdoPDF1Click();
  window.lista->push_back(L"C:\\page.bmp");
  dsm.Take();
  WhenSelectDialogShows([](twain::TFormSelectSource* f) { ChooseRow(f, 1); });
  start->SkanujdoPDF1Click();
  EXPECT_TRUE(DialogShown());
  EXPECT_EQ(*window.lista, std::vector<std::wstring>{L"C:\\page.bmp"});
  const std::string calls = dsm.Take();
  EXPECT_EQ(calls.find("IDENTITY/OPENDS"), std::string::npos) << calls;
  EXPECT_EQ(calls.find("ENABLEDS"), std::string::npos) << calls;
  EXPECT_TRUE(start->TwainManager1()->Source(1)->Enabled());
}

// A scanner without file transfer hands the pages over natively; each is
// written as a BMP file under the name file transfer would have given it.
TEST_F(ScanStart, WithoutFileTransferPagesAreWrittenToTheSameFiles) {
  dsm.capabilities[ICAP_XFERMECH] = twain::TFakeDsm::Enumeration(TWTY_UINT16, {TWSX_NATIVE, TWSX_MEMORY}, 0, 0);
  std::vector<uint8_t> dib(40 + 8 + 8, 0);  // 1-bit, 2 x 2, black and white
  dib[0] = 40, dib[4] = 2, dib[8] = 2, dib[12] = 1, dib[14] = 1;
  dib[44] = dib[45] = dib[46] = 0xFF;
  dib[48] = 0x80, dib[52] = 0x40;
  dsm.nativeImage = dib;
  dsm.pages = {TWRC_XFERDONE, TWRC_XFERDONE};
  dsm.events = {MSG_XFERREADY};
  WhenSelectDialogShows([](twain::TFormSelectSource* f) { ChooseRow(f, 0); });
  start->SkanujdoPDF1Click();
  ASSERT_TRUE(PumpUntil([&] { return window.complete; }));
  EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
  ASSERT_EQ(dsm.capabilitySets.size(), 1u);
  EXPECT_EQ(dsm.capabilitySets[0].bytes[2], TWSX_NATIVE);  // the source was told
  EXPECT_TRUE(dsm.fileNames.empty());
  const std::wstring temp = TempFolder();
  ASSERT_EQ(window.lista->size(), 2u);
  for (const std::wstring& page : *window.lista) {
    SCOPED_TRACE(base::Narrow(page));
    EXPECT_EQ(page.rfind(temp + L"scan\\tmp", 0), 0u);
    EXPECT_EQ(page.substr(page.size() - 4), L".bmp");
    const std::vector<uint8_t> file = ReadBytes(page);
    ASSERT_EQ(file.size(), 14 + dib.size());
    EXPECT_EQ(file[0], 'B');
    EXPECT_TRUE(std::equal(dib.begin(), dib.end(), file.begin() + 14));
    const std::wstring placeholder = temp + page.substr(temp.size() + 5, page.size() - temp.size() - 9) + L".tmp";
    EXPECT_EQ(FileSize(placeholder), 0);
  }
  EXPECT_EQ(window.filename, window.lista->back());
  EXPECT_EQ(dsm.misaddressed, std::vector<std::string>{});
}

// A scanner that fails every page while reporting more pending: the batch
// ends after three attempts, as cancelled, with one page name per attempt
// whatever the transfer, so the assembly reports the same missing page.
TEST_F(ScanStart, AFailingScannerEndsTheBatch) {
  for (bool file : {true, false}) {
    SCOPED_TRACE(file ? "file transfer" : "native transfer");
    twain::TFakeDsm fresh;
    fresh.sources = dsm.sources;
    if (!file) fresh.capabilities[ICAP_XFERMECH] = twain::TFakeDsm::Enumeration(TWTY_UINT16, {TWSX_NATIVE}, 0, 0);
    fresh.pages.assign(50, TWRC_FAILURE);
    fresh.events = {MSG_XFERREADY};
    TTestScanWindow w;
    TScanStart s(w);
    WhenSelectDialogShows([](twain::TFormSelectSource* f) { ChooseRow(f, 0); });
    s.SkanujdoPDF1Click();
    ASSERT_TRUE(PumpUntil([&] { return w.complete; }));
    EXPECT_EQ(w.events, std::vector<std::string>{"complete canceled"});
    const std::string calls = fresh.Take();
    size_t attempts = 0;
    for (size_t at = 0; (at = calls.find(file ? "IMAGEFILEXFER/GET" : "IMAGENATIVEXFER/GET", at)) != std::string::npos;
         ++at)
      ++attempts;
    EXPECT_EQ(attempts, 3u);
    EXPECT_NE(calls.find("PENDINGXFERS/RESET"), std::string::npos);
    EXPECT_EQ(w.lista->size(), 3u);
  }
}

// Page files of a native transfer that cannot be written whole (a full disk,
// a missing folder): none is left half written, each counts as a failed
// page, so the batch ends after three, and the page keeps the system's reason
// with the file's name for completion to report.
TEST_F(ScanStart, PageFilesThatCannotBeWrittenAreFailedPages) {
  struct TCase {
    const char* name;
    bool folderMissing;
    const char* failure;  // the start of the reason kept
  };
  for (const TCase& c :
       {TCase{"disk full", false, "Cannot write file"}, TCase{"the scan folder is gone", true, "Cannot create file"}}) {
    SCOPED_TRACE(c.name);
    twain::TFakeDsm fresh;
    fresh.sources = dsm.sources;
    fresh.capabilities[ICAP_XFERMECH] = twain::TFakeDsm::Enumeration(TWTY_UINT16, {TWSX_NATIVE}, 0, 0);
    std::vector<uint8_t> dib(40 + 8 + 8, 0);
    dib[0] = 40, dib[4] = 2, dib[8] = 2, dib[12] = 1, dib[14] = 1;
    fresh.nativeImage = dib;
    fresh.pages.assign(5, TWRC_XFERDONE);
    fresh.events = {MSG_XFERREADY};
    TTestScanWindow w;
    TScanStart s(w);
    // Half the page reaches the disk before it is full.
    s.WritePage = [](HANDLE file, const void* data, size_t size) {
      DWORD wrote = 0;
      WriteFile(file, data, DWORD(size / 2), &wrote, nullptr);
      SetLastError(ERROR_DISK_FULL);
      return false;
    };
    WhenSelectDialogShows([&](twain::TFormSelectSource* f) {
      if (c.folderMissing) w.tmpPath = TempFolder() + L"no such scan folder\\";
      ChooseRow(f, 0);
    });
    s.SkanujdoPDF1Click();
    ASSERT_TRUE(PumpUntil([&] { return w.complete; }));
    EXPECT_EQ(w.events, std::vector<std::string>{"complete canceled"});
    EXPECT_NE(fresh.Take().find("PENDINGXFERS/RESET"), std::string::npos);
    ASSERT_EQ(w.lista->size(), 3u);
    for (const std::wstring& page : *w.lista) {
      SCOPED_TRACE(base::Narrow(page));
      EXPECT_FALSE(FileExistsW(page));
      const std::string reason = s.PageFailure(page);
      const std::string expected = std::string(c.failure) + " \"" + base::Narrow(page) + "\". ";
      EXPECT_EQ(reason.substr(0, expected.size()), expected);
      const std::string system = base::SystemMessage(c.folderMissing ? ERROR_PATH_NOT_FOUND : ERROR_DISK_FULL);
      EXPECT_EQ(reason.substr(std::min(reason.size(), expected.size())), system);
    }
    EXPECT_EQ(s.PageFailure(L"C:\\other.bmp"), "");
  }
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

}  // namespace skan
