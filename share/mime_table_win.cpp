// The operating system's MIME database on Windows: the registry's per-extension
// keys and its MIME database, both under HKEY_CLASSES_ROOT, read only.
#include "share/mime_table.h"

#include <windows.h>

#include "base/encoding.h"
#include "share/text.h"

namespace skan::share {

namespace {

std::wstring ReadString(HKEY key, const wchar_t* subKey, const wchar_t* value) {
  DWORD size = 0;
  if (RegGetValueW(key, subKey, value, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS ||
      size < sizeof(wchar_t))
    return {};
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (RegGetValueW(key, subKey, value, RRF_RT_REG_SZ, nullptr, text.data(), &size) != ERROR_SUCCESS) return {};
  text.resize(wcsnlen(text.c_str(), text.size()));
  return text;
}

template <class F>
void ForEachSubKey(HKEY key, F&& f) {
  wchar_t name[256];
  for (DWORD i = 0;; ++i) {
    DWORD len = sizeof name / sizeof name[0];
    LONG rc = RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_MORE_DATA) continue;
    if (rc != ERROR_SUCCESS) break;
    f(std::wstring(name, len));
  }
}

}  // namespace

void OverlayOSMimeTypes(TMimeLines& lines, const std::filesystem::path&) {
  ForEachSubKey(HKEY_CLASSES_ROOT, [&](const std::wstring& name) {
    if (name.empty() || name[0] != L'.') return;
    std::wstring type = ReadString(HKEY_CLASSES_ROOT, name.c_str(), L"Content Type");
    if (!type.empty()) lines.Set(AsciiLower(base::Narrow(name)), AsciiLower(base::Narrow(type)));
  });
  HKEY db = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type", 0, KEY_READ, &db) != ERROR_SUCCESS) return;
  ForEachSubKey(db, [&](const std::wstring& type) {
    std::string ext = AsciiLower(base::Narrow(ReadString(db, type.c_str(), L"Extension")));
    if (ext.empty()) return;
    if (ext[0] != '.') ext.insert(0, 1, '.');
    lines.Set(ext, AsciiLower(base::Narrow(type)));
  });
  RegCloseKey(db);
}

}  // namespace skan::share
