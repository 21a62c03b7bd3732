// Scan start with Wine's own TWAIN_32.DLL and the virtual scanner, installed
// into the prefix by the test, unattended.
#include "scan_test_support.h"

#include <cstdlib>
#include <cstring>

#include "create_valid_pdf.h"
#include "install_scanner.h"
#include "page_image.h"
#include "pdf_test_util.h"
#include "scan_completion.h"

namespace skan {

namespace {

std::vector<uint8_t> ReadBytes(const std::wstring& path) { return virtual_scanner::ReadFileBytesW(path); }

// Pixels whose colours differ between two pictures of one size; -1 when
// their sizes differ.
int DifferingPixels(const virtual_scanner::TDib& a, const virtual_scanner::TDib& b) {
  virtual_scanner::TDibInfo ia, ib;
  if (!virtual_scanner::DescribeDib(a, ia) || !virtual_scanner::DescribeDib(b, ib) || ia.width != ib.width ||
      std::abs(ia.height) != std::abs(ib.height))
    return -1;
  int differ = 0;
  for (int y = 0; y < std::abs(ia.height); ++y)
    for (int x = 0; x < ia.width; ++x) {
      uint8_t pa[3] = {}, pb[3] = {};
      virtual_scanner::PixelAt(a, x, y, pa);
      virtual_scanner::PixelAt(b, x, y, pb);
      differ += std::memcmp(pa, pb, 3) != 0;
    }
  return differ;
}

// The number of the virtual scanner's page (colour, 50 dpi, as installed
// below) whose every pixel the BMP file shows; 0 when none of 1 to 9 does.
int PageNumberOf(const std::vector<uint8_t>& file) {
  virtual_scanner::TDib dib;
  if (!virtual_scanner::DibFromBmpFile(file, dib)) return 0;
  for (int number = 1; number <= 9; ++number)
    if (DifferingPixels(dib, virtual_scanner::RenderPage(number, virtual_scanner::TPixelType::Rgb, 50)) == 0)
      return number;
  return 0;
}

void InstallScanner(const std::string& settings) {
  ASSERT_TRUE(virtual_scanner::InstallVirtualScanner(virtual_scanner::WinePathOf(VIRTUAL_SCANNER_DS), settings))
      << GetLastError();
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
  InstallScanner("Pages=3\r\nPixelType=RGB\r\n");
  Scan();
  EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
  ASSERT_EQ(window.lista->size(), 3u);
  std::vector<int> numbers;
  for (const std::wstring& page : *window.lista) {
    SCOPED_TRACE(base::Narrow(page));
    EXPECT_EQ(page.rfind(TempFolder() + L"scan\\tmp", 0), 0u);
    numbers.push_back(PageNumberOf(ReadBytes(page)));
  }
  // Each listed file holds the page of its place in the list.
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(window.filename, (*window.lista)[2]);

  // The layer rebuilt itself after the batch; a second start lists the
  // scanners again. The list was not released here, so pages follow it.
  Scan();
  ASSERT_EQ(window.lista->size(), 6u);
  numbers.clear();
  for (size_t i = 3; i < 6; ++i) numbers.push_back(PageNumberOf(ReadBytes((*window.lista)[i])));
  EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3}));
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

// A scanner without file transfer: the pages come natively (or in memory
// when native transfer is refused too, with rows not padded to 4 bytes) and
// are written as BMP files with the same pictures file transfer gives.
TEST_F(ScanStartWithWine, PagesAreTheSameWithoutFileTransfer) {
  const std::string mechanisms[] = {"", "NoFileTransfer=1\r\n",
                                    "NoFileTransfer=1\r\nNoNativeTransfer=1\r\nMemRowsUnpadded=1\r\n"};
  for (const char* type : {"RGB", "Gray", "BW"}) {
    std::vector<virtual_scanner::TDib> reference;
    for (const std::string& mechanism : mechanisms) {
      SCOPED_TRACE(std::string(type) + " " + mechanism);
      window = TTestScanWindow();
      InstallScanner("Pages=2\r\nPixelType=" + std::string(type) + "\r\n" + mechanism);
      Scan();
      EXPECT_EQ(window.events, std::vector<std::string>{"complete"});
      ASSERT_EQ(window.lista->size(), 2u);
      for (size_t i = 0; i < 2; ++i) {
        const std::wstring& page = (*window.lista)[i];
        EXPECT_EQ(page.rfind(TempFolder() + L"scan\\tmp", 0), 0u);
        virtual_scanner::TDib dib;
        ASSERT_TRUE(virtual_scanner::DibFromBmpFile(ReadBytes(page), dib)) << base::Narrow(page);
        if (mechanism.empty()) {
          reference.push_back(dib);
          continue;
        }
        virtual_scanner::TDibInfo got, want;
        ASSERT_TRUE(virtual_scanner::DescribeDib(dib, got));
        ASSERT_TRUE(virtual_scanner::DescribeDib(reference[i], want));
        EXPECT_EQ(got.bitCount, want.bitCount);  // the page keeps its format
        ASSERT_EQ(got.width, want.width);
        ASSERT_EQ(std::abs(got.height), std::abs(want.height));
        EXPECT_EQ(DifferingPixels(dib, reference[i]), 0) << "page " << i + 1;
      }
    }
  }
}

// What completion needs, over the page list the scan left.
class TCompletionHost : public TScanCompletionHost {
 public:
  explicit TCompletionHost(std::vector<std::wstring> pages) : pages_(std::move(pages)) {}
  const std::vector<std::wstring>* Lista() override { return &pages_; }
  void ReleaseLista() override {}
  void SetFilename(const std::wstring& f) override { filename = f; }
  void SetScanStatus(const std::wstring& s) override { statuses.push_back(s); }
  void WriteMessage(const std::string&) override {}
  void AppendLog(const std::wstring&) override {}
  std::wstring ScanId() override { return L""; }
  void Navigate(const std::wstring&) override {}
  std::wstring TempFolder() override { return skan::TempFolder(); }

  std::wstring filename;
  std::vector<std::wstring> statuses;

 private:
  std::vector<std::wstring> pages_;
};

// File, native and memory transfer.
const std::string kMechanisms[] = {"", "NoFileTransfer=1\r\n", "NoFileTransfer=1\r\nNoNativeTransfer=1\r\n"};

// The same scanner events give the same result whatever the transfer: a page
// that fails or is cancelled is listed without a file, so completion reports
// it missing and the request stays "Prepared_SCAN" (regression: with native
// or memory transfer the page dropped out, and a PDF without it became
// "Redy_SCAN"); a good batch becomes a three-page PDF and "Redy_SCAN".
TEST_F(ScanStartWithWine, APageThatFailsOrIsCancelledGivesTheSameResultWithEveryTransfer) {
  struct TCase {
    const char* name;
    const char* settings;
    size_t listed;
    int missing;  // the page reported missing (from 0), or -1
    bool canceled;
  };
  const TCase cases[] = {
      {"page 2 fails", "FailPage=2\r\n", 3, 1, false},
      {"cancel at page 2", "CancelAtPage=2\r\n", 2, 1, true},
      {"all good", "", 3, -1, false},
  };
  for (const std::string& mechanism : kMechanisms) {
    for (const TCase& c : cases) {
      SCOPED_TRACE(c.name + (" " + mechanism));
      window = TTestScanWindow();
      InstallScanner("Pages=3\r\nPixelType=Gray\r\n" + std::string(c.settings) + mechanism);
      Scan();
      EXPECT_EQ(window.events, std::vector<std::string>{c.canceled ? "complete canceled" : "complete"});
      ASSERT_EQ(window.lista->size(), c.listed);
      for (size_t i = 0; i < c.listed; ++i) EXPECT_EQ(FileExistsW((*window.lista)[i]), int(i) != c.missing) << i;

      TCompletionHost host(*window.lista);
      std::string raised;
      try {
        TwainManager1TransferComplete(host);
      } catch (const std::exception& e) {
        raised = e.what();
      }
      if (c.missing >= 0) {
        EXPECT_EQ(raised, "Plik \r" + base::Narrow((*window.lista)[size_t(c.missing)]) + "\rnie istnieje");
        EXPECT_EQ(host.statuses, std::vector<std::wstring>{L"Prepared_SCAN"});
        EXPECT_EQ(host.filename, L"");
        continue;
      }
      EXPECT_EQ(raised, "");
      EXPECT_EQ(host.statuses, (std::vector<std::wstring>{L"Prepared_SCAN", L"Redy_SCAN"}));
      const std::vector<uint8_t> pdf = ReadBytes(host.filename);
      EXPECT_EQ(pdfwriter::PageObjects(pdfwriter::ParsePdf(std::string(pdf.begin(), pdf.end()))).size(), 3u);
      DeleteFileW(host.filename.c_str());
      DeleteFileW(ChangeFileExt(host.filename, L".bs").c_str());
    }
  }
}

// A scanner that keeps failing a page while reporting more pending: the batch
// ends as cancelled after three attempts, with one name per attempt whatever
// the transfer.
TEST_F(ScanStartWithWine, AFailingScannerEndsTheBatch) {
  for (const std::string& mechanism : kMechanisms) {
    SCOPED_TRACE(mechanism);
    window = TTestScanWindow();
    InstallScanner("Pages=5\r\nFailPage=2\r\nFailKeepsPending=1\r\n" + mechanism);
    Scan();
    EXPECT_EQ(window.events, std::vector<std::string>{"complete canceled"});
    ASSERT_EQ(window.lista->size(), 4u);
    EXPECT_TRUE(FileExistsW(window.lista->front()));
    for (size_t i = 1; i < 4; ++i) EXPECT_FALSE(FileExistsW((*window.lista)[i]));
  }
}

}  // namespace

}  // namespace skan
