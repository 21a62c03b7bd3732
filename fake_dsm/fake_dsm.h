// A scriptable stand-in for the TWAIN source manager and its sources, for
// unit tests of the acquisition layer. It records every call as a short text
// ("PARENT/OPENDSM", "IDENTITY/GETFIRST", "EVENT/PROCESSEVENT", ...) and
// answers from a script. TFakeTwainPlatform makes the layer find and load it.
#pragma once

#include <deque>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "twain.h"
#include "twain_platform.h"

namespace skan::twain {

class TFakeDsm {
 public:
  TFakeDsm();
  ~TFakeDsm();

  // --- script ---
  // Sources listed by MSG_GETFIRST/MSG_GETNEXT, in order.
  std::vector<TW_IDENTITY> sources;
  // Position in `sources` at which the walk ends with TWRC_FAILURE instead of
  // the normal TWRC_ENDOFLIST (-1: never).
  int failEnumerationAt = -1;
  // The default source returned by MSG_GETDEFAULT (an index into sources, or
  // -1 for an identity that is not listed).
  int defaultSource = 0;
  // Pages of the next batch: the return code of each page's transfer.
  std::vector<TW_UINT16> pages;
  bool indeterminate = false;              // Count 0xFFFF until the last page
  TW_UINT16 conditionCode = TWCC_SUCCESS;  // what DAT_STATUS reports
  // Events handed out by MSG_PROCESSEVENT, one per call.
  std::deque<TW_UINT16> events;
  // MSG_OPENDS gives the source's record a new Id, as Wine's source manager
  // does; the default source's record then no longer matches it.
  bool newIdOnOpen = false;
  // A packed DIB handed over by native transfers (pointer-sized "handle").
  std::vector<uint8_t> nativeImage;

  // Capabilities: the container handed out for every get message (MSG_GET,
  // MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET); an absent capability fails.
  struct TContainerBytes {
    TW_UINT16 conType = 0;
    std::vector<uint8_t> bytes;
  };
  std::map<TW_UINT16, TContainerBytes> capabilities;
  // With this on, a MSG_SET of a one value (of at most 4 bytes) changes
  // what later gets answer, as a source does: a one value takes the item, an
  // enumeration moves its current index to it (an item not listed is
  // refused with TWRC_FAILURE), a range takes it as current. Capabilities
  // in `refusedSets` fail every set; those in `changedSets` take the value
  // given there instead, answering TWRC_CHECKSTATUS.
  bool setsTakeEffect = false;
  std::map<TW_UINT16, bool> refusedSets;
  std::map<TW_UINT16, uint32_t> changedSets;
  // Builders for items of at most 4 bytes (each value is cut to the item size).
  static TContainerBytes OneValue(TW_UINT16 itemType, uint32_t item);
  static TContainerBytes Enumeration(TW_UINT16 itemType, std::vector<uint32_t> items, uint32_t current, uint32_t def);
  static TContainerBytes Array(TW_UINT16 itemType, std::vector<uint32_t> items);
  static TContainerBytes Range(TW_UINT16 itemType, uint32_t min, uint32_t max, uint32_t step, uint32_t def,
                               uint32_t current);

  // Memory transfer: the image description, the buffer sizes, and the
  // buffers in order (each with the return code of its call and the row
  // length it reports). A buffer is copied into the application's memory up
  // to its Length, and BytesWritten says the buffer's whole size.
  TW_IMAGEINFO imageInfo{};
  TW_SETUPMEMXFER setupMem{0, 0, 4096};
  struct TMemBuffer {
    std::vector<uint8_t> bytes;
    TW_UINT16 rc = TWRC_SUCCESS;
    TW_UINT32 bytesPerRow = TWON_DONTCARE32;  // reported in BytesPerRow unless DONTCARE
  };
  std::deque<TMemBuffer> memBuffers;
  bool hasPalette = false;  // DAT_PALETTE8 fails without one
  TW_PALETTE8 palette{};

  // Makes the next calls of the triplet return these codes, one per call,
  // instead of the normal answer (the normal effect is skipped too, except
  // that TW_PENDINGXFERS and TW_SETUPMEMXFER are still filled in).
  void Answer(TW_UINT16 dat, TW_UINT16 msg, std::vector<TW_UINT16> codes);
  static TW_IDENTITY Identity(const char* productName);

  // --- record ---
  std::vector<std::string> trace;      // the tests add their events here too
  std::vector<std::string> fileNames;  // TW_SETUPFILEXFER names set, in order
  std::vector<TW_USERINTERFACE> enables;
  TW_IDENTITY lastOrigin{};
  std::vector<MSG> processed;  // the message records passed with MSG_PROCESSEVENT
  int openSources = 0;
  bool dsmOpen = false;
  struct TCapabilitySet {
    TW_UINT16 cap = 0;
    TW_UINT16 conType = 0;
    std::vector<uint8_t> bytes;  // the container as it arrived
  };
  std::vector<TCapabilitySet> capabilitySets;
  std::vector<TW_CAPABILITY> capabilityGets;  // the records as they arrived
  int containersGiven = 0;
  std::vector<TW_IMAGELAYOUT> layouts;
  std::vector<TW_IMAGEMEMXFER> memRequests;  // the records as they arrived
  // Calls made while no source manager was loaded (the layer must make none).
  int callsWhileUnloaded = 0;
  // Every call's addressing: the origin must be the application identity the
  // DSM was opened with; the destination null for the DSM's own triplets
  // (DAT_PARENT, DAT_IDENTITY with MSG_OPENDS and MSG_CLOSEDS among them) and
  // an open source for every source triplet (DAT_STATUS may go to either). A
  // call that breaks this fails with TWRC_FAILURE, as a real DSM fails it,
  // and is listed here as "DAT/MSG: what was wrong".
  std::vector<std::string> misaddressed;
  struct TAddress {
    std::string triplet;
    TW_UINT32 originId = 0;
    bool toSource = false;  // a destination was given
    TW_UINT32 destId = 0;
  };
  std::vector<TAddress> addresses;  // of every call, in order

  static TW_UINT16 TW_CALLINGSTYLE Entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                                         TW_UINT16 msg, TW_MEMREF data);
  // The calls recorded since the last Take(), joined by spaces.
  std::string Take();

 private:
  TW_UINT16 TakeSet(TW_UINT16 cap, TW_UINT16 conType, const std::vector<uint8_t>& block);
  TW_UINT16 Handle(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
  std::map<std::pair<TW_UINT16, TW_UINT16>, std::deque<TW_UINT16>> answers_;
  size_t next_ = 0;
  size_t taken_ = 0;
  int page_ = 0;
  int left_ = 0;
  TW_SETUPFILEXFER file_{};
  TW_UINT32 appId_ = 0;
  std::vector<TW_UINT32> openIds_;  // Ids of the open sources
};

// A platform on which TWAIN_32.DLL is found in the folders the test names and
// loads as the current TFakeDsm. Global memory is a std::vector the fake owns;
// bitmaps are counted.
class TFakeTwainPlatform : public TTwainPlatform {
 public:
  TFakeTwainPlatform();            // installs itself
  ~TFakeTwainPlatform() override;  // restores the system's platform

  std::map<TDirectoryKind, std::wstring> folders;  // dkApplication: the exe's path
  std::vector<std::wstring> filesPresent;          // full paths that exist
  bool loadFails = false;
  bool noOrdinal1 = false;
  std::vector<std::wstring> loaded;  // paths passed to LoadLibraryModule
  int freed = 0;
  int bitmapsMade = 0;
  int bitmapsDeleted = 0;
  int globalsFreed = 0;
  size_t lastPixelOffset = 0;  // of the last bitmap made, from the header

  std::wstring Folder(TDirectoryKind kind) override;
  bool FileExists(const std::wstring& path) override;
  HMODULE LoadLibraryModule(const std::wstring& path) override;
  DSMENTRYPROC EntryByOrdinal1(HMODULE module) override;
  bool FreeLibraryModule(HMODULE module) override;
  POINT CursorPos() override { return {12, 34}; }
  void* LockGlobal(TW_HANDLE handle, size_t& size) override;
  void UnlockGlobal(TW_HANDLE) override {}
  void FreeGlobal(TW_HANDLE handle) override;
  HBITMAP MakeBitmap(HWND window, const void* header, const void* pixels, size_t pixelBytes) override;
  bool PackedDib(HBITMAP bitmap, std::vector<uint8_t>& dib) override;
  void FreeBitmap(HBITMAP bitmap) override;
  TW_HANDLE AllocGlobal(size_t size) override;
  HBITMAP MakeSection(HWND window, const void* info) override;
  bool SectionPixels(HBITMAP bitmap, int& width, int& height, int& bitsPerPixel, uint8_t*& bits) override;
  wchar_t DecimalSeparator() override { return separator; }

  int globalsAllocated = 0;
  wchar_t separator = L'.';
  bool sectionFails = false;
  // Bitmaps made (memory-transfer sections and native pages), kept after
  // deletion so a test can look at them.
  struct TSection {
    std::vector<uint8_t> info;  // header and colour table (256 entries for a memory section)
    std::vector<uint8_t> pixels;
    int width = 0, height = 0, bitsPerPixel = 0;
    bool deleted = false;
  };
  std::list<TSection> sections;
};

}  // namespace skan::twain
