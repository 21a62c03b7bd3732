// A private copy of a document, taken when the person confirms it, so that
// what the share server hands out is exactly what was confirmed: a later scan
// that replaces or deletes the original changes nothing here.
#pragma once

#include <filesystem>
#include <memory>

namespace skan::share {

class TFileSnapshot {
 public:
  // Copies `source` into a new file of the temporary folder; raises
  // TShareException naming the file when it cannot be read or copied.
  explicit TFileSnapshot(const std::filesystem::path& source);
  // The copy goes. On Windows it was opened for deletion at close, so the
  // system also removes it when the process is killed; a reader that still
  // has it open finishes first.
  ~TFileSnapshot();
  TFileSnapshot(const TFileSnapshot&) = delete;
  TFileSnapshot& operator=(const TFileSnapshot&) = delete;

  // Where the copy is; open it for reading only (TFileForSending does).
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
#ifdef _WIN32
  void* keeper_ = nullptr;  // holds the copy; it is deleted when this closes
#endif
};

}  // namespace skan::share
