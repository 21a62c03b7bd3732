#include "pdf_store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
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

// The system's text for the last failure of the calling thread, and its code.
std::string LastFailure(uint32_t& code) {
  const int error = errno;
#ifdef _WIN32
  // The C runtime's writes leave the system's own code behind them; its
  // errno is the fallback for what never reached the system.
  DWORD system = GetLastError();
  if (!system && error == ENOSPC) system = ERROR_DISK_FULL;
  if (system) {
    char* buffer = nullptr;
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, system, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = n && buffer ? std::string(buffer, n) : std::string();
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty()) {
      code = system;
      return text;
    }
  }
#endif
  code = kErrWriteFault;
  return error ? std::strerror(error) : "unknown error";
}

}  // namespace

void FailFile(const char* verb, const std::string& name) {
  uint32_t code = 0;
  const std::string text = LastFailure(code);
  throw TPdfError(code, std::string("pdfwriter: cannot ") + verb + " \"" + name + "\": " + text);
}

void TStringSink::Write(const void* data, size_t size) {
  data_.append(static_cast<const char*>(data), size);
  position_ += size;
}

void TFileSink::Write(const void* data, size_t size) {
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) FailFile("write", name_);
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
    if (SeekEnd(file_) != 0) FailFile("write", name_);
    atEnd_ = true;
  }
  uint64_t offset = end_;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) FailFile("write", name_);
  end_ += size;
  return offset;
}

void TFileStore::CopyTo(uint64_t offset, uint64_t size, TSink& sink) {
  if (offset > end_ || size > end_ - offset) throw TPdfError(kErrReadFault, "pdfwriter: stored stream out of range");
  // What the C runtime holds back is written first: a full disk shows here.
  if (std::fflush(file_) != 0) FailFile("write", name_);
  if (Seek(file_, offset) != 0) FailFile("read", name_);
  atEnd_ = false;
  std::vector<char> buffer(1 << 16);
  while (size > 0) {
    size_t chunk = size < buffer.size() ? static_cast<size_t>(size) : buffer.size();
    if (std::fread(buffer.data(), 1, chunk, file_) != chunk) {
      if (!std::ferror(file_)) {  // shorter than what was stored
        errno = EIO;
#ifdef _WIN32
        SetLastError(ERROR_HANDLE_EOF);
#endif
      }
      FailFile("read", name_);
    }
    sink.Write(buffer.data(), chunk);
    size -= chunk;
  }
}

TPdfFileStore::TPdfFileStore(std::FILE* file, std::string name) : TFileStore(file, std::move(name)) {
  Append(kPdfHeader.data(), kPdfHeader.size());
}

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
  if (std::fflush(File()) != 0) FailFile("write", Name());
}

std::unique_ptr<TByteStore> MakeSpillStore() {
  std::FILE* file = nullptr;
  std::string path;
#ifdef _WIN32
  // "D": the C runtime opens the file delete-on-close, so it goes away with
  // the store (or with the process).
  wchar_t folder[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, folder);
  if (n > 0 && n <= MAX_PATH && GetTempFileNameW(folder, L"pdw", 0, name) != 0) {
    file = _wfopen(name, L"w+bD");
    if (!file) DeleteFileW(name);
    char ansi[MAX_PATH * 2 + 1] = "";
    WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, nullptr, nullptr);
    path = ansi;
  }
#else
  // Removed at once: the open stream keeps it until the store closes it.
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/pdwXXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd != -1) {
    unlink(pattern.c_str());
    file = fdopen(fd, "w+b");
    if (!file) close(fd);
    path = pattern;
  }
#endif
  if (!file) return std::make_unique<TMemoryStore>();
  return std::make_unique<TFileStore>(file, path);
}

}  // namespace skan::pdfwriter
