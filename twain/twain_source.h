// One TWAIN data source (a scanner driver) known to the DSM: open, enable,
// process window messages, and transfer images.
#pragma once

#include "custom_twain_manager.h"

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

 protected:
  void TransferImages();
  void ReadFile(const TW_STR255& Filename, TW_UINT16 Format, bool& Cancel);
  void ReadNative(TW_HANDLE handle, bool& Cancel);

 private:
  friend class TCustomTwainManager;
  TW_UINT16 Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data);

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
