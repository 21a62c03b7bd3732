#include <cstdio>

#include "error.h"
#include "source.h"

namespace pdfview {

namespace {

class TFileSource final : public IByteSource {
 public:
  TFileSource(std::filesystem::path path, uint64_t size) : path_(std::move(path)), size_(size) {}
  uint64_t Size() const override { return size_; }

  size_t Read(uint64_t offset, void* buffer, size_t size) override {
    if (offset >= size_) return 0;
    FILE* f = std::fopen(path_.c_str(), "rb");
    if (!f) Fail(TErrorKind::Unreadable, "the file cannot be opened");
    size_t n = 0;
    if (std::fseek(f, 0, SEEK_END) == 0 && static_cast<uint64_t>(std::ftell(f)) == size_ &&
        std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
      n = std::fread(buffer, 1, size, f);
    } else {
      std::fclose(f);
      Damaged("the file changed while it was read");
    }
    std::fclose(f);
    return n;
  }

 private:
  std::filesystem::path path_;
  uint64_t size_;
};

}  // namespace

std::unique_ptr<IByteSource> OpenFileSource(const std::filesystem::path& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) Fail(TErrorKind::Unreadable, "the file cannot be opened");
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  std::fclose(f);
  if (size < 0) Fail(TErrorKind::Unreadable, "the file cannot be read");
  return std::make_unique<TFileSource>(path, static_cast<uint64_t>(size));
}

}  // namespace pdfview
