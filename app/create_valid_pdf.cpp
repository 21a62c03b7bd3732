#include "create_valid_pdf.h"

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/encoding.h"
#include "base/file.h"
#include "base/handles_win.h"
#include "base/system_error_win.h"
#include "dib_reader.h"
#include "page_ocr.h"
#include "pdf/pdf_binding.h"

namespace skan {

namespace {

// A4 at 10 drawing pixels per millimetre.
constexpr double kPageWidthMM = 210;
constexpr double kPageHeightMM = 297;
constexpr uint32_t kSurfaceWidth = 2100;
constexpr uint32_t kSurfaceHeight = 2970;

uint32_t ToUnsigned32(double v) {
  const double t = v < 0 ? -std::floor(-v) : std::floor(v);  // toward zero
  if (!(t >= 0 && t <= 4294967295.0)) throw std::range_error("Page size out of range");
  return static_cast<uint32_t>(t);
}

[[noreturn]] void InvalidBitmap() { throw std::runtime_error("Bitmap image is not valid"); }

// A Windows bitmap file held in memory, checked before GDI sees it.
class TBitmapFile {
 public:
  TBitmapFile(const std::wstring& path, TPageFileBuffers* buffers) : buffers_(buffers) {
    bytes_ = base::ReadWholeFile(path, 0x40000000 - 1,  // a 1 GB page is not a scan
                                 buffers_ ? buffers_->Take() : base::TWholeFile{});
    if (bytes_.failure == base::TWholeFile::TFailure::Open)
      throw std::runtime_error("Cannot open file \"" + base::Narrow(path) + "\". " + base::SystemMessage(bytes_.error));
    if (!bytes_) InvalidBitmap();
    Check();
  }
  ~TBitmapFile() {
    if (buffers_ && bytes_.data) buffers_->Give(std::move(bytes_));
  }
  TBitmapFile(const TBitmapFile&) = delete;
  TBitmapFile& operator=(const TBitmapFile&) = delete;

  // The bitmap in plain form: a short BITMAPINFOHEADER with every colour
  // counted and uncompressed rows, so the page's drawing carries the same
  // pixels whatever layout the driver wrote.
  const BITMAPINFO* Info() const { return reinterpret_cast<const BITMAPINFO*>(info_.data()); }
  const void* Bits() const { return plain_.bits; }
  int Width() const { return static_cast<int>(plain_.width); }
  int Height() const { return static_cast<int>(plain_.height); }
  int BitsPerPixel() const { return plain_.bitsPerPixel; }
  const dib::TPlainBitmap& Plain() const { return plain_; }

  // The page turned clockwise by `degrees`, as it is drawn when its text
  // reads the right way up only so.
  void Turn(int degrees) {
    if (degrees == 0) return;
    plain_ = dib::Turned(plain_, degrees);
    info_ = dib::PlainInfoBlock(plain_);
  }

 private:
  void Check() {
    try {
      plain_ = dib::ReadBmpFile(bytes_.data.get(), bytes_.size);
    } catch (const dib::TInvalidBitmap&) {
      InvalidBitmap();
    }
    info_ = dib::PlainInfoBlock(plain_);
  }

  TPageFileBuffers* const buffers_;
  base::TWholeFile bytes_;
  dib::TPlainBitmap plain_;  // may point into bytes_
  std::vector<uint8_t> info_;
};

// Copies the whole bitmap onto the whole drawing surface.
void DrawStretched(HDC dc, const TBitmapFile& bitmap, const std::wstring& path) {
  if (bitmap.BitsPerPixel() > 1) {
    const int surface = GetDeviceCaps(dc, BITSPIXEL) * GetDeviceCaps(dc, PLANES);
    if (surface <= 8 && surface < bitmap.BitsPerPixel()) {
      SetStretchBltMode(dc, HALFTONE);
      SetBrushOrgEx(dc, 0, 0, nullptr);
    } else {
      SetStretchBltMode(dc, COLORONCOLOR);
    }
  }
  if (StretchDIBits(dc, 0, 0, kSurfaceWidth, kSurfaceHeight, 0, 0, bitmap.Width(), bitmap.Height(), bitmap.Bits(),
                    bitmap.Info(), DIB_RGB_COLORS, SRCCOPY) == 0)
    throw std::runtime_error("Cannot draw the bitmap \"" + base::Narrow(path) + "\"");
}

}  // namespace

std::wstring ChangeFileExt(const std::wstring& path, const std::wstring& ext) {
  const size_t dot = path.find_last_of(L".\\/:");
  if (dot != std::wstring::npos && path[dot] == L'.') return path.substr(0, dot) + ext;
  return path + ext;
}

std::wstring MakeTempFile(const std::wstring& folder) {
  wchar_t name[MAX_PATH];
  if (GetTempFileNameW(folder.c_str(), L"tmp", 0, name) == 0)
    throw std::runtime_error(base::SystemMessage(GetLastError()));
  return name;
}

base::TWholeFile TPageFileBuffers::Take() {
  std::lock_guard guard(mutex_);
  if (free_.empty()) return {};
  base::TWholeFile b = std::move(free_.front());
  free_.erase(free_.begin());
  return b;
}

void TPageFileBuffers::Give(base::TWholeFile buffer) {
  std::lock_guard guard(mutex_);
  free_.push_back(std::move(buffer));
  std::sort(free_.begin(), free_.end(),
            [](const base::TWholeFile& a, const base::TWholeFile& b) { return a.capacity > b.capacity; });
  if (free_.size() > 2) free_.resize(2);
}

std::wstring CreateValidPDF(const std::vector<std::wstring>& lista, const std::wstring& tempFolder,
                            uint32_t drawFlags, TPageOcr* ocr) {
  pdf::TPdfWriter pdf;  // frees its context and the library on every way out
  return CreateValidPDF(pdf, lista, tempFolder, drawFlags, ocr);
}

namespace {

using TBitmapRead = std::future<std::unique_ptr<TBitmapFile>>;

// Reads the page files of a list in order on one thread of its own (a thread
// per page costs more than a small page's read), never further than Allow
// says. A failed read waits in its page's future.
class TReadAhead {
 public:
  TReadAhead(const std::vector<std::wstring>& lista, TPageFileBuffers& buffers)
      : lista_(lista), buffers_(buffers), reads_(lista.size()) {
    for (auto& read : reads_) futures_.push_back(read.get_future());
    worker_ = std::thread([this] { Run(); });
  }
  ~TReadAhead() {
    {
      std::lock_guard guard(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    worker_.join();
  }
  TReadAhead(const TReadAhead&) = delete;
  TReadAhead& operator=(const TReadAhead&) = delete;

  // The pages before `count` may be read.
  void Allow(size_t count) {
    {
      std::lock_guard guard(mutex_);
      allowed_ = count;
    }
    wake_.notify_all();
  }
  TBitmapRead& Read(size_t page) { return futures_[page]; }

 private:
  void Run() {
    for (size_t k = 0; k < lista_.size(); ++k) {
      {
        std::unique_lock guard(mutex_);
        wake_.wait(guard, [&] { return stop_ || k < allowed_; });
        if (stop_) return;
      }
      try {
        reads_[k].set_value(std::make_unique<TBitmapFile>(lista_[k], &buffers_));
      } catch (...) {
        reads_[k].set_exception(std::current_exception());
      }
    }
  }

  const std::vector<std::wstring>& lista_;
  TPageFileBuffers& buffers_;
  std::vector<std::promise<std::unique_ptr<TBitmapFile>>> reads_;
  std::vector<TBitmapRead> futures_;
  std::mutex mutex_;
  std::condition_variable wake_;
  size_t allowed_ = 0;
  bool stop_ = false;
  std::thread worker_;  // last: started after everything it uses
};

// The page's words, invisible over its image. The text is an extra: when the
// library refuses it, the page stays without, and the log says why.
void AddTextLayer(pdf::TPdfWriter& pdf, const ocr::TPageText& text, const std::wstring& page, TPageOcr& ocr) {
  std::vector<PdfWriterWord> words;
  words.reserve(text.words.size());
  for (const ocr::TWord& w : text.words)
    words.push_back({w.text.c_str(), w.left, w.top, w.width, w.height, w.baseline});
  try {
    pdf.AddTextLayer(pdf.GetPageCount() - 1, text.width, text.height, words);
  } catch (const std::exception& e) {
    ocr.Note("ocr: " + base::Narrow(page) + ": no text: " + e.what());
  }
}

// One page; `read`, when given, is the page file's read already under way,
// whose failure counts only where reading it here would have failed.
void AddPage(pdf::TPdfWriter& pdf, const std::wstring& page, TBitmapRead* read, TPageFileBuffers* buffers,
             uint32_t drawFlags, TPageOcr* ocr) {
  const uint32_t height = ToUnsigned32(pdf.MMToUnit(kPageHeightMM));
  const uint32_t width = ToUnsigned32(pdf.MMToUnit(kPageWidthMM));
  HDC dc = pdf.AddPage(width, height, kSurfaceWidth, kSurfaceHeight, drawFlags);
  if (GetFileAttributesW(page.c_str()) == INVALID_FILE_ATTRIBUTES)
    throw std::runtime_error("Plik \r" + base::Narrow(page) + "\r" + "nie istnieje");
  std::optional<ocr::TPageText> text;
  {
    // Released before the page is finished.
    const std::unique_ptr<TBitmapFile> bitmap = read ? read->get() : std::make_unique<TBitmapFile>(page, buffers);
    if (ocr) text = ocr->Read(bitmap->Plain(), base::Narrow(page));
    // A page scanned turned is drawn the right way up, as its words are.
    if (text) bitmap->Turn(text->turn);
    DrawStretched(dc, *bitmap, page);
  }
  if (text && !text->words.empty()) AddTextLayer(pdf, *text, page, *ocr);
  if (dc) pdf.FinishPage(dc);
}

}  // namespace

void AddPdfPage(pdf::TPdfWriter& pdf, const std::wstring& page, TPageFileBuffers* buffers, uint32_t drawFlags,
                TPageOcr* ocr) {
  AddPage(pdf, page, nullptr, buffers, drawFlags, ocr);
}

std::wstring SavePdf(pdf::TPdfWriter& pdf, const std::wstring& tempFolder) {
  const std::wstring result = ChangeFileExt(MakeTempFile(tempFolder), L".pdf");
  // The library takes ANSI file names; a path the code page cannot spell
  // would name some other file, so such a path goes by its UTF-16 form.
  std::string ansi;
  if (base::ToAnsiExactly(result, ansi))
    pdf.SaveToFile(ansi);
  else
    pdf.SaveToFileW(result);
  pdf.Close();
  return result;
}

std::wstring CreateValidPDF(pdf::TPdfWriter& pdf, const std::vector<std::wstring>& lista,
                            const std::wstring& tempFolder, uint32_t drawFlags, TPageOcr* ocr) {
  pdf.CreateMemDocument();
  // Each page file is read on a second thread while the page before it is
  // drawn and compressed. A failed read waits in its future and is raised in
  // the page's turn, after everything that fails before the read.
  TPageFileBuffers buffers;  // before the reads, which give theirs back here
  TReadAhead reads(lista, buffers);
  for (size_t i = 0; i < lista.size(); ++i) {
    reads.Allow(i + 2);
    AddPage(pdf, lista[i], &reads.Read(i), &buffers, drawFlags, ocr);
  }
  return SavePdf(pdf, tempFolder);
}

}  // namespace skan
