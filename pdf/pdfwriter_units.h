// Measurement units of the PDF-writing library and conversions between them.
#pragma once

#include <cstdint>

enum TPdfWriterUnit : uint8_t {
  PdfWriterUnit_Unknown = 0,
  PdfWriterUnit_mm = 1,
  PdfWriterUnit_10th_mm = 2,
  PdfWriterUnit_100th_mm = 3,
  PdfWriterUnit_1000th_mm = 4,
  PdfWriterUnit_inch = 5,
  PdfWriterUnit_10th_inch = 6,
  PdfWriterUnit_100th_inch = 7,
  PdfWriterUnit_1000th_inch = 8,
};

namespace skan::pdf {

// Factor per unit ordinal 1..8; anything else converts with factor 1.
inline double Factor(const double (&table)[8], TPdfWriterUnit unit) {
  return unit >= 1 && unit <= 8 ? table[unit - 1] : 1.0;
}

inline constexpr double kMMToUnit[8] = {1, 10, 100, 1000, 1 / 25.4, 10 / 25.4, 100 / 25.4, 1000 / 25.4};
inline constexpr double kUnitToMM[8] = {1, 0.1, 0.01, 0.001, 25.4, 2.54, 0.254, 0.0254};
inline constexpr double kInchToUnit[8] = {25.4, 254, 2540, 25400, 1, 10, 100, 1000};
inline constexpr double kUnitToInch[8] = {
    0.03937007874015748, 0.003937007874015748, 0.0003937007874015748, 0.00003937007874015748, 1, 0.1, 0.01, 0.001};

inline double PdfMMToUnitEx(TPdfWriterUnit useUnit, double mmValue) {
  return mmValue * pdf::Factor(pdf::kMMToUnit, useUnit);
}
inline double PdfUnitToMMEx(TPdfWriterUnit useUnit, double unitValue) {
  return unitValue * pdf::Factor(pdf::kUnitToMM, useUnit);
}
inline double PdfInchToUnitEx(TPdfWriterUnit useUnit, double inchValue) {
  return inchValue * pdf::Factor(pdf::kInchToUnit, useUnit);
}
inline double PdfUnitToInchEx(TPdfWriterUnit useUnit, double unitValue) {
  return unitValue * pdf::Factor(pdf::kUnitToInch, useUnit);
}

}  // namespace skan::pdf
