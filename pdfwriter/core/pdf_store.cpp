#include "pdf_store.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace skan::pdfwriter {

namespace {

int Seek(std::FILE* f, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET);
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET);
#endif
}

int SeekEnd(std::FILE* f) {
#ifdef _WIN32
  return _fseeki64(f, 0, SEEK_END);
#else
  return fseeko(f, 0, SEEK_END);
#endif
}

}  // namespace

void TStringSink::Write(const void* data, size_t size) {
  data_.append(static_cast<const char*>(data), size);
  position_ += size;
}

void TFileSink::Write(const void* data, size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, file_) != size)
    throw TPdfError(kErrWriteFault, "pdfwriter: writing the PDF file failed");
  position_ += size;
}

std::string StreamObjectHead(const TObjectFrame& frame, uint64_t length) {
  return std::to_string(frame.object) + " 0 obj\n" + frame.dictionary + " /Length " + std::to_string(length) +
         " >>\nstream\n";
}

uint64_t TMemoryStore::Append(const void* data, size_t size) {
  uint64_t offset = bytes_.size();
  if (size != 0) bytes_.append(static_cast<const char*>(data), size);
  return offset;
}

void TMemoryStore::CopyTo(uint64_t offset, uint64_t size, TSink& sink) {
  if (offset > bytes_.size() || size > bytes_.size() - offset)
    throw TPdfError(kErrReadFault, "pdfwriter: stored stream out of range");
  sink.Write(bytes_.data() + offset, static_cast<size_t>(size));
}

TFileStore::~TFileStore() {
  if (file_) std::fclose(file_);
}

uint64_t TFileStore::Append(const void* data, size_t size) {
  if (!atEnd_) {
    if (SeekEnd(file_) != 0) throw TPdfError(kErrWriteFault, "pdfwriter: temporary file cannot be written");
    atEnd_ = true;
  }
  uint64_t offset = end_;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size)
    throw TPdfError(kErrWriteFault, "pdfwriter: temporary file cannot be written (disk full?)");
  end_ += size;
  return offset;
}

void TFileStore::CopyTo(uint64_t offset, uint64_t size, TSink& sink) {
  if (offset > end_ || size > end_ - offset) throw TPdfError(kErrReadFault, "pdfwriter: stored stream out of range");
  if (std::fflush(file_) != 0 || Seek(file_, offset) != 0)
    throw TPdfError(kErrReadFault, "pdfwriter: temporary file cannot be read");
  atEnd_ = false;
  std::vector<char> buffer(1 << 16);
  while (size > 0) {
    size_t chunk = size < buffer.size() ? static_cast<size_t>(size) : buffer.size();
    if (std::fread(buffer.data(), 1, chunk, file_) != chunk)
      throw TPdfError(kErrReadFault, "pdfwriter: temporary file cannot be read");
    sink.Write(buffer.data(), chunk);
    size -= chunk;
  }
}

TPdfFileStore::TPdfFileStore(std::FILE* file) : TFileStore(file) { Append(kPdfHeader.data(), kPdfHeader.size()); }

uint64_t TPdfFileStore::AppendObject(const TObjectFrame& frame, const void* data, size_t size) {
  if (frame.object >= objectOffsets_.size()) objectOffsets_.resize(frame.object + 1, 0);
  const uint64_t begin = End();
  const std::string head = StreamObjectHead(frame, size);
  try {
    Append(head.data(), head.size());
    const uint64_t offset = Append(data, size);
    Append(kStreamObjectTail.data(), kStreamObjectTail.size());
    Flush();  // whole objects reach the file as they are made
    objectOffsets_[frame.object] = begin;
    return offset;
  } catch (...) {
    intact_ = false;
    throw;
  }
}

void TPdfFileStore::Flush() {
  if (std::fflush(File()) != 0) throw TPdfError(kErrWriteFault, "pdfwriter: writing the PDF file failed");
}

std::unique_ptr<TByteStore> MakeSpillStore() {
  std::FILE* file = nullptr;
#ifdef _WIN32
  // "D": the C runtime opens the file delete-on-close, so it goes away with
  // the store (or with the process).
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n > 0 && n <= MAX_PATH && GetTempFileNameW(folder, L"pdw", 0, name) != 0) {
    file = _wfopen(name, L"w+bD");
    if (!file) DeleteFileW(name);
  }
#else
  file = std::tmpfile();
#endif
  if (!file) return std::make_unique<TMemoryStore>();
  return std::make_unique<TFileStore>(file);
}

}  // namespace skan::pdfwriter
