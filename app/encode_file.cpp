#include "encode_file.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>

#include "base/encoding.h"
#include "base/file_win.h"
#include "base/handles_win.h"
#include "base/system_error_win.h"
#include "work_files.h"
#endif

namespace skan {

namespace {

constexpr size_t kLineLength = 76;  // RFC 2045's limit, which the export keeps
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

namespace {

constexpr size_t kLineBytes = kLineLength / 4 * 3;  // 57 bytes make a full line

char* EncodeGroup(const uint8_t* in, char* out) {
  const uint32_t v = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
  out[0] = kAlphabet[v >> 18];
  out[1] = kAlphabet[(v >> 12) & 63];
  out[2] = kAlphabet[(v >> 6) & 63];
  out[3] = kAlphabet[v & 63];
  return out + 4;
}

size_t Base64LinesSize(size_t bytes) {
  const size_t chars = (bytes + 2) / 3 * 4;
  return chars + chars / kLineLength * 2;
}

}  // namespace

std::string Base64Lines(std::string_view bytes) {
  std::string out;
  AppendBase64Lines(bytes, out);
  return out;
}

void AppendBase64Lines(std::string_view bytes, std::string& text) {
  const size_t start = text.size();
  text.resize(start + Base64LinesSize(bytes.size()));
  const std::string_view out(text.data() + start, text.size() - start);
  const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
  const uint8_t* const end = in + bytes.size();
  char* p = text.data() + start;
  for (; static_cast<size_t>(end - in) >= kLineBytes; in += kLineBytes) {
    for (size_t g = 0; g < kLineBytes; g += 3) p = EncodeGroup(in + g, p);
    *p++ = '\r';
    *p++ = '\n';
  }
  for (; end - in >= 3; in += 3) p = EncodeGroup(in, p);
  if (const size_t rest = static_cast<size_t>(end - in)) {
    const uint8_t last[3] = {in[0], rest == 2 ? in[1] : uint8_t{0}, 0};
    EncodeGroup(last, p);
    p[3] = '=';
    if (rest == 1) p[2] = '=';
    p += 4;
  }
  // A last line made whole by its padding ends in CR LF too.
  if (p != out.data() + out.size()) {
    *p++ = '\r';
    *p++ = '\n';
  }
}

#ifdef _WIN32
TExportAhead::TExportAhead(std::filesystem::path file) : file_(std::move(file)) {
  out_.reset(CreateFileW(file_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ok_ = static_cast<bool>(out_);
}

TExportAhead::~TExportAhead() {
  out_.reset();
  if (!moved_) DeleteFileW(file_.c_str());
}

bool TExportAhead::Follow(const std::filesystem::path& source) {
  if (!ok_) return false;
  ok_ = false;  // until this step has succeeded
  // Shared every way: the writer keeps the file open, and may rename it.
  const base::TFileHandle in(CreateFileW(source.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{}, from{};
  from.QuadPart = static_cast<LONGLONG>(bytes_);
  if (!in || !GetFileSizeEx(in.get(), &size) || static_cast<uint64_t>(size.QuadPart) < bytes_ ||
      !SetFilePointerEx(in.get(), from, nullptr, FILE_BEGIN))
    return false;
  uint64_t left = (static_cast<uint64_t>(size.QuadPart) - bytes_) / kLineBytes * kLineBytes;
  constexpr size_t kPiece = kLineBytes << 16;  // about 3.6 MB
  while (left > 0) {
    bytesBuffer_.resize(static_cast<size_t>(std::min<uint64_t>(left, kPiece)));
    if (!base::ReadExactly(in.get(), bytesBuffer_.data(), bytesBuffer_.size())) return false;
    textBuffer_.clear();
    AppendBase64Lines(bytesBuffer_, textBuffer_);
    if (!base::WriteAll(out_.get(), textBuffer_.data(), textBuffer_.size())) return false;
    bytes_ += bytesBuffer_.size();
    left -= bytesBuffer_.size();
  }
  ok_ = true;
  return true;
}

bool TExportAhead::MoveTo(const std::filesystem::path& target) {
  if (!ok_ || moved_) return false;
  out_.reset();
  ok_ = false;  // closed: it takes nothing more
  moved_ = MoveFileExW(file_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
  return moved_;
}

TExportSource::TExportSource(const std::filesystem::path& path) : path_(path) {
  file_.reset(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    const DWORD error = GetLastError();
    throw std::runtime_error("Cannot open file \"" + base::Narrow(path.wstring()) + "\". " +
                             base::SystemMessage(error));
  }
}

TExportSource::~TExportSource() = default;

void TExportSource::SaveTo(const std::filesystem::path& target, TExportAhead* ahead, size_t piece,
                           const TExportIo& io) {
  piece = std::max<size_t>(piece / kLineBytes, 1) * kLineBytes;  // whole lines but the last
  const auto failure = [](const char* what, const std::filesystem::path& path, DWORD error) {
    return std::runtime_error(std::string(what) + " \"" + base::Narrow(path.wstring()) + "\". " +
                              base::SystemMessage(error));
  };
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file_.get(), &size) || size.QuadPart > 0x7FFFFFFF)
    throw failure("Cannot read file", path_, GetLastError() ? GetLastError() : ERROR_FILE_TOO_LARGE);

  // The export under way, beside the target; removed on every way out but
  // the last.
  struct TWork {
    std::wstring path;
    bool placed = false;
    ~TWork() {
      if (!placed && !path.empty()) DeleteFileW(path.c_str());
    }
  } work;
  try {
    work.path = MakeWorkFile(target.parent_path().wstring() + L"\\");
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("Cannot create file \"" + base::Narrow(target.wstring()) + "\". " + e.what());
  }
  base::TFileHandle out;
  uint64_t start = 0;
  if (ahead && ahead->Bytes() <= static_cast<uint64_t>(size.QuadPart) && ahead->MoveTo(work.path)) {
    out.reset(CreateFileW(work.path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER from{};
    from.QuadPart = static_cast<LONGLONG>(ahead->Bytes());
    if (out && SetFilePointerEx(out.get(), LARGE_INTEGER{}, nullptr, FILE_END) &&
        SetFilePointerEx(file_.get(), from, nullptr, FILE_BEGIN))
      start = ahead->Bytes();
    else
      out.reset();
  }
  if (!out) {
    out.reset(CreateFileW(work.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) throw failure("Cannot create file", target, GetLastError());
    if (!SetFilePointerEx(file_.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN))
      throw failure("Cannot read file", path_, GetLastError());
  }
  std::string bytes, text;
  uint64_t left = static_cast<uint64_t>(size.QuadPart) - start;
  while (left > 0) {
    bytes.resize(static_cast<size_t>(std::min<uint64_t>(left, piece)));
    if (!io.read(file_.get(), bytes.data(), bytes.size())) throw failure("Cannot read file", path_, GetLastError());
    left -= bytes.size();
    text.clear();  // its memory serves every piece
    AppendBase64Lines(bytes, text);
    if (left == 0) text = ExportText(std::move(text));
    if (!io.write(out.get(), text.data(), text.size())) throw failure("Cannot write file", target, GetLastError());
  }
  // A write the system held back may fail as the file closes.
  if (!CloseHandle(out.release())) throw failure("Cannot write file", target, GetLastError());
  if (!MoveFileExW(work.path.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
    throw failure("Cannot create file", target, GetLastError());
  work.placed = true;
}
#endif

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.emplace_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

std::string JoinLinesCrLf(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

std::string ExportText(std::string text) {
  if (!text.empty() && !text.ends_with("\r\n")) text += "\r\n";
  return text;
}

}  // namespace skan
