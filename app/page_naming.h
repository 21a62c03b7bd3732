// Names of the page bitmaps of a scan.
#pragma once

#include <string>
#include <string_view>

namespace skan {

// The page file for a fresh unique name: its file-name part with the
// extension changed to ".bmp", in the folder tmpPath (which ends in '\').
// "C:\T\tmp5A3F.tmp" in "C:\T\scan\" gives "C:\T\scan\tmp5A3F.bmp".
std::wstring PageFileName(std::wstring_view tmpPath, std::wstring_view uniqueName);

}  // namespace skan
