#include "ocr_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <unistd.h>

#include "ocr_text.h"
#include "pdf_document.h"
#include "pdf_store.h"
#include "text_layer.h"

namespace skan::ocr {
namespace {

using test::CharacterErrorRate;

const std::string kData = SKAN_OCR_DATA;
const std::string kPages = SKAN_OCR_PAGES;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct TReadPage {
  std::vector<uint8_t> file;
  dib::TPlainBitmap bitmap;
  TPageText text;
};

TReadPage RecogniseFile(TEngine& engine, const std::string& name) {
  TReadPage page;
  page.file = test::ReadFileBytes(kPages + "/" + name + ".bmp");
  if (page.file.empty()) throw std::runtime_error("missing page " + name);
  page.bitmap = dib::ReadBmpFile(page.file.data(), page.file.size());
  page.text = engine.Recognise(page.bitmap);
  return page;
}

// The project's PDF of recognised pages, as the host makes it: each page's
// image over an A4 page (turned as its text reads upright) and its words
// invisibly over it; the text of each page as pdftotext gives it back.
std::vector<std::string> TextThroughPdf(const std::vector<const TReadPage*>& pages) {
  using namespace pdfwriter;
  const std::string path =
      (std::filesystem::temp_directory_path() / ("ocr_pdf_" + std::to_string(::getpid()) + ".pdf")).string();
  {
    TDocument doc(std::make_unique<TMemoryStore>());
    for (size_t i = 0; i < pages.size(); ++i) {
      const dib::TPlainBitmap turned = dib::Turned(pages[i]->bitmap, pages[i]->text.turn);
      TRaster raster{turned.width, turned.height, turned.bitsPerPixel, turned.bits, turned.stride, turned.topDown, {}};
      for (const dib::TQuad& q : turned.palette) raster.palette.push_back({q.red, q.green, q.blue});
      doc.InsertPage(i, 595.28, 841.89);
      TDocument::CoverWithImage(doc.Page(i), doc.AddImage(raster));
      std::vector<TWordBox> words;
      for (const TWord& w : pages[i]->text.words)
        words.push_back({w.text, w.left, w.top, w.width, w.height, w.baseline});
      AddWords(doc.Page(i), pages[i]->text.width, pages[i]->text.height, words);
    }
    TStringSink sink;
    doc.Save(sink);
    std::ofstream(path, std::ios::binary) << sink.Data();
  }
  std::vector<std::string> texts;
  for (size_t i = 1; i <= pages.size(); ++i) {
    const std::string out = path + ".txt", n = std::to_string(i);
    const std::string command = "pdftotext -q -enc UTF-8 -f " + n + " -l " + n + " '" + path + "' '" + out + "'";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("pdftotext failed");
    texts.push_back(ReadText(out));
    std::filesystem::remove(out);
  }
  std::filesystem::remove(path);
  return texts;
}

TEST(OcrText, CharacterErrorRateCountsEditsOverTheTruth) {
  EXPECT_EQ(CharacterErrorRate("abc def", "abc\n  def"), 0);
  EXPECT_DOUBLE_EQ(CharacterErrorRate("zażółć", "zazolc"), 4.0 / 6);  // one code point each
  EXPECT_DOUBLE_EQ(CharacterErrorRate("abcd", "abd"), 0.25);
  EXPECT_DOUBLE_EQ(CharacterErrorRate("abcd", ""), 1);
}

TEST(OcrLanguages, WellFormed) {
  for (const char* good : {"pol", "eng", "pol+eng", "eng+pol", "chi_sim", "deu+frk"})
    EXPECT_TRUE(WellFormedLanguages(good)) << good;
  for (const char* bad :
       {"", "+", "pol+", "+pol", "pol++eng", "po", "POL", "pol eng", "pol+pol", "../x", "pol/eng", "aaaaaaaaaaaaaaaaa"})
    EXPECT_FALSE(WellFormedLanguages(bad)) << bad;
  EXPECT_FALSE(WellFormedLanguages(std::string(13 * 5, 'a')));  // longer than 64 bytes
}

TEST(OcrLanguages, AMissingModelIsRefusedByName) {
  EXPECT_EQ(MissingLanguages(kData, "pol+eng"), std::vector<std::string>{});
  EXPECT_EQ(MissingLanguages(kData, "pol+xyz+eng"), std::vector<std::string>{"xyz"});
  try {
    TEngine engine(kData, "pol+xyz");
    FAIL() << "an engine without the model of xyz";
  } catch (const TOcrError& e) {
    EXPECT_NE(std::string(e.what()).find("xyz"), std::string::npos) << e.what();
  }
  EXPECT_THROW(TEngine(kData, "pol+"), TOcrError);
}

TEST(OcrTurn, GreyImagesTurnClockwise) {
  // 3 x 2:  1 2 3 / 4 5 6
  TGreyImage image{3, 2, {1, 2, 3, 4, 5, 6}};
  EXPECT_EQ(Turned(image, 90).pixels, (std::vector<uint8_t>{4, 1, 5, 2, 6, 3}));
  EXPECT_EQ(Turned(image, 90).width, 2u);
  EXPECT_EQ(Turned(image, 180).pixels, (std::vector<uint8_t>{6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(Turned(image, 270).pixels, (std::vector<uint8_t>{3, 6, 2, 5, 1, 4}));
}

struct TRow {
  const char* page;
  const char* languages;
  int turn;  // the turn that makes it upright
};

class OcrPages : public ::testing::TestWithParam<TRow> {};

// Our own texts rendered at 300 dpi, read back with Polish and English: at
// most 1% of the characters wrong, from the engine and out of the PDF, and
// turned pages read the right way up.
TEST_P(OcrPages, ReadWithinOnePercent) {
  const TRow& row = GetParam();
  TEngine engine(kData, row.languages);
  const auto start = std::chrono::steady_clock::now();
  const TReadPage read = RecogniseFile(engine, row.page);
  const TPageText& page = read.text;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string truth = ReadText(kPages + "/" + row.page + ".txt");
  const double cer = CharacterErrorRate(truth, PlainText(page));
  const std::string fromPdf = TextThroughPdf({&read}).at(0);
  const double pdfCer = CharacterErrorRate(truth, fromPdf);
  std::printf("%s: CER %.2f%%, from the PDF %.2f%%, turn %d, %.1f s\n", row.page, cer * 100, pdfCer * 100, page.turn,
              seconds);
  EXPECT_LE(cer, 0.01) << PlainText(page);
  EXPECT_LE(pdfCer, 0.01) << fromPdf;
  EXPECT_EQ(page.turn, row.turn);
  // Every box lies in the upright page, its baseline inside it.
  for (const TWord& w : page.words) {
    EXPECT_TRUE(w.left >= 0 && w.top >= 0 && w.width > 0 && w.height > 0 && uint32_t(w.left + w.width) <= page.width &&
                uint32_t(w.top + w.height) <= page.height)
        << w.text;
    EXPECT_TRUE(w.baseline >= w.top && w.baseline <= w.top + w.height) << w.text;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, OcrPages,
                         ::testing::Values(TRow{"pl_serif_clean", "pol+eng", 0}, TRow{"pl_sans_degraded", "pol+eng", 0},
                                           TRow{"en_serif_degraded_grey", "pol+eng", 0},
                                           TRow{"en_sans_clean_colour", "pol+eng", 0},
                                           TRow{"pl_sans_turned90", "pol+eng", 270},
                                           TRow{"en_serif_turned180", "eng+pol", 180}),
                         [](const auto& row) { return std::string(row.param.page); });

// The language asked for is the one applied: English alone misreads the
// Polish letters.
TEST(OcrPages, EnglishAloneMisreadsPolish) {
  TEngine engine(kData, "eng");
  const TPageText page = RecogniseFile(engine, "pl_serif_clean").text;
  const double cer = CharacterErrorRate(ReadText(kPages + "/pl_serif_clean.txt"), PlainText(page));
  std::printf("pl_serif_clean with eng only: CER %.2f%%\n", cer * 100);
  EXPECT_GT(cer, 0.03);
}

// A word with Polish letters is found on its own page of a document, and
// not on the other.
TEST(OcrPages, WordsWithDiacriticsAreFoundOnTheirPage) {
  TEngine engine(kData, "pol+eng");
  const TReadPage first = RecogniseFile(engine, "pl_serif_clean");
  const TReadPage second = RecogniseFile(engine, "short_sans");
  const std::vector<std::string> texts = TextThroughPdf({&first, &second});
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[0].find("Łódź"), std::string::npos) << texts[0];
  EXPECT_EQ(texts[1].find("Łódź"), std::string::npos) << texts[1];
  EXPECT_NE(texts[1].find("złożony"), std::string::npos) << texts[1];
  EXPECT_EQ(texts[0].find("złożony"), std::string::npos) << texts[0];
}

// A page without text reads as no words, and quickly (no turns tried).
TEST(OcrPages, BlankPageHasNoWords) {
  TEngine engine(kData, "pol+eng");
  TGreyImage blank{2480, 3508, std::vector<uint8_t>(size_t{2480} * 3508, 255)};
  const TPageText page = engine.Recognise(blank);
  EXPECT_TRUE(page.words.empty());
  EXPECT_EQ(page.turn, 0);
}

}  // namespace
}  // namespace skan::ocr
