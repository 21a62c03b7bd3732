// The virtual scanner driven through the platform's own TWAIN_32.DLL (Wine's
// built-in source manager in the test prefix), the way a host drives it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "install_scanner.h"
#include "page_image.h"
#include "twain.h"

namespace skan::virtual_scanner {

namespace {

std::wstring WindowsFolder() {
  wchar_t buf[MAX_PATH];
  UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
  return std::wstring(buf, n) + L"\\";
}

std::wstring ExeFolder() {
  wchar_t buf[MAX_PATH];
  std::wstring p(buf, GetModuleFileNameW(nullptr, buf, MAX_PATH));
  return p.substr(0, p.find_last_of(L'\\') + 1);
}

std::string TempFolderA() {
  char buf[MAX_PATH];
  return std::string(buf, GetTempPathA(MAX_PATH, buf));
}

// Puts the freshly built source in place of the prefix's sane.ds, with the
// given unattended settings beside it.
void InstallScanner(const std::string& settings) {
  ASSERT_TRUE(InstallVirtualScanner(ExeFolder() + L"virtual_scanner.ds", settings)) << GetLastError();
}

LRESULT CALLBACK PlainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

class RealDsm : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PlainProc;
    wc.lpszClassName = L"DsmTestParent";
    RegisterClassW(&wc);
    parent_ = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr, nullptr,
                              nullptr);
    app_.Version.MajorNum = 1;
    app_.Version.Language = 0xFFFF;
    app_.Version.Country = TWCY_USA;
    app_.ProtocolMajor = TWON_PROTOCOLMAJOR;
    app_.ProtocolMinor = TWON_PROTOCOLMINOR;
    app_.SupportedGroups = DG_CONTROL | DG_IMAGE;
    strcpy(app_.ProductName, "DSM test");
  }
  void TearDown() override {
    if (dsm_) FreeLibrary(dsm_);
    DestroyWindow(parent_);
  }

  void OpenDsm() {
    dsm_ = LoadLibraryW((WindowsFolder() + L"TWAIN_32.DLL").c_str());
    ASSERT_TRUE(dsm_);
    entry_ = reinterpret_cast<DSMENTRYPROC>(reinterpret_cast<void*>(GetProcAddress(dsm_, MAKEINTRESOURCEA(1))));
    ASSERT_TRUE(entry_);
    ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent_), TWRC_SUCCESS);
  }
  TW_UINT16 Call(pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
    return entry_(&app_, dest, dg, dat, msg, data);
  }
  std::vector<TW_IDENTITY> List() {
    std::vector<TW_IDENTITY> all;
    TW_IDENTITY id{};
    for (TW_UINT16 rc = Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id); rc == TWRC_SUCCESS;
         rc = Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id)) {
      all.push_back(id);
      id = {};
    }
    return all;
  }
  // Opens and enables the default source without its dialog and waits for
  // the event it reports through MSG_PROCESSEVENT.
  TW_UINT16 OpenEnableAndWait() {
    TW_IDENTITY def{};
    EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &def), TWRC_SUCCESS);
    source_ = def;
    EXPECT_STREQ(source_.ProductName, "Virtual Scanner");
    EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_), TWRC_SUCCESS);
    TW_USERINTERFACE ui{0, 0, parent_};
    EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    for (int i = 0; i < 50; ++i) {
      MSG msg{parent_, WM_USER, 0, 0, 0, {}};
      TW_EVENT ev{&msg, MSG_NULL};
      if (Call(&source_, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &ev) == TWRC_DSEVENT) return ev.TWMessage;
    }
    return MSG_NULL;
  }
  void CloseAll() {
    TW_USERINTERFACE ui{};
    EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_), TWRC_SUCCESS);
    EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent_), TWRC_SUCCESS);
  }
  // File-mode loop as the host runs it; returns the return code of each page
  // and the Count after each MSG_ENDXFER.
  void FileLoop(const std::string& stem, std::vector<int>& codes, std::vector<int>& counts, bool resetOnCancel = true) {
    for (int page = 1; page <= 20; ++page) {
      TW_SETUPFILEXFER setup{};
      snprintf(setup.FileName, sizeof setup.FileName, "%s%s%d.bmp", TempFolderA().c_str(), stem.c_str(), page);
      DeleteFileA(setup.FileName);
      setup.Format = TWFF_BMP;
      EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), TWRC_SUCCESS);
      const TW_UINT16 rc = Call(&source_, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
      codes.push_back(rc);
      TW_PENDINGXFERS pending{};
      EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
      counts.push_back(pending.Count);
      if (pending.Count == 0) return;
      if (rc == TWRC_CANCEL && resetOnCancel) {
        EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
        return;
      }
    }
  }

  HWND parent_ = nullptr;
  HMODULE dsm_ = nullptr;
  DSMENTRYPROC entry_ = nullptr;
  TW_IDENTITY app_{};
  TW_IDENTITY source_{};
};

TEST_F(RealDsm, ListsTheVirtualScannerFirstAsTheDefault) {
  InstallScanner("Pages=1\r\n");
  OpenDsm();
  std::vector<TW_IDENTITY> all = List();
  ASSERT_GE(all.size(), 1u);
  EXPECT_STREQ(all[0].ProductName, "Virtual Scanner");
  EXPECT_STREQ(all[0].Manufacturer, "Skanowanie");
  TW_IDENTITY def{};
  ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &def), TWRC_SUCCESS);
  EXPECT_EQ(memcmp(&def, &all[0], sizeof def), 0);  // byte-equal to its listed record
  for (const TW_IDENTITY& id : all) printf("source: %s (Id %u)\n", id.ProductName, unsigned(id.Id));
  // Measured: MSG_OPENDS gives the opened source's record a new Id, so the
  // default source's record no longer matches it byte for byte.
  source_ = all[0];
  ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_), TWRC_SUCCESS);
  printf("after MSG_OPENDS: Id %u\n", unsigned(source_.Id));
  TW_IDENTITY after{};
  ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &after), TWRC_SUCCESS);
  printf("default now: Id %u, equal to the listed record: %d\n", unsigned(after.Id),
         memcmp(&after, &all[0], sizeof after) == 0);
  ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_), TWRC_SUCCESS);
  EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent_), TWRC_SUCCESS);
}

TEST_F(RealDsm, ThreePagesToBmpFilesInFileMode) {
  InstallScanner("Pages=3\r\nPixelType=RGB\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending), TWRC_SUCCESS);
  EXPECT_EQ(pending.Count, 3);
  std::vector<int> codes, counts;
  FileLoop("vscan_file_", codes, counts);
  EXPECT_EQ(codes, (std::vector<int>{TWRC_XFERDONE, TWRC_XFERDONE, TWRC_XFERDONE}));
  EXPECT_EQ(counts, (std::vector<int>{2, 1, 0}));
  // Each page is a readable BMP carrying the red top-left square.
  for (int page = 1; page <= 3; ++page) {
    virtual_scanner::TDib dib;
    const std::string path = TempFolderA() + "vscan_file_" + std::to_string(page) + ".bmp";
    ASSERT_TRUE(virtual_scanner::DibFromBmpFile(ReadFileBytesW(std::wstring(path.begin(), path.end())), dib));
    uint8_t bgr[3];
    ASSERT_TRUE(virtual_scanner::PixelAt(dib, 50, 50, bgr));
    EXPECT_EQ(bgr[2], 255);
    EXPECT_EQ(bgr[0], 0);
  }
  CloseAll();
}

TEST_F(RealDsm, NativeTransferHandsOverAPackedDib) {
  InstallScanner("Pages=1\r\nPixelType=Gray\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
  TW_HANDLE handle = nullptr;
  ASSERT_EQ(Call(&source_, DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_XFERDONE);
  ASSERT_TRUE(handle);
  auto* bits = static_cast<const uint8_t*>(GlobalLock(handle));
  virtual_scanner::TDib dib(bits, bits + GlobalSize(handle));
  GlobalUnlock(handle);
  GlobalFree(handle);
  virtual_scanner::TDibInfo info;
  ASSERT_TRUE(virtual_scanner::DescribeDib(dib, info));
  EXPECT_EQ(info.bitCount, 8);
  EXPECT_EQ(info.width, 413);  // A4 at 50 dpi
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
  EXPECT_EQ(pending.Count, 0);
  CloseAll();
}

TEST_F(RealDsm, CancelFailureAndFeederCounts) {
  struct {
    const char* settings;
    std::vector<int> codes, counts;
  } cases[] = {
      {"Pages=3\r\nCancelAtPage=1\r\n", {TWRC_CANCEL}, {2}},
      {"Pages=3\r\nFailPage=2\r\n", {TWRC_XFERDONE, TWRC_FAILURE, TWRC_XFERDONE}, {2, 1, 0}},
      {"Pages=3\r\nIndeterminate=1\r\n", {TWRC_XFERDONE, TWRC_XFERDONE, TWRC_XFERDONE}, {0xFFFF, 0xFFFF, 0}},
      // A failed page that stays pending: every later transfer fails on it
      // again and the count never goes down (the loop gives up at 20).
      {"Pages=3\r\nFailPage=2\r\nFailKeepsPending=1\r\n", {TWRC_XFERDONE}, {2}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.settings);
    InstallScanner(c.settings);
    OpenDsm();
    ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
    std::vector<int> codes, counts;
    FileLoop("vscan_case_", codes, counts);
    if (std::string(c.settings).find("FailKeepsPending") != std::string::npos) {
      c.codes.resize(20, TWRC_FAILURE);
      c.counts.resize(20, 2);
      TW_PENDINGXFERS pending{};  // still pending: reset before disabling
      EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);
    }
    EXPECT_EQ(codes, c.codes);
    EXPECT_EQ(counts, c.counts);
    CloseAll();
    FreeLibrary(dsm_);
    dsm_ = nullptr;
  }
}

TEST_F(RealDsm, FailedPageReportsItsConditionCode) {
  InstallScanner("Pages=1\r\nFailPage=1\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
  ASSERT_EQ(Call(&source_, DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr), TWRC_FAILURE);
  TW_STATUS status{};
  EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
  EXPECT_EQ(status.ConditionCode, TWCC_OPERATIONERROR);
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
  CloseAll();
}

// Pages from a folder: its *.bmp files, in name order, handed over unchanged.
TEST_F(RealDsm, DeliversTheBitmapsOfAFolderInNameOrder) {
  const std::string folder = TempFolderA() + "vscan_folder\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  std::vector<std::vector<uint8_t>> files;
  for (int page : {2, 1}) {  // written out of order; b.bmp holds page 1
    files.push_back(
        virtual_scanner::BmpFileBytes(virtual_scanner::RenderPage(page, virtual_scanner::TPixelType::BlackWhite, 50)));
    std::ofstream((folder + (page == 2 ? "a.bmp" : "b.bmp")).c_str(), std::ios::binary)
        .write(reinterpret_cast<const char*>(files.back().data()), std::streamsize(files.back().size()));
  }
  std::ofstream((folder + "notes.txt").c_str()) << "not a page";
  InstallScanner("ImageFolder=" + folder + "\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
  std::vector<int> codes, counts;
  FileLoop("vscan_folder_", codes, counts);
  EXPECT_EQ(codes, (std::vector<int>{TWRC_XFERDONE, TWRC_XFERDONE}));
  for (int page = 1; page <= 2; ++page) {
    const std::string path = TempFolderA() + "vscan_folder_" + std::to_string(page) + ".bmp";
    EXPECT_EQ(ReadFileBytesW(std::wstring(path.begin(), path.end())), files[size_t(page - 1)]) << page;
  }
  CloseAll();
}

// A source is closed only once disabled (state 4), as the standard says.
// Wine's source manager forgets a source whose close failed, so the built
// library is driven directly here (its own copy, apart from the installed one).
TEST(VirtualScanner, ClosesOnlyWhenDisabled) {
  HMODULE ds = LoadLibraryW((ExeFolder() + L"virtual_scanner.ds").c_str());
  ASSERT_TRUE(ds);
  using TEntry = TW_UINT16(TW_CALLINGSTYLE*)(pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);
  auto entry = reinterpret_cast<TEntry>(reinterpret_cast<void*>(GetProcAddress(ds, "DS_Entry")));
  ASSERT_TRUE(entry);
  TW_IDENTITY app{}, self{};
  auto condition = [&] {
    TW_STATUS status{};
    entry(&app, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
  };
  ASSERT_EQ(entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &self), TWRC_SUCCESS);  // state 4
  TW_USERINTERFACE ui{0, 0, nullptr};
  ASSERT_EQ(entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);  // state 5
  EXPECT_EQ(entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &self), TWRC_FAILURE);
  EXPECT_EQ(condition(), TWCC_SEQERROR);
  MSG msg{};
  TW_EVENT event{&msg, MSG_NULL};
  ASSERT_EQ(entry(&app, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_DSEVENT);  // state 6
  EXPECT_EQ(event.TWMessage, MSG_XFERREADY);
  EXPECT_EQ(entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &self), TWRC_FAILURE);
  EXPECT_EQ(condition(), TWCC_SEQERROR);
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(entry(&app, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending), TWRC_SUCCESS);  // state 5
  EXPECT_EQ(entry(&app, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);  // state 4
  EXPECT_EQ(entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &self), TWRC_SUCCESS);
  FreeLibrary(ds);
}

// ICAP_XFERMECH as the host reads it: the mechanisms on offer, in an
// enumeration; a mechanism switched off can be neither set nor used.
TEST_F(RealDsm, TransferMechanismsOnOffer) {
  struct {
    const char* settings;
    std::vector<TW_UINT16> offered;
  } cases[] = {
      {"Pages=1\r\n", {TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY}},
      {"Pages=1\r\nNoFileTransfer=1\r\n", {TWSX_NATIVE, TWSX_MEMORY}},
      {"Pages=1\r\nNoFileTransfer=1\r\nNoNativeTransfer=1\r\n", {TWSX_MEMORY}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.settings);
    InstallScanner(c.settings);
    OpenDsm();
    TW_IDENTITY def{};
    ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &def), TWRC_SUCCESS);
    source_ = def;
    ASSERT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source_), TWRC_SUCCESS);
    TW_CAPABILITY cap{ICAP_XFERMECH, TWON_DONTCARE16, nullptr};
    ASSERT_EQ(Call(&source_, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS);
    ASSERT_EQ(cap.ConType, TWON_ENUMERATION);
    auto* p = static_cast<const uint8_t*>(GlobalLock(cap.hContainer));
    TW_UINT32 n = 0;
    memcpy(&n, p + 2, 4);
    std::vector<TW_UINT16> offered(n);
    memcpy(offered.data(), p + 14, 2 * n);
    GlobalUnlock(cap.hContainer);
    GlobalFree(cap.hContainer);
    EXPECT_EQ(offered, c.offered);
    for (TW_UINT16 mech : {TW_UINT16(TWSX_NATIVE), TW_UINT16(TWSX_FILE), TW_UINT16(TWSX_MEMORY)}) {
      HGLOBAL h = GlobalAlloc(GHND, 6);
      auto* one = static_cast<uint8_t*>(GlobalLock(h));
      const TW_UINT16 type = TWTY_UINT16;
      memcpy(one, &type, 2);
      memcpy(one + 2, &mech, 2);
      GlobalUnlock(h);
      TW_CAPABILITY set{ICAP_XFERMECH, TWON_ONEVALUE, h};
      const bool on = std::find(c.offered.begin(), c.offered.end(), mech) != c.offered.end();
      EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), on ? TWRC_SUCCESS : TWRC_FAILURE) << mech;
      GlobalFree(h);
    }
    TW_UINT16 expectFile = c.offered.size() == 3 ? TWRC_SUCCESS : TWRC_FAILURE;
    TW_SETUPFILEXFER setup{};
    strcpy(setup.FileName, "x.bmp");
    setup.Format = TWFF_BMP;
    EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup), expectFile);
    EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source_), TWRC_SUCCESS);
    EXPECT_EQ(Call(nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent_), TWRC_SUCCESS);
    FreeLibrary(dsm_);
    dsm_ = nullptr;
  }
}

// Memory rows without padding: BytesPerRow is the pixels' own length, and
// the rows are the page's rows.
TEST_F(RealDsm, MemoryRowsWithoutPadding) {
  InstallScanner("Pages=1\r\nPixelType=RGB\r\nMemRowsUnpadded=1\r\nMemBufferSize=5000\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
  std::vector<uint8_t> data, buffer(5000);
  std::vector<TW_UINT32> perRow;
  TW_UINT16 rc;
  do {
    TW_IMAGEMEMXFER xfer;
    memset(&xfer, 0xFF, sizeof xfer);
    xfer.Memory = {TWMF_APPOWNS | TWMF_POINTER, TW_UINT32(buffer.size()), buffer.data()};
    rc = Call(&source_, DG_IMAGE, DAT_IMAGEMEMXFER, MSG_GET, &xfer);
    if (rc == TWRC_SUCCESS || rc == TWRC_XFERDONE) {
      data.insert(data.end(), buffer.begin(), buffer.begin() + xfer.BytesWritten);
      perRow.push_back(xfer.BytesPerRow);
    }
  } while (rc == TWRC_SUCCESS);
  ASSERT_EQ(rc, TWRC_XFERDONE);
  const uint32_t width = 413, height = 585, row = 3 * width;  // A4 at 50 dpi: 1239 bytes, not a multiple of 4
  EXPECT_EQ(data.size(), size_t(row) * height);
  for (TW_UINT32 n : perRow) EXPECT_EQ(n, row);
  const virtual_scanner::TDib page = virtual_scanner::RenderPage(1, virtual_scanner::TPixelType::Rgb, 50);
  for (uint32_t y : {0u, 50u, 300u, height - 1}) {
    for (uint32_t x : {0u, 50u, 200u, width - 1}) {
      uint8_t bgr[3];
      ASSERT_TRUE(virtual_scanner::PixelAt(page, int(x), int(y), bgr));
      const uint8_t* rgb = data.data() + size_t(row) * y + 3 * x;
      EXPECT_EQ(rgb[0], bgr[2]) << x << "," << y;
      EXPECT_EQ(rgb[1], bgr[1]);
      EXPECT_EQ(rgb[2], bgr[0]);
    }
  }
  TW_PENDINGXFERS pending{};
  EXPECT_EQ(Call(&source_, DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending), TWRC_SUCCESS);
  CloseAll();
}

// File pages in other valid forms: biClrUsed 0, rows top-down, a V5 header;
// the picture is the same.
TEST_F(RealDsm, FilePagesInOtherValidForms) {
  InstallScanner("Pages=1\r\nPixelType=Gray\r\nFileClrUsed0=1\r\nFileTopDown=1\r\nFileV5Header=1\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_XFERREADY);
  std::vector<int> codes, counts;
  FileLoop("vscan_forms_", codes, counts);
  ASSERT_EQ(codes, std::vector<int>{TWRC_XFERDONE});
  const std::string path = TempFolderA() + "vscan_forms_1.bmp";
  const std::vector<uint8_t> file = ReadFileBytesW(std::wstring(path.begin(), path.end()));
  virtual_scanner::TDib dib;
  ASSERT_TRUE(virtual_scanner::DibFromBmpFile(file, dib));
  virtual_scanner::TDibInfo info;
  ASSERT_TRUE(virtual_scanner::DescribeDib(dib, info));
  EXPECT_EQ(info.headerSize, 124u);
  EXPECT_EQ(info.height, -585);
  uint32_t used = 1, offBits = 0;
  memcpy(&used, dib.data() + 32, 4);
  memcpy(&offBits, file.data() + 10, 4);
  EXPECT_EQ(used, 0u);
  EXPECT_EQ(offBits, 14u + 124u + 1024u);
  const virtual_scanner::TDib plain = virtual_scanner::RenderPage(1, virtual_scanner::TPixelType::Gray, 50);
  for (int y = 0; y < 585; y += 7)
    for (int x = 0; x < 413; x += 5) {
      uint8_t a[3], b[3];
      ASSERT_TRUE(virtual_scanner::PixelAt(dib, x, y, a));
      ASSERT_TRUE(virtual_scanner::PixelAt(plain, x, y, b));
      ASSERT_EQ(memcmp(a, b, 3), 0) << x << "," << y;
    }
  CloseAll();
}

TEST_F(RealDsm, CloseRequestArrivesThroughProcessEvent) {
  InstallScanner("CloseRequest=1\r\n");
  OpenDsm();
  ASSERT_EQ(OpenEnableAndWait(), MSG_CLOSEDSREQ);
  CloseAll();
}

}  // namespace

}  // namespace skan::virtual_scanner
