// The PDF reader against files from other producers (img2pdf over
// ImageMagick's pictures) and hand-made structures, and against damaged,
// truncated and random bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <random>
#include <sstream>

#include <zlib.h>

#include "document.h"
#include "filters.h"
#include "render.h"
#include "source.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace skan::pdfview {
namespace {

namespace fs = std::filesystem;

fs::path FromEnv(const char* name) {
  const char* v = std::getenv(name);
  std::string s = v ? v : "";
#ifdef _WIN32
  // The build tree's Unix path, as Wine sees it.
  if (!s.empty() && s[0] == '/') s = "Z:" + s;
  for (char& c : s)
    if (c == '/') c = '\\';
#endif
  return fs::path(s);
}

fs::path Fixture(const std::string& name) { return FromEnv("PDFVIEW_FIXTURES") / name; }

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

struct TRgb {
  int r, g, b;
};
constexpr TRgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kWhite{255, 255, 255}, kBlack{0, 0, 0};

TRgb PixelAt(const TRaster& r, int x, int y) {
  const uint32_t p = r.pixels[static_cast<size_t>(y) * r.width + x];
  return {static_cast<int>(p >> 16), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
}

TRgb At(const TRaster& r, double fx, double fy) {
  return PixelAt(r, std::min(r.width - 1, static_cast<int>(fx * r.width)),
                 std::min(r.height - 1, static_cast<int>(fy * r.height)));
}

::testing::AssertionResult Near(TRgb got, TRgb want) {
  // JPEG and the area averaging move colours a little.
  constexpr int kTolerance = 48;
  if (std::abs(got.r - want.r) <= kTolerance && std::abs(got.g - want.g) <= kTolerance &&
      std::abs(got.b - want.b) <= kTolerance)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << got.r << "," << got.g << "," << got.b << " want " << want.r << ","
                                       << want.g << "," << want.b;
}

struct TProbe {
  double x, y;
  TRgb color;
};

// The test picture: red, green / blue, white with a black square.
const std::vector<TProbe> kQuad = {
    {0.25, 0.25, kRed}, {0.75, 0.25, kGreen}, {0.25, 0.75, kBlue}, {0.55, 0.55, kWhite}, {0.75, 0.75, kBlack}};

struct TCase {
  const char* file;
  double aspect;  // page height / width as shown
  std::vector<TProbe> probes;
  bool needsCcitt = false;
};

bool PlatformDecodesCcitt() {
#ifdef _WIN32
  return true;
#else
  return false;
#endif
}

TEST(PdfReader, DrawsEveryKindOfImagePage) {
  const std::vector<TCase> cases = {
      {"jpeg.pdf", 1.4, kQuad},
      {"flate.pdf", 1.4, kQuad},
      {"objstm.pdf", 1.4, kQuad},
      {"ocr_layer.pdf", 1.4, kQuad},
      {"gray.pdf", 1.4, {{0.25, 0.5, kBlack}, {0.75, 0.5, kWhite}}},
      {"gray_jpeg.pdf", 1.4, {{0.25, 0.5, kBlack}, {0.75, 0.5, kWhite}}},
      {"bw.pdf", 1.4, {{0.5, 0.25, kBlack}, {0.5, 0.75, kWhite}}},
      {"g4.pdf", 1.4, {{0.5, 0.25, kBlack}, {0.5, 0.75, kWhite}}, true},
      // A quarter turn clockwise: blue top left, red top right.
      {"rotate90.pdf",
       200.0 / 280,
       {{0.25, 0.25, kBlue}, {0.75, 0.25, kRed}, {0.75, 0.75, kGreen}, {0.25, 0.75, kBlack}}},
      // The update turns the page upside down; the older revision is unused.
      {"update.pdf", 1.4, {{0.25, 0.25, kBlack}, {0.75, 0.25, kBlue}, {0.25, 0.75, kGreen}, {0.75, 0.75, kRed}}},
      {"form.pdf", 1.4, {{0.125, 0.25, kRed}, {0.375, 0.25, kGreen}, {0.125, 0.75, kBlue}, {0.75, 0.5, kWhite}}},
      {"stencil.pdf", 1.0, {{0.5, 0.25, kRed}, {0.25, 0.75, kBlue}, {0.75, 0.75, kWhite}}},
      {"indexed.pdf", 1.4, {{0.25, 0.25, kRed}, {0.75, 0.25, kGreen}, {0.25, 0.75, kBlue}, {0.75, 0.75, kRed}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.file);
    TDocument doc(OpenFileSource(Fixture(c.file)));
    ASSERT_EQ(doc.PageCount(), 1u);
    EXPECT_NEAR(doc.Page(0).Height() / doc.Page(0).Width(), c.aspect, 0.01);
    if (c.needsCcitt && !PlatformDecodesCcitt()) {
      try {
        RenderPage(doc, 0, 100, TNeverCancel());
        ADD_FAILURE() << "CCITT drawn without a decoder";
      } catch (const TPdfError& e) {
        EXPECT_EQ(e.Kind(), TErrorKind::Unsupported);
      }
      continue;
    }
    TRaster r = RenderPage(doc, 0, 100, TNeverCancel());
    ASSERT_EQ(r.width, 100);
    EXPECT_EQ(r.height, PageHeightFor(doc.Page(0), 100));
    for (const TProbe& p : c.probes) EXPECT_TRUE(Near(At(r, p.x, p.y), p.color)) << " at " << p.x << "," << p.y;
  }
}

TEST(PdfReader, EveryPageOfAMixedDocumentAtItsOwnSize) {
  TDocument doc(OpenFileSource(Fixture("three_pages.pdf")));
  ASSERT_EQ(doc.PageCount(), 3u);
  EXPECT_NEAR(doc.Page(0).Height() / doc.Page(0).Width(), 1.4, 0.01);
  EXPECT_NEAR(doc.Page(1).Height() / doc.Page(1).Width(), 0.5, 0.01);
  TRaster wide = RenderPage(doc, 1, 300, TNeverCancel());
  EXPECT_EQ(wide.height, 150);
  EXPECT_TRUE(Near(At(wide, 0.16, 0.5), kBlue));
  EXPECT_TRUE(Near(At(wide, 0.66, 0.5), kWhite));
  TRaster last = RenderPage(doc, 2, 50, TNeverCancel());
  EXPECT_TRUE(Near(At(last, 0.5, 0.25), kBlack));
  // Drawn large, or as a quick preview from the kept image, a page is
  // still the same picture.
  TImageCache cache;
  for (bool preview : {true, false}) {
    TRaster big = RenderPage(doc, 0, preview ? 500 : 1000, TNeverCancel(), &cache, preview ? 1000 : 0);
    for (const TProbe& p : kQuad) EXPECT_TRUE(Near(At(big, p.x, p.y), p.color)) << preview;
  }
}

// Read as far as the first page, then the rest: the same pages in the end,
// or the same failure, as a document read whole; meanwhile the root's page
// count stands in when it is plausible.
TEST(PdfReader, ThePageTreeReadFirstPageFirst) {
  struct {
    const char* file;
    size_t expected;  // ExpectedPageCount after the first page
  } cases[] = {
      {"three_pages.pdf", 3}, {"count_wrong.pdf", 7},     {"tree_cycle.pdf", 2},
      {"objstm.pdf", 1},      {"text_then_cycle.pdf", 2},
  };
  auto describe = [](TDocument& doc) {
    std::ostringstream out;
    for (size_t i = 0; i < doc.PageCount(); ++i) out << doc.Page(i).Width() << "x" << doc.Page(i).Height() << " ";
    return out.str();
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string whole;
    try {
      TDocument doc(OpenFileSource(Fixture(c.file)));
      EXPECT_TRUE(doc.AllPagesRead());
      EXPECT_EQ(doc.ExpectedPageCount(), doc.PageCount());
      whole = describe(doc);
    } catch (const TPdfError& e) {
      whole = e.what();
    }
    TDocument doc(OpenFileSource(Fixture(c.file)), TNeverCancel(), TPageReading::First);
    ASSERT_EQ(doc.PageCount(), 1u);
    EXPECT_EQ(doc.AllPagesRead(), c.expected == 1);
    EXPECT_EQ(doc.ExpectedPageCount(), c.expected);
    std::string lazy;
    try {
      doc.ReadRemainingPages(TNeverCancel());
      EXPECT_TRUE(doc.AllPagesRead());
      lazy = describe(doc);
    } catch (const TPdfError& e) {
      lazy = e.what();
    }
    EXPECT_EQ(lazy, whole);
  }
  // Two pages of different sizes; a root that claims seven.
  TDocument doc(OpenFileSource(Fixture("count_wrong.pdf")));
  EXPECT_EQ(doc.PageCount(), 2u);
  EXPECT_EQ(doc.Page(1).Width(), 560);
}

TEST(PdfReader, PagesWithTextOrVectorsAreNotDrawn) {
  for (const char* file : {"text_only.pdf", "vector.pdf"}) {
    SCOPED_TRACE(file);
    TDocument doc(OpenFileSource(Fixture(file)));
    ASSERT_EQ(doc.PageCount(), 1u);
    try {
      RenderPage(doc, 0, 100, TNeverCancel());
      ADD_FAILURE() << "drawn";
    } catch (const TPdfError& e) {
      EXPECT_EQ(e.Kind(), TErrorKind::Unsupported) << e.what();
    }
  }
}

// Opens and draws every page of `bytes`; false when a TPdfError said why
// not. Anything else (a crash, another exception) fails the test.
bool OpenAndDraw(const std::string& bytes, TErrorKind* kind = nullptr) {
  try {
    TDocument doc(std::make_unique<TMemorySource>(bytes));
    for (size_t i = 0; i < doc.PageCount() && i < 4; ++i) RenderPage(doc, i, 40, TNeverCancel());
    return true;
  } catch (const TPdfError& e) {
    if (kind) *kind = e.Kind();
    return false;
  }
}

// Every page's size and its pixels drawn 40 wide. Throws TPdfError.
struct TDrawn {
  std::vector<std::pair<double, double>> sizes;
  std::vector<std::vector<uint32_t>> pixels;
};
TDrawn Draw(const std::string& bytes) {
  TDrawn drawn;
  TDocument doc(std::make_unique<TMemorySource>(bytes));
  for (size_t i = 0; i < doc.PageCount(); ++i) {
    drawn.sizes.emplace_back(doc.Page(i).Width(), doc.Page(i).Height());
    drawn.pixels.push_back(RenderPage(doc, i, 40, TNeverCancel()).pixels);
  }
  return drawn;
}

TEST(PdfReader, NotAPdfEmptyOrMissing) {
  TErrorKind kind{};
  EXPECT_FALSE(OpenAndDraw(ReadAll(Fixture("quad.png")), &kind));
  EXPECT_EQ(kind, TErrorKind::NotPdf);
  EXPECT_FALSE(OpenAndDraw("", &kind));
  EXPECT_EQ(kind, TErrorKind::NotPdf);
  // A header and nothing else, as a broken download leaves it.
  EXPECT_FALSE(OpenAndDraw("%PDF-1.4\n%%EOF\n", &kind));
  EXPECT_EQ(kind, TErrorKind::Damaged);
  try {
    OpenFileSource(Fixture("no such file.pdf"));
    ADD_FAILURE();
  } catch (const TPdfError& e) {
    EXPECT_EQ(e.Kind(), TErrorKind::Unreadable);
  }
}

TEST(PdfReader, TruncatedFilesAreDamagedNeverDrawnFromGarbage) {
  for (const char* file : {"jpeg.pdf", "flate.pdf", "objstm.pdf", "three_pages.pdf", "update.pdf"}) {
    SCOPED_TRACE(file);
    const std::string whole = ReadAll(Fixture(file));
    ASSERT_TRUE(OpenAndDraw(whole));
    for (int tenth = 0; tenth < 10; ++tenth) {
      TErrorKind kind{};
      EXPECT_FALSE(OpenAndDraw(whole.substr(0, whole.size() * tenth / 10), &kind)) << tenth << "/10";
      if (tenth > 0) {
        EXPECT_EQ(kind, TErrorKind::Damaged) << tenth << "/10";
      }
    }
    // Cut anywhere in the last few bytes (the cross-reference, the trailer,
    // startxref, %%EOF), or inside the last object (in update.pdf, the
    // update's): the file is damaged, or it is read as the whole document,
    // every page of the same size and drawn the same; never as an older
    // revision of it.
    const TDrawn expected = Draw(whole);
    std::vector<size_t> cuts{whole.size() - whole.rfind("endobj")};
    for (size_t cut = 1; cut < 40; ++cut) cuts.push_back(cut);
    for (size_t cut : cuts) {
      SCOPED_TRACE(cut);
      try {
        const TDrawn drawn = Draw(whole.substr(0, whole.size() - cut));
        EXPECT_EQ(drawn.sizes, expected.sizes);
        EXPECT_TRUE(drawn.pixels == expected.pixels) << "drawn differently";
      } catch (const TPdfError& e) {
        EXPECT_EQ(e.Kind(), TErrorKind::Damaged) << e.what();
      }
    }
  }
}

TEST(PdfReader, DamagedBytesOnlyEverGiveAnError) {
  std::mt19937 random(20261210);
  for (const char* file :
       {"jpeg.pdf", "flate.pdf", "objstm.pdf", "form.pdf", "stencil.pdf", "indexed.pdf", "update.pdf", "bw.pdf"}) {
    SCOPED_TRACE(file);
    const std::string whole = ReadAll(Fixture(file));
    for (int round = 0; round < 150; ++round) {
      std::string bytes = whole;
      int flips = 1 + static_cast<int>(random() % 8);
      for (int k = 0; k < flips; ++k) {
        size_t at = random() % bytes.size();
        // Digits and delimiters break structure best.
        static const char kChars[] = "0123456789 /<>[]()R\n";
        bytes[at] = random() % 2 ? static_cast<char>(random()) : kChars[random() % (sizeof kChars - 1)];
      }
      OpenAndDraw(bytes);
    }
  }
  for (int round = 0; round < 300; ++round) {
    std::string bytes = round % 2 ? "%PDF-1.4\n" : "";
    size_t n = random() % 3000;
    for (size_t k = 0; k < n; ++k) bytes += static_cast<char>(random());
    if (round % 3 == 0) bytes += "\nstartxref\n" + std::to_string(random() % (bytes.size() + 1)) + "\n%%EOF\n";
    EXPECT_FALSE(OpenAndDraw(bytes));
  }
}

// Regression: reference cycles and self-containing object streams once
// recursed without end.
TEST(PdfReader, CyclesAreDamage) {
  const std::string cases[] = {
      // The page tree's kid is the tree itself.
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [2 0 R] /Count 1 >> endobj\n",
      // A length that refers to itself.
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
      "3 0 obj << /Type /Page /Contents 4 0 R >> endobj\n4 0 obj << /Length 5 0 R >> stream\nq Q\nendstream endobj\n"
      "5 0 obj 5 0 R endobj\n",
  };
  for (std::string bytes : cases) {
    // Cross-reference table built by scanning for "N 0 obj".
    std::string xref = "xref\n0 6\n0000000000 65535 f \n";
    for (int n = 1; n <= 5; ++n) {
      std::string label = std::to_string(n) + " 0 obj";
      size_t at = bytes.find('\n' + label);
      char line[32];
      std::snprintf(line, sizeof line, "%010zu 00000 %c \n", at == std::string::npos ? 0 : at + 1,
                    at == std::string::npos ? 'f' : 'n');
      xref += line;
    }
    size_t start = bytes.size();
    bytes += xref + "trailer << /Size 6 /Root 1 0 R >>\nstartxref\n" + std::to_string(start) + "\n%%EOF\n";
    TErrorKind kind{};
    EXPECT_FALSE(OpenAndDraw(bytes, &kind));
    EXPECT_EQ(kind, TErrorKind::Damaged);
  }
}

// A page of one RGB image, w x h pixels over a page of pageW x pageH points
// (by default w x h), its samples `bpc` bits each; `filter` names the
// stream's filter when `pixels` are coded.
struct TImagePage {
  int w, h;
  std::string pixels;
  int bpc = 8;
  int pageW = 0, pageH = 0;
  std::string filter;
};

std::string ImagePagePdf(const TImagePage& page) {
  const std::string pw = std::to_string(page.pageW ? page.pageW : page.w);
  const std::string ph = std::to_string(page.pageH ? page.pageH : page.h);
  std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>",
      "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + pw + " " + ph +
          "] /Resources << /XObject << /Im0 4 0 R >> >> /Contents 5 0 R >>",
      "<< /Type /XObject /Subtype /Image /Width " + std::to_string(page.w) + " /Height " + std::to_string(page.h) +
          " /ColorSpace /DeviceRGB /BitsPerComponent " + std::to_string(page.bpc) +
          (page.filter.empty() ? "" : " /Filter /" + page.filter) + " /Length " + std::to_string(page.pixels.size()) +
          " >>\nstream\n" + page.pixels + "\nendstream",
  };
  const std::string content = "q " + pw + " 0 0 " + ph + " 0 0 cm /Im0 Do Q";
  objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream");
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t at : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", at);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
         std::to_string(xref) + "\n%%EOF\n";
  return pdf;
}

// Red ramps left to right and green top to bottom; 16-bit samples carry
// the value in their high byte.
std::string RampPixels(int w, int h, int bpc) {
  const size_t bytes = bpc / 8;
  std::string pixels(static_cast<size_t>(w) * h * 3 * bytes, '\x55');
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      char* p = &pixels[(static_cast<size_t>(y) * w + x) * 3 * bytes];
      p[0] = static_cast<char>(x * 255 / (w - 1));
      p[bytes] = static_cast<char>(y * 255 / (h - 1));
      p[2 * bytes] = 0;
    }
  return pixels;
}

// A large image is averaged down as its rows arrive (8-bit samples all at
// once, others a band at a time), output rows shared by two threads: every
// part of the page at full quality must hold the ramp's value for its
// place, whichever axes shrink. Drawn again after a quick preview, through
// rooms that earlier pages used, it must come out the same.
TEST(PdfReader, AveragingALargeImageKeepsEveryPartInPlace) {
  struct {
    int w, h, bpc, pageW, pageH, out;
  } cases[] = {
      {600, 900, 8, 600, 900, 250},   // 2.4 source pixels to one: weights differ from pixel to pixel
      {600, 900, 16, 600, 900, 250},  // rows handed over a band at a time
      {601, 899, 8, 601, 450, 601},   // only the height shrinks
      {601, 899, 16, 300, 899, 300},  // only the width shrinks
      {997, 1403, 16, 997, 1403, 331},
  };
  TImageCache cache;
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " bpc " << c.bpc << " out " << c.out);
    TDocument doc(std::make_unique<TMemorySource>(
        ImagePagePdf({c.w, c.h, RampPixels(c.w, c.h, c.bpc), c.bpc, c.pageW, c.pageH})));
    const TRaster r = RenderPage(doc, 0, c.out, TNeverCancel());
    ASSERT_EQ(r.width, c.out);
    ASSERT_EQ(r.height, PageHeightFor(doc.Page(0), c.out));
    const double scaleX = static_cast<double>(c.w) / r.width, scaleY = static_cast<double>(c.h) / r.height;
    int wrong = 0;
    for (int y = 0; y < r.height; ++y)
      for (int x = 0; x < r.width; ++x) {
        const TRgb p = PixelAt(r, x, y);
        // The mean of the source samples under this pixel: on a ramp, the
        // value at the middle of the area it covers.
        const double red = ((x + 0.5) * scaleX - 0.5) * 255 / (c.w - 1);
        const double green = ((y + 0.5) * scaleY - 0.5) * 255 / (c.h - 1);
        if (std::abs(p.r - red) > 2 || std::abs(p.g - green) > 2 || p.b != 0) {
          if (++wrong <= 5)
            ADD_FAILURE() << "at " << x << "," << y << ": " << p.r << "," << p.g << "," << p.b << " want about " << red
                          << "," << green << ",0";
        }
      }
    EXPECT_EQ(wrong, 0);

    cache.Clear();  // a new document
    RenderPage(doc, 0, c.out / 2, TNeverCancel(), &cache, c.out);
    TRaster again = RenderPage(doc, 0, c.out, TNeverCancel(), &cache);
    EXPECT_TRUE(again.pixels == r.pixels) << "drawn through the cache";
    cache.GiveRaster(std::move(again.pixels));
  }
}

// A plain Flate image decodes in place: a stream cut short or damaged part
// way still gives the rows it holds (the rest black) when it holds at least
// half of them, and fails as damaged when it holds fewer; a stream with more
// than the image needs, or without its checksum, gives the image.
TEST(PdfReader, AFlateImageCutShortOrDamaged) {
  constexpr int kW = 64, kH = 64;
  const std::string plain = RampPixels(kW, kH, 8);
  auto pack = [](const std::string& bytes) {
    uLongf size = compressBound(bytes.size());
    std::string packed(size, '\0');
    compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(bytes.data()),
              bytes.size(), 9);
    packed.resize(size);
    return packed;
  };
  const std::string packed = pack(plain);
  std::string garbled = packed;
  for (size_t i = packed.size() * 3 / 4; i < packed.size() * 3 / 4 + 16; ++i) garbled[i] = '\xFF';
  struct TCase {
    const char* what;
    std::string stream;
    bool drawn;
    enum { Ramp, Black, Unknown } bottom;  // the last row: a damaged stream may decode to junk first
  };
  const TCase cases[] = {
      {"whole", packed, true, TCase::Ramp},
      {"no checksum", packed.substr(0, packed.size() - 4), true, TCase::Ramp},
      {"longer than the image", pack(plain + std::string(5000, '\x7F')), true, TCase::Ramp},
      {"cut at three quarters", packed.substr(0, packed.size() * 3 / 4), true, TCase::Black},
      {"garbled at three quarters", garbled, true, TCase::Unknown},
      {"cut at a third", packed.substr(0, packed.size() / 3), false, TCase::Unknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TDocument doc(std::make_unique<TMemorySource>(ImagePagePdf({kW, kH, c.stream, 8, 0, 0, "FlateDecode"})));
    try {
      const TRaster r = RenderPage(doc, 0, kW, TNeverCancel());
      ASSERT_TRUE(c.drawn) << "drawn from too little";
      EXPECT_TRUE(Near(PixelAt(r, 40, 2), {40 * 255 / 63, 2 * 255 / 63, 0}));
      if (c.bottom != TCase::Unknown)
        EXPECT_TRUE(Near(PixelAt(r, 40, kH - 1), c.bottom == TCase::Ramp ? TRgb{40 * 255 / 63, 255, 0} : kBlack));
    } catch (const TPdfError& e) {
      EXPECT_FALSE(c.drawn) << e.what();
      EXPECT_EQ(e.Kind(), TErrorKind::Damaged);
    }
  }
}

// Large streams take a faster decoder than small ones; both must agree on
// the bytes, on a stream that decodes past the bound, and on one cut short.
TEST(PdfReader, LargeFlateStreamsDecodeAsSmallOnes) {
  std::mt19937 random(7);
  std::string plain(1u << 20, '\0');
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<char>(random() % 16 + (i / 4096) % 200);
  uLongf size = compressBound(plain.size());
  std::string packed(size, '\0');
  ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(plain.data()),
                      plain.size(), 1),
            Z_OK);
  packed.resize(size);
  ASSERT_GT(packed.size(), 256u * 1024) << "large enough for the fast decoder";
  EXPECT_EQ(FlateDecode(packed, plain.size() * 2, TNeverCancel()), plain);
  EXPECT_EQ(FlateDecode(packed, plain.size(), TNeverCancel()), plain) << "exactly the bound";
  try {
    FlateDecode(packed, plain.size() - 1, TNeverCancel());
    ADD_FAILURE() << "decoded past the bound";
  } catch (const TPdfError& e) {
    EXPECT_EQ(e.Kind(), TErrorKind::TooLarge);
  }
  // Without its checksum the stream still gives all of its bytes.
  EXPECT_EQ(FlateDecode(packed.substr(0, packed.size() - 4), plain.size() * 2, TNeverCancel()), plain);
}

// Says "cancelled" from the check after the first `n` on, counting them all.
class TCancelAfter final : public TCancel {
 public:
  explicit TCancelAfter(long n) : n_(n) {}
  bool Cancelled() const override { return ++checks_ > n_; }
  long Checks() const { return checks_; }

 private:
  long n_;
  mutable long checks_ = 0;
};

// Drawing looks at the flag as it goes, not only on entry, and a cancel
// part of the way through stops it there: the checks the rest of the page
// would have made are never made.
TEST(PdfReader, CancelStopsDrawing) {
  for (const char* file : {"jpeg.pdf", "flate.pdf"}) {
    SCOPED_TRACE(file);
    TCancelAfter never(std::numeric_limits<long>::max());
    {
      TDocument doc(OpenFileSource(Fixture(file)));
      RenderPage(doc, 0, 800, never);
    }
    const long all = never.Checks();
    ASSERT_GE(all, 8) << "checks while drawing";
    for (long n : {0L, 1L, all / 2}) {
      SCOPED_TRACE(n);
      TCancelAfter cancel(n);
      TDocument doc(OpenFileSource(Fixture(file)));
      try {
        RenderPage(doc, 0, 800, cancel);
        ADD_FAILURE() << "drawn to the end";
      } catch (const TPdfError& e) {
        EXPECT_EQ(e.Kind(), TErrorKind::Cancelled);
      }
      EXPECT_LT(cancel.Checks(), all) << "went on drawing after the cancel";
    }
  }
}

TEST(PdfReader, TheFileIsNeitherChangedNorLocked) {
  const fs::path copy = Fixture("shared copy.pdf");
  fs::copy_file(Fixture("three_pages.pdf"), copy, fs::copy_options::overwrite_existing);
  const std::string before = ReadAll(copy);
  const auto stamp = fs::last_write_time(copy);
  {
    TDocument doc(OpenFileSource(copy));
    RenderPage(doc, 0, 100, TNeverCancel());
#ifdef _WIN32
    // No handle stays open: another program may take the file for itself.
    HANDLE exclusive = CreateFileW(copy.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
#endif
    EXPECT_EQ(ReadAll(copy), before);
    EXPECT_TRUE(fs::last_write_time(copy) == stamp);
    // Replaced while shown: the next page read notices instead of mixing two files.
    {
      std::ofstream f(copy, std::ios::binary | std::ios::app);
      f << "more";
    }
    try {
      RenderPage(doc, 1, 100, TNeverCancel());
      ADD_FAILURE();
    } catch (const TPdfError& e) {
      EXPECT_EQ(e.Kind(), TErrorKind::Damaged);
    }
  }
  fs::remove(copy);
}

}  // namespace
}  // namespace skan::pdfview
