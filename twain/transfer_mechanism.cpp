#include "transfer_mechanism.h"

#include <cstring>

namespace skan::twain {

TTwainTransferMode ChooseTransferMode(TTwainSource& source) {
  TTwainTransferMode current = ttmNative;  // the standard's default
  TTwainTransferModeSet offered;
  // A source that cannot say what it offers: file transfer when it takes it,
  // otherwise native, which every source has.
  if (source.GetIXferMech(current, offered, rcGet) != crSuccess || offered.empty())
    return source.SetIXferMech(ttmFile) == crSuccess ? ttmFile : ttmNative;
  for (TTwainTransferMode mode : {ttmFile, ttmNative, ttmMemory})
    if (offered.count(mode) && source.SetIXferMech(mode) == crSuccess) return mode;
  return current;
}

bool BitmapFileBytes(HBITMAP bitmap, std::vector<uint8_t>& file) {
  std::vector<uint8_t> dib;
  if (!bitmap || !TwainPlatform().PackedDib(bitmap, dib)) return false;
  const size_t offset = DibPixelOffset(dib.data(), dib.size());
  if (!offset) return false;
  constexpr size_t kFileHeader = 14;
  const uint32_t total = uint32_t(kFileHeader + dib.size());
  const uint32_t offBits = uint32_t(kFileHeader + offset);
  file.assign(kFileHeader, 0);
  file[0] = 'B';
  file[1] = 'M';
  std::memcpy(&file[2], &total, 4);
  std::memcpy(&file[10], &offBits, 4);
  file.insert(file.end(), dib.begin(), dib.end());
  return true;
}

}  // namespace skan::twain
