#include "base/file.h"
#include "base/file_win.h"

#include <windows.h>

#include <algorithm>

#include "base/handles_win.h"

namespace skan::base {

namespace {
// What one WriteFile call is given at most: a larger write may fail for want
// of system resources (on network drives).
constexpr std::size_t kMaxPiece = std::size_t{1} << 20;
}  // namespace

bool ReadExactly(HANDLE file, void* data, std::size_t size) {
  auto* p = static_cast<char*>(data);
  for (std::size_t done = 0; done < size;) {
    DWORD got = 0;
    if (!ReadFile(file, p + done, static_cast<DWORD>(std::min<std::size_t>(size - done, MAXDWORD)), &got, nullptr))
      return false;
    if (got == 0) {
      SetLastError(ERROR_HANDLE_EOF);
      return false;
    }
    done += got;
  }
  return true;
}

bool WriteAll(HANDLE file, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  for (std::size_t done = 0; done < size;) {
    DWORD wrote = 0;
    if (!WriteFile(file, p + done, static_cast<DWORD>(std::min(size - done, kMaxPiece)), &wrote, nullptr)) return false;
    if (wrote == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    done += wrote;
  }
  return true;
}

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
    if (!ReadExactly(h.get(), file.data.get(), file.size)) error = GetLastError();
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
