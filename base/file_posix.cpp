#include "base/file.h"

#include <cerrno>
#include <cstdio>

#include "base/unique_handle.h"

namespace skan::base {
namespace {

struct TStdioTraits {
  using pointer = std::FILE*;
  static pointer invalid() noexcept { return nullptr; }
  static void close(pointer f) noexcept { std::fclose(f); }
};

}  // namespace

TWholeFile ReadWholeFile(const std::filesystem::path& path, std::uint64_t maxSize, TWholeFile reuse) {
  TWholeFile file;
  TUniqueHandle<TStdioTraits> f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    file.failure = TWholeFile::TFailure::Open;
    file.error = static_cast<unsigned long>(errno);
    return file;
  }
  int error = 0;
  long size = -1;
  errno = 0;
  if (std::fseek(f.get(), 0, SEEK_END) == 0) size = std::ftell(f.get());
  if (size < 0 || static_cast<std::uint64_t>(size) > maxSize || std::fseek(f.get(), 0, SEEK_SET) != 0) {
    error = errno ? errno : EFBIG;
  } else {
    detail::MakeRoom(file, reuse, static_cast<std::size_t>(size));
    if (std::fread(file.data.get(), 1, file.size, f.get()) != file.size) error = errno ? errno : EIO;
  }
  if (error) {
    file.data.reset();
    file.size = file.capacity = 0;
    file.failure = TWholeFile::TFailure::Read;
    file.error = static_cast<unsigned long>(error);
  }
  return file;
}

}  // namespace skan::base
