// Puts the built virtual scanner in place of the Wine prefix's sane.ds, with
// unattended settings beside it, for tests that scan through the platform's
// own TWAIN_32.DLL.
#pragma once

#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace skan::virtual_scanner {

inline std::vector<uint8_t> ReadFileBytesW(const std::wstring& path) {
  std::ifstream f(path.c_str(), std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// A Unix path as Wine sees it on drive Z:.
inline std::wstring WinePathOf(const char* unixPath) {
  std::wstring w = L"Z:";
  for (const char* p = unixPath; *p; ++p) w += *p == '/' ? L'\\' : wchar_t(*p);
  return w;
}

// False when the library could not be put in place.
inline bool InstallVirtualScanner(const std::wstring& built, const std::string& settings) {
  wchar_t windows[MAX_PATH];
  const std::wstring dir = std::wstring(windows, GetWindowsDirectoryW(windows, MAX_PATH)) + L"\\twain_32\\";
  CreateDirectoryW(dir.c_str(), nullptr);
  const std::wstring installed = dir + L"sane.ds";
  // The source manager keeps a source loaded once listed, so the library is
  // copied only when it changed; the settings are read at each MSG_OPENDS.
  if (ReadFileBytesW(built) != ReadFileBytesW(installed) && !CopyFileW(built.c_str(), installed.c_str(), FALSE))
    return false;
  std::ofstream ini((dir + L"sane.ini").c_str(), std::ios::binary | std::ios::trunc);
  ini << "[Scanner]\r\nUnattended=1\r\nResolution=50\r\n" << settings;
  return true;
}

}  // namespace skan::virtual_scanner
