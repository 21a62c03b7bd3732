// TPdfWriter: the run-time binding to "pdfwriter.dll". One object owns one
// loaded library instance and one library context, both taken on its first
// operation. Every failure is raised as a TPdfWriterException naming the
// operation ("TPdfWriter.AddPage: ...").
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "external/pdfwriter.h"
#include "pdf/pdfwriter_units.h"

namespace skan::pdf {

inline constexpr const wchar_t* PDFWRITER_DLL_NAME = L"pdfwriter.dll";
inline constexpr uint16_t PdfWriter_API_Major = 2;
inline constexpr uint16_t PdfWriter_API_Minor = 0;

using TPdfWriterDrawFlags = uint32_t;
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_None = 0;
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_EmbedFontsComplete = 1;
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_EmbedFontsSubset = 2;
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_SubstituteFonts = 4;
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_CompressImagesWithJPEG = 8;
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_EmbedFontsNone = 16;
// Scanned colour and grey pages in compact form (text as coloured masks over
// a JPEG background, photographs as one JPEG); black-and-white unchanged.
inline constexpr TPdfWriterDrawFlags PdfWriterDrawFlag_CompactImages = 32;

using TPdfWriterEncryptPermission = uint32_t;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_None = 0;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_Print = 4;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_Edit = 8;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_Copy = 16;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_EditNotes = 32;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_FillAndSign = 256;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_Accessible = 512;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_DocAssembly = 1024;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_HighPrint = 2048;
inline constexpr TPdfWriterEncryptPermission PdfWriterEncryptPermission_All = 3900;

using TPdfWriterEncryptAlgorithm = uint32_t;
inline constexpr TPdfWriterEncryptAlgorithm PdfWriterEncryptAlgorithm_None = 0;
inline constexpr TPdfWriterEncryptAlgorithm PdfWriterEncryptAlgorithm_RC4V1 = 1;
inline constexpr TPdfWriterEncryptAlgorithm PdfWriterEncryptAlgorithm_RC4V2 = 2;
inline constexpr TPdfWriterEncryptAlgorithm PdfWriterEncryptAlgorithm_AESV2 = 4;
inline constexpr TPdfWriterEncryptAlgorithm PdfWriterEncryptAlgorithm_AESV3 = 8;

using TPdfWriterAnnotationFlags = uint32_t;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_None = 0;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_Invisible = 1;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_Hidden = 2;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_Print = 4;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_NoZoom = 8;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_NoRotate = 16;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_NoView = 32;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_Readonly = 64;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_Locked = 128;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_ToggleNoView = 256;
inline constexpr TPdfWriterAnnotationFlags PdfWriterAnnotationFlag_LockedContents = 512;

using TPdfWriterBookmarkFlags = uint32_t;
inline constexpr TPdfWriterBookmarkFlags PdfWriterBookmarkFlag_None = 0;
inline constexpr TPdfWriterBookmarkFlags PdfWriterBookmarkFlag_Italic = 1;
inline constexpr TPdfWriterBookmarkFlags PdfWriterBookmarkFlag_Bold = 2;

enum TPdfWriterAppearance : uint8_t {
  PdfWriterAppearance_Normal = 0,
  PdfWriterAppearance_Rollover = 1,
  PdfWriterAppearance_Down = 2,
};

using TPdfWriterErrorEvent = PdfWriterErrorFunc;
using TPdfWriterAppendSignatureDataFunc = PdfWriterAppendSignatureDataFunc;
using TPdfWriterFinishSignatureFunc = PdfWriterFinishSignatureFunc;

// A colour as 0x00BBGGRR, or a system colour as 0x80000000 + its index.
using TPdfColor = uint32_t;

struct TPdfRect {
  int32_t left, top, right, bottom;
};

using TPdfDateTime = std::chrono::sys_seconds;  // UTC

// what() is the text in UTF-8; getMessage() the library's bytes (ANSI).
class TPdfWriterException : public std::runtime_error {
 public:
  TPdfWriterException(uint32_t pCode, const std::string& pMsg);
  TPdfWriterException(const TPdfWriterException& src);
  uint32_t getCode() const { return code; }
  const std::string& getMessage() const { return msg; }

 private:
  uint32_t code;
  std::string msg;
};

class TPdfWriter {
 public:
  TPdfWriter() = default;
  virtual ~TPdfWriter();
  TPdfWriter(const TPdfWriter&) = delete;
  TPdfWriter& operator=(const TPdfWriter&) = delete;

  void setOnError(TPdfWriterErrorEvent pOnError, void* pOnErrorUserData);
  uint32_t getLastErrorCode() const { return lastErrorCode; }
  const std::string& getLastErrorMessage() const { return lastErrorMessage; }

  // Units.
  void SetUnit(TPdfWriterUnit unitValue);
  TPdfWriterUnit GetUnit();
  static double MMToUnitEx(TPdfWriterUnit useUnit, double mmValue) { return PdfMMToUnitEx(useUnit, mmValue); }
  static double UnitToMMEx(TPdfWriterUnit useUnit, double unitValue) { return PdfUnitToMMEx(useUnit, unitValue); }
  static double InchToUnitEx(TPdfWriterUnit useUnit, double inchValue) { return PdfInchToUnitEx(useUnit, inchValue); }
  static double UnitToInchEx(TPdfWriterUnit useUnit, double unitValue) { return PdfUnitToInchEx(useUnit, unitValue); }
  double MMToUnit(double mmValue) { return MMToUnitEx(GetUnit(), mmValue); }
  double UnitToMM(double unitValue) { return UnitToMMEx(GetUnit(), unitValue); }
  double InchToUnit(double inchValue) { return InchToUnitEx(GetUnit(), inchValue); }
  double UnitToInch(double unitValue) { return UnitToInchEx(GetUnit(), unitValue); }

  // Documents.
  void CreateMemDocument();
  void PrepareEncryption(const std::string& userPassword, const std::string& ownerPassword,
                         TPdfWriterEncryptPermission permissions, TPdfWriterEncryptAlgorithm algorithm);
  void CreateFileDocument(const std::string& fileName);
  void CreateFileDocumentW(const std::wstring& fileName);
  void LoadFromFile(const std::string& fileName, const std::string& password, bool loadCompletely, bool forUpdate);
  void LoadFromFileW(const std::wstring& fileName, const std::string& password, bool loadCompletely, bool forUpdate);
  void LoadFromData(const void* data, uint32_t dataLength, const std::string& password, bool forUpdate);
  void SaveToFile(const std::string& fileName);
  void SaveToFileW(const std::wstring& fileName);
  bool SaveToData(void* data, uint32_t& dataLength);
  void Close();

  // Pages and resources.
  HDC AddPage(uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
              TPdfWriterDrawFlags drawFlags);
  void FinishPage(HDC dc);
  uint32_t GetPageCount();
  void GetPageSize(uint32_t pageIndex, uint32_t& width_u, uint32_t& height_u);
  HDC InsertPage(uint32_t pageIndex, uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                 TPdfWriterDrawFlags drawFlags);
  HDC UpdatePage(uint32_t pageIndex, uint32_t width_px, uint32_t height_px, TPdfWriterDrawFlags drawFlags);
  void DeletePage(uint32_t pageIndex);
  void AddPagesFrom(TPdfWriter* from, uint32_t pageIndex, uint32_t pageCount);
  void InsertPageFrom(uint32_t pageIndexTo, TPdfWriter* from, uint32_t pageIndexFrom);
  HDC AddResource(uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,
                  TPdfWriterDrawFlags drawFlags);
  uint32_t FinishResource(HDC dc);
  uint32_t AddPageFromAsResource(TPdfWriter* from, uint32_t pageIndex, bool useTrimBox);
  uint32_t PageToResource(uint32_t pageIndex);
  void GetResourceSize(uint32_t resourceID, uint32_t& width_u, uint32_t& height_u);
  void DrawResource(uint32_t resourceID, uint32_t pageIndex, TPdfWriterUnit unitValue, int32_t x, int32_t y,
                    int32_t scaleX, int32_t scaleY);
  void DrawResourceWithMatrix(uint32_t resourceID, uint32_t pageIndex, double a, double b, double c, double d, double e,
                              double f);
  // Invisible, searchable words over a finished page; boxes in pixels of a
  // widthPx x heightPx image covering the page, from its top-left.
  void AddTextLayer(uint32_t pageIndex, uint32_t widthPx, uint32_t heightPx, const std::vector<PdfWriterWord>& words);

  // Document information, embedded files, links, bookmarks, diagnostics.
  void SetDocumentInfo(const std::string& name, const std::wstring& value);
  bool GetDocumentInfoExists(const std::string& name);
  std::wstring GetDocumentInfo(const std::string& name);
  void EmbedFile(const std::string& fileName);
  void EmbedFileW(const std::wstring& fileName);
  void EmbedData(const std::string& fileName, const void* data, uint32_t dataLength);
  void EmbedDataW(const std::wstring& fileName, const void* data, uint32_t dataLength);
  int32_t GetEmbeddedFileCount();
  std::string GetEmbeddedFileName(uint32_t index);
  std::wstring GetEmbeddedFileNameW(uint32_t index);
  bool GetEmbeddedFileData(uint32_t index, void* data, uint32_t& dataLength);
  void CreateLinkAnnotation(uint32_t annotationPageIndex, const TPdfRect& annotationPosition_u,
                            TPdfWriterAnnotationFlags annotationFlags, uint32_t annotationResourceID,
                            uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u,
                            const std::wstring& destinationDescription);
  uint32_t CreateBookmarkRoot(const std::wstring& title, TPdfWriterBookmarkFlags flags, TPdfColor titleColor,
                              uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u);
  uint32_t CreateBookmarkChild(uint32_t parentBookmarkID, const std::wstring& title, TPdfWriterBookmarkFlags flags,
                               TPdfColor titleColor, uint32_t destinationPageIndex, uint32_t destinationX_u,
                               uint32_t destinationY_u);
  uint32_t CreateBookmarkSibling(uint32_t previousBookmarkID, const std::wstring& title, TPdfWriterBookmarkFlags flags,
                                 TPdfColor titleColor, uint32_t destinationPageIndex, uint32_t destinationX_u,
                                 uint32_t destinationY_u);
  void* GetNativeDocument();
  void DrawDebugPage(const std::string& filename);

  // Signatures.
  bool GetDocumentIsSigned();
  uint32_t GetSignatureCount();
  std::string GetSignatureName(uint32_t index);
  uint32_t CreateSignature(const std::string& name, uint32_t annotationPageIndex, const TPdfRect& annotationPosition_u,
                           TPdfWriterAnnotationFlags annotationFlags);
  bool GetSignatureHasData(uint32_t index);
  bool GetSignatureData(uint32_t index, void* data, uint32_t& dataLength);
  bool GetSignatureRanges(uint32_t index, uint64_t* pRangesArray, uint32_t& pRangesArrayLength);
  void SetSignatureDate(uint32_t index, TPdfDateTime dateOfSign);
  TPdfDateTime GetSignatureDate(uint32_t index);
  void SetSignatureReason(uint32_t index, const std::wstring& reason);
  std::wstring GetSignatureReason(uint32_t index);
  void SetSignatureLocation(uint32_t index, const std::wstring& location);
  std::wstring GetSignatureLocation(uint32_t index);
  void SetSignatureCreator(uint32_t index, const std::string& creator);
  std::string GetSignatureCreator(uint32_t index);
  void SetSignatureAppearance(uint32_t index, TPdfWriterAppearance appearanceType, uint32_t resourceID,
                              int32_t offsetX_u, int32_t offsetY_u);
  void SetSignatureSize(uint32_t requestBytes);
  void AddSignerPFX(const void* pfxData, uint32_t pfxDataLength, const std::string& pfxPassword);
  void AddSignerPEM(const void* pemData, uint32_t pemDataLength, const void* pkeyData, uint32_t pkeyDataLength,
                    const std::string& pkeyPassword);
  void SaveToFileWithSign(const std::string& fileName, uint32_t signatureIndex);
  void SaveToFileWithSignW(const std::wstring& fileName, uint32_t signatureIndex);
  bool SaveToDataWithSign(uint32_t signatureIndex, void* data, uint32_t& dataLength);
  void SaveToFileWithSignManual(const std::string& fileName, uint32_t signatureIndex,
                                TPdfWriterAppendSignatureDataFunc appendSignatureData, void* append_user_data,
                                TPdfWriterFinishSignatureFunc finishSignature, void* finish_user_data);
  void SaveToFileWithSignManualW(const std::wstring& fileName, uint32_t signatureIndex,
                                 TPdfWriterAppendSignatureDataFunc appendSignatureData, void* append_user_data,
                                 TPdfWriterFinishSignatureFunc finishSignature, void* finish_user_data);
  bool SaveToDataWithSignManual(uint32_t signatureIndex, TPdfWriterAppendSignatureDataFunc appendSignatureData,
                                void* append_user_data, TPdfWriterFinishSignatureFunc finishSignature,
                                void* finish_user_data, void* data, uint32_t& dataLength);

 private:
  friend void PDFWRITER_CALL pdfWriterError(uint32_t code, const char* msg, void* user_data) noexcept;
  friend void ThrowLastErrorIfFail(bool expr, const TPdfWriter* lpdf, const char* _func);

  void ensureLibraryLoaded(const char* _func);
  bool checkAPIVersion(uint16_t major, uint16_t minor);
  FARPROC GetProc(const char* pProcIdent);
  void freeLastError();
  void setLastError(uint32_t code, const char* msg);
  void unloadLibrary() noexcept;

  // Steps 1 and 2 of every operation: load, then assert the library is there.
  void begin(const char* _func);
  // Steps 4 and 5: clear the last error, look the entry point up.
  template <class P>
  P proc(const char* name) {
    freeLastError();
    return reinterpret_cast<P>(reinterpret_cast<void*>(GetProc(name)));
  }
  // After each call: a failure of the caller's onError is raised here, on
  // this side of the library.
  void rethrowCallbackFailure();
  // One call of the library as every operation makes it: steps 1 to 5 for
  // `func` ("TPdfWriter.AddPage") and `entry` ("pdfwriter_AddPage"), the
  // entry point called with the context before `args`, then a failure of
  // onError raised. run also raises the last error on a result of 0 (a
  // failed status, no handle, no identifier); text fetches a text in two calls.
  template <class P, class... A>
  auto call(const char* func, const char* entry, A... args);
  template <class P, class... A>
  auto run(const char* func, const char* entry, A... args);
  template <class C, class P, class... A>
  std::basic_string<C> text(const char* func, const char* entry, A... args);
  void check(PdfWriterStatus status, const char* _func);
  void checkFrom(TPdfWriter* from, const char* _func);
  template <class C, class F>
  std::basic_string<C> getText(const char* _func, F fetch);

  uintptr_t lib = 0;
  PdfWriterContext context = nullptr;
  TPdfWriterErrorEvent onError = nullptr;
  void* onErrorUserData = nullptr;
  uint32_t lastErrorCode = 0;
  std::string lastErrorMessage;
  std::exception_ptr callbackFailure;
};

void ThrowIfFail(bool expr, const char* exprStr, const char* _func);
void ThrowMessageIfFail(bool expr, const std::string& msg, const char* _func);
void ThrowLastErrorIfFail(bool expr, const TPdfWriter* lpdf, const char* _func);

}  // namespace skan::pdf
