#include "encode_file.h"

#include <stdexcept>
#include <system_error>

#include "base/file.h"

#ifdef _WIN32
#include "base/encoding.h"
#include "base/system_error_win.h"
#endif

namespace skan {

namespace {

constexpr size_t kLineLength = 76;  // RFC 2045's limit, which the export keeps
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Base64Lines(std::string_view bytes) {
  std::string out;
  const size_t chars = (bytes.size() + 2) / 3 * 4;
  out.reserve(chars + chars / kLineLength * 2 + 2);
  size_t column = 0;
  auto put = [&](char c) {
    out += c;
    if (++column == kLineLength) {
      out += "\r\n";
      column = 0;
    }
  };
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                       uint8_t(bytes[i + 2]);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(kAlphabet[(v >> 6) & 63]);
    put(kAlphabet[v & 63]);
  }
  if (const size_t rest = bytes.size() - i) {
    const uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (rest == 2 ? uint32_t(uint8_t(bytes[i + 1])) << 8 : 0);
    put(kAlphabet[v >> 18]);
    put(kAlphabet[(v >> 12) & 63]);
    put(rest == 2 ? kAlphabet[(v >> 6) & 63] : '=');
    put('=');
  }
  return out;
}

std::string EncodeFile(const std::filesystem::path& filename) {
  const base::TWholeFile file = base::ReadWholeFile(filename, 0x7FFFFFFF);
  if (!file) {
    const char* what = file.failure == base::TWholeFile::TFailure::Open ? "Cannot open file \"" : "Cannot read file \"";
#ifdef _WIN32
    throw std::runtime_error(what + base::Narrow(filename.wstring()) + "\". " + base::SystemMessage(file.error));
#else
    throw std::runtime_error(what + filename.string() + "\". " +
                             std::error_code(static_cast<int>(file.error), std::generic_category()).message());
#endif
  }
  return Base64Lines(file.view());
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string JoinLinesCrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

}  // namespace skan
