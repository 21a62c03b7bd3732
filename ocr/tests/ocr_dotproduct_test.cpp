// Reads a short page with the dot-product variant named by DOTPRODUCT, which
// the engine takes at its start: run once per variant, so that each of them
// (AVX among them, whose code must not fault on 32-bit Windows) has run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "ocr_engine.h"
#include "ocr_text.h"

namespace skan::ocr {
namespace {

const std::string kData = SKAN_OCR_DATA;
const std::string kPages = SKAN_OCR_PAGES;

TEST(OcrDotProduct, TheForcedVariantReadsAShortPage) {
  const char* variant = std::getenv("DOTPRODUCT");
  ASSERT_NE(variant, nullptr) << "run with DOTPRODUCT set to a variant";
  const std::vector<std::string> runnable = RunnableDotProducts();
  if (std::find(runnable.begin(), runnable.end(), variant) == runnable.end())
    GTEST_SKIP() << "this processor cannot run the " << variant << " variant";
  TEngine engine(kData, "pol+eng");
  // The engine names the variant it took; one it was built without is
  // reported as "generic".
  EXPECT_EQ(engine.Parameter("dotproduct"), variant);
  const std::vector<uint8_t> bytes = test::ReadFileBytes(kPages + "/short_sans.bmp");
  ASSERT_FALSE(bytes.empty());
  const TPageText page = engine.Recognise(dib::ReadBmpFile(bytes.data(), bytes.size()));
  const std::string truth(reinterpret_cast<const char*>(test::ReadFileBytes(kPages + "/short_sans.txt").data()),
                          test::ReadFileBytes(kPages + "/short_sans.txt").size());
  const double cer = test::CharacterErrorRate(truth, PlainText(page));
  std::printf("%s: CER %.2f%%\n", variant, cer * 100);
  EXPECT_LE(cer, 0.01) << PlainText(page);
}

}  // namespace
}  // namespace skan::ocr
