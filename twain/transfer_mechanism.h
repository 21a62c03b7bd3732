// Which transfer mechanism a scan uses, and a delivered page as the bytes of
// a BMP file.
#pragma once

#include <cstdint>
#include <vector>

#include "twain_source.h"

namespace skan::twain {

// On an open source: file transfer when the source offers it, otherwise
// native, otherwise memory. The source is told the mechanism (ICAP_XFERMECH);
// one it refuses is passed over for the next it offers, and when it takes
// none the one it has in force stays. A source that cannot say what it offers
// gets file transfer when it takes it, native transfer otherwise.
TTwainTransferMode ChooseTransferMode(TTwainSource& source);

// A page bitmap of the native or memory transfer as a BMP file: file header,
// the bitmap's header, colour masks or table, and its rows bottom-up. False
// when the platform cannot read the bitmap.
bool BitmapFileBytes(HBITMAP bitmap, std::vector<uint8_t>& file);

}  // namespace skan::twain
