// Helpers of the recognition tests: page files and character error rates.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace skan::ocr::test {

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The code points of UTF-8 text, with each run of white space made one space
// and none at either end: line breaks and spacing are not what is measured.
inline std::u32string Letters(const std::string& text) {
  std::u32string out;
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int extra = c < 0x80 ? 0 : c < 0xe0 ? 1 : c < 0xf0 ? 2 : 3;
    char32_t cp = extra == 0 ? c : c & (0x3f >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) cp = cp << 6 | (text[i + k] & 0x3f);
    i += 1 + extra;
    const bool space = cp == U' ' || cp == U'\n' || cp == U'\r' || cp == U'\t' || cp == U'\f';
    if (space) {
      if (!out.empty() && out.back() != U' ') out += U' ';
    } else {
      out += cp;
    }
  }
  if (!out.empty() && out.back() == U' ') out.pop_back();
  return out;
}

// Character error rate: the edit distance from the truth to what was read,
// over the truth's length.
inline double CharacterErrorRate(const std::string& truth, const std::string& read) {
  const std::u32string a = Letters(truth), b = Letters(read);
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return a.empty() ? (b.empty() ? 0 : 1) : static_cast<double>(row[b.size()]) / a.size();
}

}  // namespace skan::ocr::test
