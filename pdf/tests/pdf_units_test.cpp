// Unit conversions: the factor table, and factor 1 for anything unknown.
#include <gtest/gtest.h>

#include "pdf/pdfwriter_units.h"

namespace skan::pdf {

namespace {

TEST(PdfUnits, ConversionsFollowTheFactorTable) {
  struct {
    TPdfWriterUnit unit;
    double mmTo, toMM, inchTo, toInch;
  } rows[] = {
      {PdfWriterUnit_mm, 1, 1, 25.4, 0.03937007874015748},
      {PdfWriterUnit_10th_mm, 10, 0.1, 254, 0.003937007874015748},
      {PdfWriterUnit_100th_mm, 100, 0.01, 2540, 0.0003937007874015748},
      {PdfWriterUnit_1000th_mm, 1000, 0.001, 25400, 0.00003937007874015748},
      {PdfWriterUnit_inch, 1 / 25.4, 25.4, 1, 1},
      {PdfWriterUnit_10th_inch, 10 / 25.4, 2.54, 10, 0.1},
      {PdfWriterUnit_100th_inch, 100 / 25.4, 0.254, 100, 0.01},
      {PdfWriterUnit_1000th_inch, 1000 / 25.4, 0.0254, 1000, 0.001},
      {PdfWriterUnit_Unknown, 1, 1, 1, 1},
      {static_cast<TPdfWriterUnit>(9), 1, 1, 1, 1},
      {static_cast<TPdfWriterUnit>(255), 1, 1, 1, 1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(static_cast<int>(r.unit));
    EXPECT_DOUBLE_EQ(PdfMMToUnitEx(r.unit, 3), 3 * r.mmTo);
    EXPECT_DOUBLE_EQ(PdfUnitToMMEx(r.unit, 3), 3 * r.toMM);
    EXPECT_DOUBLE_EQ(PdfInchToUnitEx(r.unit, 3), 3 * r.inchTo);
    EXPECT_DOUBLE_EQ(PdfUnitToInchEx(r.unit, 3), 3 * r.toInch);
  }
}

// The A4 sizes the scan assembly passes, after truncation toward zero.
TEST(PdfUnits, A4TruncatesAsTheAssemblyExpects) {
  struct {
    TPdfWriterUnit unit;
    uint32_t w, h;
  } rows[] = {{PdfWriterUnit_mm, 210, 297},
              {PdfWriterUnit_10th_mm, 2100, 2970},
              {PdfWriterUnit_100th_mm, 21000, 29700},
              {PdfWriterUnit_1000th_mm, 210000, 297000},
              {PdfWriterUnit_inch, 8, 11},
              {PdfWriterUnit_10th_inch, 82, 116},
              {PdfWriterUnit_100th_inch, 826, 1169},
              {PdfWriterUnit_1000th_inch, 8267, 11692}};
  for (const auto& r : rows) {
    EXPECT_EQ(static_cast<uint32_t>(PdfMMToUnitEx(r.unit, 210)), r.w) << static_cast<int>(r.unit);
    EXPECT_EQ(static_cast<uint32_t>(PdfMMToUnitEx(r.unit, 297)), r.h) << static_cast<int>(r.unit);
  }
  EXPECT_NEAR(PdfMMToUnitEx(PdfWriterUnit_inch, 210), 8.2677, 1e-4);
}

}  // namespace

}  // namespace skan::pdf
