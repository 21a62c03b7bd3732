// Entry points of the PDF-writing library "pdfwriter.dll", loaded at run time.
//
// Every export is named "pdfwriter_" + the operation and uses the stdcall
// convention (so are the callbacks the library calls). All but CreateContext
// take the context first. Statuses are 32-bit: non-zero is success. Errors are
// reported through the context's error function during the failing call only.
#pragma once

#include <windows.h>

#include <cstdint>

#define PDFWRITER_CALL __stdcall

extern "C" {

typedef struct PdfWriterContextTag* PdfWriterContext;
typedef uint32_t PdfWriterStatus;

typedef void(PDFWRITER_CALL* PdfWriterErrorFunc)(uint32_t code, const char* msg, void* user_data);
typedef void(PDFWRITER_CALL* PdfWriterAppendSignatureDataFunc)(const uint8_t* bytes, uint32_t bytes_len,
                                                               void* user_data);
typedef void(PDFWRITER_CALL* PdfWriterFinishSignatureFunc)(uint8_t* signature, uint32_t* signature_len,
                                                           void* user_data);

// One recognised word for AddTextLayer. The box is in pixels of a
// width_px x height_px image covering the whole page, from its top-left.
typedef struct PdfWriterWord {
  const char* text;  // UTF-8
  int32_t left, top, width, height;
  int32_t baseline;  // pixels from the top of that image to the word's baseline, or -1
} PdfWriterWord;

}  // extern "C"

// The whole export table: X(result, name, (parameters), (argument names)).
// The library, its recording test double and the binding's tests share it, so
// an argument order cannot drift between them.
#define PDFWRITER_EXPORTS(X)                                                                                           \
  X(PdfWriterContext, CreateContext, (PdfWriterErrorFunc error_func, void* user_data), (error_func, user_data))        \
  X(void, FreeContext, (PdfWriterContext ctx), (ctx))                                                                  \
  X(PdfWriterStatus, SetUnit, (PdfWriterContext ctx, uint32_t unit), (ctx, unit))                                      \
  X(uint32_t, GetUnit, (PdfWriterContext ctx), (ctx))                                                                  \
  X(PdfWriterStatus, CreateMemDocument, (PdfWriterContext ctx), (ctx))                                                 \
  X(HDC, AddPage,                                                                                                      \
    (PdfWriterContext ctx, uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,                 \
     uint32_t drawFlags),                                                                                              \
    (ctx, width_u, height_u, width_px, height_px, drawFlags))                                                          \
  X(PdfWriterStatus, FinishPage, (PdfWriterContext ctx, HDC dc), (ctx, dc))                                            \
  X(PdfWriterStatus, SaveToFile, (PdfWriterContext ctx, const char* fileName), (ctx, fileName))                        \
  X(PdfWriterStatus, Close, (PdfWriterContext ctx), (ctx))                                                             \
  X(PdfWriterStatus, PrepareEncryption,                                                                                \
    (PdfWriterContext ctx, const char* userPassword, const char* ownerPassword, uint32_t permissions,                  \
     uint32_t algorithm),                                                                                              \
    (ctx, userPassword, ownerPassword, permissions, algorithm))                                                        \
  X(PdfWriterStatus, CreateFileDocument, (PdfWriterContext ctx, const char* fileName), (ctx, fileName))                \
  X(PdfWriterStatus, CreateFileDocumentW, (PdfWriterContext ctx, const wchar_t* fileName), (ctx, fileName))            \
  X(PdfWriterStatus, LoadFromFile,                                                                                     \
    (PdfWriterContext ctx, const char* fileName, const char* password, uint32_t loadCompletely, uint32_t forUpdate),   \
    (ctx, fileName, password, loadCompletely, forUpdate))                                                              \
  X(PdfWriterStatus, LoadFromFileW,                                                                                    \
    (PdfWriterContext ctx, const wchar_t* fileName, const char* password, uint32_t loadCompletely,                     \
     uint32_t forUpdate),                                                                                              \
    (ctx, fileName, password, loadCompletely, forUpdate))                                                              \
  X(PdfWriterStatus, LoadFromData,                                                                                     \
    (PdfWriterContext ctx, const void* data, uint32_t dataLength, const char* password, uint32_t forUpdate),           \
    (ctx, data, dataLength, password, forUpdate))                                                                      \
  X(PdfWriterStatus, SaveToFileW, (PdfWriterContext ctx, const wchar_t* fileName), (ctx, fileName))                    \
  X(PdfWriterStatus, SaveToData, (PdfWriterContext ctx, void* data, uint32_t* dataLength), (ctx, data, dataLength))    \
  X(PdfWriterStatus, GetPageCount, (PdfWriterContext ctx, uint32_t * count), (ctx, count))                             \
  X(PdfWriterStatus, GetPageSize, (PdfWriterContext ctx, uint32_t pageIndex, uint32_t * width_u, uint32_t * height_u), \
    (ctx, pageIndex, width_u, height_u))                                                                               \
  X(HDC, InsertPage,                                                                                                   \
    (PdfWriterContext ctx, uint32_t pageIndex, uint32_t width_u, uint32_t height_u, uint32_t width_px,                 \
     uint32_t height_px, uint32_t drawFlags),                                                                          \
    (ctx, pageIndex, width_u, height_u, width_px, height_px, drawFlags))                                               \
  X(HDC, UpdatePage,                                                                                                   \
    (PdfWriterContext ctx, uint32_t pageIndex, uint32_t width_px, uint32_t height_px, uint32_t drawFlags),             \
    (ctx, pageIndex, width_px, height_px, drawFlags))                                                                  \
  X(PdfWriterStatus, DeletePage, (PdfWriterContext ctx, uint32_t pageIndex), (ctx, pageIndex))                         \
  X(PdfWriterStatus, AddPagesFrom,                                                                                     \
    (PdfWriterContext ctx, PdfWriterContext from, uint32_t pageIndex, uint32_t pageCount),                             \
    (ctx, from, pageIndex, pageCount))                                                                                 \
  X(PdfWriterStatus, InsertPageFrom,                                                                                   \
    (PdfWriterContext ctx, uint32_t pageIndexTo, PdfWriterContext from, uint32_t pageIndexFrom),                       \
    (ctx, pageIndexTo, from, pageIndexFrom))                                                                           \
  X(HDC, AddResource,                                                                                                  \
    (PdfWriterContext ctx, uint32_t width_u, uint32_t height_u, uint32_t width_px, uint32_t height_px,                 \
     uint32_t drawFlags),                                                                                              \
    (ctx, width_u, height_u, width_px, height_px, drawFlags))                                                          \
  X(uint32_t, FinishResource, (PdfWriterContext ctx, HDC dc), (ctx, dc))                                               \
  X(uint32_t, AddPageFromAsResource,                                                                                   \
    (PdfWriterContext ctx, PdfWriterContext from, uint32_t pageIndex, uint32_t useTrimBox),                            \
    (ctx, from, pageIndex, useTrimBox))                                                                                \
  X(uint32_t, PageToResource, (PdfWriterContext ctx, uint32_t pageIndex), (ctx, pageIndex))                            \
  X(PdfWriterStatus, GetResourceSize,                                                                                  \
    (PdfWriterContext ctx, uint32_t resourceID, uint32_t * width_u, uint32_t * height_u),                              \
    (ctx, resourceID, width_u, height_u))                                                                              \
  X(PdfWriterStatus, DrawResource,                                                                                     \
    (PdfWriterContext ctx, uint32_t resourceID, uint32_t pageIndex, uint32_t unit, int32_t x, int32_t y,               \
     int32_t scaleX, int32_t scaleY),                                                                                  \
    (ctx, resourceID, pageIndex, unit, x, y, scaleX, scaleY))                                                          \
  X(PdfWriterStatus, DrawResourceWithMatrix,                                                                           \
    (PdfWriterContext ctx, uint32_t resourceID, uint32_t pageIndex, int32_t a, int32_t b, int32_t c, int32_t d,        \
     int32_t e, int32_t f),                                                                                            \
    (ctx, resourceID, pageIndex, a, b, c, d, e, f))                                                                    \
  X(PdfWriterStatus, SetDocumentInfo, (PdfWriterContext ctx, const char* name, const wchar_t* value),                  \
    (ctx, name, value))                                                                                                \
  X(PdfWriterStatus, GetDocumentInfoExists, (PdfWriterContext ctx, const char* name, uint32_t* exists),                \
    (ctx, name, exists))                                                                                               \
  X(PdfWriterStatus, GetDocumentInfo, (PdfWriterContext ctx, const char* name, wchar_t* value, uint32_t* valueLength), \
    (ctx, name, value, valueLength))                                                                                   \
  X(PdfWriterStatus, EmbedFile, (PdfWriterContext ctx, const char* fileName), (ctx, fileName))                         \
  X(PdfWriterStatus, EmbedFileW, (PdfWriterContext ctx, const wchar_t* fileName), (ctx, fileName))                     \
  X(PdfWriterStatus, EmbedData, (PdfWriterContext ctx, const char* fileName, const void* data, uint32_t dataLength),   \
    (ctx, fileName, data, dataLength))                                                                                 \
  X(PdfWriterStatus, EmbedDataW,                                                                                       \
    (PdfWriterContext ctx, const wchar_t* fileName, const void* data, uint32_t dataLength),                            \
    (ctx, fileName, data, dataLength))                                                                                 \
  X(int32_t, GetEmbeddedFileCount, (PdfWriterContext ctx), (ctx))                                                      \
  X(PdfWriterStatus, GetEmbeddedFileName, (PdfWriterContext ctx, uint32_t index, char* name, uint32_t* nameLength),    \
    (ctx, index, name, nameLength))                                                                                    \
  X(PdfWriterStatus, GetEmbeddedFileNameW,                                                                             \
    (PdfWriterContext ctx, uint32_t index, wchar_t * name, uint32_t * nameLength), (ctx, index, name, nameLength))     \
  X(PdfWriterStatus, GetEmbeddedFileData, (PdfWriterContext ctx, uint32_t index, void* data, uint32_t* dataLength),    \
    (ctx, index, data, dataLength))                                                                                    \
  X(PdfWriterStatus, CreateLinkAnnotation,                                                                             \
    (PdfWriterContext ctx, uint32_t annotationPageIndex, int32_t left, int32_t top, int32_t width, int32_t height,     \
     uint32_t annotationFlags, uint32_t annotationResourceID, uint32_t destinationPageIndex, uint32_t destinationX_u,  \
     uint32_t destinationY_u, const wchar_t* destinationDescription),                                                  \
    (ctx, annotationPageIndex, left, top, width, height, annotationFlags, annotationResourceID, destinationPageIndex,  \
     destinationX_u, destinationY_u, destinationDescription))                                                          \
  X(uint32_t, CreateBookmarkRoot,                                                                                      \
    (PdfWriterContext ctx, const wchar_t* title, uint32_t flags, uint8_t red, uint8_t green, uint8_t blue,             \
     uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u),                                 \
    (ctx, title, flags, red, green, blue, destinationPageIndex, destinationX_u, destinationY_u))                       \
  X(uint32_t, CreateBookmarkChild,                                                                                     \
    (PdfWriterContext ctx, uint32_t parentBookmarkID, const wchar_t* title, uint32_t flags, uint8_t red,               \
     uint8_t green, uint8_t blue, uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u),    \
    (ctx, parentBookmarkID, title, flags, red, green, blue, destinationPageIndex, destinationX_u, destinationY_u))     \
  X(uint32_t, CreateBookmarkSibling,                                                                                   \
    (PdfWriterContext ctx, uint32_t previousBookmarkID, const wchar_t* title, uint32_t flags, uint8_t red,             \
     uint8_t green, uint8_t blue, uint32_t destinationPageIndex, uint32_t destinationX_u, uint32_t destinationY_u),    \
    (ctx, previousBookmarkID, title, flags, red, green, blue, destinationPageIndex, destinationX_u, destinationY_u))   \
  X(void*, GetNativeDocument, (PdfWriterContext ctx), (ctx))                                                           \
  X(PdfWriterStatus, DrawDebugPage, (PdfWriterContext ctx, const char* filename), (ctx, filename))                     \
  X(PdfWriterStatus, GetDocumentIsSigned, (PdfWriterContext ctx, uint32_t * isSigned), (ctx, isSigned))                \
  X(PdfWriterStatus, GetSignatureCount, (PdfWriterContext ctx, uint32_t * count), (ctx, count))                        \
  X(PdfWriterStatus, GetSignatureName, (PdfWriterContext ctx, uint32_t index, char* name, uint32_t* nameLength),       \
    (ctx, index, name, nameLength))                                                                                    \
  X(PdfWriterStatus, CreateSignature,                                                                                  \
    (PdfWriterContext ctx, const char* name, uint32_t annotationPageIndex, int32_t left, int32_t top, int32_t width,   \
     int32_t height, uint32_t annotationFlags, uint32_t* signatureIndex),                                              \
    (ctx, name, annotationPageIndex, left, top, width, height, annotationFlags, signatureIndex))                       \
  X(PdfWriterStatus, GetSignatureHasData, (PdfWriterContext ctx, uint32_t index, uint32_t * hasData),                  \
    (ctx, index, hasData))                                                                                             \
  X(PdfWriterStatus, GetSignatureData, (PdfWriterContext ctx, uint32_t index, void* data, uint32_t* dataLength),       \
    (ctx, index, data, dataLength))                                                                                    \
  X(PdfWriterStatus, GetSignatureRanges,                                                                               \
    (PdfWriterContext ctx, uint32_t index, uint64_t * ranges, uint32_t * rangesLength),                                \
    (ctx, index, ranges, rangesLength))                                                                                \
  X(PdfWriterStatus, SetSignatureDate, (PdfWriterContext ctx, uint32_t index, int64_t dateOfSign),                     \
    (ctx, index, dateOfSign))                                                                                          \
  X(PdfWriterStatus, GetSignatureDate, (PdfWriterContext ctx, uint32_t index, int64_t * dateOfSign),                   \
    (ctx, index, dateOfSign))                                                                                          \
  X(PdfWriterStatus, SetSignatureReason, (PdfWriterContext ctx, uint32_t index, const wchar_t* reason),                \
    (ctx, index, reason))                                                                                              \
  X(PdfWriterStatus, GetSignatureReason,                                                                               \
    (PdfWriterContext ctx, uint32_t index, wchar_t * reason, uint32_t * reasonLength),                                 \
    (ctx, index, reason, reasonLength))                                                                                \
  X(PdfWriterStatus, SetSignatureLocation, (PdfWriterContext ctx, uint32_t index, const wchar_t* location),            \
    (ctx, index, location))                                                                                            \
  X(PdfWriterStatus, GetSignatureLocation,                                                                             \
    (PdfWriterContext ctx, uint32_t index, wchar_t * location, uint32_t * locationLength),                             \
    (ctx, index, location, locationLength))                                                                            \
  X(PdfWriterStatus, SetSignatureCreator, (PdfWriterContext ctx, uint32_t index, const char* creator),                 \
    (ctx, index, creator))                                                                                             \
  X(PdfWriterStatus, GetSignatureCreator,                                                                              \
    (PdfWriterContext ctx, uint32_t index, char* creator, uint32_t* creatorLength),                                    \
    (ctx, index, creator, creatorLength))                                                                              \
  X(PdfWriterStatus, SetSignatureAppearance,                                                                           \
    (PdfWriterContext ctx, uint32_t index, uint32_t appearanceType, uint32_t resourceID, int32_t offsetX_u,            \
     int32_t offsetY_u),                                                                                               \
    (ctx, index, appearanceType, resourceID, offsetX_u, offsetY_u))                                                    \
  X(PdfWriterStatus, SetSignatureSize, (PdfWriterContext ctx, uint32_t requestBytes), (ctx, requestBytes))             \
  X(PdfWriterStatus, AddSignerPFX,                                                                                     \
    (PdfWriterContext ctx, const void* pfxData, uint32_t pfxDataLength, const char* pfxPassword),                      \
    (ctx, pfxData, pfxDataLength, pfxPassword))                                                                        \
  X(PdfWriterStatus, AddSignerPEM,                                                                                     \
    (PdfWriterContext ctx, const void* pemData, uint32_t pemDataLength, const void* pkeyData, uint32_t pkeyDataLength, \
     const char* pkeyPassword),                                                                                        \
    (ctx, pemData, pemDataLength, pkeyData, pkeyDataLength, pkeyPassword))                                             \
  X(PdfWriterStatus, SaveToFileWithSign, (PdfWriterContext ctx, const char* fileName, uint32_t signatureIndex),        \
    (ctx, fileName, signatureIndex))                                                                                   \
  X(PdfWriterStatus, SaveToFileWithSignW, (PdfWriterContext ctx, const wchar_t* fileName, uint32_t signatureIndex),    \
    (ctx, fileName, signatureIndex))                                                                                   \
  X(PdfWriterStatus, SaveToDataWithSign,                                                                               \
    (PdfWriterContext ctx, uint32_t signatureIndex, void* data, uint32_t* dataLength),                                 \
    (ctx, signatureIndex, data, dataLength))                                                                           \
  X(PdfWriterStatus, SaveToFileWithSignManual,                                                                         \
    (PdfWriterContext ctx, const char* fileName, uint32_t signatureIndex,                                              \
     PdfWriterAppendSignatureDataFunc appendSignatureData, void* append_user_data,                                     \
     PdfWriterFinishSignatureFunc finishSignature, void* finish_user_data),                                            \
    (ctx, fileName, signatureIndex, appendSignatureData, append_user_data, finishSignature, finish_user_data))         \
  X(PdfWriterStatus, SaveToFileWithSignManualW,                                                                        \
    (PdfWriterContext ctx, const wchar_t* fileName, uint32_t signatureIndex,                                           \
     PdfWriterAppendSignatureDataFunc appendSignatureData, void* append_user_data,                                     \
     PdfWriterFinishSignatureFunc finishSignature, void* finish_user_data),                                            \
    (ctx, fileName, signatureIndex, appendSignatureData, append_user_data, finishSignature, finish_user_data))         \
  X(PdfWriterStatus, SaveToDataWithSignManual,                                                                         \
    (PdfWriterContext ctx, uint32_t signatureIndex, PdfWriterAppendSignatureDataFunc appendSignatureData,              \
     void* append_user_data, PdfWriterFinishSignatureFunc finishSignature, void* finish_user_data, void* data,         \
     uint32_t* dataLength),                                                                                            \
    (ctx, signatureIndex, appendSignatureData, append_user_data, finishSignature, finish_user_data, data, dataLength)) \
  X(PdfWriterStatus, AddTextLayer,                                                                                     \
    (PdfWriterContext ctx, uint32_t pageIndex, uint32_t width_px, uint32_t height_px, const PdfWriterWord* words,      \
     uint32_t wordCount),                                                                                              \
    (ctx, pageIndex, width_px, height_px, words, wordCount))

// Function-pointer types, one per export: PdfWriterProc_<name>.
#define PDFWRITER_DECLARE_PROC_TYPE(result, name, params, args) \
  typedef result(PDFWRITER_CALL* PdfWriterProc_##name) params;
PDFWRITER_EXPORTS(PDFWRITER_DECLARE_PROC_TYPE)
#undef PDFWRITER_DECLARE_PROC_TYPE
