#include "page_loader.h"

#include <algorithm>

#include "document.h"

namespace skan::pdfview {

class TPageLoader::TCancelFlag final : public TCancel {
 public:
  TCancelFlag(TPageLoader& owner, uint64_t generation, size_t page, int width)
      : owner_(owner), generation_(generation), page_(page), width_(width) {}
  bool Cancelled() const override { return !owner_.StillWanted(generation_, page_, width_); }

 private:
  TPageLoader& owner_;
  uint64_t generation_;
  size_t page_;
  int width_;
};

class TPageLoader::TOpenCancelFlag final : public TCancel {
 public:
  TOpenCancelFlag(TPageLoader& owner, uint64_t generation) : owner_(owner), generation_(generation) {}
  bool Cancelled() const override { return !owner_.StillCurrent(generation_); }

 private:
  TPageLoader& owner_;
  uint64_t generation_;
};

namespace {

std::vector<std::pair<double, double>> SizesOf(const TDocument& document, size_t count) {
  std::vector<std::pair<double, double>> sizes;
  for (size_t i = 0; i < count; ++i) {
    const TPage& page = document.Page(std::min(i, document.PageCount() - 1));
    sizes.emplace_back(page.Width(), page.Height());
  }
  return sizes;
}

}  // namespace

TPageLoader::TPageLoader(std::function<void()> notify) : notify_(std::move(notify)) {
  worker_ = std::thread([this] { Run(); });
}

TPageLoader::~TPageLoader() {
  {
    std::lock_guard guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void TPageLoader::Open(std::filesystem::path path, uint64_t generation, int firstWidth) {
  {
    std::lock_guard guard(lock_);
    path_ = std::move(path);
    generation_ = generation;
    openPending_ = true;
    wanted_.clear();
    if (firstWidth > 0) wanted_.push_back(0);
    width_ = firstWidth;
    results_.clear();
  }
  wake_.notify_all();
}

void TPageLoader::Want(std::vector<size_t> pages, int width) {
  {
    std::lock_guard guard(lock_);
    // A page already drawn and waiting in the queue is not drawn again.
    pages.erase(std::remove_if(pages.begin(), pages.end(),
                               [&](size_t p) {
                                 return std::any_of(results_.begin(), results_.end(), [&](const TLoadResult& r) {
                                   return (r.type == TLoadResult::Page && r.page == p && r.width == width) ||
                                          (r.type == TLoadResult::PageFailed && r.page == p);
                                 });
                               }),
                pages.end());
    wanted_ = std::move(pages);
    width_ = width;
  }
  wake_.notify_all();
}

std::vector<TLoadResult> TPageLoader::Take() {
  std::lock_guard guard(lock_);
  notified_ = false;
  return std::exchange(results_, {});
}

bool TPageLoader::StillWanted(uint64_t generation, size_t page, int width) {
  std::lock_guard guard(lock_);
  return !stop_ && !openPending_ && generation == generation_ && width == width_ &&
         std::find(wanted_.begin(), wanted_.end(), page) != wanted_.end();
}

bool TPageLoader::StillCurrent(uint64_t generation) {
  std::lock_guard guard(lock_);
  return !stop_ && !openPending_ && generation == generation_;
}

bool TPageLoader::ReadRemainingPages(uint64_t generation) {
  TLoadResult result;
  result.generation = generation;
  try {
    document_->ReadRemainingPages(TOpenCancelFlag(*this, generation));
    result.type = TLoadResult::PagesKnown;
    result.pageSizes = SizesOf(*document_, document_->PageCount());
    previewed_.resize(document_->PageCount(), false);
    Post(std::move(result));
    return true;
  } catch (const TPdfError& e) {
    if (e.Kind() == TErrorKind::Cancelled) return false;
    result.type = TLoadResult::OpenFailed;
    result.error = e.Kind();
    result.detail = e.what();
  } catch (const std::bad_alloc&) {
    result.type = TLoadResult::OpenFailed;
    result.error = TErrorKind::TooLarge;
  }
  // As if the document had failed to open: nothing more is drawn from it.
  document_.reset();
  Post(std::move(result));
  return false;
}

void TPageLoader::Post(TLoadResult result) {
  bool notify = false;
  {
    std::lock_guard guard(lock_);
    if (result.generation != generation_ || openPending_) return;  // outdated
    results_.push_back(std::move(result));
    notify = !notified_;
    notified_ = true;
  }
  if (notify && notify_) notify_();
}

void TPageLoader::Run() {
  for (;;) {
    std::filesystem::path path;
    uint64_t generation = 0;
    size_t page = 0;
    int width = 0;
    bool open = false, firstAtOnce = false, anyWanted = false;
    {
      std::unique_lock guard(lock_);
      wake_.wait(guard, [&] {
        if (stop_ || openPending_) return true;
        return document_ && (!wanted_.empty() || !document_->AllPagesRead());
      });
      if (stop_) return;
      generation = generation_;
      anyWanted = !wanted_.empty();
      if (openPending_) {
        open = true;
        openPending_ = false;
        path = path_;
        firstAtOnce = anyWanted && wanted_.front() == 0;
      } else if (anyWanted) {
        page = wanted_.front();
        width = width_;
      }
    }
    if (open) {
      document_.reset();
      TLoadResult result;
      result.generation = generation;
      try {
        // With the first page wanted at once, the rest of the page tree is
        // read once that page is drawn.
        auto document = std::make_unique<TDocument>(OpenFileSource(path), TNeverCancel(),
                                                    firstAtOnce ? TPageReading::First : TPageReading::All);
        result.type = TLoadResult::Opened;
        result.pageSizes = SizesOf(*document, document->ExpectedPageCount());
        previewed_.assign(result.pageSizes.size(), false);
        images_.Clear();
        document_ = std::move(document);
      } catch (const TPdfError& e) {
        result.type = TLoadResult::OpenFailed;
        result.error = e.Kind();
        result.detail = e.what();
      } catch (const std::bad_alloc&) {
        result.type = TLoadResult::OpenFailed;
        result.error = TErrorKind::TooLarge;
      }
      Post(std::move(result));
      continue;
    }
    // Only the first page is drawn before the rest of the page tree is read.
    if (!document_->AllPagesRead() && (!anyWanted || page != 0)) {
      ReadRemainingPages(generation);
      continue;
    }
    TLoadResult result;
    result.generation = generation;
    result.page = page;
    result.width = width;
    bool cancelled = false;
    // A preview first, unless the page was shown before (a new width: the
    // old picture is on screen, stretched, meanwhile).
    const bool preview = page < previewed_.size() && !previewed_[page] && width >= 64;
    if (page >= document_->PageCount()) {
      result.type = TLoadResult::PageFailed;
    } else {
      try {
        TCancelFlag cancel(*this, generation, page, width);
        if (preview) {
          previewed_[page] = true;
          TLoadResult quick = result;
          quick.width = width / 2;
          // Drawn from the images averaged down for the page itself: one decode serves both.
          quick.raster = RenderPage(*document_, page, quick.width, cancel, &images_, width);
          quick.type = TLoadResult::Page;
          Post(std::move(quick));
        }
        result.raster = RenderPage(*document_, page, width, cancel, &images_);
        result.type = TLoadResult::Page;
      } catch (const TPdfError& e) {
        cancelled = e.Kind() == TErrorKind::Cancelled;
        result.type = TLoadResult::PageFailed;
        result.error = e.Kind();
        result.detail = e.what();
      } catch (const std::bad_alloc&) {
        result.type = TLoadResult::PageFailed;
        result.error = TErrorKind::TooLarge;
      }
    }
    // A first page that cannot be drawn hides the document, with its reason;
    // a damaged page tree has the first word, as it would have had if read first.
    if (result.type == TLoadResult::PageFailed && !cancelled && !document_->AllPagesRead() &&
        !ReadRemainingPages(generation))
      continue;
    {
      // Done with this page either way (unless it was given up because the
      // wish changed: then the new wish decides).
      std::lock_guard guard(lock_);
      if (!cancelled && generation == generation_ && width == width_) {
        auto it = std::find(wanted_.begin(), wanted_.end(), page);
        if (it != wanted_.end()) wanted_.erase(it);
      }
    }
    if (!cancelled) Post(std::move(result));
  }
}

}  // namespace skan::pdfview
