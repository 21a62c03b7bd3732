// Assembly ahead of the batch's end: while the scanner delivers pages, a
// worker thread draws each finished page file into a document of its own,
// which the library writes into a work file in the temporary folder as the
// pages come, so that at the end of the batch only the PDF's last objects
// are left to write and the work file takes the PDF's name. Nothing else of
// it shows: the work file has a name of its own and goes on every way out,
// and at the end the document is used only when its pages are exactly the
// page list's and every page file is still the one that was read; otherwise
// (or after any failure on the worker) the assembly runs as usual at the
// end, with its failures. The Base64 export of the work file is made as it
// grows, in a second work file, so that at the end only its last lines are;
// it runs when no page has come for a moment, so that it neither delays a
// page nor competes with the last page's compression at the batch's end.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "create_valid_pdf.h"
#include "encode_file.h"

namespace skan {

namespace pdf {
class TPdfWriter;
}
class TPageOcr;

// Which file a path named, as far as a later look can tell a replaced or
// rewritten file from the one read.
struct TFileIdentity {
  DWORD volume = 0, indexHigh = 0, indexLow = 0;
  DWORD sizeHigh = 0, sizeLow = 0;
  FILETIME written{};
  bool operator==(const TFileIdentity& o) const;
};
// False when the file cannot be opened.
bool IdentifyFile(const std::wstring& path, TFileIdentity& id);

// True when the file at `path` is a whole PDF as the library writes one: its
// header, and at its end "startxref", the offset of its cross-reference table
// and "%%EOF". A file cut short (the library stopped half way) is not.
bool IsWholePdfFile(const std::wstring& path);

class TPagePipeline {
 public:
  // How the document is closed at the end: the library's Close, which
  // completes the work file. Tests put in one that fails as a library might.
  using TClose = std::function<void(pdf::TPdfWriter&)>;

  // The work file goes in `workFolder`, where the PDF is made at the end;
  // every page is drawn with the library's `drawFlags`. With `ocr`, each
  // page's words are read as it is drawn (page_ocr.h).
  explicit TPagePipeline(std::wstring workFolder, TClose close = nullptr, uint32_t drawFlags = 0,
                         std::shared_ptr<TPageOcr> ocr = nullptr);
  // Stops the worker after its current page and waits for it.
  ~TPagePipeline();
  TPagePipeline(const TPagePipeline&) = delete;
  TPagePipeline& operator=(const TPagePipeline&) = delete;

  // A page file is complete: it joins the document in the background.
  void PageFileWritten(const std::wstring& page);

  // The end of the batch: the PDF of `lista`, saved as CreateValidPDF saves
  // it (which it is when the prepared document cannot be used), with the same
  // result and failures.
  std::wstring CreateValidPDF(const std::vector<std::wstring>& lista, const std::wstring& tempFolder);

  // After CreateValidPDF: the export of the PDF's first bytes, made while its
  // pages came, when the PDF it returned is the one drawn ahead (every other
  // way gives the export up); else null.
  std::unique_ptr<TExportAhead> TakeExportAhead();

  // Waits until the queued pages are drawn; how many are (for tests).
  size_t WaitIdle();

 private:
  struct TPrepared {
    std::wstring path;
    TFileIdentity id;
  };
  void Run();
  bool Usable(const std::vector<std::wstring>& lista);
  // Gives up the document and removes its work file.
  void Abandon();
  // The export follows the work file; true when it found more to export.
  bool FollowWorkFile();

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<std::wstring> queue_;
  bool busy_ = false, stop_ = false, failed_ = false;
  bool closing_ = false;  // the batch's end has come: the export follows no more
  // Touched only by the worker while it runs, and by the caller once it is idle.
  const std::wstring workFolder_;
  const TClose close_;
  const uint32_t drawFlags_;
  const std::shared_ptr<TPageOcr> ocr_;
  std::wstring workFile_;                      // set while a work file exists
  std::unique_ptr<TExportAhead> exportAhead_;  // follows the work file
  std::unique_ptr<pdf::TPdfWriter> pdf_;
  std::vector<TPrepared> prepared_;
  TPageFileBuffers buffers_;
  std::thread worker_;  // last: started after everything it uses
};

// The pipeline of the running batch as the window holds it: made at the
// batch's first page file. It is there for speed only, so when it cannot be
// set up or cannot take a page (no thread to be had, no memory) it is given
// up for the rest of the batch, never taking down the batch with it, and
// completion assembles every page itself.
class TBatchPipeline {
 public:
  using TMake = std::function<std::unique_ptr<TPagePipeline>()>;
  explicit TBatchPipeline(TMake make) : make_(std::move(make)) {}

  // A page file is complete. Never raises.
  void PageFileWritten(const std::wstring& page) noexcept;
  // The batch's pipeline, or null when there is none; the next page file
  // begins the next batch.
  std::unique_ptr<TPagePipeline> Take() noexcept;

 private:
  TMake make_;
  std::unique_ptr<TPagePipeline> pipeline_;
  bool givenUp_ = false;
};

}  // namespace skan
