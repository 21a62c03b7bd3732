#include "pdf/pdfwriter.h"

#include <cmath>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "base/encoding.h"

namespace {

constexpr uint32_t kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
constexpr uint32_t kInvalidLibrary = 1154;  // ERROR_INVALID_DLL

constexpr uint32_t Bool32(bool b) { return b ? 0xFFFFFFFFu : 0u; }

// The library's texts are in the system ANSI code page; exceptions carry UTF-8.
std::string AnsiToUtf8(const std::string& ansi) { return base::Narrow(base::FromAnsi(ansi)); }

int32_t Thousandths(double v) {
  const double p = v * 1000.0;
  if (!(p > -2147483649.0 && p < 2147483648.0))
    throw std::range_error("TPdfWriter.DrawResourceWithMatrix: matrix component out of range");
  return static_cast<int32_t>(std::trunc(p));
}

int32_t Extent(int32_t from, int32_t to) {
  const int64_t d = int64_t{to} - from;
  if (d < INT32_MIN || d > INT32_MAX) throw std::overflow_error("Rectangle extent overflows 32 bits");
  return static_cast<int32_t>(d);
}

// System colours (0x80000000 + index) become their current RGB value.
COLORREF ResolveColor(TPdfColor c) {
  if ((c & 0xFF000000u) == 0x80000000u) return GetSysColor(static_cast<int>(c & 0xFF));
  return c & 0x00FFFFFFu;
}
uint8_t Red(COLORREF c) { return static_cast<uint8_t>(c & 0xFF); }
uint8_t Green(COLORREF c) { return static_cast<uint8_t>((c >> 8) & 0xFF); }
uint8_t Blue(COLORREF c) { return static_cast<uint8_t>((c >> 16) & 0xFF); }

}  // namespace

// --- Exception and failure raising --------------------------------------

TPdfWriterException::TPdfWriterException(uint32_t pCode, const std::string& pMsg)
    : std::runtime_error(AnsiToUtf8(pMsg)), code(pCode), msg(pMsg) {}

TPdfWriterException::TPdfWriterException(const TPdfWriterException& src)
    : std::runtime_error(AnsiToUtf8(src.msg)), code(src.code), msg(src.msg) {}

void ThrowIfFail(bool expr, const char* exprStr, const char* _func) {
  if (!expr) throw TPdfWriterException(kInvalidParameter, std::string(_func) + ": Assertion '" + exprStr + "' failed");
}

void ThrowMessageIfFail(bool expr, const std::string& msg, const char* _func) {
  if (!expr) throw TPdfWriterException(kInvalidParameter, std::string(_func) + ": " + msg);
}

void ThrowLastErrorIfFail(bool expr, const TPdfWriter* lpdf, const char* _func) {
  if (expr) return;
  if (!lpdf->lastErrorMessage.empty()) throw TPdfWriterException(lpdf->lastErrorCode, lpdf->lastErrorMessage);
  throw TPdfWriterException(lpdf->lastErrorCode, std::string("Failed to call '") + _func + "'");
}

// Called by the library during a failing call. Nothing may unwind into the
// library: a failure of the user's onError is kept and raised once the
// library call has returned.
void PDFWRITER_CALL pdfWriterError(uint32_t code, const char* msg, void* user_data) noexcept {
  if (!user_data) return;  // the binding always passes itself; nothing to record otherwise
  auto* self = static_cast<TPdfWriter*>(user_data);
  try {
    self->setLastError(code, msg);
    if (self->onError) self->onError(code, msg, self->onErrorUserData);
  } catch (...) {
    if (!self->callbackFailure) self->callbackFailure = std::current_exception();
  }
}

// --- Core ---------------------------------------------------------------

TPdfWriter::~TPdfWriter() { unloadLibrary(); }

void TPdfWriter::setOnError(TPdfWriterErrorEvent pOnError, void* pOnErrorUserData) {
  onError = pOnError;
  onErrorUserData = pOnErrorUserData;
}

void TPdfWriter::freeLastError() {
  lastErrorMessage.clear();
  lastErrorCode = 0;
}

void TPdfWriter::setLastError(uint32_t code, const char* msg) {
  freeLastError();
  lastErrorCode = code;
  if (msg) lastErrorMessage = msg;
}

void TPdfWriter::ensureLibraryLoaded(const char* _func) {
  if (lib != 0) return;
  ThrowIfFail(lib == 0, "lib = THandle(0)", _func);
  ThrowIfFail(context == nullptr, "context = nil", _func);
  HMODULE module = LoadLibraryW(PDFWRITER_DLL_NAME);
  ThrowMessageIfFail(module != nullptr, "Failed to open pdfwriter.dll", _func);
  lib = reinterpret_cast<uintptr_t>(module);
  auto release = [&] {
    FreeLibrary(module);
    lib = 0;
  };
  if (!checkAPIVersion(PdfWriter_API_Major, PdfWriter_API_Minor)) {
    release();
    throw TPdfWriterException(
        kInvalidLibrary, std::string(_func) + ": This TPdfWriter class is not designed for API version of pdfwriter.dll");
  }
  freeLastError();
  PdfWriterProc_CreateContext create;
  try {
    create = reinterpret_cast<PdfWriterProc_CreateContext>(
        reinterpret_cast<void*>(GetProc("pdfwriter_CreateContext")));
  } catch (...) {
    release();  // a library without a context is of no use: stay unloaded
    throw;
  }
  context = create(&pdfWriterError, this);
  if (!context) {
    release();
    callbackFailure = nullptr;
    ThrowMessageIfFail(false, "Failed to create context", _func);
  }
  rethrowCallbackFailure();
}

// The module's file version must be major.minor.x.y. The path is read in
// UTF-16 so that a library in a folder outside the ANSI code page still loads.
bool TPdfWriter::checkAPIVersion(uint16_t major, uint16_t minor) {
  std::vector<wchar_t> path(2048);
  const DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(lib), path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return false;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.data(), &ignored);
  if (size == 0) return false;
  std::vector<uint8_t> info(size);
  if (!GetFileVersionInfoW(path.data(), 0, size, info.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) || !fixed ||
      fixedSize < sizeof(VS_FIXEDFILEINFO))
    return false;
  return HIWORD(fixed->dwFileVersionMS) == major && LOWORD(fixed->dwFileVersionMS) == minor;
}

FARPROC TPdfWriter::GetProc(const char* pProcIdent) {
  const char* f = "TPdfWriter.GetProc";
  ensureLibraryLoaded(f);
  ThrowIfFail(pProcIdent != nullptr, "Assigned(pProcIdent)", f);
  ThrowIfFail(lib != 0, "lib <> THandle(0)", f);
  FARPROC p = GetProcAddress(reinterpret_cast<HMODULE>(lib), pProcIdent);
  ThrowMessageIfFail(p != nullptr, std::string("Proc '") + pProcIdent + "' not found", f);
  return p;
}

void TPdfWriter::unloadLibrary() noexcept {
  if (lib != 0 && context != nullptr) {
    try {
      freeLastError();
      auto freeContext = proc<PdfWriterProc_FreeContext>("pdfwriter_FreeContext");
      freeContext(context);
    } catch (...) {
      // Freeing never fails loudly: the module is released below regardless.
    }
  }
  if (lib != 0) FreeLibrary(reinterpret_cast<HMODULE>(lib));
  context = nullptr;
  lib = 0;
  callbackFailure = nullptr;
}

void TPdfWriter::begin(const char* _func) {
  ensureLibraryLoaded(_func);
  ThrowIfFail(lib != 0, "lib <> THandle(0)", _func);
}

void TPdfWriter::rethrowCallbackFailure() {
  if (callbackFailure) std::rethrow_exception(std::exchange(callbackFailure, nullptr));
}

void TPdfWriter::check(PdfWriterStatus status, const char* _func) {
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(status != 0, this, _func);
}

void TPdfWriter::checkFrom(TPdfWriter* from, const char* _func) {
  ThrowIfFail(from != nullptr, "from <> nil", _func);
  ThrowIfFail(from != this, "from != self", _func);
  ThrowIfFail(from->context != nullptr, "from.context <> nil", _func);
}

// The two-call text protocol: ask the length, then fetch into a buffer one
// longer. The library's second answer is trusted only up to the buffer's
// capacity, so the terminator always lands inside the buffer.
template <class C, class F>
std::basic_string<C> TPdfWriter::getText(const char* _func, F call) {
  uint32_t length = 0;
  check(call(nullptr, &length), _func);
  if (length == UINT32_MAX) throw std::overflow_error(std::string(_func) + ": text length overflows");
  const uint32_t capacity = length + 1;
  std::unique_ptr<C[]> buffer(new (std::nothrow) C[capacity]());
  ThrowMessageIfFail(buffer != nullptr, "Out of memory!", _func);
  uint32_t stored = capacity;
  freeLastError();
  const PdfWriterStatus status = call(buffer.get(), &stored);
  rethrowCallbackFailure();
  if (!status) {
    buffer.reset();
    ThrowLastErrorIfFail(false, this, _func);
  }
  if (stored >= capacity) stored = capacity - 1;
  buffer[stored] = 0;
  return std::basic_string<C>(buffer.get());
}

#define PDFW_PROC(name) proc<PdfWriterProc_##name>("pdfwriter_" #name)
#define PDFW_FUNC(name) const char* const f = "TPdfWriter." #name

// --- Units --------------------------------------------------------------

void TPdfWriter::SetUnit(TPdfWriterUnit unitValue) {
  PDFW_FUNC(SetUnit);
  begin(f);
  check(PDFW_PROC(SetUnit)(context, static_cast<uint32_t>(unitValue)), f);
}

TPdfWriterUnit TPdfWriter::GetUnit() {
  PDFW_FUNC(GetUnit);
  begin(f);
  const uint8_t unit = static_cast<uint8_t>(PDFW_PROC(GetUnit)(context) & 0xFF);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(unit >= 1 && unit <= 8, this, f);
  return static_cast<TPdfWriterUnit>(unit);
}

// --- Documents ----------------------------------------------------------

void TPdfWriter::CreateMemDocument() {
  PDFW_FUNC(CreateMemDocument);
  begin(f);
  check(PDFW_PROC(CreateMemDocument)(context), f);
}

void TPdfWriter::PrepareEncryption(const std::string& userPassword, const std::string& ownerPassword,
                                   TPdfWriterEncryptPermission permissions, TPdfWriterEncryptAlgorithm algorithm) {
  PDFW_FUNC(PrepareEncryption);
  begin(f);
  check(PDFW_PROC(PrepareEncryption)(context, userPassword.c_str(),
                                     ownerPassword.empty() ? nullptr : ownerPassword.c_str(), permissions, algorithm),
        f);
}

void TPdfWriter::CreateFileDocument(const std::string& fileName) {
  PDFW_FUNC(CreateFileDocument);
  begin(f);
  check(PDFW_PROC(CreateFileDocument)(context, fileName.c_str()), f);
}

void TPdfWriter::CreateFileDocumentW(const std::wstring& fileName) {
  PDFW_FUNC(CreateFileDocumentW);
  begin(f);
  check(PDFW_PROC(CreateFileDocumentW)(context, fileName.c_str()), f);
}

void TPdfWriter::LoadFromFile(const std::string& fileName, const std::string& password, bool loadCompletely,
                              bool forUpdate) {
  PDFW_FUNC(LoadFromFile);
  begin(f);
  ThrowIfFail(!fileName.empty(), "Length(fileName) > 0", f);
  check(PDFW_PROC(LoadFromFile)(context, fileName.c_str(), password.c_str(), Bool32(loadCompletely), Bool32(forUpdate)),
        f);
}

void TPdfWriter::LoadFromFileW(const std::wstring& fileName, const std::string& password, bool loadCompletely,
                               bool forUpdate) {
  PDFW_FUNC(LoadFromFileW);
  begin(f);
  ThrowIfFail(!fileName.empty(), "Length(fileName) > 0", f);
  check(PDFW_PROC(LoadFromFileW)(context, fileName.c_str(), password.c_str(), Bool32(loadCompletely),
                                 Bool32(forUpdate)),
        f);
}

void TPdfWriter::LoadFromData(const void* data, uint32_t dataLength, const std::string& password, bool forUpdate) {
  PDFW_FUNC(LoadFromData);
  begin(f);
  ThrowIfFail(data != nullptr, "data <> nil", f);
  check(PDFW_PROC(LoadFromData)(context, data, dataLength, password.c_str(), Bool32(forUpdate)), f);
}

void TPdfWriter::SaveToFile(const std::string& fileName) {
  PDFW_FUNC(SaveToFile);
  begin(f);
  check(PDFW_PROC(SaveToFile)(context, fileName.c_str()), f);
}

void TPdfWriter::SaveToFileW(const std::wstring& fileName) {
  PDFW_FUNC(SaveToFileW);
  begin(f);
  check(PDFW_PROC(SaveToFileW)(context, fileName.c_str()), f);
}

bool TPdfWriter::SaveToData(void* data, uint32_t& dataLength) {
  PDFW_FUNC(SaveToData);
  begin(f);
  const PdfWriterStatus status = PDFW_PROC(SaveToData)(context, data, &dataLength);
  rethrowCallbackFailure();
  return status != 0;
}

void TPdfWriter::Close() {
  PDFW_FUNC(Close);
  begin(f);
  PDFW_PROC(Close)(context);
  rethrowCallbackFailure();
}

// --- Pages and resources ------------------------------------------------

HDC TPdfWriter::AddPage(uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                        TPdfWriterDrawFlags drawFlags) {
  PDFW_FUNC(AddPage);
  begin(f);
  HDC dc = PDFW_PROC(AddPage)(context, width_u, height_u, width_px, height_px, drawFlags);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(dc != nullptr, this, f);
  return dc;
}

void TPdfWriter::FinishPage(HDC dc) {
  PDFW_FUNC(FinishPage);
  begin(f);
  ThrowIfFail(dc != nullptr, "dc <> HDC(0)", f);
  check(PDFW_PROC(FinishPage)(context, dc), f);
}

uint32_t TPdfWriter::GetPageCount() {
  PDFW_FUNC(GetPageCount);
  begin(f);
  uint32_t count = 0;
  check(PDFW_PROC(GetPageCount)(context, &count), f);
  return count;
}

void TPdfWriter::GetPageSize(uint32_t pageIndex, uint32_t& width_u, uint32_t& height_u) {
  PDFW_FUNC(GetPageSize);
  begin(f);
  check(PDFW_PROC(GetPageSize)(context, pageIndex, &width_u, &height_u), f);
}

HDC TPdfWriter::InsertPage(uint32_t pageIndex, uint32_t width_u, uint32_t height_u, uint32_t width_px,
                           uint32_t height_px, TPdfWriterDrawFlags drawFlags) {
  PDFW_FUNC(InsertPage);
  begin(f);
  HDC dc = PDFW_PROC(InsertPage)(context, pageIndex, width_u, height_u, width_px, height_px, drawFlags);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(dc != nullptr, this, f);
  return dc;
}

HDC TPdfWriter::UpdatePage(uint32_t pageIndex, uint32_t width_px, uint32_t height_px, TPdfWriterDrawFlags drawFlags) {
  PDFW_FUNC(UpdatePage);
  begin(f);
  HDC dc = PDFW_PROC(UpdatePage)(context, pageIndex, width_px, height_px, drawFlags);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(dc != nullptr, this, f);
  return dc;
}

void TPdfWriter::DeletePage(uint32_t pageIndex) {
  PDFW_FUNC(DeletePage);
  begin(f);
  check(PDFW_PROC(DeletePage)(context, pageIndex), f);
}

void TPdfWriter::AddPagesFrom(TPdfWriter* from, uint32_t pageIndex, uint32_t pageCount) {
  PDFW_FUNC(AddPagesFrom);
  begin(f);
  checkFrom(from, f);
  check(PDFW_PROC(AddPagesFrom)(context, from->context, pageIndex, pageCount), f);
}

void TPdfWriter::InsertPageFrom(uint32_t pageIndexTo, TPdfWriter* from, uint32_t pageIndexFrom) {
  PDFW_FUNC(InsertPageFrom);
  begin(f);
  checkFrom(from, f);
  check(PDFW_PROC(InsertPageFrom)(context, pageIndexTo, from->context, pageIndexFrom), f);
}

HDC TPdfWriter::AddResource(uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                            TPdfWriterDrawFlags drawFlags) {
  PDFW_FUNC(AddResource);
  begin(f);
  HDC dc = PDFW_PROC(AddResource)(context, width_u, height_u, width_px, height_px, drawFlags);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(dc != nullptr, this, f);
  return dc;
}

uint32_t TPdfWriter::FinishResource(HDC dc) {
  PDFW_FUNC(FinishResource);
  begin(f);
  ThrowIfFail(dc != nullptr, "dc <> HDC(0)", f);
  const uint32_t id = PDFW_PROC(FinishResource)(context, dc);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(id != 0, this, f);
  return id;
}

uint32_t TPdfWriter::AddPageFromAsResource(TPdfWriter* from, uint32_t pageIndex, bool useTrimBox) {
  PDFW_FUNC(AddPageFromAsResource);
  begin(f);
  checkFrom(from, f);
  const uint32_t id = PDFW_PROC(AddPageFromAsResource)(context, from->context, pageIndex, Bool32(useTrimBox));
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(id != 0, this, f);
  return id;
}

uint32_t TPdfWriter::PageToResource(uint32_t pageIndex) {
  PDFW_FUNC(PageToResource);
  begin(f);
  const uint32_t id = PDFW_PROC(PageToResource)(context, pageIndex);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(id != 0, this, f);
  return id;
}

void TPdfWriter::GetResourceSize(uint32_t resourceID, uint32_t& width_u, uint32_t& height_u) {
  PDFW_FUNC(GetResourceSize);
  begin(f);
  check(PDFW_PROC(GetResourceSize)(context, resourceID, &width_u, &height_u), f);
}

void TPdfWriter::DrawResource(uint32_t resourceID, uint32_t pageIndex, TPdfWriterUnit unitValue, int32_t x, int32_t y,
                              int32_t scaleX, int32_t scaleY) {
  PDFW_FUNC(DrawResource);
  begin(f);
  check(PDFW_PROC(DrawResource)(context, resourceID, pageIndex, static_cast<uint32_t>(unitValue), x, y, scaleX, scaleY),
        f);
}

void TPdfWriter::DrawResourceWithMatrix(uint32_t resourceID, uint32_t pageIndex, double a, double b, double c,
                                        double d, double e, double f_) {
  PDFW_FUNC(DrawResourceWithMatrix);
  begin(f);
  const int32_t m[6] = {Thousandths(a), Thousandths(b), Thousandths(c), Thousandths(d), Thousandths(e), Thousandths(f_)};
  check(PDFW_PROC(DrawResourceWithMatrix)(context, resourceID, pageIndex, m[0], m[1], m[2], m[3], m[4], m[5]), f);
}

// --- Document information, embedded files, links, bookmarks -------------

void TPdfWriter::SetDocumentInfo(const std::string& name, const std::wstring& value) {
  PDFW_FUNC(SetDocumentInfo);
  begin(f);
  check(PDFW_PROC(SetDocumentInfo)(context, name.c_str(), value.c_str()), f);
}

bool TPdfWriter::GetDocumentInfoExists(const std::string& name) {
  PDFW_FUNC(GetDocumentInfoExists);
  begin(f);
  uint32_t exists = 0;
  check(PDFW_PROC(GetDocumentInfoExists)(context, name.c_str(), &exists), f);
  return exists != 0;
}

std::wstring TPdfWriter::GetDocumentInfo(const std::string& name) {
  PDFW_FUNC(GetDocumentInfo);
  begin(f);
  auto p = PDFW_PROC(GetDocumentInfo);
  return getText<wchar_t>(f, [&](wchar_t* buf, uint32_t* len) { return p(context, name.c_str(), buf, len); });
}

void TPdfWriter::EmbedFile(const std::string& fileName) {
  PDFW_FUNC(EmbedFile);
  begin(f);
  check(PDFW_PROC(EmbedFile)(context, fileName.c_str()), f);
}

void TPdfWriter::EmbedFileW(const std::wstring& fileName) {
  PDFW_FUNC(EmbedFileW);
  begin(f);
  check(PDFW_PROC(EmbedFileW)(context, fileName.c_str()), f);
}

void TPdfWriter::EmbedData(const std::string& fileName, const void* data, uint32_t dataLength) {
  PDFW_FUNC(EmbedData);
  begin(f);
  ThrowIfFail(data != nullptr, "data <> nil", f);
  check(PDFW_PROC(EmbedData)(context, fileName.c_str(), data, dataLength), f);
}

void TPdfWriter::EmbedDataW(const std::wstring& fileName, const void* data, uint32_t dataLength) {
  PDFW_FUNC(EmbedDataW);
  begin(f);
  ThrowIfFail(data != nullptr, "data <> nil", f);
  check(PDFW_PROC(EmbedDataW)(context, fileName.c_str(), data, dataLength), f);
}

int32_t TPdfWriter::GetEmbeddedFileCount() {
  PDFW_FUNC(GetEmbeddedFileCount);
  begin(f);
  const int32_t count = PDFW_PROC(GetEmbeddedFileCount)(context);
  rethrowCallbackFailure();
  return count;
}

std::string TPdfWriter::GetEmbeddedFileName(uint32_t index) {
  PDFW_FUNC(GetEmbeddedFileName);
  begin(f);
  auto p = PDFW_PROC(GetEmbeddedFileName);
  return getText<char>(f, [&](char* buf, uint32_t* len) { return p(context, index, buf, len); });
}

std::wstring TPdfWriter::GetEmbeddedFileNameW(uint32_t index) {
  PDFW_FUNC(GetEmbeddedFileNameW);
  begin(f);
  auto p = PDFW_PROC(GetEmbeddedFileNameW);
  return getText<wchar_t>(f, [&](wchar_t* buf, uint32_t* len) { return p(context, index, buf, len); });
}

bool TPdfWriter::GetEmbeddedFileData(uint32_t index, void* data, uint32_t& dataLength) {
  PDFW_FUNC(GetEmbeddedFileData);
  begin(f);
  const PdfWriterStatus status = PDFW_PROC(GetEmbeddedFileData)(context, index, data, &dataLength);
  rethrowCallbackFailure();
  return status != 0;
}

void TPdfWriter::CreateLinkAnnotation(uint32_t annotationPageIndex, const TPdfRect& r,
                                      TPdfWriterAnnotationFlags annotationFlags, uint32_t annotationResourceID,
                                      uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u,
                                      const std::wstring& destinationDescription) {
  PDFW_FUNC(CreateLinkAnnotation);
  begin(f);
  const int32_t width = Extent(r.left, r.right), height = Extent(r.top, r.bottom);
  check(PDFW_PROC(CreateLinkAnnotation)(context, annotationPageIndex, r.left, r.top, width, height, annotationFlags,
                                        annotationResourceID, destinationPageIndex, destinationX_u, destinationY_u,
                                        destinationDescription.c_str()),
        f);
}

uint32_t TPdfWriter::CreateBookmarkRoot(const std::wstring& title, TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                                        uint32_t destinationPageIndex, uint32_t destinationX_u,
                                        uint32_t destinationY_u) {
  PDFW_FUNC(CreateBookmarkRoot);
  begin(f);
  const COLORREF c = ResolveColor(titleColor);
  const uint32_t id = PDFW_PROC(CreateBookmarkRoot)(context, title.c_str(), flags, Red(c), Green(c), Blue(c),
                                                    destinationPageIndex, destinationX_u, destinationY_u);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(id != 0, this, f);
  return id;
}

uint32_t TPdfWriter::CreateBookmarkChild(uint32_t parentBookmarkID, const std::wstring& title,
                                         TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                                         uint32_t destinationPageIndex, uint32_t destinationX_u,
                                         uint32_t destinationY_u) {
  PDFW_FUNC(CreateBookmarkChild);
  begin(f);
  const COLORREF c = ResolveColor(titleColor);
  const uint32_t id = PDFW_PROC(CreateBookmarkChild)(context, parentBookmarkID, title.c_str(), flags, Red(c), Green(c),
                                                     Blue(c), destinationPageIndex, destinationX_u, destinationY_u);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(id != 0, this, f);
  return id;
}

uint32_t TPdfWriter::CreateBookmarkSibling(uint32_t previousBookmarkID, const std::wstring& title,
                                           TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                                           uint32_t destinationPageIndex, uint32_t destinationX_u,
                                           uint32_t destinationY_u) {
  PDFW_FUNC(CreateBookmarkSibling);
  begin(f);
  const COLORREF c = ResolveColor(titleColor);
  const uint32_t id = PDFW_PROC(CreateBookmarkSibling)(context, previousBookmarkID, title.c_str(), flags, Red(c),
                                                       Green(c), Blue(c), destinationPageIndex, destinationX_u,
                                                       destinationY_u);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(id != 0, this, f);
  return id;
}

void* TPdfWriter::GetNativeDocument() {
  PDFW_FUNC(GetNativeDocument);
  begin(f);
  void* doc = PDFW_PROC(GetNativeDocument)(context);
  rethrowCallbackFailure();
  ThrowLastErrorIfFail(doc != nullptr, this, f);
  return doc;
}

void TPdfWriter::DrawDebugPage(const std::string& filename) {
  PDFW_FUNC(DrawDebugPage);
  begin(f);
  check(PDFW_PROC(DrawDebugPage)(context, filename.c_str()), f);
}

// --- Signatures ---------------------------------------------------------

bool TPdfWriter::GetDocumentIsSigned() {
  PDFW_FUNC(GetDocumentIsSigned);
  begin(f);
  uint32_t flag = 0;
  check(PDFW_PROC(GetDocumentIsSigned)(context, &flag), f);
  return flag != 0;
}

uint32_t TPdfWriter::GetSignatureCount() {
  PDFW_FUNC(GetSignatureCount);
  begin(f);
  uint32_t count = 0;
  check(PDFW_PROC(GetSignatureCount)(context, &count), f);
  return count;
}

std::string TPdfWriter::GetSignatureName(uint32_t index) {
  PDFW_FUNC(GetSignatureName);
  begin(f);
  auto p = PDFW_PROC(GetSignatureName);
  return getText<char>(f, [&](char* buf, uint32_t* len) { return p(context, index, buf, len); });
}

uint32_t TPdfWriter::CreateSignature(const std::string& name, uint32_t annotationPageIndex, const TPdfRect& r,
                                     TPdfWriterAnnotationFlags annotationFlags) {
  PDFW_FUNC(CreateSignature);
  begin(f);
  const int32_t width = Extent(r.left, r.right), height = Extent(r.top, r.bottom);
  uint32_t index = 0;
  check(PDFW_PROC(CreateSignature)(context, name.c_str(), annotationPageIndex, r.left, r.top, width, height,
                                   annotationFlags, &index),
        f);
  return index;
}

bool TPdfWriter::GetSignatureHasData(uint32_t index) {
  PDFW_FUNC(GetSignatureHasData);
  begin(f);
  uint32_t flag = 0;
  check(PDFW_PROC(GetSignatureHasData)(context, index, &flag), f);
  return flag != 0;
}

bool TPdfWriter::GetSignatureData(uint32_t index, void* data, uint32_t& dataLength) {
  PDFW_FUNC(GetSignatureData);
  begin(f);
  const PdfWriterStatus status = PDFW_PROC(GetSignatureData)(context, index, data, &dataLength);
  rethrowCallbackFailure();
  return status != 0;
}

bool TPdfWriter::GetSignatureRanges(uint32_t index, uint64_t* pRangesArray, uint32_t& pRangesArrayLength) {
  PDFW_FUNC(GetSignatureRanges);
  begin(f);
  const PdfWriterStatus status = PDFW_PROC(GetSignatureRanges)(context, index, pRangesArray, &pRangesArrayLength);
  rethrowCallbackFailure();
  return status != 0;
}

void TPdfWriter::SetSignatureDate(uint32_t index, TPdfDateTime dateOfSign) {
  PDFW_FUNC(SetSignatureDate);
  begin(f);
  check(PDFW_PROC(SetSignatureDate)(context, index, static_cast<int64_t>(dateOfSign.time_since_epoch().count())), f);
}

TPdfDateTime TPdfWriter::GetSignatureDate(uint32_t index) {
  PDFW_FUNC(GetSignatureDate);
  begin(f);
  int64_t seconds = 0;
  check(PDFW_PROC(GetSignatureDate)(context, index, &seconds), f);
  return TPdfDateTime(std::chrono::seconds(seconds));
}

void TPdfWriter::SetSignatureReason(uint32_t index, const std::wstring& reason) {
  PDFW_FUNC(SetSignatureReason);
  begin(f);
  check(PDFW_PROC(SetSignatureReason)(context, index, reason.c_str()), f);
}

std::wstring TPdfWriter::GetSignatureReason(uint32_t index) {
  PDFW_FUNC(GetSignatureReason);
  begin(f);
  auto p = PDFW_PROC(GetSignatureReason);
  return getText<wchar_t>(f, [&](wchar_t* buf, uint32_t* len) { return p(context, index, buf, len); });
}

void TPdfWriter::SetSignatureLocation(uint32_t index, const std::wstring& location) {
  PDFW_FUNC(SetSignatureLocation);
  begin(f);
  check(PDFW_PROC(SetSignatureLocation)(context, index, location.c_str()), f);
}

std::wstring TPdfWriter::GetSignatureLocation(uint32_t index) {
  PDFW_FUNC(GetSignatureLocation);
  begin(f);
  auto p = PDFW_PROC(GetSignatureLocation);
  return getText<wchar_t>(f, [&](wchar_t* buf, uint32_t* len) { return p(context, index, buf, len); });
}

void TPdfWriter::SetSignatureCreator(uint32_t index, const std::string& creator) {
  PDFW_FUNC(SetSignatureCreator);
  begin(f);
  check(PDFW_PROC(SetSignatureCreator)(context, index, creator.c_str()), f);
}

std::string TPdfWriter::GetSignatureCreator(uint32_t index) {
  PDFW_FUNC(GetSignatureCreator);
  begin(f);
  auto p = PDFW_PROC(GetSignatureCreator);
  return getText<char>(f, [&](char* buf, uint32_t* len) { return p(context, index, buf, len); });
}

void TPdfWriter::SetSignatureAppearance(uint32_t index, TPdfWriterAppearance appearanceType, uint32_t resourceID,
                                        int32_t offsetX_u, int32_t offsetY_u) {
  PDFW_FUNC(SetSignatureAppearance);
  begin(f);
  check(PDFW_PROC(SetSignatureAppearance)(context, index, static_cast<uint32_t>(appearanceType), resourceID, offsetX_u,
                                          offsetY_u),
        f);
}

void TPdfWriter::SetSignatureSize(uint32_t requestBytes) {
  PDFW_FUNC(SetSignatureSize);
  begin(f);
  check(PDFW_PROC(SetSignatureSize)(context, requestBytes), f);
}

void TPdfWriter::AddSignerPFX(const void* pfxData, uint32_t pfxDataLength, const std::string& pfxPassword) {
  PDFW_FUNC(AddSignerPFX);
  begin(f);
  check(PDFW_PROC(AddSignerPFX)(context, pfxData, pfxDataLength, pfxPassword.c_str()), f);
}

void TPdfWriter::AddSignerPEM(const void* pemData, uint32_t pemDataLength, const void* pkeyData,
                              uint32_t pkeyDataLength, const std::string& pkeyPassword) {
  PDFW_FUNC(AddSignerPEM);
  begin(f);
  check(PDFW_PROC(AddSignerPEM)(context, pemData, pemDataLength, pkeyData, pkeyDataLength, pkeyPassword.c_str()), f);
}

void TPdfWriter::SaveToFileWithSign(const std::string& fileName, uint32_t signatureIndex) {
  PDFW_FUNC(SaveToFileWithSign);
  begin(f);
  check(PDFW_PROC(SaveToFileWithSign)(context, fileName.c_str(), signatureIndex), f);
}

void TPdfWriter::SaveToFileWithSignW(const std::wstring& fileName, uint32_t signatureIndex) {
  PDFW_FUNC(SaveToFileWithSignW);
  begin(f);
  check(PDFW_PROC(SaveToFileWithSignW)(context, fileName.c_str(), signatureIndex), f);
}

bool TPdfWriter::SaveToDataWithSign(uint32_t signatureIndex, void* data, uint32_t& dataLength) {
  PDFW_FUNC(SaveToDataWithSign);
  begin(f);
  const PdfWriterStatus status = PDFW_PROC(SaveToDataWithSign)(context, signatureIndex, data, &dataLength);
  rethrowCallbackFailure();
  return status != 0;
}

void TPdfWriter::SaveToFileWithSignManual(const std::string& fileName, uint32_t signatureIndex,
                                          TPdfWriterAppendSignatureDataFunc appendSignatureData,
                                          void* append_user_data, TPdfWriterFinishSignatureFunc finishSignature,
                                          void* finish_user_data) {
  PDFW_FUNC(SaveToFileWithSignManual);
  begin(f);
  ThrowIfFail(appendSignatureData != nullptr, "Assigned(appendSignatureData)", f);
  ThrowIfFail(finishSignature != nullptr, "Assigned(finishSignature)", f);
  check(PDFW_PROC(SaveToFileWithSignManual)(context, fileName.c_str(), signatureIndex, appendSignatureData,
                                            append_user_data, finishSignature, finish_user_data),
        f);
}

void TPdfWriter::SaveToFileWithSignManualW(const std::wstring& fileName, uint32_t signatureIndex,
                                           TPdfWriterAppendSignatureDataFunc appendSignatureData,
                                           void* append_user_data, TPdfWriterFinishSignatureFunc finishSignature,
                                           void* finish_user_data) {
  PDFW_FUNC(SaveToFileWithSignManualW);
  begin(f);
  ThrowIfFail(appendSignatureData != nullptr, "Assigned(appendSignatureData)", f);
  ThrowIfFail(finishSignature != nullptr, "Assigned(finishSignature)", f);
  check(PDFW_PROC(SaveToFileWithSignManualW)(context, fileName.c_str(), signatureIndex, appendSignatureData,
                                             append_user_data, finishSignature, finish_user_data),
        f);
}

bool TPdfWriter::SaveToDataWithSignManual(uint32_t signatureIndex, TPdfWriterAppendSignatureDataFunc appendSignatureData,
                                          void* append_user_data, TPdfWriterFinishSignatureFunc finishSignature,
                                          void* finish_user_data, void* data, uint32_t& dataLength) {
  PDFW_FUNC(SaveToDataWithSignManual);
  begin(f);
  ThrowIfFail(appendSignatureData != nullptr, "Assigned(appendSignatureData)", f);
  ThrowIfFail(finishSignature != nullptr, "Assigned(finishSignature)", f);
  const PdfWriterStatus status = PDFW_PROC(SaveToDataWithSignManual)(
      context, signatureIndex, appendSignatureData, append_user_data, finishSignature, finish_user_data, data, &dataLength);
  rethrowCallbackFailure();
  return status != 0;
}
