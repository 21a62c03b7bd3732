// The text layer and the archival form of every file: words refused or
// placed, PDF dates, and files left for other readers (check_readers.py):
// Preflight validates them as PDF/A-1b, pdftotext and MuPDF read the words
// back in order and poppler finds each word in its box.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "pdf_document.h"
#include "pdf_test_util.h"
#include "pdfa.h"
#include "document.h"  // the document pane's reader (pdfview/)
#include "render.h"
#include "text_layer.h"

namespace skan::pdfwriter {

namespace {

std::string SaveToString(TDocument& doc) {
  TStringSink sink;
  doc.Save(sink);
  return sink.Data();
}

// The folder the test driver hands to the other readers; empty without it.
std::filesystem::path ReadersDir() {
  const char* v = std::getenv("SKAN_PDF_READERS_OUT");
  std::string s = v ? v : "";
#ifdef _WIN32
  if (!s.empty() && s[0] == '/') s = "Z:" + s;
  for (char& c : s)
    if (c == '/') c = '\\';
#endif
  return s;
}

// Leaves `name`.pdf (and `name` + `ext` beside it, when given) for the check
// `kind` of check_readers.py.
void ForReaders(const std::string& kind, const std::string& name, const std::string& pdf, const std::string& extra = {},
                const std::string& ext = {}) {
  const std::filesystem::path dir = ReadersDir();
  if (dir.empty()) return;
  std::ofstream(dir / (name + ".pdf"), std::ios::binary) << pdf;
  if (!ext.empty()) std::ofstream(dir / (name + ext), std::ios::binary) << extra;
  std::ofstream list(dir / "cases.txt", std::ios::app);
  list << kind << ' ' << name << '\n';
  list.close();
  ASSERT_TRUE(list) << "cannot write into " << dir.string();
}

// A page-sized bitmap of `bpp` bits: 1 (black and white), 8 with a grey ramp
// or with colours, 24.
struct TPageBitmap {
  TRaster raster;
  std::vector<uint8_t> bits;
};
TPageBitmap MakePage(uint16_t bpp, bool colours, uint32_t w = 83, uint32_t h = 117) {
  TPageBitmap b;
  const size_t stride = DibStride(w, bpp);
  b.bits.resize(stride * h);
  for (size_t i = 0; i < b.bits.size(); ++i) b.bits[i] = static_cast<uint8_t>(0xF0 ^ (i * 7 % 61));
  b.raster.width = w;
  b.raster.height = h;
  b.raster.bitsPerPixel = bpp;
  b.raster.bits = b.bits.data();
  b.raster.stride = stride;
  if (bpp <= 8) {
    for (int i = 0; i < (1 << bpp); ++i) {
      const auto v = static_cast<uint8_t>(i * 255 / ((1 << bpp) - 1));
      b.raster.palette.push_back(colours ? TRgb{v, static_cast<uint8_t>(255 - v), 0x40} : TRgb{v, v, v});
    }
  }
  return b;
}

constexpr double kA4W = 595.28, kA4H = 841.89;
constexpr uint32_t kPxW = 2480, kPxH = 3508;  // A4 at 300 dpi

// Three lines in reading order, Polish letters among them; the second line
// has no baselines.
std::vector<TWordBox> SampleWords() {
  std::vector<TWordBox> words;
  auto line = [&](int top, int height, int baseline, std::vector<std::pair<std::string, int>> texts) {
    int left = 300;
    for (const auto& [text, width] : texts) {
      words.push_back({text, left, top, width, height, baseline});
      left += width + 60;
    }
  };
  line(400, 80, 462, {{"Zażółć", 420}, {"gęślą", 330}, {"jaźń.", 300}});
  line(600, 90, -1, {{"ZAŻÓŁĆ", 560}, {"GĘŚLĄ", 470}, {"JAŹŃ", 350}, {"ĄĆĘŁŃÓŚŹŻ", 500}});
  line(800, 70, 855, {{"Invoice", 380}, {"no.", 150}, {"42/2024", 420}, {"€100", 260}});
  return words;
}

// Where poppler should find each word: "text xMin yMin xMax yMax", points
// from the page's top left, the vertical extent from the font's ascent
// (0.8 of the size) to its descent (0.2).
std::string ExpectedBoxes(const std::vector<TWordBox>& words, double pageW, double pageH) {
  const double sx = pageW / kPxW, sy = pageH / kPxH;
  std::string s;
  for (const TWordBox& w : words) {
    const double size = w.height * sy;
    const double base = w.baseline >= 0 ? w.baseline * sy : (w.top + 0.8 * w.height) * sy;
    char line[256];
    std::snprintf(line, sizeof line, " %.2f %.2f %.2f %.2f\n", w.left * sx, base - 0.8 * size, (w.left + w.width) * sx,
                  base + 0.2 * size);
    s += w.utf8 + line;
  }
  return s;
}

TEST(PdfText, BadWordsAreRefusedAndLeaveThePageAsItWas) {
  struct {
    const char* what;
    TWordBox word;
    uint32_t pxW = kPxW, pxH = kPxH;
  } cases[] = {
      {"a truncated sequence", {"ab\xC5", 0, 0, 10, 10}},
      {"a stray continuation byte", {"\x80", 0, 0, 10, 10}},
      {"an overlong slash", {"\xC0\xAF", 0, 0, 10, 10}},
      {"a surrogate", {"\xED\xA0\x80", 0, 0, 10, 10}},
      {"above U+10FFFF", {"\xF4\x90\x80\x80", 0, 0, 10, 10}},
      {"no width", {"a", 0, 0, 0, 10}},
      {"a negative height", {"a", 0, 0, 10, -5}},
      {"an image without width", {"a", 0, 0, 10, 10}, 0, kPxH},
      {"an image without height", {"a", 0, 0, 10, 10}, kPxW, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TCanvas page{kA4W, kA4H, {}};
    AddWords(page, kPxW, kPxH, {{"kept", 0, 0, 10, 10, -1}});
    try {
      AddWords(page, c.pxW, c.pxH, {{"fine", 0, 0, 10, 10, -1}, c.word});
      ADD_FAILURE() << "accepted";
    } catch (const TPdfError& e) {
      EXPECT_EQ(e.code(), kErrInvalidParameter);
      if (c.pxW && c.pxH) {
        EXPECT_NE(std::string(e.what()).find("word 2 "), std::string::npos) << e.what();
      }
    }
    ASSERT_EQ(page.words.size(), 1u) << "nothing of the refused call added";
  }
  TCanvas page{kA4W, kA4H, {}};
  AddWords(page, kPxW, kPxH, {{"", 0, 0, 10, 10, -1}, {"\xF0\x9F\x98\x80", 0, 0, 10, 10, -1}});
  ASSERT_EQ(page.words.size(), 1u) << "an empty word is left out";
  EXPECT_EQ(page.words[0].text, U"\U0001F600");
}

// Each word spans its box: its glyphs (500 units of 1000 wide) stretched by
// the horizontal scaling, its baseline where the caller put it or 0.8 of
// the box down.
TEST(PdfText, WordsAreScaledToTheirBoxes) {
  TCanvas page{200, 100, {}};
  AddWords(page, 400, 200, {{"abcd", 40, 20, 100, 30, 44}, {"zażółć", 0, 100, 60, 20, -1}});
  ASSERT_EQ(page.words.size(), 2u);
  const TPlacedWord& a = page.words[0];
  EXPECT_DOUBLE_EQ(a.size, 15);
  EXPECT_DOUBLE_EQ(a.x, 20);
  EXPECT_DOUBLE_EQ(a.y, 100 - 22);
  EXPECT_NEAR(4 * a.size * 0.5 * a.scale / 100, 50, 1e-9);
  const TPlacedWord& b = page.words[1];
  EXPECT_EQ(b.text.size(), 6u) << "characters, not bytes";
  EXPECT_DOUBLE_EQ(b.size, 10);
  EXPECT_DOUBLE_EQ(b.y, 100 - (100 + 16) / 2.0);
  EXPECT_NEAR(6 * b.size * 0.5 * b.scale / 100, 30, 1e-9);
}

TEST(PdfDates, PdfDatesBecomeXmpDatesAndOthersAreRefused) {
  const struct {
    std::u16string pdf;
    const char* xmp;  // nullptr: refused
  } cases[] = {
      {u"D:20240131120005+01'00'", "2024-01-31T12:00:05+01:00"},
      {u"D:20240131120005-05'30", "2024-01-31T12:00:05-05:30"},
      {u"D:20240131120005Z", "2024-01-31T12:00:05+00:00"},
      {u"D:20240131120005Z00'00'", "2024-01-31T12:00:05+00:00"},
      {u"D:2024", "2024-01-01T00:00:00+00:00"},
      {u"D:202402", "2024-02-01T00:00:00+00:00"},
      {u"20240131", "2024-01-31T00:00:00+00:00"},
      {u"D:20241331", nullptr},
      {u"D:2024013", nullptr},
      {u"D:20240131120005+1", nullptr},
      {u"D:20240131120005 ", nullptr},
      {u"yesterday", nullptr},
      {u"", nullptr},
  };
  for (const auto& c : cases) {
    std::string xmp;
    const bool ok = PdfDateToXmp(c.pdf, xmp);
    EXPECT_EQ(ok, c.xmp != nullptr) << std::string(c.pdf.begin(), c.pdf.end());
    if (ok && c.xmp) {
      EXPECT_EQ(xmp, c.xmp);
    }
  }
  EXPECT_EQ(PdfDate(0), u"D:19700101000000+00'00'");
  EXPECT_EQ(PdfDate(951827696), u"D:20000229123456+00'00'");

  TDocument doc(std::make_unique<TMemoryStore>());
  EXPECT_THROW(doc.SetInfo("CreationDate", u"today"), TPdfError);
  EXPECT_THROW(doc.SetInfo("ModDate", u"D:2024-01-31"), TPdfError);
  EXPECT_NO_THROW(doc.SetInfo("CreationDate", u"D:20240131120005+01'00'"));
}

// The information dictionary and the XMP packet say the same: the caller's
// entries where set, defaults where not; the catalog names both the packet
// and the output intent, and the trailer has an identifier.
TEST(PdfA, InformationAndMetadataAgree) {
  TDocument doc(std::make_unique<TMemoryStore>());
  TPageBitmap b = MakePage(24, false);
  doc.InsertPage(0, kA4W, kA4H);
  TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
  doc.SetInfo("Title", u"Faktura <1> & \u0142\u00F3d\u017A");
  doc.SetInfo("CreationDate", u"D:20240131120005+01'00'");
  const std::string bytes = SaveToString(doc);
  const TPdf pdf = ParsePdf(bytes);
  EXPECT_NE(bytes.find("/Title <FEFF"), std::string::npos);
  EXPECT_NE(bytes.find("<dc:title><rdf:Alt><rdf:li xml:lang=\"x-default\">Faktura &lt;1&gt; &amp; "
                       "\xC5\x82\xC3\xB3\x64\xC5\xBA</rdf:li>"),
            std::string::npos);
  EXPECT_NE(bytes.find("/CreationDate (D:20240131120005+01'00')"), std::string::npos);
  EXPECT_NE(bytes.find("<xmp:CreateDate>2024-01-31T12:00:05+01:00</xmp:CreateDate>"), std::string::npos);
  // ModDate and the producer were not set: filled in, and repeated.
  const size_t mod = bytes.find("/ModDate (D:");
  ASSERT_NE(mod, std::string::npos);
  std::string xmpMod;
  ASSERT_TRUE(PdfDateToXmp(std::u16string(bytes.begin() + mod + 10, bytes.begin() + mod + 33), xmpMod));
  EXPECT_NE(bytes.find("<xmp:ModifyDate>" + xmpMod + "</xmp:ModifyDate>"), std::string::npos);
  EXPECT_NE(bytes.find("/Producer (Skanowanie pdfwriter 2.0)"), std::string::npos);
  EXPECT_NE(bytes.find("<pdf:Producer>Skanowanie pdfwriter 2.0</pdf:Producer>"), std::string::npos);
  EXPECT_NE(bytes.find("<pdfaid:part>1</pdfaid:part>"), std::string::npos);
  EXPECT_NE(bytes.find("/OutputIntents [<< /Type /OutputIntent /S /GTS_PDFA1"), std::string::npos);
  EXPECT_NE(pdf.trailer.find("/ID [<"), std::string::npos);
  EXPECT_EQ(doc.FindInfo("Producer"), nullptr) << "defaults are the file's, not the caller's entries";
  EXPECT_EQ(SaveToString(doc), bytes) << "the same document saved twice is the same file";

  TDocument other(std::make_unique<TMemoryStore>());
  other.InsertPage(0, kA4W, kA4H);
  TDocument::CoverWithImage(other.Page(0), other.AddImage(b.raster));
  other.SetInfo("Title", u"Faktura <1> & \u0142\u00F3d\u017A");
  other.SetInfo("CreationDate", u"D:20240131120005+01'00'");
  other.SetInfo("ModDate", std::u16string(bytes.begin() + mod + 10, bytes.begin() + mod + 33));
  auto idOf = [](const std::string& trailer) { return trailer.substr(trailer.find("/ID [")); };
  const std::string otherBytes = SaveToString(other);
  EXPECT_EQ(otherBytes.size(), bytes.size()) << "the same content";
  EXPECT_NE(idOf(ParsePdf(otherBytes).trailer), idOf(pdf.trailer)) << "another document gets another identifier";
}

// The document pane's own reader opens a file with words and metadata and
// draws its pages exactly as without the words: the text layer paints
// nothing.
TEST(PdfText, TheProjectsReaderDrawsPagesWithWordsAsWithout) {
  auto render = [](bool words) {
    TPageBitmap b = MakePage(24, false);
    TPageBitmap g = MakePage(8, false);
    TDocument doc(std::make_unique<TMemoryStore>());
    doc.InsertPage(0, kA4W, kA4H);
    TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
    doc.InsertPage(1, kA4W, kA4H);
    TDocument::CoverWithImage(doc.Page(1), doc.AddImage(g.raster));
    if (words) {
      AddWords(doc.Page(0), kPxW, kPxH, SampleWords());
      AddWords(doc.Page(1), kPxW, kPxH, {{"Strona", 300, 400, 400, 80, -1}});
    }
    pdfview::TDocument view(std::make_unique<pdfview::TMemorySource>(SaveToString(doc)));
    std::vector<std::vector<uint32_t>> pages;
    for (size_t i = 0; i < view.PageCount(); ++i)
      pages.push_back(pdfview::RenderPage(view, i, 300, pdfview::TNeverCancel()).pixels);
    return pages;
  };
  const auto without = render(false);
  std::vector<std::vector<uint32_t>> with;
  ASSERT_NO_THROW(with = render(true));
  ASSERT_EQ(with.size(), 2u);
  EXPECT_TRUE(with == without);
}

// Every kind of page, with and without words, in memory and in the file a
// document is made in; Preflight checks each (check_readers.py, "pdfa").
TEST(PdfA, EveryKindOfPageIsLeftForPreflight) {
  if (ReadersDir().empty()) GTEST_SKIP() << "SKAN_PDF_READERS_OUT unset: run through the test driver (ctest)";
  const struct {
    const char* name;
    uint16_t bpp;
    bool colours;
  } kinds[] = {{"bw", 1, false}, {"gray", 8, false}, {"palette", 8, true}, {"rgb", 24, false}};
  for (const auto& k : kinds) {
    for (bool text : {false, true}) {
      SCOPED_TRACE(std::string(k.name) + (text ? " with text" : ""));
      TPageBitmap b = MakePage(k.bpp, k.colours);
      TDocument doc(std::make_unique<TMemoryStore>());
      doc.InsertPage(0, kA4W, kA4H);
      TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
      if (text) AddWords(doc.Page(0), kPxW, kPxH, SampleWords());
      ForReaders("pdfa", std::string("pdfa-") + k.name + (text ? "-text" : ""), SaveToString(doc));
    }
  }
  // Everything the caller can set, and a form that carries words.
  TPageBitmap b = MakePage(24, false);
  TDocument doc(std::make_unique<TMemoryStore>());
  doc.InsertPage(0, kA4W, kA4H);
  TDocument::CoverWithImage(doc.Page(0), doc.AddImage(b.raster));
  AddWords(doc.Page(0), kPxW, kPxH, SampleWords());
  const uint32_t form = doc.AddResource(doc.Page(0));
  doc.InsertPage(1, kA4W, kA4H);
  doc.Page(1).items.push_back({true, form, {0.5, 0, 0, 0.5, 0, 0}});
  doc.SetInfo("Title", u"Faktura <1> & \u0142\u00F3d\u017A");
  doc.SetInfo("Author", u"Jan Kowalski");
  doc.SetInfo("Subject", u"Skan dokumentu");
  doc.SetInfo("Keywords", u"faktura; skan");
  doc.SetInfo("Creator", u"Skanowanie");
  doc.SetInfo("CreationDate", u"D:20240131120005+01'00'");
  doc.SetInfo("ModDate", u"D:20240131130005Z");
  ForReaders("pdfa", "pdfa-info-and-form", SaveToString(doc));
}

// Words added to a finished page of a document made in its own file: the
// file is completed in place to the bytes Save writes, and the readers get
// the words back in reading order, each in its box.
TEST(PdfText, WordsOfADocumentInItsOwnFileAreReadBack) {
  const std::filesystem::path dir = ReadersDir().empty() ? std::filesystem::temp_directory_path() : ReadersDir();
  const std::string path = (dir / ("text_in_place_" + std::to_string(::getpid()) + ".tmp")).string();
  std::FILE* file = std::fopen(path.c_str(), "w+b");
  ASSERT_NE(file, nullptr);
  std::string expected, after;
  {
    TDocument doc(std::make_unique<TPdfFileStore>(file, path));
    for (int i = 0; i < 2; ++i) {
      TPageBitmap b = MakePage(i ? 24 : 1, false);
      doc.InsertPage(static_cast<size_t>(i), kA4W, kA4H);
      TDocument::CoverWithImage(doc.Page(static_cast<size_t>(i)), doc.AddImage(b.raster));
    }
    AddWords(doc.Page(0), kPxW, kPxH, SampleWords());
    AddWords(doc.Page(1), kPxW, kPxH, {{"Strona", 300, 400, 400, 80, -1}, {"druga", 760, 400, 330, 80, -1}});
    expected = SaveToString(doc);
    ASSERT_TRUE(doc.SaveInPlace());
  }
  after = ReadFileBytes(path);
  std::filesystem::remove(path);
  EXPECT_TRUE(after == expected) << "the bytes Save writes";
  EXPECT_NO_THROW(ParsePdf(after));
  EXPECT_NE(after.find("BT 3 Tr"), std::string::npos);
  const std::vector<TWordBox> words = SampleWords();
  std::string boxes = ExpectedBoxes(words, kA4W, kA4H) + "\f\n" +
                      ExpectedBoxes({{"Strona", 300, 400, 400, 80, -1}, {"druga", 760, 400, 330, 80, -1}}, kA4W, kA4H);
  ForReaders("text", "text-in-place", after, boxes, ".words");
  ForReaders("pdfa", "text-in-place", after);
}

}  // namespace

}  // namespace skan::pdfwriter
