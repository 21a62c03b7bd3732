// The Base64 export of a scan's PDF: standard Base64 (RFC 4648, section 4)
// in lines of 76 characters separated by CR LF.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <functional>

#include "base/file_win.h"
#include "base/handles_win.h"
#endif

namespace skan {

// Base64 text of `bytes`, CR LF after every complete 76-character line (also
// when the text ends there); the last, shorter line has none.
std::string Base64Lines(std::string_view bytes);
// The same appended to `text`.
void AppendBase64Lines(std::string_view bytes, std::string& text);

#ifdef _WIN32
// The export of a growing file's first bytes, made while the file is written
// (the file only grows, and what is in it is final): whole lines for the
// first Bytes() bytes, in a file of its own that TExportSource::SaveTo makes
// the export. The file is removed unless it became one.
class TExportAhead {
 public:
  // `file` is made (or emptied) now.
  explicit TExportAhead(std::filesystem::path file);
  ~TExportAhead();
  TExportAhead(const TExportAhead&) = delete;
  TExportAhead& operator=(const TExportAhead&) = delete;

  // Exports what `source` holds beyond Bytes(), in whole lines. False once
  // anything failed: the export ahead is of no use then.
  bool Follow(const std::filesystem::path& source);
  uint64_t Bytes() const { return bytes_; }
  // Gives the file the name `target`, replacing what was there; false when
  // it cannot.
  bool MoveTo(const std::filesystem::path& target);

 private:
  std::filesystem::path file_;
  base::TFileHandle out_;
  uint64_t bytes_ = 0;
  bool ok_ = true, moved_ = false;
  std::string bytesBuffer_, textBuffer_;
};

// How an export reads its source and writes its file: whole reads and writes
// on a handle, false with the thread's last error set when they cannot.
// Tests put failing ones in.
struct TExportIo {
  std::function<bool(HANDLE file, void* data, size_t size)> read = base::ReadExactly;
  std::function<bool(HANDLE file, const void* data, size_t size)> write = base::WriteAll;
};

// A file opened for its Base64 export, denying others write access while it
// is open. Raises std::runtime_error with the UTF-8 text "Cannot open file
// "<path>". <system message>" when it cannot be opened.
class TExportSource {
 public:
  explicit TExportSource(const std::filesystem::path& path);
  ~TExportSource();
  TExportSource(const TExportSource&) = delete;
  TExportSource& operator=(const TExportSource&) = delete;

  // Writes the export file, ExportText(Base64Lines(<the file's bytes>)), to
  // `target`, `piece` bytes of the file at a time: a scan's PDF is never held
  // in memory whole. The export is written beside the target under a work
  // file's name (work_files.h) and takes the target's name, replacing what
  // was there, only once it is whole: whatever fails, no part of an export
  // stands at the target, and an earlier export there stays as it was.
  // Raises "Cannot create file" or "Cannot write file" with the target's
  // path, or "Cannot read file" with the source's.
  // With `ahead`, the export of the file's first bytes made earlier, only
  // the rest is read and added to it (when it cannot be moved beside the
  // target, the whole file is exported as without it).
  void SaveTo(const std::filesystem::path& target, TExportAhead* ahead = nullptr, size_t piece = size_t{57} << 14,
              const TExportIo& io = {});

 private:
  std::filesystem::path path_;
  base::TFileHandle file_;
};
#endif

// Cuts a text into lines at CR LF, a lone CR or a lone LF; a break at the very
// end adds no empty line.
std::vector<std::string> SplitLines(std::string_view text);

// The export file's bytes: every line followed by CR LF.
std::string JoinLinesCrLf(const std::vector<std::string>& lines);

// The export file's bytes straight from Base64Lines' text, without cutting
// it into lines: what JoinLinesCrLf(SplitLines(text)) gives, that is the
// text with CR LF after its last line too.
std::string ExportText(std::string base64Lines);

}  // namespace skan
