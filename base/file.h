// Reading a whole file into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace skan::base {

// A file's bytes, or why they could not be read. The buffer is not zeroed
// before the read: a scan's worth of memory is costly to touch twice.
struct TWholeFile {
  enum class TFailure {
    None,
    Open,  // the file did not open
    Read,  // larger than the limit, a read error, or shorter than its size
  };
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
  std::size_t capacity = 0;  // of `data`, at least `size`
  TFailure failure = TFailure::None;
  // The system's code of the failure: GetLastError on Windows (or
  // ERROR_FILE_TOO_LARGE, ERROR_HANDLE_EOF when it has none), errno elsewhere.
  unsigned long error = 0;

  explicit operator bool() const noexcept { return failure == TFailure::None; }
  std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data.get()), size}; }
};

// Reads the file at `path` when it holds at most `maxSize` bytes, into the
// memory of `reuse` when it holds enough (files read one after another need
// not each take fresh memory, which is touched a page fault at a time), into
// fresh memory otherwise.
TWholeFile ReadWholeFile(const std::filesystem::path& path, std::uint64_t maxSize, TWholeFile reuse = {});

namespace detail {
// Gives `file` room for `size` bytes: `reuse`'s memory when it is enough, else
// new memory (after `reuse`'s is given back).
inline void MakeRoom(TWholeFile& file, TWholeFile& reuse, std::size_t size) {
  if (reuse.data && reuse.capacity >= size) {
    file.data = std::move(reuse.data);
    file.capacity = reuse.capacity;
  } else {
    reuse.data.reset();
    file.data.reset(new std::uint8_t[size]);
    file.capacity = size;
  }
  file.size = size;
}
}  // namespace detail

}  // namespace skan::base
