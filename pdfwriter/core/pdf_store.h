// Byte sinks the serialiser writes to, and the store that keeps finished
// image streams out of memory until the document is saved.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace skan::pdfwriter {

// Raised for every failure inside the PDF core; the library turns it into an
// error report through the context's error function.
class TPdfError : public std::runtime_error {
 public:
  TPdfError(uint32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
  uint32_t code() const { return code_; }

 private:
  uint32_t code_;
};

// Windows error codes, so the binding's callers see familiar numbers.
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrNotSupported = 50;
inline constexpr uint32_t kErrWriteFault = 29;
inline constexpr uint32_t kErrReadFault = 30;
inline constexpr uint32_t kErrInvalidFunction = 1;
inline constexpr uint32_t kErrNotEnoughMemory = 8;
inline constexpr uint32_t kErrInsufficientBuffer = 122;

class TSink {
 public:
  virtual ~TSink() = default;
  virtual void Write(const void* data, size_t size) = 0;
  void Write(std::string_view s) { Write(s.data(), s.size()); }
  uint64_t Position() const { return position_; }

 protected:
  uint64_t position_ = 0;
};

class TStringSink : public TSink {
 public:
  void Write(const void* data, size_t size) override;
  using TSink::Write;
  std::string& Data() { return data_; }

 private:
  std::string data_;
};

// Writes to a stdio stream it does not own; a short write raises.
class TFileSink : public TSink {
 public:
  explicit TFileSink(std::FILE* file) : file_(file) {}
  void Write(const void* data, size_t size) override;
  using TSink::Write;

 private:
  std::FILE* file_;
};

// Append-only byte store; ranges handed out by Append are copied back by CopyTo.
class TByteStore {
 public:
  virtual ~TByteStore() = default;
  virtual uint64_t Append(const void* data, size_t size) = 0;  // returns the offset
  virtual void CopyTo(uint64_t offset, uint64_t size, TSink& sink) = 0;
};

class TMemoryStore : public TByteStore {
 public:
  uint64_t Append(const void* data, size_t size) override;
  void CopyTo(uint64_t offset, uint64_t size, TSink& sink) override;

 private:
  std::string bytes_;
};

// Backed by a temporary file that the store owns and closes (the file is
// opened as delete-on-close by whoever creates it).
class TFileStore : public TByteStore {
 public:
  explicit TFileStore(std::FILE* file) : file_(file) {}
  ~TFileStore() override;
  TFileStore(const TFileStore&) = delete;
  TFileStore& operator=(const TFileStore&) = delete;
  uint64_t Append(const void* data, size_t size) override;
  void CopyTo(uint64_t offset, uint64_t size, TSink& sink) override;

 private:
  std::FILE* file_;
  uint64_t end_ = 0;
  bool atEnd_ = true;
};

// A file store on an anonymous temporary file, or a memory store when no
// temporary file can be had.
std::unique_ptr<TByteStore> MakeSpillStore();

}  // namespace skan::pdfwriter
