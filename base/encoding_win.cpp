#include "base/encoding.h"

#include <windows.h>

namespace skan::base {
namespace {

std::wstring ToWide(UINT codePage, std::string_view s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::string ToBytes(UINT codePage, std::wstring_view s) {
  if (s.empty()) return {};
  int n = WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring Widen(std::string_view utf8) { return ToWide(CP_UTF8, utf8); }
std::string Narrow(std::wstring_view text) { return ToBytes(CP_UTF8, text); }
std::string ToAnsi(std::wstring_view text) { return ToBytes(CP_ACP, text); }
std::wstring FromAnsi(std::string_view ansi) { return ToWide(CP_ACP, ansi); }

bool ToAnsiExactly(std::wstring_view text, std::string& ansi) {
  BOOL usedDefault = FALSE;
  const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, &usedDefault);
  if (n <= 0 && !text.empty()) return false;
  ansi.assign(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()), ansi.data(), n, nullptr,
                      &usedDefault);
  return !usedDefault;
}

}  // namespace skan::base
