// Reads a document and draws its pages on a worker thread of its own, so the
// window that shows them never waits for the file or a decoder. The window
// says which pages it wants at which width; the worker draws the most wanted
// first and hands each result back through a queue. A page seen for the first
// time comes twice: a quick preview at half the width, then the page itself. The worker never calls
// into the window: `notify` runs on the worker and must only post a wake-up
// (PostMessage on Windows), after which the window takes the results.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "error.h"
#include "render.h"

namespace skan::pdfview {

class TDocument;

struct TLoadResult {
  enum Type { Opened, PagesKnown, OpenFailed, Page, PageFailed };
  Type type = Opened;
  uint64_t generation = 0;
  // Opened, PagesKnown: each page's size as shown, in points. When the first
  // page is drawn at once, the document opens with its first page read and
  // the rest of its pages stand in at the first one's size, as many as the
  // page tree says; PagesKnown follows, after the first page, with every
  // page as read (or OpenFailed, when the rest of the page tree is damaged).
  std::vector<std::pair<double, double>> pageSizes;
  // OpenFailed, PageFailed: why.
  TErrorKind error = TErrorKind::Damaged;
  std::string detail;
  // Page, PageFailed.
  size_t page = 0;
  int width = 0;
  TRaster raster;
};

class TPageLoader {
 public:
  explicit TPageLoader(std::function<void()> notify);
  TPageLoader(const TPageLoader&) = delete;
  TPageLoader& operator=(const TPageLoader&) = delete;
  // Stops the worker; a page being drawn is abandoned.
  ~TPageLoader();

  // Forgets the current document and reads the one at `path`. Results of
  // earlier generations are dropped. With `firstWidth`, the first page is
  // drawn that wide as soon as the document is open, unless a Want says
  // otherwise: the window need not answer the opening first.
  void Open(std::filesystem::path path, uint64_t generation, int firstWidth = 0);
  // The pages wanted now, most wanted first, drawn `width` pixels wide.
  // Replaces the previous wish; pages no longer wanted are abandoned.
  void Want(std::vector<size_t> pages, int width);
  // Results since the last call, oldest first.
  std::vector<TLoadResult> Take();
  // A page's pixels the window no longer shows: room for the next page.
  void Recycle(std::vector<uint32_t> pixels) { images_.GiveRaster(std::move(pixels)); }

 private:
  class TCancelFlag;
  class TOpenCancelFlag;
  void Run();
  bool StillWanted(uint64_t generation, size_t page, int width);
  bool StillCurrent(uint64_t generation);
  // Reads the rest of the page tree and posts PagesKnown; false (having
  // posted OpenFailed, or for a newer document) when that fails.
  bool ReadRemainingPages(uint64_t generation);
  void Post(TLoadResult result);

  std::function<void()> notify_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stop_ = false;
  // Guarded by lock_.
  bool openPending_ = false;
  std::filesystem::path path_;
  uint64_t generation_ = 0;
  std::vector<size_t> wanted_;
  int width_ = 0;
  std::vector<TLoadResult> results_;
  bool notified_ = false;  // a wake-up is on its way and not yet answered by Take
  // Worker only (but for its rasters to recycle).
  std::unique_ptr<TDocument> document_;
  TImageCache images_;
  std::vector<bool> previewed_;
  std::thread worker_;
};

}  // namespace skan::pdfview
