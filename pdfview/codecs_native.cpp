// Image codecs off Windows: no CCITT fax decoder (JPEG is in codecs_jpeg.cpp).
#include "image.h"

namespace skan::pdfview {

TImage DecodeCcittFax(const std::string&, const TDict&, int, int) { Unsupported("CCITT fax images"); }

}  // namespace skan::pdfview
