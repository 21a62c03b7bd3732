// Where the reader's bytes come from: a file read piece by piece, or memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace skan::pdfview {

class IByteSource {
 public:
  virtual ~IByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads up to `size` bytes at `offset`; fewer only at the end of the data.
  virtual size_t Read(uint64_t offset, void* buffer, size_t size) = 0;
  // Ends a burst of reads: a file is closed until the next read.
  virtual void Close() {}
};

class TMemorySource final : public IByteSource {
 public:
  explicit TMemorySource(std::string data) : data_(std::move(data)) {}
  uint64_t Size() const override { return data_.size(); }
  size_t Read(uint64_t offset, void* buffer, size_t size) override;

 private:
  std::string data_;
};

// A file opened with every kind of sharing allowed for a burst of reads (the
// document's structure, one page) and closed after it: the viewer never
// locks the file against the program that writes, sends or deletes it.
// Throws TPdfError(Unreadable) when the file cannot be opened, and
// TPdfError(Damaged) when its size has changed since it was first opened.
std::unique_ptr<IByteSource> OpenFileSource(const std::filesystem::path& path);

// Random access to a source through a cached window, for the lexer.
class TInput {
 public:
  explicit TInput(IByteSource& source);
  explicit TInput(std::string_view memory);

  uint64_t Size() const { return size_; }
  // The byte at `pos`, or -1 past the end.
  int At(uint64_t pos) {
    uint64_t i = pos - base_;
    if (i < view_.size()) return static_cast<unsigned char>(view_[i]);
    return Load(pos);
  }
  // Up to `size` bytes at `pos`, read directly.
  std::string Read(uint64_t pos, size_t size);
  // The same into `out`, whose room is reused.
  void Read(uint64_t pos, size_t size, std::string& out);

 private:
  int Load(uint64_t pos);
  IByteSource* source_ = nullptr;
  uint64_t size_ = 0;
  uint64_t base_ = 0;
  std::string buffer_;
  std::string_view view_;
};

}  // namespace skan::pdfview
