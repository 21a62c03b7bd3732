#include <windows.h>

#include <algorithm>
#include <memory>

#include "error.h"
#include "source.h"

namespace skan::pdfview {

namespace {

// Every kind of sharing: the share server may be sending the file and the
// host may delete it while the pane shows it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class TFileHandle {
 public:
  explicit TFileHandle(const std::filesystem::path& path)
      : h_(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  ~TFileHandle() {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
  int64_t Size() const {
    LARGE_INTEGER size;
    return GetFileSizeEx(h_, &size) ? size.QuadPart : -1;
  }

 private:
  HANDLE h_;
};

class TFileSource final : public IByteSource {
 public:
  TFileSource(std::filesystem::path path, uint64_t size) : path_(std::move(path)), size_(size) {}
  uint64_t Size() const override { return size_; }
  void Close() override { file_.reset(); }

  size_t Read(uint64_t offset, void* buffer, size_t size) override {
    if (offset >= size_) return 0;
    if (!file_) {
      auto file = std::make_unique<TFileHandle>(path_);
      if (!file->valid()) Fail(TErrorKind::Unreadable, "the file cannot be opened");
      if (file->Size() != static_cast<int64_t>(size_)) Damaged("the file changed while it was read");
      file_ = std::move(file);
    }
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    size_t done = 0;
    auto* out = static_cast<char*>(buffer);
    while (done < size) {
      DWORD n = 0;
      DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      if (!ReadFile(file_->get(), out + done, want, &n, &at) || n == 0) break;
      done += n;
      uint64_t next = offset + done;
      at.Offset = static_cast<DWORD>(next);
      at.OffsetHigh = static_cast<DWORD>(next >> 32);
    }
    return done;
  }

 private:
  std::filesystem::path path_;
  uint64_t size_;
  std::unique_ptr<TFileHandle> file_;
};

}  // namespace

std::unique_ptr<IByteSource> OpenFileSource(const std::filesystem::path& path) {
  TFileHandle file(path);
  if (!file.valid()) Fail(TErrorKind::Unreadable, "the file cannot be opened");
  int64_t size = file.Size();
  if (size < 0) Fail(TErrorKind::Unreadable, "the file cannot be read");
  return std::make_unique<TFileSource>(path, static_cast<uint64_t>(size));
}

}  // namespace skan::pdfview
