// File-system checks the window's handlers share.
#pragma once

#include <windows.h>

#include <string>

namespace skan {

// True when `path` names a file (not a folder).
inline bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates one folder level unless something exists at `folder`; a failure
// is left to whoever writes into the folder next.
inline void EnsureFolder(const std::wstring& folder) {
  if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) CreateDirectoryW(folder.c_str(), nullptr);
}

}  // namespace skan
