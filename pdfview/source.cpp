#include "source.h"

#include <algorithm>
#include <cstring>

namespace skan::pdfview {

size_t TMemorySource::Read(uint64_t offset, void* buffer, size_t size) {
  if (offset >= data_.size()) return 0;
  size_t n = static_cast<size_t>(std::min<uint64_t>(size, data_.size() - offset));
  std::memcpy(buffer, data_.data() + offset, n);
  return n;
}

namespace {
// Large enough that a typical object or cross-reference section is one read.
constexpr size_t kWindowBytes = 64 * 1024;
}  // namespace

TInput::TInput(IByteSource& source) : source_(&source), size_(source.Size()) {}

TInput::TInput(std::string_view memory) : size_(memory.size()), view_(memory) {}

int TInput::Load(uint64_t pos) {
  if (!source_ || pos >= size_) return -1;
  buffer_.resize(kWindowBytes);
  size_t n = source_->Read(pos, buffer_.data(), buffer_.size());
  buffer_.resize(n);
  base_ = pos;
  view_ = buffer_;
  if (n == 0) return -1;
  return static_cast<unsigned char>(view_[0]);
}

std::string TInput::Read(uint64_t pos, size_t size) {
  std::string out;
  Read(pos, size, out);
  return out;
}

void TInput::Read(uint64_t pos, size_t size, std::string& out) {
  out.clear();
  if (pos >= size_) return;
  size = static_cast<size_t>(std::min<uint64_t>(size, size_ - pos));
  if (!source_) {
    out.assign(view_.substr(static_cast<size_t>(pos), size));
    return;
  }
  out.resize(size);
  out.resize(source_->Read(pos, out.data(), size));
}

}  // namespace skan::pdfview
