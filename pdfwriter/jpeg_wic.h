// JPEG encoding through the Windows Imaging Component's encoder.
#pragma once

#include <cstdint>
#include <string>

namespace skan::pdfwriter {

// `samples`: top-down rows of 8-bit grey (components 1) or red-green-blue
// (components 3), no padding. Raises TPdfError when no encoder is available.
std::string EncodeJpeg(const uint8_t* samples, uint32_t width, uint32_t height, int components);

}  // namespace skan::pdfwriter
