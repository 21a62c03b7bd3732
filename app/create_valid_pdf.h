// PDF assembly: one A4 page per page bitmap, each bitmap stretched over its
// whole page, written through the PDF-writing library to a fresh file in the
// temporary folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/file.h"

namespace skan {

namespace pdf {
class TPdfWriter;
}
class TPageOcr;

// A fresh unique name in `folder` ("tmp" + hex digits + ".tmp"), reserved by
// an empty file that stays. Raises std::runtime_error with the system's
// message when the platform cannot make one.
std::wstring MakeTempFile(const std::wstring& folder);

// Draws every bitmap of `lista` onto an A4 page and saves the PDF beside a new
// placeholder from MakeTempFile(tempFolder), with ".pdf" for its extension;
// returns that path. `drawFlags` are the library's draw flags for every page
// (PdfWriterDrawFlag_CompactImages for compact pages, none for lossless).
// With `ocr`, each page's words go invisibly over it, and a page whose text
// reads the right way up only turned is drawn turned; a page without words
// (OCR failed) is noted there and never fails the PDF. Failures are raised:
// TPdfWriterException from the library, std::runtime_error (UTF-8 text) for a
// missing or broken bitmap.
std::wstring CreateValidPDF(const std::vector<std::wstring>& lista, const std::wstring& tempFolder,
                            uint32_t drawFlags = 0, TPageOcr* ocr = nullptr);

// The same with a library object the caller made (and may have set a unit on).
std::wstring CreateValidPDF(pdf::TPdfWriter& pdf, const std::vector<std::wstring>& lista,
                            const std::wstring& tempFolder, uint32_t drawFlags = 0, TPageOcr* ocr = nullptr);

// Memory for page files read one after another. A page is tens of megabytes,
// and memory taken afresh from the system for each page costs a page fault
// per 4 KiB touched; buffers given back here serve the next pages. Keeps the
// two largest given back; safe to use from several threads.
class TPageFileBuffers {
 public:
  // The largest buffer given back, or none.
  base::TWholeFile Take();
  void Give(base::TWholeFile buffer);

 private:
  std::mutex mutex_;
  std::vector<base::TWholeFile> free_;
};

// The two halves of the assembly, for building a document page by page ahead
// of the save: one A4 page drawn from the bitmap `page` (raising the
// assembly's failures), and the save to a fresh name beside a new placeholder
// in `tempFolder`, followed by Close; returns the PDF's path. `buffers`, when
// given, lends the memory the page file is read into.
void AddPdfPage(pdf::TPdfWriter& pdf, const std::wstring& page, TPageFileBuffers* buffers = nullptr,
                uint32_t drawFlags = 0, TPageOcr* ocr = nullptr);
std::wstring SavePdf(pdf::TPdfWriter& pdf, const std::wstring& tempFolder);

// `path` with its extension replaced: cut at the last dot of the file-name
// part, or appended when that part has no dot.
std::wstring ChangeFileExt(const std::wstring& path, const std::wstring& ext);

}  // namespace skan
