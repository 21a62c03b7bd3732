#include "page_naming.h"

namespace skan {

std::wstring PageFileName(std::wstring_view tmpPath, std::wstring_view uniqueName) {
  const size_t slash = uniqueName.find_last_of(L"\\/:");
  std::wstring name(slash == std::wstring_view::npos ? uniqueName : uniqueName.substr(slash + 1));
  const size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  return std::wstring(tmpPath) + name + L".bmp";
}

}  // namespace skan
