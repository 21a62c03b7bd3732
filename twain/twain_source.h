// One TWAIN data source (a scanner driver) known to the DSM: open, enable,
// process window messages, and transfer images.
#pragma once

#include <set>
#include <vector>

#include "custom_twain_manager.h"

namespace skan::twain {

// Result of every capability operation.
enum TCapabilityRet {
  crSuccess,
  crUnsupported,
  crBadOperation,
  crDependencyError,
  crLowMemory,
  crInvalidState,
  crInvalidContainer
};
// Which value to ask for: MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_RESET.
enum TRetrieveCap { rcGet, rcGetCurrent, rcGetDefault, rcReset };

using TGetCapabilityList = std::vector<std::wstring>;  // one text per item
using TSetCapabilityList = std::vector<const void*>;   // each points to one item's bytes
using TTwainResolution = std::vector<double>;
using TTwainBitDepth = std::vector<uint16_t>;

// Ordinals 0..5 are the TWUN_ codes; tuUnknown is sent as 0.
enum TTwainUnit { tuInches, tuCentimeters, tuPicas, tuPoints, tuTwips, tuPixels, tuUnknown };
using TTwainUnitSet = std::set<TTwainUnit>;
// Ordinals 0..1 are the TWPF_ codes; tpfUnknown is sent as 0.
enum TTwainPixelFlavor { tpfChocolate, tpfVanilla, tpfUnknown };
using TTwainPixelFlavorSet = std::set<TTwainPixelFlavor>;
// Ordinals are the TWPT_ codes (tbdBgr is 12).
enum TTwainPixelType {
  tbdBw,
  tbdGray,
  tbdRgb,
  tbdPalette,
  tbdCmy,
  tbdCmyk,
  tbdYuv,
  tbdYuvk,
  tbdCieXYZ,
  tbdUnknown,
  tbdUnknown1,
  tbdUnknown2,
  tbdBgr
};
using TTwainPixelTypeSet = std::set<TTwainPixelType>;
enum TTwainOrientation { torPortrait = TWOR_PORTRAIT, torLandscape = TWOR_LANDSCAPE };
enum TTwainPaperSize {
  tpsA4 = TWSS_A4,
  tpsA5 = TWSS_A5,
  tpsB4 = TWSS_B4,
  tpsB5 = TWSS_B5LETTER,
  tpsB6 = TWSS_B6,
  tpsUSLetter = TWSS_USLETTER,
  tpsUSLegal = TWSS_USLEGAL
};
enum TTwainAutoSize { tasNone = TWAS_NONE, tasAuto = TWAS_AUTO, tasCurrent = TWAS_CURRENT };
// Transfer mechanisms of ICAP_XFERMECH (TWSX_NATIVE, TWSX_FILE, TWSX_MEMORY).
using TTwainTransferModeSet = std::set<TTwainTransferMode>;

// TW_FIX32 conversions. The conversion from a number rounds to the nearest
// 1/65536 (ties to even) and throws std::range_error outside 0 <= x < 32768.
double Fix32ToFloat(TW_FIX32 value);
TW_FIX32 FloatToFix32(double value);
// Size in bytes of an item of the given TWTY_ type; 0 for unknown types.
size_t TwainItemSize(TW_UINT16 itemType);

class TTwainSource : public TTwainIdentity {
 public:
  explicit TTwainSource(TCustomTwainManager* AOwner);
  ~TTwainSource() override;

  bool LoadSource();
  bool UnloadSource();
  bool EnableSource(bool showUI, bool modal);
  bool DisableSource();

  bool Loaded() const { return Loaded_; }
  void SetLoaded(bool value);
  bool Enabled() const { return Enabled_; }
  void SetEnabled(bool value);

  int Index() const { return Index_; }
  TTwainTransferMode TransferMode() const { return TransferMode_; }
  void SetTransferMode(TTwainTransferMode mode) { TransferMode_ = mode; }
  bool ShowUI() const { return ShowUI_; }
  void SetShowUI(bool v) { ShowUI_ = v; }
  bool Modal() const { return Modal_; }
  void SetModal(bool v) { Modal_ = v; }
  TCustomTwainManager* Owner() const { return Owner_; }
  TW_IDENTITY* SourceIdentity() { return GetStructure(); }
  int PendingXfers() { return GetPendingXfers(); }

  // True when the window message was a TWAIN event for this source; a
  // transfer-ready event runs the whole transfer loop before returning.
  bool ProcessMessage(MSG* msg);
  TW_UINT16 GetReturnStatus();
  int16_t GetPendingXfers();
  TW_IDENTITY* GetAppInfo() const { return Owner_->AppInfo_; }

  // Names the file and format of the next page (call from OnSourceSetupFileXfer).
  bool SetupFileTransfer(std::wstring_view Filename, TTwainFormat Format);

  // Capabilities. Every call asks or tells the source; containers received
  // are freed before the call returns.
  TCapabilityRet GetCapabilityRec(TW_UINT16 Capability, TW_HANDLE& Handle, TRetrieveCap Mode, TW_UINT16& Container);
  TCapabilityRet SetCapabilityRec(TW_UINT16 Capability, TW_UINT16 ConType, TW_HANDLE Handle);
  TCapabilityRet ResultToCapabilityRec(TW_UINT16 rc);

  // Readers: a MemHandle given by the caller is read instead of asking the
  // source, and freed like a received one.
  TCapabilityRet GetOneValue(TW_UINT16 Capability, TW_UINT16& ItemType, std::wstring& Value, TRetrieveCap Mode = rcGet,
                             TW_HANDLE MemHandle = nullptr);
  TCapabilityRet GetEnumerationValue(TW_UINT16 Capability, TW_UINT16& ItemType, TGetCapabilityList& List,
                                     int32_t& Current, int32_t& Default, TRetrieveCap Mode = rcGet,
                                     TW_HANDLE MemHandle = nullptr);
  TCapabilityRet GetArrayValue(TW_UINT16 Capability, TW_UINT16& ItemType, TGetCapabilityList& List,
                               TW_HANDLE MemHandle = nullptr);
  TCapabilityRet GetRangeValue(TW_UINT16 Capability, TW_UINT16& ItemType, std::wstring& Min, std::wstring& Max,
                               std::wstring& Step, std::wstring& Default, std::wstring& Current,
                               TW_HANDLE MemHandle = nullptr);

  // Writers.
  TCapabilityRet SetOneValue(TW_UINT16 Capability, TW_UINT16 ItemType, const void* Value);
  TCapabilityRet SetRangeValue(TW_UINT16 Capability, TW_UINT16 ItemType, TW_UINT32 Min, TW_UINT32 Max, TW_UINT32 Step,
                               TW_UINT32 Current);
  TCapabilityRet SetEnumerationValue(TW_UINT16 Capability, TW_UINT16 ItemType, TW_UINT32 CurrentIndex,
                                     const TSetCapabilityList& List);
  TCapabilityRet SetArrayValue(TW_UINT16 Capability, TW_UINT16 ItemType, const TSetCapabilityList& List);

  // Typed accessors.
  TCapabilityRet SetCapXferCount(int16_t Value);
  TCapabilityRet GetCapXferCount(int16_t& Return, TRetrieveCap Mode = rcGet);
  TCapabilityRet SetICapUnits(TTwainUnit Value);
  TCapabilityRet GetICapUnits(TTwainUnit& Return, TTwainUnitSet& Supported, TRetrieveCap Mode = rcGet);
  TCapabilityRet SetIPixelFlavor(TTwainPixelFlavor Value);
  TCapabilityRet GetIPixelFlavor(TTwainPixelFlavor& Return, TTwainPixelFlavorSet& Supported, TRetrieveCap Mode = rcGet);
  TCapabilityRet SetIPixelType(TTwainPixelType Value);
  TCapabilityRet GetIPixelType(TTwainPixelType& Return, TTwainPixelTypeSet& Supported, TRetrieveCap Mode = rcGet);
  TCapabilityRet SetIBitDepth(uint16_t Value);
  TCapabilityRet GetIBitDepth(uint16_t& Return, TTwainBitDepth& Supported, TRetrieveCap Mode = rcGet);
  TCapabilityRet SetIXResolution(double Value);
  TCapabilityRet SetIYResolution(double Value);
  TCapabilityRet GetIXResolution(double& Return, TTwainResolution& Values, TRetrieveCap Mode = rcGet);
  TCapabilityRet GetIYResolution(double& Return, TTwainResolution& Values, TRetrieveCap Mode = rcGet);
  TCapabilityRet GetIPhysicalWidth(double& Return, TRetrieveCap Mode = rcGet);
  TCapabilityRet GetIPhysicalHeight(double& Return, TRetrieveCap Mode = rcGet);
  TCapabilityRet GetUIControllable(bool& Return);
  TCapabilityRet GetFeederLoaded(bool& Return);
  TCapabilityRet GetFeederEnabled(bool& Return);
  TCapabilityRet GetAutofeed(bool& Return);
  TCapabilityRet SetFeederEnabled(TW_UINT16 Value);
  TCapabilityRet SetAutoFeed(TW_UINT16 Value);
  TCapabilityRet SetIndicators(bool Value);
  TCapabilityRet SetAutoBorderDetection(bool Value);
  TCapabilityRet SetAutoDeskew(bool Value);
  TCapabilityRet SetAutoRotate(bool Value);
  TCapabilityRet SetUndefinedImageSize(bool Value);
  TCapabilityRet SetAutoSize(TTwainAutoSize Value);
  TCapabilityRet SetOrientation(TTwainOrientation Value);
  TCapabilityRet SetPaperSize(TTwainPaperSize Value);
  TCapabilityRet GetIXferMech(TTwainTransferMode& Return, TTwainTransferModeSet& Supported, TRetrieveCap Mode = rcGet);
  TCapabilityRet SetIXferMech(TTwainTransferMode Value);
  // The area to scan (DAT_IMAGELAYOUT), in the source's current unit.
  TCapabilityRet SetImagelayoutFrame(double fLeft, double fTop, double fRight, double fBottom);

 protected:
  void TransferImages();
  void ReadFile(const TW_STR255& Filename, TW_UINT16 Format, bool& Cancel);
  // False when the block holds no whole bitmap: nothing is delivered.
  // `Kept` is false when the receiver could not keep the page delivered.
  bool ReadNative(TW_HANDLE handle, bool& Cancel, bool& Kept);
  // False when the receiver could not keep the page.
  bool ReadMemory(HBITMAP Bitmap, bool& Cancel);
  // Memory transfer: an empty bitmap section from the source's image
  // description, then filled from the source's buffers.
  TW_UINT16 PrepareMemXfer(HBITMAP& Bitmap, TW_UINT16& PixelType);
  TW_UINT16 TransferImageMemory(HBITMAP& Bitmap, TW_UINT16 PixelType);

 private:
  friend class TCustomTwainManager;
  TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);
  TCapabilityRet FetchContainer(TW_UINT16 Capability, TW_HANDLE MemHandle, TRetrieveCap Mode, TW_UINT16 Expected,
                                TW_HANDLE& handle);
  TCapabilityRet SetBool(TW_UINT16 Capability, bool Value);
  TCapabilityRet SetUInt16(TW_UINT16 Capability, TW_UINT16 Value);
  TCapabilityRet GetBool(TW_UINT16 Capability, bool& Return);
  TCapabilityRet GetUInt16List(TW_UINT16 Capability, TRetrieveCap Mode, std::vector<int>& Items, int& Chosen);
  TCapabilityRet GetResolution(TW_UINT16 Capability, double& Return, TTwainResolution& Values, TRetrieveCap Mode);
  TCapabilityRet GetPhysical(TW_UINT16 Capability, double& Return, TRetrieveCap Mode);

  int Index_ = 0;
  TTwainTransferMode TransferMode_;
  bool ShowUI_ = true;
  bool Modal_ = true;
  bool Enabled_ = false;
  bool Loaded_ = false;
  TCustomTwainManager* Owner_;
};

// Where the pixels of a packed DIB start, counted from its header: after the
// header, the colour table and, for a BI_BITFIELDS info header, the three
// colour masks. 0 when the header is not usable within size bytes.
size_t DibPixelOffset(const void* header, size_t size);
// The number of pixel bytes a packed DIB's header calls for: stride times
// rows, or the header's image size for compressed rows. 0 when the header is
// not usable within size bytes.
size_t DibPixelBytes(const void* header, size_t size);

}  // namespace skan::twain
