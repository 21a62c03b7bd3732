// libFuzzer: any bytes as a BMP file, then the plain form read back through
// its own header block. Nothing may read outside the input.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dib_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const skan::dib::TPlainBitmap b = skan::dib::ReadBmpFile(data, size);
    const std::vector<uint8_t> info = skan::dib::PlainInfoBlock(b);
    const skan::dib::TPlainBitmap again = skan::dib::ReadBitmap(info.data(), info.size(), b.bits, b.stride * b.height);
    volatile uint8_t sink = again.Row(again.height - 1)[again.stride - 1];
    (void)sink;
  } catch (const skan::dib::TInvalidBitmap&) {
  }
  return 0;
}
