#include "text.h"

#include <windows.h>

namespace ui {
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
  int n = WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

std::wstring Widen(std::string_view utf8) { return ToWide(CP_UTF8, utf8); }
std::string Narrow(std::wstring_view text) { return ToBytes(CP_UTF8, text); }
std::string ToAnsi(std::wstring_view text) { return ToBytes(CP_ACP, text); }
std::wstring FromAnsi(std::string_view ansi) { return ToWide(CP_ACP, ansi); }

std::string SystemMessage(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  if (text.empty()) text = L"System error " + std::to_wstring(code);
  return Narrow(text);
}

}  // namespace ui
