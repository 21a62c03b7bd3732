// CCITT Group 4 coding of black-and-white rows for PDF's CCITTFaxDecode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skan::pdfwriter {

// Codes `height` rows of `width` pixels, one bit each, most significant bit
// first, rows `stride` bytes apart (bottom-up unless `topDown`). A 1 bit is
// white, so the data decodes with CCITTFaxDecode's defaults plus
// << /K -1 /Columns width /Rows height >>; it ends with EOFB.
std::string EncodeG4(const uint8_t* bits, size_t stride, uint32_t width, uint32_t height, bool topDown);

}  // namespace skan::pdfwriter
