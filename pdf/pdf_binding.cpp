#include "pdf/pdf_binding.h"

#include <cmath>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/encoding.h"

namespace skan::pdf {

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
        kInvalidLibrary,
        std::string(_func) + ": This TPdfWriter class is not designed for API version of pdfwriter.dll");
  }
  freeLastError();
  PdfWriterProc_CreateContext create;
  try {
    create = reinterpret_cast<PdfWriterProc_CreateContext>(reinterpret_cast<void*>(GetProc("pdfwriter_CreateContext")));
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
std::basic_string<C> TPdfWriter::getText(const char* _func, F fetch) {
  uint32_t length = 0;
  check(fetch(nullptr, &length), _func);
  if (length == UINT32_MAX) throw std::overflow_error(std::string(_func) + ": text length overflows");
  const uint32_t capacity = length + 1;
  std::unique_ptr<C[]> buffer(new (std::nothrow) C[capacity]());
  ThrowMessageIfFail(buffer != nullptr, "Out of memory!", _func);
  uint32_t stored = capacity;
  freeLastError();
  const PdfWriterStatus status = fetch(buffer.get(), &stored);
  rethrowCallbackFailure();
  if (!status) {
    buffer.reset();
    ThrowLastErrorIfFail(false, this, _func);
  }
  if (stored >= capacity) stored = capacity - 1;
  buffer[stored] = 0;
  return std::basic_string<C>(buffer.get());
}

template <class P, class... A>
auto TPdfWriter::call(const char* func, const char* entry, A... args) {
  begin(func);
  const P p = proc<P>(entry);
  if constexpr (std::is_void_v<decltype(p(context, args...))>) {
    p(context, args...);
    rethrowCallbackFailure();
  } else {
    const auto result = p(context, args...);
    rethrowCallbackFailure();
    return result;
  }
}

template <class P, class... A>
auto TPdfWriter::run(const char* func, const char* entry, A... args) {
  const auto result = call<P>(func, entry, args...);
  ThrowLastErrorIfFail(!!result, this, func);
  return result;
}

template <class C, class P, class... A>
std::basic_string<C> TPdfWriter::text(const char* func, const char* entry, A... args) {
  begin(func);
  const P p = proc<P>(entry);
  return getText<C>(func, [&](C* buf, uint32_t* len) { return p(context, args..., buf, len); });
}

// Each operation goes by two names: "TPdfWriter.<name>" in its failures and
// "pdfwriter_<name>", the library's entry point of type PdfWriterProc_<name>.
#define PDFW_CALL(name, ...) \
  call<PdfWriterProc_##name>("TPdfWriter." #name, "pdfwriter_" #name __VA_OPT__(, ) __VA_ARGS__)
#define PDFW_RUN(name, ...) \
  run<PdfWriterProc_##name>("TPdfWriter." #name, "pdfwriter_" #name __VA_OPT__(, ) __VA_ARGS__)
#define PDFW_TEXT(C, name, ...) \
  text<C, PdfWriterProc_##name>("TPdfWriter." #name, "pdfwriter_" #name __VA_OPT__(, ) __VA_ARGS__)
#define PDFW_FUNC(name) const char* const f = "TPdfWriter." #name

// --- Units --------------------------------------------------------------

void TPdfWriter::SetUnit(TPdfWriterUnit unitValue) { PDFW_RUN(SetUnit, static_cast<uint32_t>(unitValue)); }

TPdfWriterUnit TPdfWriter::GetUnit() {
  PDFW_FUNC(GetUnit);
  begin(f);
  const uint8_t unit = static_cast<uint8_t>(PDFW_CALL(GetUnit) & 0xFF);
  ThrowLastErrorIfFail(unit >= 1 && unit <= 8, this, f);
  return static_cast<TPdfWriterUnit>(unit);
}

// --- Documents ----------------------------------------------------------

void TPdfWriter::CreateMemDocument() { PDFW_RUN(CreateMemDocument); }

void TPdfWriter::PrepareEncryption(const std::string& userPassword, const std::string& ownerPassword,
                                   TPdfWriterEncryptPermission permissions, TPdfWriterEncryptAlgorithm algorithm) {
  PDFW_RUN(PrepareEncryption, userPassword.c_str(), ownerPassword.empty() ? nullptr : ownerPassword.c_str(),
           permissions, algorithm);
}

void TPdfWriter::CreateFileDocument(const std::string& fileName) { PDFW_RUN(CreateFileDocument, fileName.c_str()); }

void TPdfWriter::CreateFileDocumentW(const std::wstring& fileName) { PDFW_RUN(CreateFileDocumentW, fileName.c_str()); }

void TPdfWriter::LoadFromFile(const std::string& fileName, const std::string& password, bool loadCompletely,
                              bool forUpdate) {
  PDFW_FUNC(LoadFromFile);
  begin(f);
  ThrowIfFail(!fileName.empty(), "Length(fileName) > 0", f);
  PDFW_RUN(LoadFromFile, fileName.c_str(), password.c_str(), Bool32(loadCompletely), Bool32(forUpdate));
}

void TPdfWriter::LoadFromFileW(const std::wstring& fileName, const std::string& password, bool loadCompletely,
                               bool forUpdate) {
  PDFW_FUNC(LoadFromFileW);
  begin(f);
  ThrowIfFail(!fileName.empty(), "Length(fileName) > 0", f);
  PDFW_RUN(LoadFromFileW, fileName.c_str(), password.c_str(), Bool32(loadCompletely), Bool32(forUpdate));
}

void TPdfWriter::LoadFromData(const void* data, uint32_t dataLength, const std::string& password, bool forUpdate) {
  PDFW_FUNC(LoadFromData);
  begin(f);
  ThrowIfFail(data != nullptr, "data <> nil", f);
  PDFW_RUN(LoadFromData, data, dataLength, password.c_str(), Bool32(forUpdate));
}

void TPdfWriter::SaveToFile(const std::string& fileName) { PDFW_RUN(SaveToFile, fileName.c_str()); }

void TPdfWriter::SaveToFileW(const std::wstring& fileName) { PDFW_RUN(SaveToFileW, fileName.c_str()); }

bool TPdfWriter::SaveToData(void* data, uint32_t& dataLength) { return PDFW_CALL(SaveToData, data, &dataLength) != 0; }

void TPdfWriter::Close() { PDFW_CALL(Close); }

// --- Pages and resources ------------------------------------------------

HDC TPdfWriter::AddPage(uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                        TPdfWriterDrawFlags drawFlags) {
  return PDFW_RUN(AddPage, width_u, height_u, width_px, height_px, drawFlags);
}

void TPdfWriter::FinishPage(HDC dc) {
  PDFW_FUNC(FinishPage);
  begin(f);
  ThrowIfFail(dc != nullptr, "dc <> HDC(0)", f);
  PDFW_RUN(FinishPage, dc);
}

uint32_t TPdfWriter::GetPageCount() {
  uint32_t count = 0;
  PDFW_RUN(GetPageCount, &count);
  return count;
}

void TPdfWriter::GetPageSize(uint32_t pageIndex, uint32_t& width_u, uint32_t& height_u) {
  PDFW_RUN(GetPageSize, pageIndex, &width_u, &height_u);
}

HDC TPdfWriter::InsertPage(uint32_t pageIndex, uint32_t width_u, uint32_t height_u, uint32_t width_px,
                           uint32_t height_px, TPdfWriterDrawFlags drawFlags) {
  return PDFW_RUN(InsertPage, pageIndex, width_u, height_u, width_px, height_px, drawFlags);
}

HDC TPdfWriter::UpdatePage(uint32_t pageIndex, uint32_t width_px, uint32_t height_px, TPdfWriterDrawFlags drawFlags) {
  return PDFW_RUN(UpdatePage, pageIndex, width_px, height_px, drawFlags);
}

void TPdfWriter::DeletePage(uint32_t pageIndex) { PDFW_RUN(DeletePage, pageIndex); }

void TPdfWriter::AddPagesFrom(TPdfWriter* from, uint32_t pageIndex, uint32_t pageCount) {
  PDFW_FUNC(AddPagesFrom);
  begin(f);
  checkFrom(from, f);
  PDFW_RUN(AddPagesFrom, from->context, pageIndex, pageCount);
}

void TPdfWriter::InsertPageFrom(uint32_t pageIndexTo, TPdfWriter* from, uint32_t pageIndexFrom) {
  PDFW_FUNC(InsertPageFrom);
  begin(f);
  checkFrom(from, f);
  PDFW_RUN(InsertPageFrom, pageIndexTo, from->context, pageIndexFrom);
}

HDC TPdfWriter::AddResource(uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                            TPdfWriterDrawFlags drawFlags) {
  return PDFW_RUN(AddResource, width_u, height_u, width_px, height_px, drawFlags);
}

uint32_t TPdfWriter::FinishResource(HDC dc) {
  PDFW_FUNC(FinishResource);
  begin(f);
  ThrowIfFail(dc != nullptr, "dc <> HDC(0)", f);
  return PDFW_RUN(FinishResource, dc);
}

uint32_t TPdfWriter::AddPageFromAsResource(TPdfWriter* from, uint32_t pageIndex, bool useTrimBox) {
  PDFW_FUNC(AddPageFromAsResource);
  begin(f);
  checkFrom(from, f);
  return PDFW_RUN(AddPageFromAsResource, from->context, pageIndex, Bool32(useTrimBox));
}

uint32_t TPdfWriter::PageToResource(uint32_t pageIndex) { return PDFW_RUN(PageToResource, pageIndex); }

void TPdfWriter::GetResourceSize(uint32_t resourceID, uint32_t& width_u, uint32_t& height_u) {
  PDFW_RUN(GetResourceSize, resourceID, &width_u, &height_u);
}

void TPdfWriter::DrawResource(uint32_t resourceID, uint32_t pageIndex, TPdfWriterUnit unitValue, int32_t x, int32_t y,
                              int32_t scaleX, int32_t scaleY) {
  PDFW_RUN(DrawResource, resourceID, pageIndex, static_cast<uint32_t>(unitValue), x, y, scaleX, scaleY);
}

void TPdfWriter::DrawResourceWithMatrix(uint32_t resourceID, uint32_t pageIndex, double a, double b, double c, double d,
                                        double e, double f_) {
  begin("TPdfWriter.DrawResourceWithMatrix");  // a missing library is told before a bad argument
  const int32_t m[6] = {Thousandths(a), Thousandths(b), Thousandths(c),
                        Thousandths(d), Thousandths(e), Thousandths(f_)};
  PDFW_RUN(DrawResourceWithMatrix, resourceID, pageIndex, m[0], m[1], m[2], m[3], m[4], m[5]);
}

void TPdfWriter::AddTextLayer(uint32_t pageIndex, uint32_t widthPx, uint32_t heightPx,
                              const std::vector<PdfWriterWord>& words) {
  PDFW_FUNC(AddTextLayer);
  begin(f);
  PDFW_RUN(AddTextLayer, pageIndex, widthPx, heightPx, words.empty() ? nullptr : words.data(),
           static_cast<uint32_t>(words.size()));
}

// --- Document information, embedded files, links, bookmarks -------------

void TPdfWriter::SetDocumentInfo(const std::string& name, const std::wstring& value) {
  PDFW_RUN(SetDocumentInfo, name.c_str(), value.c_str());
}

bool TPdfWriter::GetDocumentInfoExists(const std::string& name) {
  uint32_t exists = 0;
  PDFW_RUN(GetDocumentInfoExists, name.c_str(), &exists);
  return exists != 0;
}

std::wstring TPdfWriter::GetDocumentInfo(const std::string& name) {
  return PDFW_TEXT(wchar_t, GetDocumentInfo, name.c_str());
}

void TPdfWriter::EmbedFile(const std::string& fileName) { PDFW_RUN(EmbedFile, fileName.c_str()); }

void TPdfWriter::EmbedFileW(const std::wstring& fileName) { PDFW_RUN(EmbedFileW, fileName.c_str()); }

void TPdfWriter::EmbedData(const std::string& fileName, const void* data, uint32_t dataLength) {
  PDFW_FUNC(EmbedData);
  begin(f);
  ThrowIfFail(data != nullptr, "data <> nil", f);
  PDFW_RUN(EmbedData, fileName.c_str(), data, dataLength);
}

void TPdfWriter::EmbedDataW(const std::wstring& fileName, const void* data, uint32_t dataLength) {
  PDFW_FUNC(EmbedDataW);
  begin(f);
  ThrowIfFail(data != nullptr, "data <> nil", f);
  PDFW_RUN(EmbedDataW, fileName.c_str(), data, dataLength);
}

int32_t TPdfWriter::GetEmbeddedFileCount() { return PDFW_CALL(GetEmbeddedFileCount); }

std::string TPdfWriter::GetEmbeddedFileName(uint32_t index) { return PDFW_TEXT(char, GetEmbeddedFileName, index); }

std::wstring TPdfWriter::GetEmbeddedFileNameW(uint32_t index) {
  return PDFW_TEXT(wchar_t, GetEmbeddedFileNameW, index);
}

bool TPdfWriter::GetEmbeddedFileData(uint32_t index, void* data, uint32_t& dataLength) {
  return PDFW_CALL(GetEmbeddedFileData, index, data, &dataLength) != 0;
}

void TPdfWriter::CreateLinkAnnotation(uint32_t annotationPageIndex, const TPdfRect& r,
                                      TPdfWriterAnnotationFlags annotationFlags, uint32_t annotationResourceID,
                                      uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u,
                                      const std::wstring& destinationDescription) {
  begin("TPdfWriter.CreateLinkAnnotation");  // a missing library is told before a bad argument
  const int32_t width = Extent(r.left, r.right), height = Extent(r.top, r.bottom);
  PDFW_RUN(CreateLinkAnnotation, annotationPageIndex, r.left, r.top, width, height, annotationFlags,
           annotationResourceID, destinationPageIndex, destinationX_u, destinationY_u, destinationDescription.c_str());
}

uint32_t TPdfWriter::CreateBookmarkRoot(const std::wstring& title, TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                                        uint32_t destinationPageIndex, uint32_t destinationX_u,
                                        uint32_t destinationY_u) {
  const COLORREF c = ResolveColor(titleColor);
  return PDFW_RUN(CreateBookmarkRoot, title.c_str(), flags, Red(c), Green(c), Blue(c), destinationPageIndex,
                  destinationX_u, destinationY_u);
}

uint32_t TPdfWriter::CreateBookmarkChild(uint32_t parentBookmarkID, const std::wstring& title,
                                         TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                                         uint32_t destinationPageIndex, uint32_t destinationX_u,
                                         uint32_t destinationY_u) {
  const COLORREF c = ResolveColor(titleColor);
  return PDFW_RUN(CreateBookmarkChild, parentBookmarkID, title.c_str(), flags, Red(c), Green(c), Blue(c),
                  destinationPageIndex, destinationX_u, destinationY_u);
}

uint32_t TPdfWriter::CreateBookmarkSibling(uint32_t previousBookmarkID, const std::wstring& title,
                                           TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                                           uint32_t destinationPageIndex, uint32_t destinationX_u,
                                           uint32_t destinationY_u) {
  const COLORREF c = ResolveColor(titleColor);
  return PDFW_RUN(CreateBookmarkSibling, previousBookmarkID, title.c_str(), flags, Red(c), Green(c), Blue(c),
                  destinationPageIndex, destinationX_u, destinationY_u);
}

void* TPdfWriter::GetNativeDocument() { return PDFW_RUN(GetNativeDocument); }

void TPdfWriter::DrawDebugPage(const std::string& filename) { PDFW_RUN(DrawDebugPage, filename.c_str()); }

// --- Signatures ---------------------------------------------------------

bool TPdfWriter::GetDocumentIsSigned() {
  uint32_t flag = 0;
  PDFW_RUN(GetDocumentIsSigned, &flag);
  return flag != 0;
}

uint32_t TPdfWriter::GetSignatureCount() {
  uint32_t count = 0;
  PDFW_RUN(GetSignatureCount, &count);
  return count;
}

std::string TPdfWriter::GetSignatureName(uint32_t index) { return PDFW_TEXT(char, GetSignatureName, index); }

uint32_t TPdfWriter::CreateSignature(const std::string& name, uint32_t annotationPageIndex, const TPdfRect& r,
                                     TPdfWriterAnnotationFlags annotationFlags) {
  begin("TPdfWriter.CreateSignature");  // a missing library is told before a bad argument
  const int32_t width = Extent(r.left, r.right), height = Extent(r.top, r.bottom);
  uint32_t index = 0;
  PDFW_RUN(CreateSignature, name.c_str(), annotationPageIndex, r.left, r.top, width, height, annotationFlags, &index);
  return index;
}

bool TPdfWriter::GetSignatureHasData(uint32_t index) {
  uint32_t flag = 0;
  PDFW_RUN(GetSignatureHasData, index, &flag);
  return flag != 0;
}

bool TPdfWriter::GetSignatureData(uint32_t index, void* data, uint32_t& dataLength) {
  return PDFW_CALL(GetSignatureData, index, data, &dataLength) != 0;
}

bool TPdfWriter::GetSignatureRanges(uint32_t index, uint64_t* pRangesArray, uint32_t& pRangesArrayLength) {
  return PDFW_CALL(GetSignatureRanges, index, pRangesArray, &pRangesArrayLength) != 0;
}

void TPdfWriter::SetSignatureDate(uint32_t index, TPdfDateTime dateOfSign) {
  PDFW_RUN(SetSignatureDate, index, static_cast<int64_t>(dateOfSign.time_since_epoch().count()));
}

TPdfDateTime TPdfWriter::GetSignatureDate(uint32_t index) {
  int64_t seconds = 0;
  PDFW_RUN(GetSignatureDate, index, &seconds);
  return TPdfDateTime(std::chrono::seconds(seconds));
}

void TPdfWriter::SetSignatureReason(uint32_t index, const std::wstring& reason) {
  PDFW_RUN(SetSignatureReason, index, reason.c_str());
}

std::wstring TPdfWriter::GetSignatureReason(uint32_t index) { return PDFW_TEXT(wchar_t, GetSignatureReason, index); }

void TPdfWriter::SetSignatureLocation(uint32_t index, const std::wstring& location) {
  PDFW_RUN(SetSignatureLocation, index, location.c_str());
}

std::wstring TPdfWriter::GetSignatureLocation(uint32_t index) {
  return PDFW_TEXT(wchar_t, GetSignatureLocation, index);
}

void TPdfWriter::SetSignatureCreator(uint32_t index, const std::string& creator) {
  PDFW_RUN(SetSignatureCreator, index, creator.c_str());
}

std::string TPdfWriter::GetSignatureCreator(uint32_t index) { return PDFW_TEXT(char, GetSignatureCreator, index); }

void TPdfWriter::SetSignatureAppearance(uint32_t index, TPdfWriterAppearance appearanceType, uint32_t resourceID,
                                        int32_t offsetX_u, int32_t offsetY_u) {
  PDFW_RUN(SetSignatureAppearance, index, static_cast<uint32_t>(appearanceType), resourceID, offsetX_u, offsetY_u);
}

void TPdfWriter::SetSignatureSize(uint32_t requestBytes) { PDFW_RUN(SetSignatureSize, requestBytes); }

void TPdfWriter::AddSignerPFX(const void* pfxData, uint32_t pfxDataLength, const std::string& pfxPassword) {
  PDFW_RUN(AddSignerPFX, pfxData, pfxDataLength, pfxPassword.c_str());
}

void TPdfWriter::AddSignerPEM(const void* pemData, uint32_t pemDataLength, const void* pkeyData,
                              uint32_t pkeyDataLength, const std::string& pkeyPassword) {
  PDFW_RUN(AddSignerPEM, pemData, pemDataLength, pkeyData, pkeyDataLength, pkeyPassword.c_str());
}

void TPdfWriter::SaveToFileWithSign(const std::string& fileName, uint32_t signatureIndex) {
  PDFW_RUN(SaveToFileWithSign, fileName.c_str(), signatureIndex);
}

void TPdfWriter::SaveToFileWithSignW(const std::wstring& fileName, uint32_t signatureIndex) {
  PDFW_RUN(SaveToFileWithSignW, fileName.c_str(), signatureIndex);
}

bool TPdfWriter::SaveToDataWithSign(uint32_t signatureIndex, void* data, uint32_t& dataLength) {
  return PDFW_CALL(SaveToDataWithSign, signatureIndex, data, &dataLength) != 0;
}

void TPdfWriter::SaveToFileWithSignManual(const std::string& fileName, uint32_t signatureIndex,
                                          TPdfWriterAppendSignatureDataFunc appendSignatureData, void* append_user_data,
                                          TPdfWriterFinishSignatureFunc finishSignature, void* finish_user_data) {
  PDFW_FUNC(SaveToFileWithSignManual);
  begin(f);
  ThrowIfFail(appendSignatureData != nullptr, "Assigned(appendSignatureData)", f);
  ThrowIfFail(finishSignature != nullptr, "Assigned(finishSignature)", f);
  PDFW_RUN(SaveToFileWithSignManual, fileName.c_str(), signatureIndex, appendSignatureData, append_user_data,
           finishSignature, finish_user_data);
}

void TPdfWriter::SaveToFileWithSignManualW(const std::wstring& fileName, uint32_t signatureIndex,
                                           TPdfWriterAppendSignatureDataFunc appendSignatureData,
                                           void* append_user_data, TPdfWriterFinishSignatureFunc finishSignature,
                                           void* finish_user_data) {
  PDFW_FUNC(SaveToFileWithSignManualW);
  begin(f);
  ThrowIfFail(appendSignatureData != nullptr, "Assigned(appendSignatureData)", f);
  ThrowIfFail(finishSignature != nullptr, "Assigned(finishSignature)", f);
  PDFW_RUN(SaveToFileWithSignManualW, fileName.c_str(), signatureIndex, appendSignatureData, append_user_data,
           finishSignature, finish_user_data);
}

bool TPdfWriter::SaveToDataWithSignManual(uint32_t signatureIndex,
                                          TPdfWriterAppendSignatureDataFunc appendSignatureData, void* append_user_data,
                                          TPdfWriterFinishSignatureFunc finishSignature, void* finish_user_data,
                                          void* data, uint32_t& dataLength) {
  PDFW_FUNC(SaveToDataWithSignManual);
  begin(f);
  ThrowIfFail(appendSignatureData != nullptr, "Assigned(appendSignatureData)", f);
  ThrowIfFail(finishSignature != nullptr, "Assigned(finishSignature)", f);
  return PDFW_CALL(SaveToDataWithSignManual, signatureIndex, appendSignatureData, append_user_data, finishSignature,
                   finish_user_data, data, &dataLength) != 0;
}

}  // namespace skan::pdf
