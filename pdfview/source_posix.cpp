#include <cstdio>

#include "error.h"
#include "source.h"

namespace skan::pdfview {

namespace {

class TFileSource final : public IByteSource {
 public:
  TFileSource(std::filesystem::path path, uint64_t size) : path_(std::move(path)), size_(size) {}
  TFileSource(const TFileSource&) = delete;
  TFileSource& operator=(const TFileSource&) = delete;
  ~TFileSource() override { Close(); }
  uint64_t Size() const override { return size_; }
  void Close() override {
    if (file_) std::fclose(file_);
    file_ = nullptr;
  }

  size_t Read(uint64_t offset, void* buffer, size_t size) override {
    if (offset >= size_) return 0;
    if (!file_) {
      file_ = std::fopen(path_.c_str(), "rb");
      if (!file_) Fail(TErrorKind::Unreadable, "the file cannot be opened");
      if (std::fseek(file_, 0, SEEK_END) != 0 || static_cast<uint64_t>(std::ftell(file_)) != size_) {
        Close();
        Damaged("the file changed while it was read");
      }
    }
    if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return 0;
    return std::fread(buffer, 1, size, file_);
  }

 private:
  std::filesystem::path path_;
  uint64_t size_;
  FILE* file_ = nullptr;
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

}  // namespace skan::pdfview
