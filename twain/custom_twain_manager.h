// The source manager: finds and loads TWAIN_32.DLL, opens and closes the
// source manager (the DSM) with the application's identity, and owns the
// list of data sources. TTwainManager binds it to a window.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "pointer_list.h"
#include "twain.h"
#include "twain_identity.h"
#include "twain_platform.h"

namespace skan::twain {

class TTwainSource;
class TTwainBitmap;

enum TTwainTransferMode { ttmFile, ttmNative, ttmMemory };
// Ordinals 0..9 are the TWFF_ codes.
enum TTwainFormat { tfTIFF, tfPict, tfBMP, tfXBM, tfJPEG, tfFPX, tfTIFFMulti, tfPNG, tfSPIFF, tfEXIF, tfUnknown };

TW_UINT16 TwainFormatCode(TTwainFormat format);
TTwainFormat TwainFormatOf(TW_UINT16 code);

// Events: fired only when assigned.
using TOnSourceNotify = std::function<void(TTwainObject* Sender, int Index)>;
using TOnTransferComplete = std::function<void(TTwainObject* Sender, int Index, bool Canceled)>;
using TOnSourceFileTransfer =
    std::function<void(TTwainObject* Sender, int Index, const TW_STR255& Filename, TTwainFormat Format, bool& Cancel)>;
using TOnTwainError = std::function<void(TTwainObject* Sender, int Index, int ErrorCode, int Additional)>;
using TOnTwainAcquire = std::function<void(TTwainObject* Sender, int Index, TTwainBitmap& Image, bool& Cancel)>;
using TOnAcquireProgress = std::function<void(TTwainObject* Sender, int Index, HBITMAP Image, int Current, int Total)>;

// A bitmap object that owns its handle; deleting it deletes the bitmap.
class TTwainBitmap {
 public:
  explicit TTwainBitmap(HBITMAP handle) : Handle_(handle) {}
  ~TTwainBitmap();
  TTwainBitmap(const TTwainBitmap&) = delete;
  TTwainBitmap& operator=(const TTwainBitmap&) = delete;
  HBITMAP Handle() const { return Handle_; }
  HBITMAP ReleaseHandle() {
    HBITMAP h = Handle_;
    Handle_ = nullptr;
    return h;
  }
  // A handler that could not keep the page (its file could not be written,
  // say) says so here: the layer counts the page as failed.
  void SetKept(bool kept) { Kept_ = kept; }
  bool Kept() const { return Kept_; }

 private:
  HBITMAP Handle_;
  bool Kept_ = true;
};

class TCustomTwainManager : public TTwainObject {
 public:
  TCustomTwainManager();
  ~TCustomTwainManager() override;
  TCustomTwainManager(const TCustomTwainManager&) = delete;
  TCustomTwainManager& operator=(const TCustomTwainManager&) = delete;

  // Library and source manager.
  bool LoadLibrary();
  bool UnloadLibrary();
  bool LoadSourceManager();
  bool UnloadSourceManager(bool forced);
  // Rebuilds the manager in place: closes everything, makes a fresh source
  // list and identity, loads the library and reopens the DSM.
  void RefreshVirtualWindow();

  bool LibraryLoaded() const { return LibraryLoaded_; }
  void SetLibraryLoaded(bool value);
  bool SourceManagerLoaded() const { return SourceManagerLoaded_; }
  void SetSourceManagerLoaded(bool value);

  // Source list.
  bool EnumerateDevices();
  void ClearDeviceList();
  int SourceCount() { return GetSourceCount(); }
  TTwainSource* Source(int index) { return GetSource(index); }
  int FindSource(const TW_IDENTITY* identity);
  int GetDefaultSource();
  // The default source's position found by its product name, which stays
  // when opening a source changes its record's Id; -1 when not listed.
  int GetDefaultSourceByName();
  TTwainSource* SelectedSource() { return GetSelectedSource(); }
  int SelectedSourceIndex() const { return SelectedSourceIndex_; }
  void SetSelectedSourceIndex(int index) { SelectedSourceIndex_ = index; }
  // The user's choice in the "Select source" dialog; -1 when cancelled.
  int SelectSource();

  int SourcesLoaded() const { return SourcesLoaded_; }
  TW_IDENTITY* AppIdentity() const { return AppInfo_; }
  TTwainIdentity& Info() { return *Info_; }
  void SetInfo(const TTwainIdentity& identity) { Info_->Assign(&identity); }
  HMODULE Handle() const { return Handle_; }
  bool HasEnumerated() const { return HasEnumerated_; }
  DSMENTRYPROC TwainProc() const { return TwainProc_; }
  TTwainTransferMode TransferMode() const { return TransferMode_; }
  void SetTransferMode(TTwainTransferMode mode) { TransferMode_ = mode; }
  bool IsConsoleApplication() const { return IsConsoleApplication_; }
  void SetIsConsoleApplication(bool value) { IsConsoleApplication_ = value; }
  HWND VirtualWindow() const { return VirtualWindow_; }

  TOnSourceNotify OnSourceDisable;
  TOnSourceNotify OnAcquireCancel;
  TOnSourceNotify OnSourceSetupFileXfer;
  // Native and memory modes: before each page's transfer, as
  // OnSourceSetupFileXfer in file mode, so that a page that then fails or is
  // cancelled was announced whatever the mode.
  TOnSourceNotify OnSourcePageStart;
  TOnSourceFileTransfer OnSourceFileTransfer;
  TOnTwainError OnAcquireError;
  TOnTransferComplete OnTransferComplete;
  // Asked between the pages of a batch: true stops it, the pages still
  // pending reset at the source, as when the source cancels a page.
  std::function<bool(TTwainObject* Sender, int Index)> OnCancelPending;

  // Window-bound operations, supplied by the descendant.
  virtual void MessageTimer_Enable() {}
  virtual void MessageTimer_Disable() {}
  virtual HWND CustomGetParentWindow() { return nullptr; }
  // False when the receiver could not keep the page (TTwainBitmap::SetKept).
  virtual bool DoTwainAcquire(TTwainObject* Sender, int Index, HBITMAP Image, bool& Cancel);
  virtual void DoAcquireProgress(TTwainObject*, int, HBITMAP, int, int) {}

  // The folder holding TWAIN_32.DLL, ending in '\', or empty.
  static std::wstring GetTwainDirectory();

 protected:
  virtual void DoCreate();
  virtual void DoDestroy();
  virtual int CustomSelectSource() { return -1; }

  int GetSourceCount();
  TTwainSource* GetSource(int index);
  TTwainSource* GetSelectedSource();

  // The descendant's destructor runs the teardown while its overrides still
  // exist and sets this, so the base destructor does not run it again.
  bool Destroyed_ = false;
  HWND VirtualWindow_ = nullptr;

 private:
  friend class TTwainSource;

  int SourcesLoaded_ = 0;
  int SelectedSourceIndex_ = -1;
  std::unique_ptr<TPointerList> DeviceList_;
  TW_IDENTITY* AppInfo_ = nullptr;
  std::unique_ptr<TTwainIdentity> Info_;
  HMODULE Handle_ = nullptr;
  bool HasEnumerated_ = false;
  DSMENTRYPROC TwainProc_ = nullptr;
  TTwainTransferMode TransferMode_ = ttmNative;
  bool LibraryLoaded_ = false;
  bool SourceManagerLoaded_ = false;
  bool IsConsoleApplication_ = false;
};

}  // namespace skan::twain
