#include "base/file.h"

#include <windows.h>

#include "base/handles_win.h"

namespace skan::base {

TWholeFile ReadWholeFile(const std::filesystem::path& path, std::uint64_t maxSize, TWholeFile reuse) {
  TWholeFile file;
  // Closed on every way out, also when the buffer cannot be allocated.
  TFileHandle h(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    file.failure = TWholeFile::TFailure::Open;
    file.error = GetLastError();
    return file;
  }
  LARGE_INTEGER size{};
  DWORD error = 0;
  if (!GetFileSizeEx(h.get(), &size) || static_cast<std::uint64_t>(size.QuadPart) > maxSize) {
    error = GetLastError() ? GetLastError() : ERROR_FILE_TOO_LARGE;
  } else {
    detail::MakeRoom(file, reuse, static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < file.size) {
      DWORD got = 0;
      if (!ReadFile(h.get(), file.data.get() + done, static_cast<DWORD>(file.size - done), &got, nullptr) || got == 0) {
        error = GetLastError() ? GetLastError() : ERROR_HANDLE_EOF;
        break;
      }
      done += got;
    }
  }
  if (error) {
    file.data.reset();
    file.size = file.capacity = 0;
    file.failure = TWholeFile::TFailure::Read;
    file.error = error;
  }
  return file;
}

}  // namespace skan::base
