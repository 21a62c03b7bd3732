// The virtual scanner's data source: one TSource follows the session
// through the TWAIN states and answers every triplet; its capabilities are
// in capabilities.cpp, everything else in data_source.cpp.
#pragma once

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "page_image.h"
#include "scanner_dialog.h"
#include "twain.h"

namespace skan::virtual_scanner {

// Paper sizes of ICAP_SUPPORTEDSIZES in millimetres; TWSS_NONE is the whole glass.
struct TPaper {
  TW_UINT16 code;
  double widthMm, heightMm;
};
constexpr double kGlassWidthMm = 250, kGlassHeightMm = 356;
// The paper of an ICAP_SUPPORTEDSIZES code; the whole glass for codes the
// scanner does not know.
TPaper PaperOf(TW_UINT16 code);

// TW_FIX32 values in their 32-bit container slot.
TW_UINT32 Fix32Bits(double value);
double Fix32Value(TW_UINT32 bits);

// What a capability holds now: the items of its enumeration (a one value
// holds just the current item), which is current, and the default.
struct TCapAnswer {
  TW_UINT16 type = TWTY_UINT16;
  std::vector<TW_UINT32> items;
  size_t current = 0;
  TW_UINT32 defaultItem = 0;
  bool enumeration = true;
  bool settable = true;

  void List(std::vector<TW_UINT32> all, TW_UINT32 now, TW_UINT32 def) {
    items = std::move(all);
    auto it = std::find(items.begin(), items.end(), now);
    if (it == items.end()) it = items.insert(items.end(), now);
    current = size_t(it - items.begin());
    defaultItem = def;
  }
  void One(TW_UINT16 itemType, TW_UINT32 now, TW_UINT32 def, bool canSet = true) {
    type = itemType;
    items = {now};
    current = 0;
    defaultItem = def;
    enumeration = false;
    settable = canSet;
  }
  size_t DefaultIndex() const {
    auto it = std::find(items.begin(), items.end(), defaultItem);
    return it == items.end() ? 0 : size_t(it - items.begin());
  }
};

class TSource {
 public:
  TW_UINT16 Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

 private:
  TW_UINT16 Fail(TW_UINT16 condition) {
    condition_ = condition;
    return TWRC_FAILURE;
  }
  TW_UINT16 Identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 UserInterface(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 PendingXfers(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 SetupFileXfer(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 Capability(TW_UINT16 msg, TW_MEMREF data);
  bool Describe(TW_UINT16 cap, TCapAnswer& a) const;
  TW_UINT16 Apply(TW_UINT16 cap, TW_UINT32 value);
  TW_UINT16 ImageInfo(TW_MEMREF data);
  TW_UINT16 ImageLayout(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 Palette8(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 SetupMemXfer(TW_UINT16 msg, TW_MEMREF data);
  TW_UINT16 ImageMemXfer(TW_MEMREF data);
  TW_UINT16 Transfer(bool toFile, TW_MEMREF data);

  void ResetNegotiation();
  void SetPaper(TW_UINT16 code);
  // Units of ICAP_UNITS per inch; pixels count at the current resolution.
  double UnitsPerInch() const {
    switch (units_) {
      case TWUN_CENTIMETERS: return 2.54;
      case TWUN_PICAS: return 6;
      case TWUN_POINTS: return 72;
      case TWUN_TWIPS: return 1440;
      case TWUN_PIXELS: return settings_.resolution;
    }
    return 1;
  }
  // Resolutions are pixels per unit, except with pixels as the unit, where
  // they stay dots per inch.
  double ResolutionPerUnit(int dpi) const { return units_ == TWUN_PIXELS ? dpi : dpi / UnitsPerInch(); }

  void LoadConfig();
  void StartBatch(const TScanSettings& s);
  bool Page(int number, TDib& dib) const;
  TW_UINT16 CountToReport() const { return settings_.indeterminate && pagesLeft_ > 0 ? 0xFFFF : TW_UINT16(pagesLeft_); }

  int state_ = 3;
  TW_UINT16 condition_ = TWCC_SUCCESS;
  TW_UINT16 pendingEvent_ = MSG_NULL;
  TScannerConfig config_;
  TScanSettings settings_;
  std::vector<std::wstring> folderFiles_;
  int nextPage_ = 1;
  int pagesLeft_ = 0;
  TW_UINT16 xferMech_ = TWSX_NATIVE;
  TW_SETUPFILEXFER file_{};
  std::unique_ptr<TScannerDialog> dialog_;

  // Negotiated settings, back to their defaults at each MSG_OPENDS.
  TW_UINT16 units_ = TWUN_INCHES;
  TW_UINT16 paper_ = TWSS_A4;
  double frame_[4] = {};  // left, top, right, bottom in inches
  TW_UINT16 orientation_ = TWOR_PORTRAIT;
  TW_UINT16 autoSize_ = TWAS_NONE;
  int16_t xferCount_ = -1;
  bool duplexEnabled_ = false;  // every sheet gives its front and its back
  bool autoFeed_ = false, indicators_ = true, borderDetection_ = false, deskew_ = false, rotate_ = false,
       undefinedSize_ = false;

  // The page of a memory transfer: rows top first, each padded to 4 bytes
  // (or not, with MemRowsUnpadded), samples in TWAIN order; memOffset_ bytes
  // have been handed over.
  std::vector<uint8_t> memData_;
  size_t memOffset_ = 0;
  uint32_t memStride_ = 0, memWidth_ = 0;
  bool memActive_ = false;
};

}  // namespace skan::virtual_scanner
