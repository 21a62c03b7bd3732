// Stream filters: Flate (zlib), LZW, RunLength, ASCIIHex, ASCII85 and the
// PNG and TIFF predictors. Image codecs (DCT, CCITT) are not here: a filter
// chain stops before them and the image decoder takes over.
#pragma once

#include <cstdint>
#include <string>

#include "error.h"
#include "object.h"

namespace skan::pdfview {

std::string FlateDecode(const std::string& in, size_t maxOut, const TCancel& cancel);
// Decodes the first `size` bytes of a Flate stream (fewer when it is
// shorter or damaged part way) into `out`; returns how many there are.
size_t FlateDecodeInto(const std::string& in, uint8_t* out, size_t size, const TCancel& cancel);
std::string LzwDecode(const std::string& in, bool earlyChange, size_t maxOut);
std::string RunLengthDecode(const std::string& in, size_t maxOut);
std::string AsciiHexDecode(const std::string& in);
std::string Ascii85Decode(const std::string& in);
// Undoes a /Predictor (2: TIFF, 10-15: PNG) given the filter's parameters.
std::string Unpredict(std::string in, const TDict& parms);

// True for the filters that end in an image codec of their own.
bool IsImageCodec(const std::string& filter);
// Canonical filter name (abbreviations of inline images expanded).
std::string FilterName(const std::string& name);

}  // namespace skan::pdfview
