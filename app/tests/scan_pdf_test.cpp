// PDF assembly and scan completion with the real pdfwriter.dll: bitmaps made
// here become A4 pages holding their own pixels; the export and the messages
// of a completion; and how each failure leaves things. The PDFs stay in the
// output folder for the readers' check that runs after this program.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <system_error>
#include <thread>

#include "base/encoding.h"
#include "bmp_fixture.h"
#include "create_valid_pdf.h"
#include "encode_file.h"
#include "pdf/pdf_binding.h"
#include "pdf_test_util.h"
#include "scan_completion.h"
#include "work_files.h"

namespace skan {

namespace fs = std::filesystem;

namespace {

std::wstring Widen(const std::string& s) {
  std::wstring w;
  for (char c : s) w += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
  return w;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TBitmap {
  uint32_t width, height;
  uint16_t bpp;
  std::vector<uint32_t> palette;                          // 0x00RRGGBB
  std::function<uint32_t(uint32_t x, uint32_t y)> pixel;  // index, or 0x00RRGGBB for 24 bits
};

// Writes a bottom-up BI_RGB bitmap file and returns the samples a lossless
// PDF image of it holds (rows top-down, packed to bytes).
std::string WriteBmp(const fs::path& path, const TBitmap& b) {
  const uint32_t stride = (b.width * b.bpp + 31) / 32 * 4;
  std::vector<uint8_t> bits(size_t{stride} * b.height, 0);
  std::string samples;
  for (uint32_t y = 0; y < b.height; ++y) {
    uint8_t* row = bits.data() + size_t{stride} * (b.height - 1 - y);
    for (uint32_t x = 0; x < b.width; ++x) {
      const uint32_t v = b.pixel(x, y);
      if (b.bpp == 24) {
        row[x * 3] = v & 0xFF, row[x * 3 + 1] = (v >> 8) & 0xFF, row[x * 3 + 2] = (v >> 16) & 0xFF;
      } else {
        const uint32_t bit = x * b.bpp;
        row[bit / 8] |= static_cast<uint8_t>(v << (8 - b.bpp - bit % 8));
      }
    }
    if (b.bpp == 24) {
      for (uint32_t x = 0; x < b.width; ++x) {
        const uint32_t v = b.pixel(x, y);
        samples += static_cast<char>((v >> 16) & 0xFF), samples += static_cast<char>((v >> 8) & 0xFF),
            samples += static_cast<char>(v & 0xFF);
      }
    } else {
      samples.append(reinterpret_cast<char*>(row), (b.width * b.bpp + 7) / 8);
    }
  }
  BITMAPINFOHEADER h{};
  h.biSize = sizeof h;
  h.biWidth = static_cast<LONG>(b.width);
  h.biHeight = static_cast<LONG>(b.height);
  h.biPlanes = 1;
  h.biBitCount = b.bpp;
  h.biCompression = BI_RGB;
  h.biSizeImage = static_cast<DWORD>(bits.size());
  h.biXPelsPerMeter = h.biYPelsPerMeter = 11811;  // 300 dpi
  h.biClrUsed = static_cast<DWORD>(b.palette.size());
  BITMAPFILEHEADER f{};
  f.bfType = 0x4D42;
  f.bfOffBits = static_cast<DWORD>(sizeof f + sizeof h + b.palette.size() * 4);
  f.bfSize = static_cast<DWORD>(f.bfOffBits + bits.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&f), sizeof f);
  out.write(reinterpret_cast<const char*>(&h), sizeof h);
  for (uint32_t c : b.palette) {
    const uint8_t quad[4] = {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>((c >> 8) & 0xFF),
                             static_cast<uint8_t>((c >> 16) & 0xFF), 0};
    out.write(reinterpret_cast<const char*>(quad), 4);
  }
  out.write(reinterpret_cast<const char*>(bits.data()), static_cast<std::streamsize>(bits.size()));
  return samples;
}

std::vector<uint32_t> GrayPalette(int n) {
  std::vector<uint32_t> p;
  for (int i = 0; i < n; ++i) {
    const uint32_t v = static_cast<uint32_t>(i * 255 / (n - 1));
    p.push_back(v << 16 | v << 8 | v);
  }
  return p;
}

const TBitmap kColour{
    300, 200, 24, {}, [](uint32_t x, uint32_t y) { return (x % 256) << 16 | (y % 256) << 8 | ((x + y) & 0xFF); }};
const TBitmap kGray{150, 100, 8, GrayPalette(256), [](uint32_t x, uint32_t y) { return (x * 3 + y) & 0xFF; }};
const TBitmap kBlackWhite{64, 40, 1, GrayPalette(2), [](uint32_t x, uint32_t y) { return ((x / 4 + y / 4) & 1); }};

// The image object drawn on a page.
std::string ImageOfPage(const pdfwriter::TPdf& pdf, int pageObject) {
  const std::string& page = pdf.objects.at(pageObject);
  const size_t at = page.find("/Im");
  if (at == std::string::npos) return "";
  const long long object = std::strtoll(page.c_str() + page.find(' ', at) + 1, nullptr, 10);
  return pdf.objects.at(static_cast<int>(object));
}

// A PDF with what depends on the moment it was made blanked out: the dates
// of its information and metadata, and its file identifier. Two documents
// made alike at different moments are then the same bytes.
std::string WithoutTheMoment(std::string pdf) {
  const std::pair<const char*, const char*> parts[] = {{"/CreationDate (", ")"},
                                                       {"/ModDate (", ")"},
                                                       {"<xmp:CreateDate>", "<"},
                                                       {"<xmp:ModifyDate>", "<"},
                                                       {"/ID [", "]"}};
  for (const auto& [from, to] : parts) {
    for (size_t at = pdf.find(from); at != std::string::npos; at = pdf.find(from, at + 1)) {
      const size_t begin = at + std::strlen(from), end = pdf.find(to, begin);
      if (end != std::string::npos) std::fill(pdf.begin() + begin, pdf.begin() + end, '#');
    }
  }
  return pdf;
}

class ScanPdf : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = fs::path(L"Z:" + Widen(SKAN_PDF_OUT)) / (std::string(info->name()));
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    fs::create_directories(folder_);
  }
  std::wstring Temp() const { return folder_.wstring() + L"\\"; }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder_)) names.push_back(base::Narrow(e.path().filename().wstring()));
    std::sort(names.begin(), names.end());
    return names;
  }
  fs::path folder_;
};

std::string Raised(const std::function<void()>& op) {
  try {
    op();
  } catch (const pdf::TPdfWriterException& e) {
    return "pdf " + std::to_string(e.getCode()) + " " + e.what();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no exception";
}

TEST_F(ScanPdf, PagesAreA4InListOrderAndHoldEachBitmapsOwnPixels) {
  const TBitmap* bitmaps[] = {&kColour, &kGray, &kBlackWhite};
  const char* spaces[] = {"/DeviceRGB", "/DeviceGray", "/DeviceGray"};
  const int depths[] = {8, 8, 1};
  std::vector<std::wstring> lista;
  std::vector<std::string> samples;
  for (int i = 0; i < 3; ++i) {
    const fs::path page = folder_ / ("page" + std::to_string(i) + ".bmp");
    samples.push_back(WriteBmp(page, *bitmaps[i]));
    lista.push_back(page.wstring());
  }
  const std::wstring result = skan::CreateValidPDF(lista, Temp());
  ASSERT_EQ(result.substr(result.size() - 4), L".pdf");
  EXPECT_TRUE(fs::exists(skan::ChangeFileExt(result, L".tmp"))) << "the placeholder stays";
  EXPECT_EQ(fs::path(result).parent_path(), folder_);

  const auto pdf = pdfwriter::ParsePdf(ReadAll(result));
  const auto pages = pdfwriter::PageObjects(pdf);
  ASSERT_EQ(pages.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(pdf.objects.at(pages[i]).find("/MediaBox [0 0 595.2756 841.8898]"), std::string::npos);
    const std::string image = ImageOfPage(pdf, pages[i]);
    EXPECT_EQ(pdfwriter::IntAfter(image, "/Width"), bitmaps[i]->width);
    EXPECT_EQ(pdfwriter::IntAfter(image, "/Height"), bitmaps[i]->height);
    EXPECT_EQ(pdfwriter::IntAfter(image, "/BitsPerComponent"), depths[i]);
    EXPECT_NE(image.find(std::string("/ColorSpace ") + spaces[i]), std::string::npos);
    EXPECT_EQ(pdfwriter::Inflate(pdfwriter::StreamOf(image)), samples[i]);
  }
  // The page content stretches the image over the whole page.
  EXPECT_NE(ReadAll(result).find("q 595.2756 0 0 841.8898 0 0 cm /Im0 Do Q"), std::string::npos);
}

TEST_F(ScanPdf, A4InEveryUnitTheLibraryMayStartWith) {
  WriteBmp(folder_ / "p.bmp", kBlackWhite);
  const std::pair<TPdfWriterUnit, const char*> units[] = {
      {PdfWriterUnit_mm, "[0 0 595.2756 841.8898]"},
      {PdfWriterUnit_10th_mm, "[0 0 595.2756 841.8898]"},
      {PdfWriterUnit_100th_mm, "[0 0 595.2756 841.8898]"},
      {PdfWriterUnit_1000th_mm, "[0 0 595.2756 841.8898]"},
      {PdfWriterUnit_inch, "[0 0 576 792]"},
      {PdfWriterUnit_10th_inch, "[0 0 590.4 835.2]"},
      {PdfWriterUnit_100th_inch, "[0 0 594.72 841.68]"},
      {PdfWriterUnit_1000th_inch, "[0 0 595.224 841.824]"},
  };
  for (const auto& [unit, box] : units) {
    pdf::TPdfWriter pdf;
    pdf.SetUnit(unit);
    const std::wstring result = skan::CreateValidPDF(pdf, {(folder_ / "p.bmp").wstring()}, Temp());
    EXPECT_NE(ReadAll(result).find(std::string("/MediaBox ") + box), std::string::npos) << static_cast<int>(unit);
  }
}

TEST_F(ScanPdf, AssemblyFailuresLeaveNoPdf) {
  WriteBmp(folder_ / "a.bmp", kGray);
  std::ofstream(folder_ / "text.bmp") << "not a bitmap at all, just some text";
  const std::string whole = dib::MakeFixture(dib::AllVariants().front()).file;
  std::ofstream(folder_ / "cut.bmp", std::ios::binary) << whole.substr(0, whole.size() - 1);
  const std::wstring a = (folder_ / "a.bmp").wstring(), missing = (folder_ / "missing.bmp").wstring(),
                     text = (folder_ / "text.bmp").wstring(), cut = (folder_ / "cut.bmp").wstring();
  const auto before = Files();
  EXPECT_EQ(Raised([&] {
              skan::CreateValidPDF({a, missing, a}, Temp());
            }),
            "Plik \r" + base::Narrow(missing) + "\rnie istnieje");
  EXPECT_EQ(Raised([&] { skan::CreateValidPDF({a, text}, Temp()); }), "Bitmap image is not valid");
  EXPECT_EQ(Raised([&] { skan::CreateValidPDF({a, cut}, Temp()); }), "Bitmap image is not valid") << "pixels cut short";
  // Page files are read ahead of their turn; the first failing page in list
  // order still decides the text.
  EXPECT_EQ(Raised([&] { skan::CreateValidPDF({a, text, missing}, Temp()); }), "Bitmap image is not valid");
  EXPECT_EQ(Raised([&] {
              skan::CreateValidPDF({a, missing, text}, Temp());
            }),
            "Plik \r" + base::Narrow(missing) + "\rnie istnieje");
  EXPECT_EQ(Files(), before) << "no placeholder, no PDF";

  // An empty list reaches the library, which refuses a document without pages.
  const std::string refused = Raised([&] { skan::CreateValidPDF({}, Temp()); });
  EXPECT_EQ(refused.rfind("pdf 1 pdfwriter: the document has no pages", 0), 0u) << refused;
  for (const auto& name : Files()) EXPECT_EQ(name.find(".pdf"), std::string::npos) << name;
}

// Every bitmap layout a driver may write becomes a page holding the bitmap's
// own pixels, not a rasterised copy. Each PDF is left as <layout>.pdf beside
// <layout>.ppm, the pattern's colours; pdf/tests/check_pixels.sh renders the
// page back at the bitmap's size and compares the two pixel for pixel.
TEST_F(ScanPdf, EveryBitmapLayoutKeepsItsOwnPixels) {
  for (const dib::TVariant& v : dib::AllVariants()) {
    SCOPED_TRACE(v.name);
    const dib::TFixture f = dib::MakeFixture(v);
    const fs::path bmp = folder_ / (std::string(v.name) + ".bmp");
    std::ofstream(bmp, std::ios::binary) << f.file;
    std::wstring result;
    ASSERT_NO_THROW(result = skan::CreateValidPDF({bmp.wstring()}, Temp()));
    const auto pdf = pdfwriter::ParsePdf(ReadAll(result));
    const auto pages = pdfwriter::PageObjects(pdf);
    ASSERT_EQ(pages.size(), 1u);
    const std::string image = ImageOfPage(pdf, pages[0]);
    EXPECT_EQ(pdfwriter::IntAfter(image, "/Width"), f.width);
    EXPECT_EQ(pdfwriter::IntAfter(image, "/Height"), f.height);
    fs::rename(result, folder_ / (std::string(v.name) + ".pdf"));
    std::ofstream ppm(folder_ / (std::string(v.name) + ".ppm"), std::ios::binary);
    ppm << "P6\n" << f.width << " " << f.height << "\n255\n";
    for (const dib::TRgb8& c : f.pixels) ppm << c.r << c.g << c.b;
  }
}

// A folder the ANSI code page cannot spell still gets its PDF under the
// returned name.
TEST_F(ScanPdf, TemporaryFolderOutsideTheAnsiCodePage) {
  const fs::path folder = folder_ / L"skan_\u0142\u0105\u4e2d";
  fs::create_directories(folder);
  WriteBmp(folder_ / "p.bmp", kBlackWhite);
  const std::wstring result = skan::CreateValidPDF({(folder_ / "p.bmp").wstring()}, folder.wstring() + L"\\");
  EXPECT_EQ(fs::path(result).parent_path(), folder);
  EXPECT_NO_THROW(pdfwriter::ParsePdf(ReadAll(result)));
}

// The library itself: JPEG on request, rasterising of drawing that is not one
// covering blit, empty pages, resources, information, and refusals.
TEST_F(ScanPdf, LibraryTurnsOtherDrawingIntoPages) {
  const fs::path bmp = folder_ / "c.bmp";
  WriteBmp(bmp, kColour);
  const std::string file = ReadAll(bmp);
  const auto* info = reinterpret_cast<const BITMAPINFO*>(file.data() + sizeof(BITMAPFILEHEADER));
  const void* bits = file.data() + reinterpret_cast<const BITMAPFILEHEADER*>(file.data())->bfOffBits;

  pdf::TPdfWriter pdf;
  pdf.SetUnit(PdfWriterUnit_mm);
  pdf.CreateMemDocument();
  // 1: one covering blit, JPEG requested.
  HDC dc = pdf.AddPage(210, 297, 2100, 2970, pdf::PdfWriterDrawFlag_CompressImagesWithJPEG);
  StretchDIBits(dc, 0, 0, 2100, 2970, 0, 0, 300, 200, bits, info, DIB_RGB_COLORS, SRCCOPY);
  pdf.FinishPage(dc);
  // 2: a blit into half the page plus a filled rectangle: rasterised.
  dc = pdf.AddPage(100, 50, 200, 100, pdf::PdfWriterDrawFlag_None);
  StretchDIBits(dc, 0, 0, 100, 100, 0, 0, 300, 200, bits, info, DIB_RGB_COLORS, SRCCOPY);
  RECT black{150, 0, 200, 100};
  FillRect(dc, &black, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  pdf.FinishPage(dc);
  // 3: nothing drawn.
  pdf.FinishPage(pdf.AddPage(50, 50, 10, 10, pdf::PdfWriterDrawFlag_None));
  // 4: a resource drawn twice on a page inserted first.
  dc = pdf.AddResource(20, 10, 40, 20, pdf::PdfWriterDrawFlag_None);
  FillRect(dc, &black, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
  const uint32_t stamp = pdf.FinishResource(dc);
  pdf.FinishPage(pdf.InsertPage(0, 60, 60, 6, 6, pdf::PdfWriterDrawFlag_None));
  pdf.DrawResource(stamp, 0, PdfWriterUnit_mm, 5, 5, 1000, 1000);
  pdf.DrawResourceWithMatrix(stamp, 0, 0.5, 0, 0, 0.5, 30, 30);
  const uint32_t copy = pdf.PageToResource(2);
  uint32_t w = 0, h = 0;
  pdf.GetResourceSize(stamp, w, h);
  EXPECT_EQ(w * 1000 + h, 20010u);
  pdf.GetPageSize(2, w, h);
  EXPECT_EQ(w * 1000 + h, 100050u);
  EXPECT_GT(copy, stamp);
  pdf.SetDocumentInfo("Title", L"Skan \u0142\u0105ki");
  EXPECT_TRUE(pdf.GetDocumentInfoExists("Title"));
  EXPECT_FALSE(pdf.GetDocumentInfoExists("Author"));
  EXPECT_EQ(pdf.GetDocumentInfo("Title"), L"Skan \u0142\u0105ki");
  EXPECT_EQ(pdf.GetPageCount(), 4u);

  // A page left unfinished blocks the save; deleting it unblocks it.
  pdf.AddPage(10, 10, 10, 10, pdf::PdfWriterDrawFlag_None);
  EXPECT_EQ(Raised([&] { pdf.SaveToFileW((folder_ / "x.pdf").wstring()); }),
            "pdf 1 pdfwriter: a page has not been finished (FinishPage) yet");
  pdf.DeletePage(4);

  uint32_t size = 0;
  EXPECT_TRUE(pdf.SaveToData(nullptr, size));
  std::string data(size, '\0');
  uint32_t small = 10;
  EXPECT_FALSE(pdf.SaveToData(data.data(), small));
  EXPECT_EQ(small, size);
  EXPECT_TRUE(pdf.SaveToData(data.data(), size));
  const fs::path saved = folder_ / "drawing.pdf";
  pdf.SaveToFileW(saved.wstring());
  EXPECT_EQ(ReadAll(saved), data) << "file and data saves agree";
  pdf.Close();
  EXPECT_EQ(Raised([&] { pdf.GetPageCount(); }), "pdf 1 pdfwriter: no document is open");

  const auto parsed = pdfwriter::ParsePdf(data);
  const auto pages = pdfwriter::PageObjects(parsed);
  ASSERT_EQ(pages.size(), 4u);
  const std::string jpeg = ImageOfPage(parsed, pages[1]);
  EXPECT_NE(jpeg.find("/Filter /DCTDecode"), std::string::npos);
  EXPECT_EQ(pdfwriter::StreamOf(jpeg).substr(0, 2), "\xFF\xD8");
  const std::string raster = ImageOfPage(parsed, pages[2]);
  EXPECT_EQ(pdfwriter::IntAfter(raster, "/Width"), 200);
  EXPECT_EQ(pdfwriter::IntAfter(raster, "/Height"), 100);
  const std::string pixels = pdfwriter::Inflate(pdfwriter::StreamOf(raster));
  ASSERT_EQ(pixels.size(), 200u * 100 * 3);
  EXPECT_EQ(pixels.substr((50 * 200 + 175) * 3, 3), std::string(3, '\0')) << "the black rectangle";
  EXPECT_EQ(pixels.substr((50 * 200 + 125) * 3, 3), "\xFF\xFF\xFF") << "white where nothing was drawn";
  EXPECT_EQ(ImageOfPage(parsed, pages[3]), "") << "an empty page has no image";
  EXPECT_NE(parsed.objects.at(pages[0]).find("/Fm1"), std::string::npos);
  EXPECT_NE(data.find("/Title <FEFF"), std::string::npos);
}

TEST_F(ScanPdf, LibraryRefusalsComeThroughTheErrorCallback) {
  pdf::TPdfWriter pdf;
  EXPECT_EQ(Raised([&] { pdf.LoadFromFile("a.pdf", "", true, false); }),
            "pdf 50 pdfwriter: LoadFromFile is not supported by this library");
  EXPECT_EQ(Raised([&] { pdf.AddPage(210, 297, 2100, 2970, 0); }), "pdf 1 pdfwriter: no document is open");
  EXPECT_EQ(Raised([&] { pdf.SetUnit(static_cast<TPdfWriterUnit>(9)); }), "pdf 87 pdfwriter: unknown unit 9");
  pdf.CreateMemDocument();
  EXPECT_EQ(Raised([&] { pdf.CreateMemDocument(); }), "pdf 1 pdfwriter: a document is already open; close it first");
  EXPECT_EQ(Raised([&] { pdf.FinishPage(reinterpret_cast<HDC>(0x1234)); }),
            "pdf 87 pdfwriter: the device context is not an open page of this document");
  EXPECT_EQ(Raised([&] { pdf.AddPage(210, 297, 0, 10, 0); }).substr(0, 40), "pdf 87 pdfwriter: the drawing area must ");
  pdf.Close();

  // A document on file is written when it is closed.
  const fs::path path = folder_ / "on-file.pdf";
  pdf.CreateFileDocumentW(path.wstring());
  pdf.FinishPage(pdf.AddPage(100, 100, 10, 10, 0));
  pdf.Close();
  EXPECT_NO_THROW(pdfwriter::ParsePdf(ReadAll(path)));
  EXPECT_EQ(Raised([&] { pdf.CreateFileDocumentW((folder_ / "no-such-folder" / "x.pdf").wstring()); }).substr(0, 40),
            "pdf 3 pdfwriter: cannot create the PDF f");
  // One never closed holds no half-made PDF.
  {
    pdf::TPdfWriter abandoned;
    abandoned.CreateFileDocumentW((folder_ / "abandoned.unfinished").wstring());
    abandoned.FinishPage(abandoned.AddPage(100, 100, 10, 10, 0));
  }
  EXPECT_EQ(ReadAll(folder_ / "abandoned.unfinished"), "");
}

// --- Scan completion -------------------------------------------------------

class TFakeHost : public skan::TScanCompletionHost {
 public:
  explicit TFakeHost(std::wstring temp) : temp_(std::move(temp)) {}
  const std::vector<std::wstring>* Lista() override { return hasLista ? &pages : nullptr; }
  void ReleaseLista() override { released = true; }
  void SetFilename(const std::wstring& f) override { filename = f; }
  void SetScanStatus(const std::wstring& s) override { statuses.push_back(s); }
  void WriteMessage(const std::string& body) override {
    messages.push_back(body);
    for (const auto& e : fs::directory_iterator(temp_))
      if (e.path().extension() == ".pdf") pdfBeforeMessage = true;
  }
  void AppendLog(const std::wstring& line) override { log.push_back(line); }
  std::wstring ScanId() override { return scanId; }
  void Navigate(const std::wstring& path) override { navigated.push_back(path); }
  std::wstring TempFolder() override { return temp_; }
  std::unique_ptr<skan::TPagePipeline> TakePipeline() override { return std::move(pipeline); }
  uint32_t DrawFlags() override { return drawFlags; }
  std::string PageFailure(const std::wstring& page) override {
    const auto it = pageFailures.find(page);
    return it == pageFailures.end() ? std::string() : it->second;
  }

  std::vector<std::wstring> pages;
  std::map<std::wstring, std::string> pageFailures;
  std::unique_ptr<skan::TPagePipeline> pipeline;
  uint32_t drawFlags = 0;
  bool hasLista = true;
  bool released = false;
  std::wstring filename = L"before";
  std::wstring scanId;
  std::vector<std::wstring> statuses, log, navigated;
  std::vector<std::string> messages;
  bool pdfBeforeMessage = false;

 private:
  std::wstring temp_;
};

TEST_F(ScanPdf, CompletionExportsThePdfAndReportsReady) {
  TFakeHost host(Temp());
  host.scanId = L"2025_03_07_09_05_02_045";
  fs::create_directory(folder_ / "scan");  // made by Init_SCAN and the scan start
  for (const char* name : {"1.bmp", "2.bmp", "3.bmp"}) {
    WriteBmp(folder_ / name, kGray);
    host.pages.push_back((folder_ / name).wstring());
  }
  skan::TwainManager1TransferComplete(host);

  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0],
            "{\"Nieznane polecenie \": \"Dokument zeskanowany, przygotowuj\xC4\x99 do wysy\xC5\x82ki.\" }");
  EXPECT_EQ(host.messages[0].size(), 76u);
  EXPECT_EQ(host.messages[1], "{\"Czesc \": \"1\" }");
  EXPECT_FALSE(host.pdfBeforeMessage) << "messages 5 and 6 go out before the PDF exists";
  EXPECT_EQ(host.statuses, (std::vector<std::wstring>{L"Prepared_SCAN", L"Redy_SCAN"}));
  EXPECT_TRUE(host.released);
  ASSERT_EQ(host.filename.substr(host.filename.size() - 4), L".pdf");
  EXPECT_EQ(host.navigated, std::vector<std::wstring>{host.filename});
  const std::wstring folder = Temp() + L"scan\\2025_03_07_09_05_02_045\\";
  EXPECT_EQ(host.log,
            (std::vector<std::wstring>{host.filename, L"scan_id: 2025_03_07_09_05_02_045", L"lfilename: " + folder}));

  const std::string pdf = ReadAll(host.filename);
  EXPECT_EQ(pdfwriter::PageObjects(pdfwriter::ParsePdf(pdf)).size(), 3u);
  const std::string exported = ReadAll(folder + L"scan.bs");
  EXPECT_EQ(exported, skan::JoinLinesCrLf(skan::SplitLines(skan::Base64Lines(pdf))));
  EXPECT_EQ(exported.size(), (pdf.size() + 2) / 3 * 4 + ((pdf.size() + 2) / 3 * 4 + 75) / 76 * 2);

  // A second scan under the same request overwrites the export.
  host.pages = {(folder_ / "1.bmp").wstring()};
  skan::TwainManager1TransferComplete(host);
  EXPECT_EQ(ReadAll(folder + L"scan.bs"),
            skan::JoinLinesCrLf(skan::SplitLines(skan::Base64Lines(ReadAll(host.filename)))));
}

TEST_F(ScanPdf, CompletionWithoutRequestPutsTheExportBesideThePdf) {
  TFakeHost host(Temp());
  WriteBmp(folder_ / "1.bmp", kBlackWhite);
  host.pages = {(folder_ / "1.bmp").wstring()};
  skan::TwainManager1TransferComplete(host);
  EXPECT_EQ(host.log, (std::vector<std::wstring>{host.filename, L"scan_id: "}));
  const std::wstring bs = skan::ChangeFileExt(host.filename, L".bs");
  EXPECT_EQ(ReadAll(bs), skan::JoinLinesCrLf(skan::SplitLines(skan::Base64Lines(ReadAll(host.filename)))));
  EXPECT_FALSE(fs::exists(folder_ / "scan"));
}

TEST_F(ScanPdf, CompletionFailuresKeepPreparedAndReleaseTheList) {
  {
    SCOPED_TRACE("a missing page");
    TFakeHost host(Temp());
    host.scanId = L"id";
    host.pages = {(folder_ / "gone.bmp").wstring()};
    EXPECT_EQ(Raised([&] { skan::TwainManager1TransferComplete(host); }),
              "Plik \r" + base::Narrow(host.pages[0]) + "\rnie istnieje");
    EXPECT_EQ(host.statuses, std::vector<std::wstring>{L"Prepared_SCAN"});
    EXPECT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.filename, L"before");
    EXPECT_TRUE(host.released);
    EXPECT_TRUE(host.navigated.empty());
    EXPECT_TRUE(host.log.empty());
  }
  {
    SCOPED_TRACE("a page the scan could not write: its reason, not a missing file");
    TFakeHost host(Temp());
    WriteBmp(folder_ / "1.bmp", kBlackWhite);
    host.pages = {(folder_ / "1.bmp").wstring(), (folder_ / "2.bmp").wstring(), (folder_ / "3.bmp").wstring()};
    host.pageFailures[host.pages[1]] = "Cannot write file \"2.bmp\". There is not enough space on the disk";
    host.pageFailures[host.pages[2]] = "Cannot write file \"3.bmp\". There is not enough space on the disk";
    EXPECT_EQ(Raised([&] { skan::TwainManager1TransferComplete(host); }), host.pageFailures[host.pages[1]]);
    EXPECT_EQ(host.statuses, std::vector<std::wstring>{L"Prepared_SCAN"});
    EXPECT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.filename, L"before");
    EXPECT_TRUE(host.released);
    EXPECT_EQ(Files(), (std::vector<std::string>{"1.bmp"})) << "no placeholder, no PDF";
  }
  {
    SCOPED_TRACE("the export folder cannot be made: a file is in its way");
    TFakeHost host(Temp());
    host.scanId = L"blocked";
    WriteBmp(folder_ / "1.bmp", kBlackWhite);
    host.pages = {(folder_ / "1.bmp").wstring()};
    std::ofstream(folder_ / "scan") << "a file named like the folder";
    const std::string raised = Raised([&] { skan::TwainManager1TransferComplete(host); });
    const std::string expected = "Cannot create file \"" + base::Narrow(Temp()) + "scan\\blocked\\scan.bs\". ";
    EXPECT_EQ(raised.substr(0, expected.size()), expected);
    EXPECT_GT(raised.size(), expected.size()) << "with the system's message";
    EXPECT_EQ(host.statuses, std::vector<std::wstring>{L"Prepared_SCAN"});
    EXPECT_TRUE(fs::exists(host.filename));
    EXPECT_EQ(host.log.size(), 3u);
    EXPECT_TRUE(host.navigated.empty());
    EXPECT_TRUE(host.released);
  }
  {
    SCOPED_TRACE("no page list: the library refuses the empty document");
    TFakeHost host(Temp());
    host.hasLista = false;
    EXPECT_EQ(Raised([&] { skan::TwainManager1TransferComplete(host); }).substr(0, 42),
              "pdf 1 pdfwriter: the document has no pages");
    EXPECT_EQ(host.statuses, std::vector<std::wstring>{L"Prepared_SCAN"});
    EXPECT_TRUE(host.released);
  }
}

// --- Pages drawn while the batch runs --------------------------------------

const TBitmap kGrayOther{150, 100, 8, GrayPalette(256), [](uint32_t x, uint32_t y) { return (x + y * 5) & 0xFF; }};

// Whatever happens to the page files between their arrival and the batch's
// end, completion gives what the assembly at the end gives: the same PDF, or
// the same failure with no file made.
TEST_F(ScanPdf, PagesDrawnAheadGiveTheSameResultAsTheAssemblyAtTheEnd) {
  struct TCase {
    const char* name;
    int pages;    // named in the list
    int written;  // of which the scanner wrote (and reported) the first ones
    std::function<void(ScanPdf&, const std::vector<std::wstring>&)> beforeEnd;
    const char* failure;  // "" for success; "missing" for the missing-page text of the given page
    int failingPage;
    const wchar_t* scanId = nullptr;  // the export goes into the request's folder
  };
  const TCase cases[] = {
      {"one page", 1, 1, nullptr, "", 0},
      {"three pages", 3, 3, nullptr, "", 0},
      {"three pages a second apart, exported into the request's folder", 3, 3, nullptr, "", 0,
       L"2025_03_07_09_05_02_045"},
      {"a page removed before the end", 3, 3, [](ScanPdf&, const auto& l) { fs::remove(l[1]); }, "missing", 1},
      {"a page replaced by another picture of the same size", 3, 3,
       [](ScanPdf&, const auto& l) { WriteBmp(fs::path(l[2]), kGrayOther); }, "", 0},
      {"a page replaced by a file that is no bitmap", 2, 2,
       [](ScanPdf&, const auto& l) { std::ofstream(fs::path(l[0]), std::ios::trunc) << "no bitmap"; },
       "Bitmap image is not valid", 0},
      {"a cancelled batch: the last named page was never written", 3, 2, nullptr, "missing", 2},
      {"a page missing when reported that comes before the end", 2, 2,
       [](ScanPdf&, const auto& l) { WriteBmp(fs::path(l[1]), kGray); }, "", 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();  // a fresh folder per case
    TFakeHost host(Temp());
    host.pipeline = std::make_unique<skan::TPagePipeline>(Temp());
    if (c.scanId) {
      host.scanId = c.scanId;
      fs::create_directory(folder_ / "scan");
    }
    const bool lateFile = std::string(c.name).find("missing when reported") != std::string::npos;
    for (int i = 0; i < c.pages; ++i) {
      const fs::path page = folder_ / ("p" + std::to_string(i) + ".bmp");
      host.pages.push_back(page.wstring());
      if (i >= c.written) continue;
      if (!(lateFile && i == 1)) WriteBmp(page, i % 2 ? kGray : kColour);
      host.pipeline->PageFileWritten(page.wstring());
      // As from a feeder: the export has time to follow the PDF between pages.
      if (c.scanId) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    EXPECT_EQ(host.pipeline->WaitIdle(), lateFile ? 0u : static_cast<size_t>(c.written))
        << "the pages are drawn before the end";
    if (c.beforeEnd) c.beforeEnd(*this, host.pages);
    // The files as they were before the batch: the work file is to go.
    std::vector<std::string> before = Files();
    const size_t workFiles = std::erase_if(before, [](const std::string& n) { return n.starts_with("skw"); });
    EXPECT_EQ(workFiles, lateFile ? 0u : 2u) << "the PDF under way and its export have work files of their own";

    const std::string raised = Raised([&] { skan::TwainManager1TransferComplete(host); });
    EXPECT_TRUE(host.released);
    EXPECT_EQ(host.messages.size(), 2u);
    if (*c.failure) {
      const std::string expected = std::string(c.failure) == "missing"
                                       ? "Plik \r" + base::Narrow(host.pages[c.failingPage]) + "\rnie istnieje"
                                       : c.failure;
      EXPECT_EQ(raised, expected);
      EXPECT_EQ(Files(), before) << "no placeholder, no PDF, no work file";
      EXPECT_EQ(host.statuses, std::vector<std::wstring>{L"Prepared_SCAN"});
      continue;
    }
    ASSERT_EQ(raised, "no exception");
    EXPECT_EQ(host.statuses, (std::vector<std::wstring>{L"Prepared_SCAN", L"Redy_SCAN"}));
    // Besides the pages: one placeholder, the PDF and its export, all of one
    // name (the export in the request's folder when there is one); the work
    // files are gone.
    std::vector<std::string> made;
    for (const auto& name : Files())
      if (std::find(before.begin(), before.end(), name) == before.end()) made.push_back(name);
    const std::string stem = base::Narrow(fs::path(host.filename).stem().wstring());
    if (c.scanId)
      EXPECT_EQ(made, (std::vector<std::string>{stem + ".pdf", stem + ".tmp"}));
    else
      EXPECT_EQ(made, (std::vector<std::string>{stem + ".bs", stem + ".pdf", stem + ".tmp"}));
    EXPECT_EQ(Files().size(), before.size() + made.size());
    // The same bytes as the assembly at the end makes of the files as they
    // are now, and their whole export.
    const std::string pdf = ReadAll(host.filename);
    EXPECT_TRUE(WithoutTheMoment(pdf) == WithoutTheMoment(ReadAll(skan::CreateValidPDF(host.pages, Temp()))));
    const std::wstring exportPath =
        c.scanId ? Temp() + L"scan\\" + c.scanId + L"\\scan.bs" : skan::ChangeFileExt(host.filename, L".bs");
    EXPECT_TRUE(ReadAll(exportPath) == skan::JoinLinesCrLf(skan::SplitLines(skan::Base64Lines(pdf))));
  }
}

// A compact request: colour and grey pages as JPEG (with masks for text),
// the black-and-white page as without it; the pages drawn ahead and the
// assembly at the end give the same bytes.
TEST_F(ScanPdf, CompactPagesAreTheSameWhicheverPathDrawsThem) {
  const TBitmap* bitmaps[] = {&kColour, &kGray, &kBlackWhite};
  std::vector<std::wstring> lista;
  for (int i = 0; i < 3; ++i) {
    const fs::path page = folder_ / ("page" + std::to_string(i) + ".bmp");
    WriteBmp(page, *bitmaps[i]);
    lista.push_back(page.wstring());
  }
  const std::string lossless = ReadAll(skan::CreateValidPDF(lista, Temp()));
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "drawn ahead" : "drawn at the end");
    TFakeHost host(Temp());
    host.pages = lista;
    host.drawFlags = pdf::PdfWriterDrawFlag_CompactImages;
    if (ahead) {
      host.pipeline = std::make_unique<skan::TPagePipeline>(Temp(), nullptr, pdf::PdfWriterDrawFlag_CompactImages);
      for (const std::wstring& page : lista) host.pipeline->PageFileWritten(page);
      EXPECT_EQ(host.pipeline->WaitIdle(), 3u);
    }
    ASSERT_EQ(Raised([&] { skan::TwainManager1TransferComplete(host); }), "no exception");
    const std::string compact = ReadAll(host.filename);
    EXPECT_TRUE(WithoutTheMoment(compact) ==
                WithoutTheMoment(ReadAll(skan::CreateValidPDF(lista, Temp(), pdf::PdfWriterDrawFlag_CompactImages))));
    const auto pdf = pdfwriter::ParsePdf(compact);
    const auto pages = pdfwriter::PageObjects(pdf);
    ASSERT_EQ(pages.size(), 3u);
    for (int i = 0; i < 2; ++i) EXPECT_NE(ImageOfPage(pdf, pages[i]).find("/DCTDecode"), std::string::npos) << i;
    const auto plain = pdfwriter::ParsePdf(lossless);
    EXPECT_EQ(pdfwriter::StreamOf(ImageOfPage(pdf, pages[2])),
              pdfwriter::StreamOf(ImageOfPage(plain, pdfwriter::PageObjects(plain)[2])));
    EXPECT_LT(compact.size(), lossless.size());
  }
}

// The files in `folder` whose names begin with `prefix`.
std::vector<fs::path> FilesStartingWith(const fs::path& folder, const std::string& prefix) {
  std::vector<fs::path> found;
  for (const auto& e : fs::directory_iterator(folder))
    if (base::Narrow(e.path().filename().wstring()).starts_with(prefix)) found.push_back(e.path());
  return found;
}

// The PDF drawn ahead takes the PDF's name only when it is whole. A close
// that fails without a word (the binding ignores Close's answer), leaving
// the work file without its last objects or cut short, gives the PDF the
// assembly at the end makes, never the work file; a close that goes well
// gives the work file itself.
TEST_F(ScanPdf, AWorkFileCutShortNeverBecomesThePdf) {
  struct TCase {
    const char* name;
    std::function<void(pdf::TPdfWriter&, const fs::path&)> close;
    bool drawnAhead;  // the result is the work file
  };
  const TCase cases[] = {
      {"closed as usual", [](pdf::TPdfWriter& pdf, const fs::path&) { pdf.Close(); }, true},
      {"the close writes nothing", [](pdf::TPdfWriter&, const fs::path&) {}, false},
      {"the close stops ten bytes short",
       [](pdf::TPdfWriter& pdf, const fs::path& folder) {
         pdf.Close();
         for (const fs::path& work : FilesStartingWith(folder, "skw"))
           if (ReadAll(work).starts_with("%PDF")) fs::resize_file(work, fs::file_size(work) - 10);
       },
       false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    TFakeHost host(Temp());
    host.pipeline = std::make_unique<skan::TPagePipeline>(Temp(), [&](pdf::TPdfWriter& pdf) { c.close(pdf, folder_); });
    for (int i = 0; i < 2; ++i) {
      const fs::path page = folder_ / ("p" + std::to_string(i) + ".bmp");
      WriteBmp(page, i ? kGray : kColour);
      host.pages.push_back(page.wstring());
      host.pipeline->PageFileWritten(page.wstring());
    }
    ASSERT_EQ(host.pipeline->WaitIdle(), 2u);
    skan::TFileIdentity work;
    for (const fs::path& file : FilesStartingWith(folder_, "skw"))
      if (ReadAll(file).starts_with("%PDF")) ASSERT_TRUE(skan::IdentifyFile(file.wstring(), work));
    ASSERT_EQ(Raised([&] { skan::TwainManager1TransferComplete(host); }), "no exception");
    EXPECT_EQ(host.statuses, (std::vector<std::wstring>{L"Prepared_SCAN", L"Redy_SCAN"}));
    const std::string pdf = ReadAll(host.filename);
    EXPECT_TRUE(WithoutTheMoment(pdf) == WithoutTheMoment(ReadAll(skan::CreateValidPDF(host.pages, Temp()))))
        << "the assembly's bytes";
    EXPECT_TRUE(skan::IsWholePdfFile(host.filename));
    skan::TFileIdentity result;
    ASSERT_TRUE(skan::IdentifyFile(host.filename, result));
    EXPECT_EQ(result.volume == work.volume && result.indexHigh == work.indexHigh && result.indexLow == work.indexLow,
              c.drawnAhead);
    EXPECT_EQ(FilesStartingWith(folder_, "skw"), std::vector<fs::path>{}) << "no work file left";
    EXPECT_TRUE(ReadAll(skan::ChangeFileExt(host.filename, L".bs")) ==
                skan::JoinLinesCrLf(skan::SplitLines(skan::Base64Lines(pdf))));
  }
}

// What tells a whole PDF: its header, and "startxref", the offset of its
// cross-reference table and "%%EOF" at its end; every shorter piece of it,
// and a last offset that misses the table, is not one.
TEST_F(ScanPdf, AWholePdfIsToldFromOneCutShort) {
  WriteBmp(folder_ / "1.bmp", kGray);
  const std::string whole = ReadAll(skan::CreateValidPDF({(folder_ / "1.bmp").wstring()}, Temp()));
  const size_t startxref = whole.rfind("startxref");
  ASSERT_NE(startxref, std::string::npos);
  const std::string offset = std::to_string(whole.find("\nxref\n") + 1);
  struct TCase {
    const char* name;
    std::string bytes;
    bool whole;
  };
  const TCase cases[] = {
      {"whole", whole, true},
      {"without its last line break", whole.substr(0, whole.size() - 1), true},
      {"one byte of %%EOF short", whole.substr(0, whole.size() - 2), false},
      {"without %%EOF", whole.substr(0, whole.size() - 6), false},
      {"cut inside the table", whole.substr(0, whole.find("\nxref\n") + 20), false},
      {"only the images", whole.substr(0, whole.size() / 2), false},
      {"only the header", whole.substr(0, 15), false},
      {"an offset that misses the table",
       whole.substr(0, startxref) + "startxref\n" + std::to_string(std::stoul(offset) + 1) + "\n%%EOF\n", false},
      {"no header", "%PDX" + whole.substr(4), false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    // Not named .pdf: the readers' check that follows takes every PDF here.
    std::ofstream(folder_ / "piece.bin", std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_EQ(skan::IsWholePdfFile((folder_ / "piece.bin").wstring()), c.whole);
  }
  fs::remove(folder_ / "piece.bin");
  EXPECT_FALSE(skan::IsWholePdfFile((folder_ / "none.bin").wstring()));
}

// The pipeline is there for speed only: when it cannot be set up (no thread
// to be had) the batch goes on and completion assembles every page itself.
// It is not made for the later pages of that batch, which it would lack the
// first of; the next batch has one again.
TEST_F(ScanPdf, APipelineThatCannotBeSetUpLeavesTheAssemblyToTheEnd) {
  int made = 0;
  bool fail = true;
  skan::TBatchPipeline batch([&]() -> std::unique_ptr<skan::TPagePipeline> {
    ++made;
    if (fail) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::make_unique<skan::TPagePipeline>(Temp());
  });
  TFakeHost host(Temp());
  for (int i = 0; i < 3; ++i) {
    const fs::path page = folder_ / ("p" + std::to_string(i) + ".bmp");
    WriteBmp(page, kGray);
    host.pages.push_back(page.wstring());
    EXPECT_NO_THROW(batch.PageFileWritten(page.wstring()));
  }
  EXPECT_EQ(made, 1);
  host.pipeline = batch.Take();
  EXPECT_EQ(host.pipeline, nullptr);
  ASSERT_EQ(Raised([&] { skan::TwainManager1TransferComplete(host); }), "no exception");
  EXPECT_EQ(host.statuses, (std::vector<std::wstring>{L"Prepared_SCAN", L"Redy_SCAN"}));
  EXPECT_EQ(pdfwriter::PageObjects(pdfwriter::ParsePdf(ReadAll(host.filename))).size(), 3u);

  fail = false;
  batch.PageFileWritten(host.pages[0]);
  EXPECT_EQ(made, 2);
  const std::unique_ptr<skan::TPagePipeline> next = batch.Take();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->WaitIdle(), 1u);
}

// Work files carry their host's process id and start: those of hosts that
// are gone (killed while writing them) go, in the temporary folder and in
// the request folders; those of this host, of a host still running (another
// tab's) and any file someone holds open stay.
TEST_F(ScanPdf, WorkFilesOfHostsThatAreGoneAreRemoved) {
  const fs::path request = folder_ / "scan" / "2025_03_07_09_05_02_045";
  fs::create_directories(request);
  // Another host, alive while suspended.
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION other{};
  wchar_t command[] = L"cmd.exe /c exit";
  ASSERT_TRUE(
      CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &si, &other));
  FILETIME created{}, exited{}, kernel{}, user{};
  ASSERT_TRUE(GetProcessTimes(other.hProcess, &created, &exited, &kernel, &user));
  const unsigned long long otherStart =
      (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  const auto name = [](unsigned long pid, unsigned long long start, unsigned n) {
    wchar_t text[64];
    std::swprintf(text, 64, L"skw%08lX-%016llX-%X.tmp", pid, start, n);
    return std::wstring(text);
  };
  const std::wstring own = skan::MakeWorkFile(Temp());
  unsigned long pid = 0;
  unsigned long long ownStart = 0;
  ASSERT_TRUE(skan::ParseWorkFileName(fs::path(own).filename().wstring(), pid, ownStart));
  EXPECT_EQ(pid, GetCurrentProcessId());
  const std::wstring others = name(other.dwProcessId, otherStart, 0);
  const std::wstring gone = name(0xFFFFFFF0, otherStart, 1);                        // no such process
  const std::wstring reused = name(GetCurrentProcessId(), ownStart + 10000000, 2);  // this id, another start
  const std::wstring older = L"skw1A2B.tmp";                                        // an earlier version's
  const std::wstring held = L"skw3C4D.tmp";
  for (const std::wstring& n : {others, gone, reused, older, held}) std::ofstream(folder_ / n) << "part";
  std::ofstream(request / gone) << "part of an export";
  std::ofstream(folder_ / "tmp5A3F.tmp");  // a placeholder: not a work file
  const HANDLE open = CreateFileW((folder_ / held).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);

  EXPECT_EQ(skan::RemoveStaleWorkFilesUnder(Temp()), 4u);
  const auto left = [&] {
    std::vector<std::string> names = Files();
    for (const auto& e : fs::directory_iterator(request)) names.push_back(base::Narrow(e.path().filename().wstring()));
    return names;
  };
  std::vector<std::string> expected{base::Narrow(fs::path(own).filename().wstring()), base::Narrow(others),
                                    base::Narrow(held), "scan", "tmp5A3F.tmp"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left(), expected);

  // Once the other host has ended and nothing holds the last one, they go.
  TerminateProcess(other.hProcess, 0);
  WaitForSingleObject(other.hProcess, 10000);
  CloseHandle(other.hThread);
  CloseHandle(other.hProcess);
  CloseHandle(open);
  EXPECT_EQ(skan::RemoveStaleWorkFilesUnder(Temp()), 2u);
  expected = {base::Narrow(fs::path(own).filename().wstring()), "scan", "tmp5A3F.tmp"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left(), expected);
  DeleteFileW(own.c_str());
}

// Words added to each page just finished of a document on file, as the page
// pipeline does, come out as invisible text: pdf_text_check has pdftotext
// and MuPDF read them back in order and poppler find each in its box, and
// pdf_pdfa_check has Preflight accept the file. Bad words are refused.
TEST_F(ScanPdf, WordsOverFinishedPagesOfADocumentOnFile) {
  const fs::path bmp = folder_ / "bw.bmp";
  WriteBmp(bmp, kBlackWhite);
  const std::string file = ReadAll(bmp);
  const auto* info = reinterpret_cast<const BITMAPINFO*>(file.data() + sizeof(BITMAPFILEHEADER));
  const void* bits = file.data() + reinterpret_cast<const BITMAPFILEHEADER*>(file.data())->bfOffBits;
  constexpr uint32_t kW = 2480, kH = 3508;  // A4 at 300 dpi
  const std::vector<std::vector<PdfWriterWord>> pages = {
      {{"Zażółć", 300, 400, 420, 80, 462},
       {"gęślą", 780, 400, 330, 80, 462},
       {"jaźń", 1170, 400, 300, 80, 462},
       {"ĄĆĘŁŃÓŚŹŻ", 300, 600, 600, 90, -1}},
      {{"Strona", 300, 400, 400, 80, -1}, {"druga", 760, 400, 330, 80, -1}}};

  pdf::TPdfWriter pdf;
  pdf.SetUnit(PdfWriterUnit_mm);
  pdf.CreateFileDocumentW((folder_ / "text.pdf").wstring());
  for (uint32_t i = 0; i < pages.size(); ++i) {
    HDC dc = pdf.AddPage(210, 297, kW, kH, pdf::PdfWriterDrawFlag_None);
    StretchDIBits(dc, 0, 0, kW, kH, 0, 0, kBlackWhite.width, kBlackWhite.height, bits, info, DIB_RGB_COLORS, SRCCOPY);
    pdf.FinishPage(dc);
    pdf.AddTextLayer(i, kW, kH, pages[i]);
  }
  EXPECT_EQ(Raised([&] { pdf.AddTextLayer(2, kW, kH, pages[0]); }), "pdf 87 pdfwriter: page index out of range");
  EXPECT_EQ(Raised([&] {
              pdf.AddTextLayer(0, kW, kH, {{"ok", 1, 1, 9, 9, -1}, {"\xC5", 1, 1, 9, 9, -1}});
            }),
            "pdf 87 pdfwriter: word 2 of the text layer is not valid UTF-8");
  EXPECT_EQ(Raised([&] {
              pdf.AddTextLayer(0, kW, kH, {{nullptr, 1, 1, 9, 9, -1}});
            }),
            "pdf 87 pdfwriter: word 1 of the text layer has no text");
  EXPECT_EQ(Raised([&] {
              pdf.AddTextLayer(0, kW, kH, {{"x", 1, 1, 0, 9, -1}});
            }),
            "pdf 87 pdfwriter: word 1 of the text layer has a box without area");
  EXPECT_EQ(Raised([&] { pdf.AddTextLayer(0, 0, kH, pages[0]); }),
            "pdf 87 pdfwriter: the text layer's image size must be above 0");
  pdf.AddTextLayer(1, kW, kH, {});  // nothing to add
  pdf.Close();
  EXPECT_NO_THROW(pdfwriter::ParsePdf(ReadAll(folder_ / "text.pdf")));

  // Where each word must be found: points from the page's top left, from
  // the font's ascent (0.8 of the size, the box's height) to its descent.
  std::ostringstream words;
  const double sx = 595.2756 / kW, sy = 841.8898 / kH;
  for (size_t p = 0; p < pages.size(); ++p) {
    if (p) words << "\f\n";
    for (const PdfWriterWord& w : pages[p]) {
      const double size = w.height * sy;
      const double base = w.baseline >= 0 ? w.baseline * sy : (w.top + 0.8 * w.height) * sy;
      words << w.text << ' ' << w.left * sx << ' ' << base - 0.8 * size << ' ' << (w.left + w.width) * sx << ' '
            << base + 0.2 * size << '\n';
    }
  }
  std::ofstream(folder_ / "text.words", std::ios::binary) << words.str();
  std::ofstream(folder_ / "cases.txt", std::ios::binary) << "text text\n";
}

}  // namespace

}  // namespace skan
