// Byte sinks the serialiser writes to, and the store that keeps finished
// image streams out of memory until the document is saved.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// Failures of files: the system's code for the last failure of the calling
// thread (GetLastError, or errno where there is none) and its own text for
// it, as "pdfwriter: cannot <verb> "<name>": <text>" (a full disk says
// so). `name` is the file's path in the ANSI code page.
[[noreturn]] void FailFile(const char* verb, const std::string& name);

// Writes to a stdio stream it does not own; a short write raises, naming
// the file `name`.
class TFileSink : public TSink {
 public:
  TFileSink(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}
  void Write(const void* data, size_t size) override;
  using TSink::Write;

 private:
  std::FILE* file_;
  std::string name_;
};

// The first bytes of every PDF the library writes; the second line marks the
// file as binary for tools that guess.
inline constexpr std::string_view kPdfHeader = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";

// What makes a stored stream a PDF object: its number and its dictionary
// without /Length and the closing brackets.
struct TObjectFrame {
  uint32_t object = 0;
  std::string dictionary;
};

// The text around a stream's data in its object.
std::string StreamObjectHead(const TObjectFrame& frame, uint64_t length);
inline constexpr std::string_view kStreamObjectTail = "\nendstream\nendobj\n";

// Append-only byte store; ranges handed out by Append are copied back by CopyTo.
class TByteStore {
 public:
  virtual ~TByteStore() = default;
  virtual uint64_t Append(const void* data, size_t size) = 0;  // returns the offset
  virtual void CopyTo(uint64_t offset, uint64_t size, TSink& sink) = 0;
  // A stream that the document will write as the object `frame` describes;
  // returns the offset of the stream's data. Only a store that is the PDF
  // file itself writes the frame.
  virtual uint64_t AppendObject(const TObjectFrame& frame, const void* data, size_t size) {
    (void)frame;
    return Append(data, size);
  }
};

class TMemoryStore : public TByteStore {
 public:
  uint64_t Append(const void* data, size_t size) override;
  void CopyTo(uint64_t offset, uint64_t size, TSink& sink) override;

 private:
  std::string bytes_;
};

// Backed by a temporary file that the store owns and closes (the file is
// opened as delete-on-close by whoever creates it). `name`, the file's path,
// is what its failures name.
class TFileStore : public TByteStore {
 public:
  TFileStore(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}
  ~TFileStore() override;
  TFileStore(const TFileStore&) = delete;
  TFileStore& operator=(const TFileStore&) = delete;
  uint64_t Append(const void* data, size_t size) override;
  void CopyTo(uint64_t offset, uint64_t size, TSink& sink) override;
  uint64_t End() const { return end_; }  // the store's size

 protected:
  std::FILE* File() const { return file_; }
  const std::string& Name() const { return name_; }

 private:
  std::FILE* file_;
  std::string name_;
  uint64_t end_ = 0;
  bool atEnd_ = true;
};

// The PDF file itself, written as the document is made: the header at once,
// then each stream as its whole object, so that the save only adds the
// objects that follow the images. The file is the caller's to name, to
// close (through this store) and to remove.
class TPdfFileStore : public TFileStore {
 public:
  TPdfFileStore(std::FILE* file, std::string name);
  uint64_t AppendObject(const TObjectFrame& frame, const void* data, size_t size) override;
  // Where object `object`'s "N 0 obj" begins; 0 for an object not written.
  uint64_t ObjectOffset(uint32_t object) const { return object < objectOffsets_.size() ? objectOffsets_[object] : 0; }
  // False once a write has failed: the file may hold part of an object.
  bool Intact() const { return intact_; }
  // Writes out what the C runtime holds back; a failure raises.
  void Flush();

 private:
  std::vector<uint64_t> objectOffsets_;
  bool intact_ = true;
};

// A file store on an anonymous temporary file, or a memory store when no
// temporary file can be had.
std::unique_ptr<TByteStore> MakeSpillStore();

}  // namespace skan::pdfwriter
