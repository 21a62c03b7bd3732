#include "page_pipeline.h"

#include <chrono>

#include "base/file_win.h"
#include "base/handles_win.h"
#include "create_valid_pdf.h"
#include "pdf/pdf_binding.h"
#include "work_files.h"

namespace skan {

bool TFileIdentity::operator==(const TFileIdentity& o) const {
  return volume == o.volume && indexHigh == o.indexHigh && indexLow == o.indexLow && sizeHigh == o.sizeHigh &&
         sizeLow == o.sizeLow && written.dwLowDateTime == o.written.dwLowDateTime &&
         written.dwHighDateTime == o.written.dwHighDateTime;
}

bool IdentifyFile(const std::wstring& path, TFileIdentity& id) {
  HANDLE h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return false;
  id.volume = info.dwVolumeSerialNumber;
  id.indexHigh = info.nFileIndexHigh;
  id.indexLow = info.nFileIndexLow;
  id.sizeHigh = info.nFileSizeHigh;
  id.sizeLow = info.nFileSizeLow;
  id.written = info.ftLastWriteTime;
  return true;
}

TPagePipeline::TPagePipeline(std::wstring workFolder, TClose close, uint32_t drawFlags,
                             std::shared_ptr<TPageOcr> ocr)
    : workFolder_(std::move(workFolder)),
      close_(close ? std::move(close) : TClose([](pdf::TPdfWriter& pdf) { pdf.Close(); })),
      drawFlags_(drawFlags),
      ocr_(std::move(ocr)),
      worker_([this] { Run(); }) {}

namespace {

// The library's error report during the work file's completion.
void PDFWRITER_CALL NoteFailure(uint32_t, const char*, void* failed) noexcept { *static_cast<bool*>(failed) = true; }

}  // namespace

bool IsWholePdfFile(const std::wstring& path) {
  const base::TFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size{};
  if (!file || !GetFileSizeEx(file.get(), &size)) return false;
  const auto readAt = [&](uint64_t offset, std::string& bytes) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) &&
           base::ReadExactly(file.get(), bytes.data(), bytes.size());
  };
  // The header, and a last line "%%EOF" after "startxref" and the offset of
  // a cross-reference table that lies inside the file.
  const uint64_t length = static_cast<uint64_t>(size.QuadPart);
  std::string head(5, '\0'), tail(static_cast<size_t>(std::min<uint64_t>(length, 64)), '\0');
  const uint64_t tailStart = length - tail.size();
  if (length < 16 || !readAt(0, head) || head != "%PDF-" || !readAt(tailStart, tail)) return false;
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r')) tail.pop_back();
  if (!tail.ends_with("%%EOF")) return false;
  const size_t keyword = tail.rfind("startxref");
  if (keyword == std::string::npos) return false;
  const char* p = tail.c_str() + keyword + 9;
  while (*p == '\r' || *p == '\n' || *p == ' ') ++p;
  uint64_t xref = 0;
  if (*p < '0' || *p > '9') return false;
  for (; *p >= '0' && *p <= '9'; ++p) xref = xref * 10 + static_cast<uint64_t>(*p - '0');
  std::string table(4, '\0');
  return xref + table.size() <= tailStart + keyword && readAt(xref, table) && table == "xref";
}

TPagePipeline::~TPagePipeline() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
  Abandon();
}

void TPagePipeline::Abandon() {
  exportAhead_.reset();
  pdf_.reset();
  prepared_.clear();
  if (!workFile_.empty()) DeleteFileW(workFile_.c_str());
  workFile_.clear();
}

void TPagePipeline::PageFileWritten(const std::wstring& page) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(page);
  }
  wake_.notify_all();
}

size_t TPagePipeline::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
  return failed_ ? 0 : prepared_.size();
}

bool TPagePipeline::FollowWorkFile() {
  if (!exportAhead_) return false;
  const uint64_t before = exportAhead_->Bytes();
  // Without its export ahead the export is made whole at the end.
  if (!exportAhead_->Follow(workFile_)) exportAhead_.reset();
  return exportAhead_ && exportAhead_->Bytes() > before;
}

void TPagePipeline::Run() {
  // After a page, the library compresses it on a thread of its own; the
  // export looks at the work file once nothing else has come for this long,
  // and again as long as it finds more.
  constexpr auto kExportDelay = std::chrono::milliseconds(300);
  bool exportDue = false;
  for (;;) {
    std::wstring page;
    {
      std::unique_lock lock(mutex_);
      busy_ = false;
      idle_.notify_all();
      const auto ready = [this] { return stop_ || !queue_.empty(); };
      bool follow = false;
      if (exportDue && !closing_) follow = !wake_.wait_for(lock, kExportDelay, [&] { return ready() || closing_; });
      if (!follow) wake_.wait(lock, ready);
      if (stop_) return;
      if (follow) {
        busy_ = true;  // the end waits for the piece under way
        lock.unlock();
        exportDue = FollowWorkFile();
        continue;
      }
      page = std::move(queue_.front());
      queue_.pop_front();
      busy_ = !failed_;
      if (failed_) continue;  // the document is given up; the end assembles anew
    }
    // Everything that can fail here is left to the end's own assembly, which
    // reports it; this thread only gives up its document.
    try {
      if (!pdf_) {
        pdf_ = std::make_unique<pdf::TPdfWriter>();
        workFile_ = MakeWorkFile(workFolder_);
        pdf_->CreateFileDocumentW(workFile_);
        try {
          exportAhead_ = std::make_unique<TExportAhead>(MakeWorkFile(workFolder_));
        } catch (const std::runtime_error&) {
          // Without its export ahead the export is made whole at the end.
        }
      }
      TPrepared done{page, {}};
      TFileIdentity after;
      // The same file before and after the read: the page drawn is the file's.
      if (!IdentifyFile(page, done.id)) throw std::runtime_error("page file missing");
      AddPdfPage(*pdf_, page, &buffers_, drawFlags_, ocr_.get());
      if (!IdentifyFile(page, after) || !(after == done.id)) throw std::runtime_error("page file changed");
      prepared_.push_back(std::move(done));
      exportDue = exportAhead_ != nullptr;
    } catch (...) {
      std::lock_guard lock(mutex_);
      failed_ = true;
      Abandon();
    }
  }
}

bool TPagePipeline::Usable(const std::vector<std::wstring>& lista) {
  if (failed_ || !pdf_ || prepared_.size() != lista.size()) return false;
  for (size_t i = 0; i < lista.size(); ++i) {
    TFileIdentity now;
    if (prepared_[i].path != lista[i] || !IdentifyFile(lista[i], now) || !(now == prepared_[i].id)) return false;
  }
  return true;
}

std::wstring TPagePipeline::CreateValidPDF(const std::vector<std::wstring>& lista, const std::wstring& tempFolder) {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  WaitIdle();  // from here on the worker waits, and the document is this thread's
  if (tempFolder == workFolder_ && Usable(lista)) {
    const std::unique_ptr<pdf::TPdfWriter> pdf = std::move(pdf_);
    prepared_.clear();
    // The work file becomes the whole PDF. The binding ignores the answer of
    // the library's Close, so its failure is heard through the library's
    // error report, and the file's own end must show it whole: a file cut
    // short never takes the PDF's name. Anything else leaves the assembly
    // below to make the PDF, or to report what is wrong.
    bool reported = false;
    pdf->setOnError(NoteFailure, &reported);
    try {
      close_(*pdf);
    } catch (...) {
      reported = true;
    }
    pdf->setOnError(nullptr, nullptr);
    if (!reported && IsWholePdfFile(workFile_)) {
      const std::wstring placeholder = MakeTempFile(tempFolder);
      const std::wstring result = ChangeFileExt(placeholder, L".pdf");
      if (MoveFileExW(workFile_.c_str(), result.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        workFile_.clear();
        return result;
      }
      DeleteFileW(placeholder.c_str());  // the assembly makes its own
    }
  }
  Abandon();
  return skan::CreateValidPDF(lista, tempFolder, drawFlags_, ocr_.get());
}

std::unique_ptr<TExportAhead> TPagePipeline::TakeExportAhead() { return std::move(exportAhead_); }

void TBatchPipeline::PageFileWritten(const std::wstring& page) noexcept {
  if (givenUp_) return;  // a pipeline made now would lack the pages before
  try {
    if (!pipeline_) pipeline_ = make_();
    pipeline_->PageFileWritten(page);
  } catch (...) {
    givenUp_ = true;
    pipeline_.reset();
  }
}

std::unique_ptr<TPagePipeline> TBatchPipeline::Take() noexcept {
  givenUp_ = false;
  return std::move(pipeline_);
}

}  // namespace skan
