// The words of each page for the document's text layer. One object serves a
// batch: the pipeline's worker reads the pages as they land, and the
// assembly at the end reads them when it draws the pages itself. A page that
// cannot be read goes into the document without text; why is noted for the
// window's log.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "dib_reader.h"
#include "ocr_engine.h"

namespace skan {

class TPageOcr {
 public:
  // `languages` as the request gave them ("pol+eng"); models in `dataFolder`
  // (UTF-8). The models load at the first page.
  TPageOcr(std::string dataFolder, std::string languages);
  ~TPageOcr();

  // The words of `bitmap`, the page file `page`; nullopt, with a note, when
  // they cannot be had. Safe from any thread; one page at a time.
  std::optional<ocr::TPageText> Read(const dib::TPlainBitmap& bitmap, const std::string& page) noexcept;

  // Notes one line for the log (from any thread).
  void Note(std::string line);
  // The lines noted since the last call.
  std::vector<std::string> TakeNotes();

  const std::string& Languages() const { return languages_; }

 private:
  const std::string dataFolder_, languages_;
  std::mutex mutex_;  // one page at a time, and the notes
  std::unique_ptr<ocr::TEngine> engine_;
  bool engineFailed_ = false;
  std::vector<std::string> notes_;
};

// The folder of the OCR models beside the program ("tessdata"), UTF-8.
std::string OcrDataFolder();

}  // namespace skan
