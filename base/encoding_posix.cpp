#include "base/encoding.h"

#include "base/utf8.h"

namespace skan::base {
namespace {

bool IsSurrogate(char32_t cp) { return cp >= 0xD800 && cp < 0xE000; }

}  // namespace

std::wstring Widen(std::string_view utf8) {
  std::wstring out;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t cp = NextCodePoint(utf8, i);
    if (IsSurrogate(cp)) cp = 0xFFFD;
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
  }
  return out;
}

std::string Narrow(std::wstring_view w) {
  std::string out;
  for (std::size_t i = 0; i < w.size(); ++i) {
    auto cp = static_cast<char32_t>(w[i]);
    if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp < 0xDC00 && i + 1 < w.size() &&
        static_cast<char32_t>(w[i + 1]) >= 0xDC00 && static_cast<char32_t>(w[i + 1]) < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(w[i + 1]) - 0xDC00);
      ++i;
    } else if (IsSurrogate(cp)) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp > 0x10FFFF ? 0xFFFD : cp);
  }
  return out;
}

std::string ToAnsi(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += (c >= 0 && c < 0x100) ? char(c) : '?';
  return out;
}

std::wstring FromAnsi(std::string_view ansi) {
  std::wstring out;
  out.reserve(ansi.size());
  for (char c : ansi) out += wchar_t(static_cast<unsigned char>(c));
  return out;
}

bool ToAnsiExactly(std::wstring_view text, std::string& ansi) {
  ansi = ToAnsi(text);
  for (wchar_t c : text)
    if (c < 0 || c >= 0x100) return false;
  return true;
}

}  // namespace skan::base
