#include "custom_twain_manager.h"

#include <cstring>

#include "twain_source.h"

namespace skan::twain {

TW_UINT16 TwainFormatCode(TTwainFormat format) { return format == tfUnknown ? 0 : TW_UINT16(format); }

TTwainFormat TwainFormatOf(TW_UINT16 code) { return code <= TWFF_EXIF ? TTwainFormat(code) : tfUnknown; }

TTwainBitmap::~TTwainBitmap() {
  if (Handle_) TwainPlatform().FreeBitmap(Handle_);
}

TCustomTwainManager::TCustomTwainManager() { TCustomTwainManager::DoCreate(); }

TCustomTwainManager::~TCustomTwainManager() {
  if (!Destroyed_) TCustomTwainManager::DoDestroy();
}

void TCustomTwainManager::DoCreate() {
  DeviceList_ = std::make_unique<TPointerList>();
  SourcesLoaded_ = 0;
  Handle_ = nullptr;
  TwainProc_ = nullptr;
  SourceManagerLoaded_ = false;
  HasEnumerated_ = false;
  TransferMode_ = ttmNative;
  Info_ = std::make_unique<TTwainIdentity>();
  AppInfo_ = Info_->GetStructure();
}

void TCustomTwainManager::DoDestroy() {
  SetLibraryLoaded(false);
  ClearDeviceList();
  DeviceList_.reset();
  AppInfo_ = nullptr;
  Info_.reset();
}

void TCustomTwainManager::SetLibraryLoaded(bool value) {
  if (value == LibraryLoaded_) return;
  if (value)
    LoadLibrary();
  else
    UnloadLibrary();
}

void TCustomTwainManager::SetSourceManagerLoaded(bool value) {
  if (!LibraryLoaded_ || value == SourceManagerLoaded_) return;
  if (value)
    LoadSourceManager();
  else
    UnloadSourceManager(false);
}

std::wstring TCustomTwainManager::GetTwainDirectory() {
  TTwainPlatform& platform = TwainPlatform();
  for (TDirectoryKind kind : {dkWindows, dkSystem, dkApplication, dkCurrent, dkTemp}) {
    std::wstring dir = platform.Folder(kind);
    if (kind == dkApplication) {
      const size_t cut = dir.find_last_of(L"\\:");
      dir.resize(cut == std::wstring::npos ? 0 : cut + 1);
    }
    // A folder that cannot be asked for is skipped rather than searched as
    // the root of the current drive.
    if (dir.empty()) continue;
    if (dir.back() != L'\\') dir += L'\\';
    if (platform.FileExists(dir + L"TWAIN_32.DLL")) return dir;
  }
  return {};
}

bool TCustomTwainManager::LoadLibrary() {
  if (LibraryLoaded_) return true;
  const std::wstring dir = GetTwainDirectory();
  if (dir.empty()) return false;
  TTwainPlatform& platform = TwainPlatform();
  Handle_ = platform.LoadLibraryModule(dir + L"TWAIN_32.DLL");
  if (!Handle_) return false;
  TwainProc_ = platform.EntryByOrdinal1(Handle_);
  if (!TwainProc_) {
    platform.FreeLibraryModule(Handle_);
    Handle_ = nullptr;
    return false;
  }
  LibraryLoaded_ = true;
  return true;
}

bool TCustomTwainManager::UnloadLibrary() {
  bool result = true;
  if (LibraryLoaded_) {
    SetSourceManagerLoaded(false);
    result = TwainPlatform().FreeLibraryModule(Handle_);
    if (result) Handle_ = nullptr;
  }
  LibraryLoaded_ = false;
  MessageTimer_Disable();
  return result;
}

bool TCustomTwainManager::LoadSourceManager() {
  bool result = SourceManagerLoaded_;
  if (LibraryLoaded_ && !SourceManagerLoaded_)
    result = TwainProc_(AppInfo_, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &VirtualWindow_) == TWRC_SUCCESS;
  if (result) SourceManagerLoaded_ = true;
  return result;
}

bool TCustomTwainManager::UnloadSourceManager(bool forced) {
  bool result = true;
  if (LibraryLoaded_ && SourceManagerLoaded_) {
    ClearDeviceList();
    if (!forced)
      result = TwainProc_(AppInfo_, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &VirtualWindow_) == TWRC_SUCCESS;
  }
  if (result) SourceManagerLoaded_ = false;
  return result;
}

void TCustomTwainManager::RefreshVirtualWindow() {
  DoDestroy();
  DoCreate();
  if (LoadLibrary()) SetSourceManagerLoaded(true);
}

bool TCustomTwainManager::EnumerateDevices() {
  if (!LibraryLoaded_ || !SourceManagerLoaded_) return false;
  ClearDeviceList();
  auto source = std::make_unique<TTwainSource>(this);
  TW_UINT16 rc = TwainProc_(AppInfo_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, source->GetStructure());
  while (rc == TWRC_SUCCESS) {
    DeviceList_->Add(source.release());
    source = std::make_unique<TTwainSource>(this);
    source->TransferMode_ = TransferMode_;
    source->Index_ = DeviceList_->Count();
    rc = TwainProc_(AppInfo_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, source->GetStructure());
  }
  HasEnumerated_ = true;
  return true;
}

void TCustomTwainManager::ClearDeviceList() {
  if (!DeviceList_) return;
  // Take each source out of the list before freeing it: closing it may fire
  // events, and no handler must find a freed source in the list.
  for (int i = DeviceList_->Count() - 1; i >= 0; --i) {
    auto* source = static_cast<TTwainSource*>(DeviceList_->Item(i));
    DeviceList_->SetCount(i);
    delete source;
  }
  DeviceList_->Clear();
  HasEnumerated_ = false;
}

int TCustomTwainManager::GetSourceCount() {
  if (!LibraryLoaded_ || !SourceManagerLoaded_) return 0;
  if (!HasEnumerated_) EnumerateDevices();
  return DeviceList_->Count();
}

TTwainSource* TCustomTwainManager::GetSource(int index) {
  if (!LibraryLoaded_ || !SourceManagerLoaded_) return nullptr;
  const int n = GetSourceCount();
  if (n == 0 || n > 256) DeviceList_->Item(0);  // raises the list's range error
  if (index >= 0 && index < n) return static_cast<TTwainSource*>(DeviceList_->Item(index));
  if (index == -1) {
    const int def = GetDefaultSource();
    return def >= 0 ? static_cast<TTwainSource*>(DeviceList_->Item(def)) : nullptr;
  }
  return nullptr;
}

int TCustomTwainManager::GetDefaultSource() {
  if (!SourceManagerLoaded_) return 0;
  TW_IDENTITY identity{};
  if (TwainProc_(AppInfo_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &identity) != TWRC_SUCCESS) return 0;
  return FindSource(&identity);
}

int TCustomTwainManager::GetDefaultSourceByName() {
  if (!SourceManagerLoaded_) return -1;
  TW_IDENTITY identity{};
  if (TwainProc_(AppInfo_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &identity) != TWRC_SUCCESS) return -1;
  const int n = GetSourceCount();
  for (int i = 0; i < n; ++i) {
    auto* source = static_cast<TTwainSource*>(DeviceList_->Item(i));
    if (std::strncmp(source->GetStructure()->ProductName, identity.ProductName, sizeof identity.ProductName) == 0)
      return i;
  }
  return -1;
}

int TCustomTwainManager::FindSource(const TW_IDENTITY* identity) {
  const int n = GetSourceCount();
  for (int i = 0; i < n; ++i) {
    auto* source = static_cast<TTwainSource*>(DeviceList_->Item(i));
    if (std::memcmp(source->GetStructure(), identity, sizeof(TW_IDENTITY)) == 0) return i;
  }
  return -1;
}

TTwainSource* TCustomTwainManager::GetSelectedSource() {
  const int n = GetSourceCount();
  if (n == 0) return nullptr;
  return SelectedSourceIndex_ >= 0 && SelectedSourceIndex_ < n ? GetSource(SelectedSourceIndex_) : nullptr;
}

int TCustomTwainManager::SelectSource() {
  if (!LibraryLoaded_ || !SourceManagerLoaded_) return -1;
  SelectedSourceIndex_ = CustomSelectSource();
  return SelectedSourceIndex_;
}

bool TCustomTwainManager::DoTwainAcquire(TTwainObject*, int, HBITMAP Image, bool&) {
  TTwainBitmap discard(Image);
  return true;
}

}  // namespace skan::twain
