#include "encode_file.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>

#include "base/handles_win.h"
#include "text.h"
#endif

namespace scan {

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
#ifdef _WIN32
  // Closed on every way out, also when the buffer cannot be allocated.
  base::TFileHandle h(CreateFileW(filename.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    const DWORD error = GetLastError();
    throw std::runtime_error("Cannot open file \"" + ui::Narrow(filename.wstring()) + "\". " + ui::SystemMessage(error));
  }
  std::string bytes;
  LARGE_INTEGER size{};
  DWORD error = 0;
  if (!GetFileSizeEx(h.get(), &size) || size.QuadPart > 0x7FFFFFFF) {
    error = GetLastError() ? GetLastError() : ERROR_FILE_TOO_LARGE;
  } else {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < bytes.size()) {
      DWORD got = 0;
      if (!ReadFile(h.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr) || got == 0) {
        error = GetLastError() ? GetLastError() : ERROR_HANDLE_EOF;
        break;
      }
      done += got;
    }
  }
  h.reset();
  if (error) throw std::runtime_error("Cannot read file \"" + ui::Narrow(filename.wstring()) + "\". " + ui::SystemMessage(error));
  return Base64Lines(bytes);
#else
  std::ifstream in(filename, std::ios::binary);
  if (!in)
    throw std::runtime_error("Cannot open file \"" + filename.string() + "\". " +
                             std::error_code(errno, std::generic_category()).message());
  std::ostringstream s;
  s << in.rdbuf();
  return Base64Lines(s.str());
#endif
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

std::string ExportText(std::string text) {
  if (!text.empty() && !text.ends_with("\r\n")) text += "\r\n";
  return text;
}

}  // namespace scan
