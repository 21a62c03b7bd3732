#include "ocr_languages.h"

#include <fstream>
#include <set>

namespace skan::ocr {

namespace {

std::vector<std::string_view> Codes(std::string_view languages) {
  std::vector<std::string_view> codes;
  size_t start = 0;
  for (;;) {
    const size_t plus = languages.find('+', start);
    codes.push_back(languages.substr(start, plus == std::string_view::npos ? plus : plus - start));
    if (plus == std::string_view::npos) return codes;
    start = plus + 1;
  }
}

}  // namespace

// File names are UTF-8 throughout: on Windows a folder the ANSI code page
// cannot spell is still found.
std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

bool WellFormedLanguages(std::string_view languages) {
  if (languages.empty() || languages.size() > 64) return false;
  std::set<std::string_view> seen;
  for (std::string_view code : Codes(languages)) {
    if (code.size() < 3 || code.size() > 16 || !seen.insert(code).second) return false;
    for (char c : code)
      if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

std::vector<std::string> MissingLanguages(const std::string& dataPath, std::string_view languages) {
  std::vector<std::string> missing;
  for (std::string_view code : Codes(languages)) {
    std::string file = dataPath;
    if (!file.empty() && file.back() != '/' && file.back() != '\\') file += '/';
    file.append(code).append(".traineddata");
    if (!std::ifstream(PathOf(file), std::ios::binary)) missing.emplace_back(code);
  }
  return missing;
}

}  // namespace skan::ocr
