// The exports of pdfwriter.dll. Each one runs its work inside a guard that
// turns every failure into one report through the context's error function
// and a zero result: no C++ exception leaves the library.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/file_win.h"
#include "base/handles_win.h"
#include "base/system_error_win.h"
#include "emf_page.h"
#include "pdf_document.h"
#include "external/pdfwriter.h"

// The library's context: the type the C interface leaves opaque, so it stays
// outside the library's namespace.
struct PdfWriterContextTag {
  PdfWriterErrorFunc errorFunc = nullptr;
  void* userData = nullptr;
  uint32_t unit = 1;  // millimetres until SetUnit says otherwise
  std::unique_ptr<skan::pdfwriter::TDocument> doc;
  std::wstring fileTarget;  // set for a document created on file

  // Device contexts handed out and not yet finished.
  struct TOpenDrawing {
    HDC dc;
    bool resource;
    uint32_t pageTag;  // which page, for pages
    skan::pdfwriter::TDrawingArea area;
    double widthPt, heightPt;  // size, for resources
  };
  std::vector<TOpenDrawing> drawings;
  std::vector<uint32_t> pageTags;  // parallel to the document's pages
  uint32_t nextTag = 1;
};

namespace skan::pdfwriter {
namespace {

void Report(PdfWriterContext ctx, uint32_t code, const char* msg) noexcept {
  if (!ctx || !ctx->errorFunc) return;
  try {
    ctx->errorFunc(code, msg, ctx->userData);
  } catch (...) {
    // The caller's callback must not unwind through the library.
  }
}

template <class R, class F>
R Guard(PdfWriterContext ctx, F&& f) noexcept {
  if (!ctx) return R();
  try {
    return f();
  } catch (const TPdfError& e) {
    Report(ctx, e.code(), e.what());
  } catch (const std::bad_alloc&) {
    Report(ctx, kErrNotEnoughMemory, "pdfwriter: out of memory");
  } catch (const std::exception& e) {
    Report(ctx, kErrInvalidFunction, e.what());
  } catch (...) {
    Report(ctx, kErrInvalidFunction, "pdfwriter: unexpected failure");
  }
  return R();
}

[[noreturn]] void Fail(uint32_t code, const std::string& text) { throw TPdfError(code, "pdfwriter: " + text); }

TDocument& Doc(PdfWriterContext ctx) {
  if (!ctx->doc) Fail(kErrInvalidFunction, "no document is open");
  return *ctx->doc;
}

void Need(const void* p, const char* what) {
  if (!p) Fail(kErrInvalidParameter, std::string(what) + " is missing");
}

double ToPoints(PdfWriterContext ctx, uint32_t value) { return value * PointsPerUnit(ctx->unit); }
uint32_t FromPoints(PdfWriterContext ctx, double pt) {
  return static_cast<uint32_t>(pt / PointsPerUnit(ctx->unit) + 0.5);
}

std::wstring FromAnsi(const char* s) {
  Need(s, "the file name");
  return base::FromAnsi(s);
}

std::u16string ToU16(const wchar_t* s) { return std::u16string(s, s + std::wcslen(s)); }

// The library's texts are in the ANSI code page.
std::string ErrorText(DWORD error) {
  std::string text = base::ToAnsi(base::SystemErrorText(error));
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

void CheckAllFinished(PdfWriterContext ctx) {
  for (const auto& d : ctx->drawings)
    if (!d.resource) Fail(kErrInvalidFunction, "a page has not been finished (FinishPage) yet");
}

// Writes the document to `path`; a file that cannot be completed is removed
// rather than left half written.
void SaveTo(PdfWriterContext ctx, const std::wstring& path) {
  TDocument& doc = Doc(ctx);
  CheckAllFinished(ctx);
  if (path.empty()) Fail(kErrInvalidParameter, "the file name is empty");
  std::FILE* file = _wfopen(path.c_str(), L"wb");
  if (!file)
    Fail(GetLastError() ? GetLastError() : kErrWriteFault, "cannot create the PDF file: " + ErrorText(GetLastError()));
  try {
    TFileSink sink(file, base::ToAnsi(path));
    doc.Save(sink);
    if (std::fclose(file) != 0) {
      file = nullptr;
      FailFile("write", base::ToAnsi(path));
    }
  } catch (...) {
    if (file) std::fclose(file);
    DeleteFileW(path.c_str());
    throw;
  }
}

// The file of a document created on file: made now, so a bad name is refused
// here rather than at the close, and written as the document is made. Others
// may read it meanwhile; it may be renamed or removed while open.
std::unique_ptr<TByteStore> OpenPdfFile(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) Fail(GetLastError(), "cannot create the PDF file: " + ErrorText(GetLastError()));
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY | _O_RDWR);
  std::FILE* file = fd == -1 ? nullptr : _fdopen(fd, "w+b");
  if (!file) {
    if (fd != -1)
      _close(fd);
    else
      CloseHandle(h);
    DeleteFileW(path.c_str());
    throw std::bad_alloc();
  }
  try {
    return std::make_unique<TPdfFileStore>(file, base::ToAnsi(path));
  } catch (...) {
    std::fclose(file);
    DeleteFileW(path.c_str());
    throw;
  }
}

void NewDocument(PdfWriterContext ctx, std::wstring fileTarget) {
  if (ctx->doc) Fail(kErrInvalidFunction, "a document is already open; close it first");
  ctx->doc = std::make_unique<TDocument>(fileTarget.empty() ? MakeSpillStore() : OpenPdfFile(fileTarget));
  ctx->fileTarget = std::move(fileTarget);
  ctx->pageTags.clear();
}

// Completes the file of a document created on file and closes the document.
// The file holds the images already; when it cannot become the PDF as it
// stands, the PDF is made in memory and written over it. A file that cannot
// be completed is removed rather than left half written.
void FinishFileDocument(PdfWriterContext ctx, const std::wstring& path) {
  std::unique_ptr<TDocument> doc = std::move(ctx->doc);
  try {
    if (doc->SaveInPlace()) return;
    TStringSink whole;
    doc->Save(whole);
    doc.reset();  // closes the file
    const base::TFileHandle h(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) Fail(GetLastError(), "cannot create the PDF file: " + ErrorText(GetLastError()));
    if (!base::WriteAll(h.get(), whole.Data().data(), whole.Data().size())) FailFile("write", base::ToAnsi(path));
  } catch (...) {
    doc.reset();
    DeleteFileW(path.c_str());
    throw;
  }
}

void DropDrawings(PdfWriterContext ctx) {
  for (const auto& d : ctx->drawings) DiscardRecording(d.dc);
  ctx->drawings.clear();
}

size_t PageIndex(PdfWriterContext ctx, uint32_t pageIndex) {
  if (pageIndex >= Doc(ctx).PageCount()) Fail(kErrInvalidParameter, "page index out of range");
  return pageIndex;
}

// Copies text into a caller's buffer by the two-call protocol: without a
// buffer the length (terminator excluded) is told; with one, `*length` is its
// capacity including the terminator.
template <class C>
PdfWriterStatus GiveText(const std::basic_string<C>& text, C* buffer, uint32_t* length) {
  Need(length, "the length");
  if (!buffer) {
    *length = static_cast<uint32_t>(text.size());
    return 1;
  }
  if (*length <= text.size()) {
    *length = static_cast<uint32_t>(text.size());
    Fail(kErrInsufficientBuffer, "the text buffer is too small");
  }
  std::copy(text.begin(), text.end(), buffer);
  buffer[text.size()] = 0;
  *length = static_cast<uint32_t>(text.size());
  return 1;
}

HDC Begin(PdfWriterContext ctx, bool resource, uint32_t pageTag, uint32_t width_u, uint32_t height_u, uint32_t width_px,
          uint32_t height_px, uint32_t drawFlags) {
  TDrawingArea area{width_px, height_px, drawFlags};
  HDC dc = BeginRecording(area);
  ctx->drawings.push_back({dc, resource, pageTag, area, ToPoints(ctx, width_u), ToPoints(ctx, height_u)});
  return dc;
}

std::vector<PdfWriterContextTag::TOpenDrawing>::iterator FindDrawing(PdfWriterContext ctx, HDC dc, bool resource) {
  auto it = std::find_if(ctx->drawings.begin(), ctx->drawings.end(),
                         [&](const auto& d) { return d.dc == dc && d.resource == resource; });
  if (!dc || it == ctx->drawings.end())
    Fail(kErrInvalidParameter, resource ? "the device context is not an open resource of this document"
                                        : "the device context is not an open page of this document");
  return it;
}

template <class R>
R Unsupported(PdfWriterContext ctx, const char* name) {
  std::string text = std::string("pdfwriter: ") + name + " is not supported by this library";
  Report(ctx, kErrNotSupported, text.c_str());
  return R();
}

// Every export not implemented below: fails through the error function.
#define PDFWRITER_UNSUPPORTED_MEMBER(result, name, params, args) \
  template <class... A>                                          \
  static result name(PdfWriterContext ctx, A...) {               \
    return Unsupported<result>(ctx, #name);                      \
  }

struct TUnsupported {
  PDFWRITER_EXPORTS(PDFWRITER_UNSUPPORTED_MEMBER)
};

// The implemented entry points; each hides its unsupported namesake.
struct TImpl : TUnsupported {
  static PdfWriterContext CreateContext(PdfWriterErrorFunc error_func, void* user_data) {
    try {
      auto ctx = new PdfWriterContextTag;
      ctx->errorFunc = error_func;
      ctx->userData = user_data;
      return ctx;
    } catch (...) {
      if (error_func) error_func(kErrNotEnoughMemory, "pdfwriter: out of memory", user_data);
      return nullptr;
    }
  }

  static void FreeContext(PdfWriterContext ctx) {
    if (!ctx) return;
    DropDrawings(ctx);
    if (ctx->doc && !ctx->fileTarget.empty()) {
      // A document on file never closed: its file is left empty, not half made.
      ctx->doc.reset();
      const base::TFileHandle h(CreateFileW(ctx->fileTarget.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    delete ctx;
  }

  static PdfWriterStatus SetUnit(PdfWriterContext ctx, uint32_t unit) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      if (!IsValidUnit(unit)) Fail(kErrInvalidParameter, "unknown unit " + std::to_string(unit));
      ctx->unit = unit;
      return 1u;
    });
  }

  static uint32_t GetUnit(PdfWriterContext ctx) { return ctx ? ctx->unit : 0; }

  static PdfWriterStatus CreateMemDocument(PdfWriterContext ctx) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      NewDocument(ctx, {});
      return 1u;
    });
  }
  static PdfWriterStatus CreateFileDocument(PdfWriterContext ctx, const char* fileName) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      std::wstring path = FromAnsi(fileName);
      if (path.empty()) Fail(kErrInvalidParameter, "the file name is empty");
      NewDocument(ctx, path);
      return 1u;
    });
  }
  static PdfWriterStatus CreateFileDocumentW(PdfWriterContext ctx, const wchar_t* fileName) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(fileName, "the file name");
      if (!*fileName) Fail(kErrInvalidParameter, "the file name is empty");
      NewDocument(ctx, fileName);
      return 1u;
    });
  }

  static PdfWriterStatus Close(PdfWriterContext ctx) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Doc(ctx);
      DropDrawings(ctx);
      const std::wstring target = std::move(ctx->fileTarget);
      ctx->fileTarget.clear();
      ctx->pageTags.clear();
      if (target.empty())
        ctx->doc.reset();
      else
        FinishFileDocument(ctx, target);
      return 1u;
    });
  }

  static PdfWriterStatus SaveToFile(PdfWriterContext ctx, const char* fileName) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      SaveTo(ctx, FromAnsi(fileName));
      return 1u;
    });
  }
  static PdfWriterStatus SaveToFileW(PdfWriterContext ctx, const wchar_t* fileName) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(fileName, "the file name");
      SaveTo(ctx, fileName);
      return 1u;
    });
  }
  // Without a buffer, tells the size; with one too small, fails and tells it.
  static PdfWriterStatus SaveToData(PdfWriterContext ctx, void* data, uint32_t* dataLength) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(dataLength, "the length");
      CheckAllFinished(ctx);
      TStringSink sink;
      Doc(ctx).Save(sink);
      const std::string& bytes = sink.Data();
      if (bytes.size() > UINT32_MAX) Fail(kErrNotEnoughMemory, "the document is larger than 4 GB");
      const uint32_t size = static_cast<uint32_t>(bytes.size());
      if (data && *dataLength < size) {
        *dataLength = size;
        Fail(kErrInsufficientBuffer, "the data buffer is too small");
      }
      if (data) std::memcpy(data, bytes.data(), size);
      *dataLength = size;
      return 1u;
    });
  }

  static PdfWriterStatus GetPageCount(PdfWriterContext ctx, uint32_t* count) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(count, "the count");
      *count = static_cast<uint32_t>(Doc(ctx).PageCount());
      return 1u;
    });
  }
  static PdfWriterStatus GetPageSize(PdfWriterContext ctx, uint32_t pageIndex, uint32_t* width_u, uint32_t* height_u) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(width_u, "the width");
      Need(height_u, "the height");
      const TCanvas& page = Doc(ctx).Page(PageIndex(ctx, pageIndex));
      *width_u = FromPoints(ctx, page.width);
      *height_u = FromPoints(ctx, page.height);
      return 1u;
    });
  }

  static HDC InsertPage(PdfWriterContext ctx, uint32_t pageIndex, uint32_t width_u, uint32_t height_u,
                        uint32_t width_px, uint32_t height_px, uint32_t drawFlags) {
    return Guard<HDC>(ctx, [&] {
      TDocument& doc = Doc(ctx);
      if (pageIndex > doc.PageCount()) Fail(kErrInvalidParameter, "page index out of range");
      const uint32_t tag = ctx->nextTag++;
      HDC dc = Begin(ctx, false, tag, width_u, height_u, width_px, height_px, drawFlags);
      try {
        doc.InsertPage(pageIndex, ToPoints(ctx, width_u), ToPoints(ctx, height_u));
        ctx->pageTags.insert(ctx->pageTags.begin() + pageIndex, tag);
      } catch (...) {
        DiscardRecording(dc);
        ctx->drawings.pop_back();
        throw;
      }
      return dc;
    });
  }
  static HDC AddPage(PdfWriterContext ctx, uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                     uint32_t drawFlags) {
    if (!ctx || !ctx->doc)
      return Guard<HDC>(ctx, [&]() -> HDC {
        Doc(ctx);
        return nullptr;
      });
    return InsertPage(ctx, static_cast<uint32_t>(ctx->doc->PageCount()), width_u, height_u, width_px, height_px,
                      drawFlags);
  }

  static PdfWriterStatus FinishPage(PdfWriterContext ctx, HDC dc) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      TDocument& doc = Doc(ctx);
      auto it = FindDrawing(ctx, dc, false);
      const auto drawing = *it;
      ctx->drawings.erase(it);  // the device context is used up either way
      const auto tag = std::find(ctx->pageTags.begin(), ctx->pageTags.end(), drawing.pageTag);
      if (tag == ctx->pageTags.end()) {
        DiscardRecording(drawing.dc);
        Fail(kErrInvalidParameter, "the page of this device context was deleted");
      }
      FinishRecording(drawing.dc, drawing.area, doc, doc.Page(static_cast<size_t>(tag - ctx->pageTags.begin())));
      return 1u;
    });
  }

  static PdfWriterStatus DeletePage(PdfWriterContext ctx, uint32_t pageIndex) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      const size_t index = PageIndex(ctx, pageIndex);
      const uint32_t tag = ctx->pageTags[index];
      Doc(ctx).DeletePage(index);
      ctx->pageTags.erase(ctx->pageTags.begin() + static_cast<std::ptrdiff_t>(index));
      auto open = std::find_if(ctx->drawings.begin(), ctx->drawings.end(),
                               [&](const auto& d) { return !d.resource && d.pageTag == tag; });
      if (open != ctx->drawings.end()) {
        DiscardRecording(open->dc);
        ctx->drawings.erase(open);
      }
      return 1u;
    });
  }

  static HDC AddResource(PdfWriterContext ctx, uint32_t width_u, uint32_t height_u, uint32_t width_px,
                         uint32_t height_px, uint32_t drawFlags) {
    return Guard<HDC>(ctx, [&] {
      Doc(ctx);
      if (!(ToPoints(ctx, width_u) > 0) || !(ToPoints(ctx, height_u) > 0))
        Fail(kErrInvalidParameter, "a resource needs a size above 0");
      return Begin(ctx, true, 0, width_u, height_u, width_px, height_px, drawFlags);
    });
  }
  static uint32_t FinishResource(PdfWriterContext ctx, HDC dc) {
    return Guard<uint32_t>(ctx, [&] {
      TDocument& doc = Doc(ctx);
      auto it = FindDrawing(ctx, dc, true);
      const auto drawing = *it;
      ctx->drawings.erase(it);
      TCanvas canvas{drawing.widthPt, drawing.heightPt, {}};
      FinishRecording(drawing.dc, drawing.area, doc, canvas);
      return doc.AddResource(std::move(canvas));
    });
  }
  static uint32_t PageToResource(PdfWriterContext ctx, uint32_t pageIndex) {
    return Guard<uint32_t>(ctx, [&] {
      const size_t index = PageIndex(ctx, pageIndex);
      const uint32_t tag = ctx->pageTags[index];
      if (std::any_of(ctx->drawings.begin(), ctx->drawings.end(),
                      [&](const auto& d) { return !d.resource && d.pageTag == tag; }))
        Fail(kErrInvalidFunction, "the page has not been finished (FinishPage) yet");
      TDocument& doc = Doc(ctx);
      return doc.AddResource(doc.Page(index));
    });
  }
  static PdfWriterStatus GetResourceSize(PdfWriterContext ctx, uint32_t resourceID, uint32_t* width_u,
                                         uint32_t* height_u) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(width_u, "the width");
      Need(height_u, "the height");
      const TCanvas& r = Doc(ctx).Resource(resourceID);
      *width_u = FromPoints(ctx, r.width);
      *height_u = FromPoints(ctx, r.height);
      return 1u;
    });
  }
  // (x, y): the resource's top left corner from the page's top left, in
  // `unit`; scaleX, scaleY: thousandths of the resource's own size.
  static PdfWriterStatus DrawResource(PdfWriterContext ctx, uint32_t resourceID, uint32_t pageIndex, uint32_t unit,
                                      int32_t x, int32_t y, int32_t scaleX, int32_t scaleY) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      if (!IsValidUnit(unit)) Fail(kErrInvalidParameter, "unknown unit " + std::to_string(unit));
      if (scaleX == 0 || scaleY == 0) Fail(kErrInvalidParameter, "a scale of 0 draws nothing");
      TDocument& doc = Doc(ctx);
      const TCanvas& r = doc.Resource(resourceID);
      TCanvas& page = doc.Page(PageIndex(ctx, pageIndex));
      const double sx = scaleX / 1000.0, sy = scaleY / 1000.0, k = PointsPerUnit(unit);
      page.items.push_back({true, resourceID, {sx, 0, 0, sy, x * k, page.height - y * k - r.height * sy}});
      return 1u;
    });
  }
  // The matrix in thousandths maps the resource's own space (points, origin
  // bottom left) onto the page; e and f are in the current unit.
  static PdfWriterStatus DrawResourceWithMatrix(PdfWriterContext ctx, uint32_t resourceID, uint32_t pageIndex,
                                                int32_t a, int32_t b, int32_t c, int32_t d, int32_t e, int32_t f) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      TDocument& doc = Doc(ctx);
      doc.Resource(resourceID);
      TCanvas& page = doc.Page(PageIndex(ctx, pageIndex));
      const double k = PointsPerUnit(ctx->unit) / 1000.0;
      page.items.push_back({true, resourceID, {a / 1000.0, b / 1000.0, c / 1000.0, d / 1000.0, e * k, f * k}});
      return 1u;
    });
  }

  // Invisible words over a page, boxes in pixels of a width_px x height_px
  // image covering it. Any page will do, finished or not; a bad word adds none.
  static PdfWriterStatus AddTextLayer(PdfWriterContext ctx, uint32_t pageIndex, uint32_t width_px, uint32_t height_px,
                                      const PdfWriterWord* words, uint32_t wordCount) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      TCanvas& page = Doc(ctx).Page(PageIndex(ctx, pageIndex));
      if (wordCount && !words) Fail(kErrInvalidParameter, "the words are missing");
      std::vector<TWordBox> boxes(wordCount);
      for (uint32_t i = 0; i < wordCount; ++i) {
        const PdfWriterWord& w = words[i];
        if (!w.text) Fail(kErrInvalidParameter, "word " + std::to_string(i + 1) + " of the text layer has no text");
        boxes[i] = {w.text, w.left, w.top, w.width, w.height, w.baseline};
      }
      AddWords(page, width_px, height_px, boxes);
      return 1u;
    });
  }

  static PdfWriterStatus SetDocumentInfo(PdfWriterContext ctx, const char* name, const wchar_t* value) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(name, "the name");
      Need(value, "the value");
      Doc(ctx).SetInfo(name, ToU16(value));
      return 1u;
    });
  }
  static PdfWriterStatus GetDocumentInfoExists(PdfWriterContext ctx, const char* name, uint32_t* exists) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(name, "the name");
      Need(exists, "the flag");
      *exists = Doc(ctx).FindInfo(name) ? 1 : 0;
      return 1u;
    });
  }
  static PdfWriterStatus GetDocumentInfo(PdfWriterContext ctx, const char* name, wchar_t* value,
                                         uint32_t* valueLength) {
    return Guard<PdfWriterStatus>(ctx, [&] {
      Need(name, "the name");
      const std::u16string* v = Doc(ctx).FindInfo(name);
      if (!v) Fail(kErrInvalidParameter, std::string("no document information named ") + name);
      return GiveText(std::wstring(v->begin(), v->end()), value, valueLength);
    });
  }
};

}  // namespace

}  // namespace skan::pdfwriter

#define PDFWRITER_DEFINE_EXPORT(result, name, params, args) \
  extern "C" result PDFWRITER_CALL pdfwriter_##name params { return skan::pdfwriter::TImpl::name args; }

PDFWRITER_EXPORTS(PDFWRITER_DEFINE_EXPORT)
