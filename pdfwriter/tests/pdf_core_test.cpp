// The library's portable core: numbers and strings, image encoding for every
// bitmap depth, the file structure, and rendering by other PDF readers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <fstream>

#include <new>

#ifdef _WIN32
#include <windows.h>
#endif

#include "ccitt_g4.h"
#include "pdf_document.h"
#include "pdf_test_util.h"

namespace skan::pdfwriter {

namespace {

using pdfwriter::IntAfter;
using pdfwriter::TDocument;
using pdfwriter::TRaster;
using pdfwriter::TRgb;

std::string SaveToString(TDocument& doc) {
  pdfwriter::TStringSink sink;
  doc.Save(sink);
  return sink.Data();
}

std::filesystem::path OutDir() {
  auto dir = std::filesystem::temp_directory_path() / ("pdfwriter_core_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

// The folder the test driver hands to other readers once this program has
// run (tests/check_readers.py: qpdf, poppler and MuPDF, run natively, so the
// Windows build's files are read by them too). Empty when the program runs
// without the driver.
std::filesystem::path ReadersDir() {
  const char* v = std::getenv("SKAN_PDF_READERS_OUT");
  std::string s = v ? v : "";
#ifdef _WIN32
  // The driver's Unix path, as Wine sees it.
  if (!s.empty() && s[0] == '/') s = "Z:" + s;
  for (char& c : s)
    if (c == '/') c = '\\';
#endif
  return s;
}

// Leaves one case for the other readers: `name`.pdf, and beside it the image
// (`name` + `ext`) it must decode or render to; `kind` says which check.
::testing::AssertionResult ForReaders(const std::string& kind, std::string name, const std::string& pdf,
                                      const std::string& image = {}, const std::string& ext = {}) {
  std::replace(name.begin(), name.end(), ' ', '-');
  const std::filesystem::path dir = ReadersDir();
  std::ofstream(dir / (name + ".pdf"), std::ios::binary) << pdf;
  if (!image.empty()) std::ofstream(dir / (name + ext), std::ios::binary) << image;
  std::ofstream list(dir / "cases.txt", std::ios::app);
  list << kind << ' ' << name << '\n';
  list.close();
  if (!list) return ::testing::AssertionFailure() << "cannot write into " << dir.string();
  return ::testing::AssertionSuccess();
}

// A small bitmap whose pixels differ from row to row and column to column,
// with an odd width so that DIB row padding matters.
struct TTestBitmap {
  TRaster raster;
  std::vector<uint8_t> bits;
  std::string packedTopDown;  // the samples the PDF must hold
};

TTestBitmap MakeBitmap(uint16_t bpp, std::vector<TRgb> palette, uint32_t w = 13, uint32_t h = 5) {
  TTestBitmap b;
  const size_t stride = pdfwriter::DibStride(w, bpp);
  b.bits.assign(stride * h, 0xEE);  // padding filled with junk on purpose
  for (uint32_t y = 0; y < h; ++y) {
    uint8_t* row = b.bits.data() + stride * (h - 1 - y);  // bottom-up
    std::string packed;
    if (bpp >= 24) {
      for (uint32_t x = 0; x < w; ++x) {
        uint8_t r = static_cast<uint8_t>(x * 19), g = static_cast<uint8_t>(y * 50), bl = static_cast<uint8_t>(x + y);
        uint8_t* p = row + x * (bpp / 8);
        p[0] = bl, p[1] = g, p[2] = r;
        packed += static_cast<char>(r), packed += static_cast<char>(g), packed += static_cast<char>(bl);
      }
    } else {
      const size_t rowBytes = (size_t{w} * bpp + 7) / 8;
      for (size_t i = 0; i < rowBytes; ++i) row[i] = static_cast<uint8_t>(i * 37 + y * 101);
      if (bpp < 8 && (w * bpp) % 8) row[rowBytes - 1] &= static_cast<uint8_t>(0xFF << (8 - (w * bpp) % 8));
      packed.assign(reinterpret_cast<char*>(row), rowBytes);
    }
    b.packedTopDown += packed;
  }
  b.raster.width = w;
  b.raster.height = h;
  b.raster.bitsPerPixel = bpp;
  b.raster.bits = b.bits.data();
  b.raster.stride = stride;
  b.raster.palette = std::move(palette);
  return b;
}

std::vector<TRgb> GrayRamp(int bits, bool inverted = false) {
  std::vector<TRgb> p;
  const int n = 1 << bits;
  for (int i = 0; i < n; ++i) {
    auto v = static_cast<uint8_t>((inverted ? n - 1 - i : i) * 255 / (n - 1));
    p.push_back({v, v, v});
  }
  return p;
}

std::vector<TRgb> Colours(int n) {
  std::vector<TRgb> p;
  for (int i = 0; i < n; ++i) p.push_back({static_cast<uint8_t>(i * 7), 0x20, static_cast<uint8_t>(255 - i)});
  return p;
}

const std::string* ImageObject(const pdfwriter::TPdf& pdf) {
  for (const auto& [n, text] : pdf.objects)
    if (text.find("/Subtype /Image") != std::string::npos) return &text;
  return nullptr;
}

TEST(PdfNumbers, FormatRealIsShortAndIgnoresTheLocale) {
  struct {
    double value;
    const char* text;
  } cases[] = {{0, "0"},
               {1, "1"},
               {-0.00001, "0"},
               {0.5, "0.5"},
               {-3.25, "-3.25"},
               {1e6, "1000000"},
               {210 * 72 / 25.4, "595.2756"},
               {297 * 72 / 25.4, "841.8898"},
               {0.00005, "0.0001"}};
  for (const auto& c : cases) EXPECT_EQ(pdfwriter::FormatReal(c.value), c.text) << c.value << " in C";
  // The names of comma locales: glibc's (tools/install-deps.sh generates
  // them) and the Windows C runtime's.
  int commaLocales = 0;
  for (const char* locale : {"de_DE.UTF-8", "pl_PL.UTF-8", "German_Germany.1252", "Polish_Poland.1250"}) {
    if (!std::setlocale(LC_ALL, locale) || std::string(std::localeconv()->decimal_point) != ",") continue;
    ++commaLocales;
    for (const auto& c : cases) EXPECT_EQ(pdfwriter::FormatReal(c.value), c.text) << c.value << " in " << locale;
  }
  std::setlocale(LC_ALL, "C");
  EXPECT_GT(commaLocales, 0) << "no locale with a decimal comma could be set; tools/install-deps.sh makes them";
}

TEST(PdfStrings, TextStringsAreEscapedOrUtf16) {
  EXPECT_EQ(pdfwriter::FormatTextString(u"Skan 1"), "(Skan 1)");
  EXPECT_EQ(pdfwriter::FormatTextString(u"a(b)\\c"), "(a\\(b\\)\\\\c)");
  EXPECT_EQ(pdfwriter::FormatTextString(u"\u0142a"), "<FEFF01420061>");
  EXPECT_EQ(pdfwriter::FormatTextString(u"x\ny"), "<FEFF0078000A0079>");
}

// Each depth keeps its own samples: black-and-white stays 1 bit, grey 8 bits,
// palettes stay indexed, colour becomes RGB.
TEST(PdfImages, EveryBitmapDepthIsStoredLosslessly) {
  struct {
    const char* what;
    uint16_t bpp;
    std::vector<TRgb> palette;
    std::string colorSpace;
    long long bpc;
    const char* decode;
  } cases[] = {
      {"black and white", 1, GrayRamp(1), "/DeviceGray", 1, nullptr},
      {"white and black", 1, GrayRamp(1, true), "/DeviceGray", 1, "/Decode [1 0]"},
      {"16 colours", 4, Colours(16), "[/Indexed /DeviceRGB 15 <", 4, nullptr},
      {"16 greys", 4, GrayRamp(4), "/DeviceGray", 4, nullptr},
      {"grey", 8, GrayRamp(8), "/DeviceGray", 8, nullptr},
      {"short palette", 8, Colours(200), "[/Indexed /DeviceRGB 199 <", 8, nullptr},
      {"colour", 24, {}, "/DeviceRGB", 8, nullptr},
      {"colour with padding byte", 32, {}, "/DeviceRGB", 8, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TTestBitmap b = MakeBitmap(c.bpp, c.palette);
    TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
    doc.InsertPage(0, 100, 50);
    TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
    const auto pdf = pdfwriter::ParsePdf(SaveToString(doc));
    const std::string* image = ImageObject(pdf);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(image->find("/ColorSpace " + c.colorSpace), std::string::npos) << *image;
    EXPECT_EQ(IntAfter(*image, "/BitsPerComponent"), c.bpc);
    EXPECT_EQ(IntAfter(*image, "/Width"), 13);
    EXPECT_EQ(IntAfter(*image, "/Height"), 5);
    EXPECT_EQ(image->find("/Decode") != std::string::npos, c.decode != nullptr);
    if (c.decode) {
      EXPECT_NE(image->find(c.decode), std::string::npos);
    }
    if (image->find("/CCITTFaxDecode") == std::string::npos) {  // Group 4 is checked by its own test
      EXPECT_EQ(pdfwriter::Inflate(pdfwriter::StreamOf(*image)), b.packedTopDown);
    }
  }
}

// Every depth and shape, small or page-sized, is one zlib stream of all the
// samples that another inflater (zlib) reads back, Adler-32 included.
TEST(PdfImages, DeflateMakesOneZlibStreamOfAllSamples) {
  for (uint16_t bpp : {uint16_t{1}, uint16_t{8}, uint16_t{24}}) {
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{1, 1}, {1501, 97}, {2480, 700}}) {
      SCOPED_TRACE(std::to_string(bpp) + " bits, " + std::to_string(w) + "x" + std::to_string(h));
      TTestBitmap b = MakeBitmap(bpp, bpp == 24 ? std::vector<TRgb>{} : GrayRamp(bpp), w, h);
      pdfwriter::TMemoryStore store;
      store.Append("x", 1);  // the stream's offset is the store's end
      uint64_t offset = 99;
      const uint64_t length = pdfwriter::DeflateRaster(b.raster, store, &offset);
      pdfwriter::TStringSink sink;
      store.CopyTo(offset, length, sink);
      EXPECT_EQ(offset, 1u);
      EXPECT_EQ(pdfwriter::Inflate(sink.Data()), b.packedTopDown);
    }
  }
}

// Fails every allocation of at least `minBytes` (on any thread) while alive.
std::atomic<size_t> gFailFrom{0};
struct TFailLargeAllocations {
  explicit TFailLargeAllocations(size_t minBytes) { gFailFrom = minBytes; }
  ~TFailLargeAllocations() { gFailFrom = 0; }
};

// Running out of memory while a page is compressed reaches the caller as
// std::bad_alloc (which the library reports as "out of memory") instead of
// ending the process, and the same page goes in once memory is there again.
TEST(PdfImages, OutOfMemoryWhileCompressingReachesTheCaller) {
  // Noise, so that the compressed data is as large as the samples.
  TTestBitmap b = MakeBitmap(8, GrayRamp(8), 2000, 1500);
  uint32_t seed = 1;
  for (uint8_t& v : b.bits) v = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  doc.InsertPage(0, 100, 50);
  {
    TFailLargeAllocations fail(256 * 1024);
    EXPECT_THROW(doc.AddImage(b.raster), std::bad_alloc);
  }
  TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
  EXPECT_NE(SaveToString(doc).find("/Width 2000"), std::string::npos);
}

// Images are compressed on a worker while the caller goes on: each page's
// samples are taken before AddImage returns (the caller's bitmap is gone
// right after), every stream lands whole and in its own image, whatever the
// mix of depths, sizes (buffers kept from one page to the next) and images
// that go into the store directly.
TEST(PdfImages, ImagesCompressedBehindTheCallerKeepTheirOwnSamples) {
  struct {
    uint16_t bpp;
    uint32_t w, h;
  } pages[] = {{24, 301, 200}, {8, 1501, 97},  {24, 2480, 300}, {1, 640, 64},
               {8, 13, 5},     {24, 57, 1000}, {8, 2480, 350}};
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  std::vector<std::string> expected;
  size_t index = 0;
  for (const auto& p : pages) {
    TTestBitmap b = MakeBitmap(p.bpp, p.bpp == 24 ? std::vector<TRgb>{} : GrayRamp(p.bpp), p.w, p.h);
    doc.InsertPage(index, 100, 50);
    TDocument::CoverWithImage(doc.Page(index++), doc.AddImage(b.raster));
    std::fill(b.bits.begin(), b.bits.end(), uint8_t{0x5A});  // the caller's memory is reused at once
    expected.push_back(b.packedTopDown);
    if (index == 2) {
      const std::string jpeg = "not really a JPEG, stored as it is";
      pdfwriter::TImageInfo info;
      info.width = info.height = 1;
      info.colorSpace = "/DeviceGray";
      info.filter = "/DCTDecode";
      doc.InsertPage(index, 100, 50);
      TDocument::CoverWithImage(doc.Page(index++), doc.AddEncodedImage(info, jpeg.data(), jpeg.size()));
      expected.push_back(jpeg);
    }
  }
  const auto pdf = pdfwriter::ParsePdf(SaveToString(doc));
  std::vector<std::string> streams;
  for (const auto& [n, text] : pdf.objects) {
    if (text.find("/Subtype /Image") == std::string::npos) continue;
    const std::string data = pdfwriter::StreamOf(text);
    if (text.find("/FlateDecode") != std::string::npos)
      streams.push_back(pdfwriter::Inflate(data));
    else if (text.find("/DCTDecode") != std::string::npos)
      streams.push_back(data);
    else
      streams.push_back("(fax coded)");
  }
  ASSERT_EQ(streams.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    if (streams[i] != "(fax coded)") {
      EXPECT_TRUE(streams[i] == expected[i]) << streams[i].size() << " bytes";
    }
  }
}

// A store that fails its writing from the `failAt`-th on.
class TFailingStore : public pdfwriter::TByteStore {
 public:
  explicit TFailingStore(int failAt) : failAt_(failAt) {}
  uint64_t Append(const void* data, size_t size) override {
    if (++appends_ >= failAt_) throw pdfwriter::TPdfError(pdfwriter::kErrWriteFault, "disk full");
    return inner_.Append(data, size);
  }
  void CopyTo(uint64_t offset, uint64_t size, pdfwriter::TSink& sink) override { inner_.CopyTo(offset, size, sink); }

 private:
  pdfwriter::TMemoryStore inner_;
  int failAt_, appends_ = 0;
};

// A page whose compressed data cannot be stored on the worker fails the
// document's next step and its save: no file with a page missing its image.
TEST(PdfImages, AStoreFailureBehindTheCallerFailsTheNextStepAndTheSave) {
  TTestBitmap b = MakeBitmap(24, {}, 300, 200);
  TDocument doc(std::make_unique<TFailingStore>(2));
  doc.InsertPage(0, 100, 50);
  TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));  // stored
  doc.InsertPage(1, 100, 50);
  TDocument::CoverWithImage(doc.Page(1), doc.AddImage(b.raster));  // fails on the worker
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      doc.AddImage(b.raster);
      ADD_FAILURE() << "the failure was not raised";
    } catch (const pdfwriter::TPdfError& e) {
      EXPECT_EQ(e.code(), pdfwriter::kErrWriteFault);
    }
  }
  pdfwriter::TStringSink sink;
  EXPECT_THROW(doc.Save(sink), pdfwriter::TPdfError);
  EXPECT_TRUE(sink.Data().empty());
}

// Group 4 data read back by two other decoders: poppler (pdfimages, the raw
// bits) and MuPDF (a render at one pixel per point), run by the test driver
// on the files left here. The patterns reach every coding mode: pass,
// vertical, horizontal, make-up codes and runs longer than 2560 pixels.
TEST(PdfImages, Group4DecodesToTheSameBits) {
  if (ReadersDir().empty()) GTEST_SKIP() << "SKAN_PDF_READERS_OUT unset: run through the test driver (ctest)";
  struct {
    const char* name;
    uint32_t w, h;
    std::function<bool(uint32_t x, uint32_t y)> black;
  } cases[] = {
      {"white", 13, 3, [](uint32_t, uint32_t) { return false; }},
      {"black", 13, 3, [](uint32_t, uint32_t) { return true; }},
      {"one pixel wide", 1, 9, [](uint32_t, uint32_t y) { return y % 3 == 0; }},
      {"checker", 64, 16, [](uint32_t x, uint32_t y) { return (x + y) % 2 == 0; }},
      {"stripes", 100, 20, [](uint32_t x, uint32_t y) { return (x / (1 + y % 7)) % 2 == 1; }},
      {"text", 2480, 60,
       [](uint32_t x, uint32_t y) { return y % 20 > 6 && y % 20 < 16 && (x * 7 + y / 20 * 13) % 97 < 60 && x > 200; }},
      {"slants", 300, 80, [](uint32_t x, uint32_t y) { return (x + y * 3) % 50 < 17 || (x * 2 + y) % 211 < 5; }},
      {"long runs", 6000, 6, [](uint32_t x, uint32_t y) { return x >= 100 * y + 7 && x < 5900 - 700 * y; }},
      {"noise", 257, 33, [](uint32_t x, uint32_t y) { return ((x * 2654435761u) ^ (y * 40503u)) % 5 < 2; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const size_t stride = pdfwriter::DibStride(c.w, 1);
    std::vector<uint8_t> bits(stride * c.h, 0);
    // The bits every decoder must give, as a PBM (1 is black, rows top down).
    const size_t pbmStride = (c.w + 7) / 8;
    std::string pbm = "P4\n" + std::to_string(c.w) + " " + std::to_string(c.h) + "\n";
    const size_t header = pbm.size();
    pbm.resize(header + pbmStride * c.h, '\0');
    for (uint32_t y = 0; y < c.h; ++y) {
      for (uint32_t x = 0; x < c.w; ++x) {
        const auto bit = static_cast<uint8_t>(0x80 >> (x % 8));
        if (!c.black(x, y))
          bits[stride * (c.h - 1 - y) + x / 8] |= bit;
        else
          pbm[header + y * pbmStride + x / 8] = static_cast<char>(pbm[header + y * pbmStride + x / 8] | bit);
      }
    }
    const std::string g4 = pdfwriter::EncodeG4(bits.data(), stride, c.w, c.h, false);

    pdfwriter::TImageInfo info;
    info.width = c.w;
    info.height = c.h;
    info.bitsPerComponent = 1;
    info.colorSpace = "/DeviceGray";
    info.filter = "/CCITTFaxDecode";
    info.decodeParms = "<< /K -1 /Columns " + std::to_string(c.w) + " /Rows " + std::to_string(c.h) + " >>";
    TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
    doc.InsertPage(0, c.w, c.h);
    TDocument::CoverWithImage(doc.Page(0), doc.AddEncodedImage(info, g4.data(), g4.size()));
    ASSERT_TRUE(ForReaders("g4", std::string("g4-") + c.name, SaveToString(doc), pbm, ".pbm"));
  }
}

// A black-and-white page is stored with whichever of Group 4 and Flate
// codes it in fewer bytes: strokes whose edges wander from row to row, as a
// scanner's do, favour Group 4; rows repeated exactly favour Flate.
TEST(PdfImages, BlackAndWhitePagesTakeTheSmallerCoding) {
  std::set<std::string> chosen;
  for (bool wandering : {true, false}) {
    SCOPED_TRACE(wandering ? "wandering edges" : "repeated rows");
    TTestBitmap b = MakeBitmap(1, GrayRamp(1), 800, 200);
    uint32_t seed = 7;
    auto step = [&seed] { return static_cast<int>((seed = seed * 1103515245 + 12345) >> 16) % 3 - 1; };
    std::vector<int> left(40), right(40);
    for (int k = 0; k < 40; ++k) left[k] = 20 + k * 19, right[k] = left[k] + 8;
    for (uint32_t y = 0; y < 200; ++y) {
      uint8_t* row = b.bits.data() + b.raster.stride * y;
      std::fill(row, row + b.raster.stride, 0xFF);
      for (int k = 0; k < 40; ++k) {
        if (wandering) {
          left[k] += step();
          right[k] = std::max(right[k] + step(), left[k] + 2);
        }
        for (int x = std::max(0, left[k]); x < std::min(800, right[k]); ++x)
          row[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
      }
    }
    const size_t g4 = pdfwriter::EncodeG4(b.raster.bits, b.raster.stride, 800, 200, false).size();
    pdfwriter::TMemoryStore scratch;
    uint64_t offset = 0;
    const uint64_t flate = pdfwriter::DeflateRaster(b.raster, scratch, &offset);
    TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
    doc.InsertPage(0, 80, 20);
    TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
    const auto pdf = pdfwriter::ParsePdf(SaveToString(doc));
    const std::string* image = ImageObject(pdf);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(static_cast<uint64_t>(pdfwriter::IntAfter(*image, "/Length")), std::min<uint64_t>(g4, flate));
    chosen.insert(image->find("/CCITTFaxDecode") != std::string::npos ? "g4" : "flate");
  }
  EXPECT_EQ(chosen.size(), 2u) << "each pattern favours another coding";
}

TEST(PdfImages, UnsupportedRastersAreRefused) {
  TTestBitmap b = MakeBitmap(8, GrayRamp(8));
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  TRaster bad = b.raster;
  bad.bitsPerPixel = 16;
  EXPECT_THROW(doc.AddImage(bad), pdfwriter::TPdfError);
  bad = b.raster;
  bad.stride = 4;  // shorter than 13 pixels
  EXPECT_THROW(doc.AddImage(bad), pdfwriter::TPdfError);
  bad = b.raster;
  bad.palette.clear();
  EXPECT_THROW(doc.AddImage(bad), pdfwriter::TPdfError);
}

TEST(PdfDocument, EmptyDocumentIsRefusedWithAClearMessage) {
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  try {
    SaveToString(doc);
    FAIL() << "saved a document without pages";
  } catch (const pdfwriter::TPdfError& e) {
    EXPECT_NE(std::string(e.what()).find("no pages"), std::string::npos) << e.what();
  }
}

TEST(PdfDocument, PagesKeepTheirOrderThroughInsertAndDelete) {
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  doc.InsertPage(0, 20, 10);  // [20]
  doc.InsertPage(1, 40, 10);  // [20 40]
  doc.InsertPage(0, 10, 10);  // [10 20 40]
  doc.InsertPage(2, 30, 10);  // [10 20 30 40]
  doc.InsertPage(4, 50, 10);  // [10 20 30 40 50]
  doc.DeletePage(4);          // [10 20 30 40]
  doc.DeletePage(0);          // [20 30 40]
  EXPECT_THROW(doc.InsertPage(4, 1, 1), pdfwriter::TPdfError);
  EXPECT_THROW(doc.DeletePage(3), pdfwriter::TPdfError);
  EXPECT_THROW(doc.InsertPage(0, 0, 10), pdfwriter::TPdfError);
  const auto pdf = pdfwriter::ParsePdf(SaveToString(doc));
  std::vector<long long> widths;
  for (int object : pdfwriter::PageObjects(pdf)) {
    const std::string& page = pdf.objects.at(object);
    widths.push_back(IntAfter(page, "/MediaBox [0 0"));
  }
  EXPECT_EQ(widths, (std::vector<long long>{20, 30, 40}));
  EXPECT_EQ(IntAfter(pdf.objects.at(2), "/Count"), 3);
}

// The page sizes the scan assembly passes for each unit give A4 (metric
// units exactly; inch units truncated a little smaller).
TEST(PdfDocument, A4InEveryUnit) {
  struct {
    uint32_t unit, w, h;
    const char* mediaBox;
  } cases[] = {
      {1, 210, 297, "[0 0 595.2756 841.8898]"},
      {2, 2100, 2970, "[0 0 595.2756 841.8898]"},
      {3, 21000, 29700, "[0 0 595.2756 841.8898]"},
      {4, 210000, 297000, "[0 0 595.2756 841.8898]"},
      {5, 8, 11, "[0 0 576 792]"},
      {6, 82, 116, "[0 0 590.4 835.2]"},
      {7, 826, 1169, "[0 0 594.72 841.68]"},
      {8, 8267, 11692, "[0 0 595.224 841.824]"},
  };
  for (const auto& c : cases) {
    TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
    doc.InsertPage(0, c.w * pdfwriter::PointsPerUnit(c.unit), c.h * pdfwriter::PointsPerUnit(c.unit));
    const std::string bytes = SaveToString(doc);
    EXPECT_NE(bytes.find(std::string("/MediaBox ") + c.mediaBox), std::string::npos) << "unit " << c.unit;
  }
  EXPECT_FALSE(pdfwriter::IsValidUnit(0));
  EXPECT_FALSE(pdfwriter::IsValidUnit(9));
}

TEST(PdfDocument, ResourcesAndInformationAreWritten) {
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  TTestBitmap b = MakeBitmap(24, {});
  pdfwriter::TCanvas stamp{30, 20, {}};
  TDocument::CoverWithImage(stamp, doc.AddImage(b.raster));
  const uint32_t form = doc.AddResource(stamp);
  EXPECT_EQ(form, 1u);
  EXPECT_THROW(doc.Resource(2), pdfwriter::TPdfError);
  doc.InsertPage(0, 100, 100);
  doc.Page(0).items.push_back({true, form, {2, 0, 0, 2, 10, 10}});
  doc.Page(0).items.push_back({true, form, {1, 0, 0, 1, 50, 50}});  // drawn twice, named once
  doc.SetInfo("Title", u"Skan \u0142");
  doc.SetInfo("Title", u"Skan 2");  // replaces
  doc.SetInfo("Author", u"x");
  EXPECT_THROW(doc.SetInfo("Bad Name", u"x"), pdfwriter::TPdfError);
  EXPECT_THROW(doc.SetInfo("", u"x"), pdfwriter::TPdfError);
  ASSERT_NE(doc.FindInfo("Title"), nullptr);
  EXPECT_EQ(*doc.FindInfo("Title"), u"Skan 2");
  EXPECT_EQ(doc.FindInfo("Subject"), nullptr);

  const std::string bytes = SaveToString(doc);
  const auto pdf = pdfwriter::ParsePdf(bytes);
  EXPECT_NE(pdf.trailer.find("/Info"), std::string::npos);
  EXPECT_NE(bytes.find("/Title (Skan 2) /Author (x)"), std::string::npos);
  EXPECT_NE(bytes.find("q 2 0 0 2 10 10 cm /Fm1 Do Q\nq 1 0 0 1 50 50 cm /Fm1 Do Q"), std::string::npos);
  EXPECT_NE(bytes.find("/Resources << /XObject << /Fm1 "), std::string::npos);
  const size_t names = bytes.find("/XObject << /Fm1 ");
  EXPECT_EQ(bytes.find("/Fm1", names + 17), bytes.find("cm /Fm1 Do") + 3) << "the page's resources name the form once";
  EXPECT_NE(bytes.find("/Subtype /Form /BBox [0 0 30 20]"), std::string::npos);
  if (!ReadersDir().empty()) EXPECT_TRUE(ForReaders("structure", "forms", bytes));
}

TEST(PdfDocument, DeletedPagesLeaveNoImagesBehind) {
  TDocument doc(std::make_unique<pdfwriter::TMemoryStore>());
  TTestBitmap b = MakeBitmap(24, {});
  for (int i = 0; i < 2; ++i) {
    doc.InsertPage(doc.PageCount(), 10, 10);
    TDocument::CoverWithImage(doc.Page(doc.PageCount() - 1), doc.AddImage(b.raster));
  }
  doc.DeletePage(0);
  const auto pdf = pdfwriter::ParsePdf(SaveToString(doc));
  int images = 0;
  for (const auto& [n, text] : pdf.objects) images += text.find("/Subtype /Image") != std::string::npos;
  EXPECT_EQ(images, 1);
}

// A document made in its own file: the file holds each image's whole object
// as it is stored and only ever grows (a reader may follow it), and the save
// in place completes it to exactly the bytes Save writes. With an image drawn
// nowhere the file cannot be that PDF: nothing is written to it.
TEST(PdfDocument, ADocumentInItsOwnFileIsCompletedInPlace) {
  struct {
    const char* name;
    bool deleteFirstPage;
  } cases[] = {{"every image drawn", false}, {"a page deleted", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (OutDir() / "in_place.pdf").string();
    std::FILE* file = std::fopen(path.c_str(), "w+b");
    ASSERT_NE(file, nullptr);
    TDocument doc(std::make_unique<pdfwriter::TPdfFileStore>(file, path));
    std::vector<std::string> seen{pdfwriter::ReadFileBytes(path)};
    const uint16_t depths[] = {24, 8, 1, 24};
    for (size_t i = 0; i < std::size(depths); ++i) {
      const uint16_t bpp = depths[i];
      TTestBitmap b = MakeBitmap(bpp, bpp == 24 ? std::vector<TRgb>{} : GrayRamp(bpp), 301 + i, 200);
      doc.InsertPage(i, 100, 50);
      TDocument::CoverWithImage(doc.Page(i), doc.AddImage(b.raster));
      seen.push_back(pdfwriter::ReadFileBytes(path));
    }
    pdfwriter::TImageInfo info;
    info.width = info.height = 1;
    info.colorSpace = "/DeviceGray";
    info.filter = "/DCTDecode";
    const std::string jpeg = "stored as it is";
    doc.InsertPage(doc.PageCount(), 100, 50);
    TDocument::CoverWithImage(doc.Page(doc.PageCount() - 1), doc.AddEncodedImage(info, jpeg.data(), jpeg.size()));
    doc.SetInfo("Title", u"Skan");
    if (c.deleteFirstPage) doc.DeletePage(0);

    const std::string expected = SaveToString(doc);
    const std::string before = pdfwriter::ReadFileBytes(path);
    EXPECT_EQ(doc.SaveInPlace(), !c.deleteFirstPage);
    const std::string after = pdfwriter::ReadFileBytes(path);
    if (c.deleteFirstPage) {
      EXPECT_TRUE(after == before) << "nothing written";
      EXPECT_EQ(pdfwriter::ParsePdf(expected).objects.size(), 4u + 3 + 2 * 4 + 2)
          << "images, catalog, tree, info, pages, metadata, profile";
    } else {
      EXPECT_TRUE(after == expected) << "the bytes Save writes";
      EXPECT_NO_THROW(pdfwriter::ParsePdf(after));
    }
    seen.push_back(after);
    for (size_t i = 1; i < seen.size(); ++i) {
      EXPECT_TRUE(seen[i].starts_with(seen[i - 1])) << "the file only grows, step " << i;
    }
  }
}

// Streams read back from the file store while more are being appended, as a
// save between two pages does.
TEST(PdfStore, SpillStoreReadsBackInterleavedRanges) {
  auto store = pdfwriter::MakeSpillStore();
  std::string a(100000, 'a'), b(70000, 'b'), c(5, 'c');
  const uint64_t oa = store->Append(a.data(), a.size());
  const uint64_t ob = store->Append(b.data(), b.size());
  pdfwriter::TStringSink first;
  store->CopyTo(ob, b.size(), first);
  const uint64_t oc = store->Append(c.data(), c.size());
  pdfwriter::TStringSink second;
  store->CopyTo(oa, a.size(), second);
  store->CopyTo(oc, c.size(), second);
  EXPECT_EQ(first.Data(), b);
  EXPECT_EQ(second.Data(), a + c);
  EXPECT_EQ(oc, a.size() + b.size());
  pdfwriter::TStringSink none;
  EXPECT_THROW(store->CopyTo(oc, 6, none), pdfwriter::TPdfError);
}

// A full disk under a file store or the PDF's own file: the failure says so
// in the system's own words and names the file, whether it shows at a write
// or at the flush before a read (regression: "temporary file cannot be
// read").
TEST(PdfStore, AFullDiskIsReportedAsSuchWithTheFilesName) {
#ifdef _WIN32
  const char* device = "Z:\\dev\\full";  // Wine's view of the Unix device
  char text[256] = "";
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_DISK_FULL, 0, text,
                 sizeof text, nullptr);
  std::string full = text;
  while (!full.empty() && (full.back() == '\r' || full.back() == '\n' || full.back() == ' ')) full.pop_back();
#else
  const char* device = "/dev/full";
  const std::string full = std::strerror(ENOSPC);
#endif
  for (size_t bytes : {size_t{100}, size_t{1} << 20}) {
    SCOPED_TRACE(bytes);
    const std::string data(bytes, 'x');
    {
      std::FILE* file = std::fopen(device, "w+b");
      ASSERT_NE(file, nullptr);
      pdfwriter::TFileStore store(file, "C:\\temp\\pdw1A.tmp");
      try {
        const uint64_t at = store.Append(data.data(), data.size());
        pdfwriter::TStringSink sink;
        store.CopyTo(at, data.size(), sink);
        ADD_FAILURE() << "stored on a full disk";
      } catch (const pdfwriter::TPdfError& e) {
        EXPECT_EQ(std::string(e.what()), "pdfwriter: cannot write \"C:\\temp\\pdw1A.tmp\": " + full);
      }
    }
    {
      std::FILE* file = std::fopen(device, "w+b");
      ASSERT_NE(file, nullptr);
      try {
        pdfwriter::TPdfFileStore store(file, "C:\\temp\\skw1.tmp");
        store.AppendObject({1, "<< /Type /XObject"}, data.data(), data.size());
        ADD_FAILURE() << "stored on a full disk";
      } catch (const pdfwriter::TPdfError& e) {
        EXPECT_EQ(std::string(e.what()), "pdfwriter: cannot write \"C:\\temp\\skw1.tmp\": " + full);
      }
    }
  }
}

// Other readers accept the file, and a page whose size in points equals the
// bitmap's size in pixels renders at 72 dpi to exactly the bitmap's pixels
// (MuPDF renders without colour management; poppler's output is only checked
// for its size, as it shifts DeviceRGB values slightly). The test driver runs
// them on the files left here.
TEST(PdfRender, LosslessPagesRenderToTheSourcePixels) {
  if (ReadersDir().empty()) GTEST_SKIP() << "SKAN_PDF_READERS_OUT unset: run through the test driver (ctest)";
  struct {
    const char* name;
    uint16_t bpp;
    std::vector<TRgb> palette;
    bool gray;
  } cases[] = {{"rgb", 24, {}, false},
               {"gray", 8, GrayRamp(8), true},
               {"bw", 1, GrayRamp(1), true},
               {"indexed", 8, Colours(256), false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTestBitmap b = MakeBitmap(c.bpp, c.palette, 40, 24);
    TDocument doc(pdfwriter::MakeSpillStore());
    doc.InsertPage(0, 40, 24);
    TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
    int components = 0;
    const auto expected = pdfwriter::ExpandRaster(b.raster, &components);
    ASSERT_EQ(components, c.gray ? 1 : 3);
    const std::string pnm = std::string(c.gray ? "P5" : "P6") + "\n40 24\n255\n" +
                            std::string(reinterpret_cast<const char*>(expected.data()), expected.size());
    ASSERT_TRUE(
        ForReaders("render", std::string("render-") + c.name, SaveToString(doc), pnm, c.gray ? ".pgm" : ".ppm"));
  }
}

}  // namespace

namespace {
// Removes the rendered files of this run.
struct TCleanOutDir {
  ~TCleanOutDir() {
    std::error_code ignored;
    std::filesystem::remove_all(OutDir(), ignored);
  }
} cleanOutDir;
}  // namespace

}  // namespace skan::pdfwriter

// Global allocation that TFailLargeAllocations can make fail.
void* operator new(size_t size) {
  const size_t failFrom = skan::pdfwriter::gFailFrom.load();
  if (failFrom != 0 && size >= failFrom) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
