#include "twain_source.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/encoding.h"

namespace skan::twain {

namespace {
constexpr TW_BOOL kTrue = 0xFFFF;
constexpr TW_BOOL kFalse = 0;
}  // namespace

TTwainSource::TTwainSource(TCustomTwainManager* AOwner) : TransferMode_(AOwner->TransferMode()), Owner_(AOwner) {}

TTwainSource::~TTwainSource() { UnloadSource(); }

TW_UINT16 TTwainSource::Call(TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  return Owner_->TwainProc_(GetAppInfo(), GetStructure(), dg, dat, msg, data);
}

void TTwainSource::SetLoaded(bool value) {
  if (value == Loaded_) return;
  if (value)
    LoadSource();
  else
    UnloadSource();
}

void TTwainSource::SetEnabled(bool value) {
  if (!Loaded_ || value == Enabled_) return;
  if (value)
    EnableSource(ShowUI_, Modal_);
  else
    DisableSource();
}

bool TTwainSource::LoadSource() {
  if (Loaded_) return true;
  const bool result =
      Owner_->TwainProc_(GetAppInfo(), nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, GetStructure()) == TWRC_SUCCESS;
  if (result) {
    ++Owner_->SourcesLoaded_;
    Loaded_ = true;
  }
  return result;
}

bool TTwainSource::UnloadSource() {
  if (!Loaded_) return true;
  DisableSource();
  const bool result =
      Owner_->TwainProc_(GetAppInfo(), nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, GetStructure()) == TWRC_SUCCESS;
  if (result) --Owner_->SourcesLoaded_;
  Loaded_ = false;
  return result;
}

bool TTwainSource::EnableSource(bool showUI, bool modal) {
  if (!Loaded_ || Enabled_) return Enabled_;
  TW_USERINTERFACE ui{};
  ui.ShowUI = showUI ? kTrue : kFalse;
  ui.ModalUI = modal ? kTrue : kFalse;
  // The window the DSM was opened with: the window whose messages the layer
  // hands to the source.
  ui.hParent = Owner_->VirtualWindow();
  Owner_->MessageTimer_Enable();
  const TW_UINT16 rc = Call(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
  const bool result = rc == TWRC_SUCCESS || rc == TWRC_CHECKSTATUS;
  if (result) Enabled_ = true;
  return result;
}

bool TTwainSource::DisableSource() {
  bool result = true;
  if (Loaded_ && Enabled_) {
    TW_USERINTERFACE ui{};
    ui.hParent = Owner_->VirtualWindow();
    result = Call(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui) == TWRC_SUCCESS;
    if (result) {
      // Enabled drops before the event so a handler sees the source disabled.
      Enabled_ = false;
      if (Owner_->OnSourceDisable) Owner_->OnSourceDisable(Owner_, Index_);
    }
  }
  Enabled_ = false;
  Owner_->MessageTimer_Disable();
  return result;
}

bool TTwainSource::ProcessMessage(MSG* msg) {
  TW_EVENT event{};
  event.pEvent = msg;
  event.TWMessage = MSG_NULL;
  if (Call(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) != TWRC_DSEVENT) return false;
  switch (event.TWMessage) {
    case MSG_XFERREADY: TransferImages(); break;
    case MSG_CLOSEDSREQ: {
      TCustomTwainManager* owner = Owner_;
      const int index = Index_;
      if (owner->OnAcquireCancel) owner->OnAcquireCancel(owner, index);
      if (owner->OnTransferComplete) owner->OnTransferComplete(owner, index, true);
      DisableSource();
      owner->RefreshVirtualWindow();  // frees this source
      break;
    }
    default: break;
  }
  return true;
}

TW_UINT16 TTwainSource::GetReturnStatus() {
  if (!Loaded_) return 0;
  TW_STATUS status{};
  Call(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
  return status.ConditionCode;
}

int16_t TTwainSource::GetPendingXfers() {
  if (!Loaded_ || !Enabled_) return 32767;
  TW_PENDINGXFERS pending{};
  if (Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, &pending) != TWRC_SUCCESS) return 32767;
  return int16_t(pending.Count);
}

bool TTwainSource::SetupFileTransfer(std::wstring_view Filename, TTwainFormat Format) {
  if (!Loaded_) return false;
  TW_SETUPFILEXFER setup{};
  const std::string ansi = base::ToAnsi(Filename);
  std::memcpy(setup.FileName, ansi.data(), std::min<size_t>(ansi.size(), 255));
  setup.Format = TwainFormatCode(Format);
  return Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &setup) == TWRC_SUCCESS;
}

namespace {
// A batch whose pages keep failing while the source still reports pages
// pending ends after this many failures in a row, as if cancelled; some
// sources report pages pending after every failure and would never end.
constexpr int kMaxFailedPagesInARow = 3;
}  // namespace

void TTwainSource::TransferImages() {
  TCustomTwainManager* owner = Owner_;
  bool cancel = false;
  bool done = false;
  int failedInARow = 0;
  TW_UINT16 rc = TWRC_FAILURE;
  TW_SETUPFILEXFER file{};
  TW_HANDLE handle = nullptr;
  HBITMAP bitmap = nullptr;
  TW_PENDINGXFERS pending{};
  do {
    switch (TransferMode_) {
      case ttmFile:
        if (owner->OnSourceSetupFileXfer) owner->OnSourceSetupFileXfer(owner, Index_);
        Call(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &file);
        rc = Call(DG_IMAGE, DAT_IMAGEFILEXFER, MSG_GET, nullptr);
        break;
      case ttmNative:
        if (owner->OnSourcePageStart) owner->OnSourcePageStart(owner, Index_);
        handle = nullptr;
        rc = Call(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
        break;
      case ttmMemory: {
        if (owner->OnSourcePageStart) owner->OnSourcePageStart(owner, Index_);
        TW_UINT16 pixelType = 0;
        bitmap = nullptr;
        rc = PrepareMemXfer(bitmap, pixelType);
        if (rc == TWRC_SUCCESS) rc = TransferImageMemory(bitmap, pixelType);
        break;
      }
    }
    bool failed = false;
    if (rc == TWRC_XFERDONE) {
      if (TransferMode_ == ttmFile) {
        ReadFile(file.FileName, file.Format, cancel);
      } else if (TransferMode_ == ttmNative) {
        // A block that holds no whole bitmap is a failed page.
        bool kept = true;
        if (!ReadNative(handle, cancel, kept)) {
          failed = true;
          if (owner->OnAcquireError) owner->OnAcquireError(owner, Index_, TWRC_FAILURE, TWCC_BADVALUE);
        } else {
          failed = !kept;  // the receiver has reported it already
        }
      } else {
        failed = !ReadMemory(bitmap, cancel);
      }
    } else if (rc == TWRC_CANCEL) {
      cancel = true;
      if (owner->OnAcquireCancel) owner->OnAcquireCancel(owner, Index_);
    } else {
      failed = true;
      if (owner->OnAcquireError) owner->OnAcquireError(owner, Index_, rc, GetReturnStatus());
    }
    failedInARow = failed ? failedInARow + 1 : 0;
    const TW_UINT16 rc2 = Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    done = rc2 != TWRC_SUCCESS || pending.Count == 0;
    if (!done && !cancel && owner->OnCancelPending && owner->OnCancelPending(owner, Index_)) cancel = true;
    if (!done && failedInARow >= kMaxFailedPagesInARow) {
      cancel = true;
      Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
      done = true;  // also when the reset fails: the failures would go on
    } else if (!done && cancel) {
      done = Call(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending) == TWRC_SUCCESS;
    }
  } while (!done);

  const int index = Index_;
  SetEnabled(false);
  if (owner->OnTransferComplete) owner->OnTransferComplete(owner, index, cancel);
  owner->RefreshVirtualWindow();  // frees this source
}

void TTwainSource::ReadFile(const TW_STR255& Filename, TW_UINT16 Format, bool& Cancel) {
  TW_STR255 copy;
  std::memcpy(copy, Filename, sizeof copy);
  if (Owner_->OnSourceFileTransfer) Owner_->OnSourceFileTransfer(this, Index_, copy, TwainFormatOf(Format), Cancel);
}

size_t DibPixelOffset(const void* header, size_t size) {
  auto get32 = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(header) + at, 4);
    return v;
  };
  auto get16 = [&](size_t at) {
    uint16_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(header) + at, 2);
    return v;
  };
  if (!header || size < 12) return 0;
  const uint32_t headerSize = get32(0);
  auto entriesFor = [](unsigned bits) -> size_t { return bits == 1 ? 2 : bits == 4 ? 16 : bits == 8 ? 256 : 0; };
  size_t offset;
  if (headerSize == 12) {
    // A core header's colour table holds 3-byte entries.
    offset = 12 + 3 * entriesFor(get16(10));
  } else if (headerSize >= 40 && headerSize <= size) {
    const uint32_t used = get32(32);
    if (used > 256) return 0;
    const size_t entries = used ? used : entriesFor(get16(14));
    const uint32_t compression = get32(16);
    // With an info header, BI_BITFIELDS (3) puts three colour masks and
    // BI_ALPHABITFIELDS (6) four masks between header and colour table;
    // later headers carry the masks inside.
    size_t masks = 0;
    if (headerSize == 40 && compression == 3) masks = 12;
    if (headerSize == 40 && compression == 6) masks = 16;
    offset = headerSize + masks + 4 * entries;
  } else {
    return 0;
  }
  return offset <= size ? offset : 0;
}

size_t DibPixelBytes(const void* header, size_t size) {
  const auto* h = static_cast<const uint8_t*>(header);
  auto get32 = [&](size_t at) {
    uint32_t v;
    std::memcpy(&v, h + at, 4);
    return v;
  };
  auto get16 = [&](size_t at) {
    uint16_t v;
    std::memcpy(&v, h + at, 2);
    return v;
  };
  if (!header || size < 12) return 0;
  const uint32_t headerSize = get32(0);
  uint64_t width, rows, bits;
  if (headerSize == 12) {
    width = get16(4), rows = get16(6), bits = get16(10);
  } else if (headerSize >= 40 && headerSize <= size) {
    const auto w = int32_t(get32(4));
    const auto height = int32_t(get32(8));  // negative: rows top-down
    if (w <= 0 || height == 0) return 0;
    width = uint64_t(w);
    rows = uint64_t(height < 0 ? -int64_t(height) : int64_t(height));
    bits = get16(14);
    const uint32_t compression = get32(16);
    // Compressed rows (run lengths, JPEG, PNG) take the size the header gives.
    if (compression == 1 || compression == 2 || compression == 4 || compression == 5) return get32(20);
  } else {
    return 0;
  }
  const uint64_t bytes = ((bits * width + 31) / 32) * 4 * rows;
  return bytes <= SIZE_MAX ? size_t(bytes) : 0;
}

bool TTwainSource::ReadNative(TW_HANDLE handle, bool& Cancel, bool& Kept) {
  TTwainPlatform& platform = TwainPlatform();
  if (!handle) return false;
  // The application owns the memory after a native transfer; it is freed
  // even when the image handler raises.
  struct TFree {
    TTwainPlatform& p;
    TW_HANDLE h;
    ~TFree() { p.FreeGlobal(h); }
  } release{platform, handle};
  size_t size = 0;
  void* header = platform.LockGlobal(handle, size);
  if (!header) return false;
  // The header, colour table and every row must lie inside the block: a
  // header that claims more rows than the block holds would be read past it.
  const size_t offset = DibPixelOffset(header, size);
  const size_t pixelBytes = offset ? DibPixelBytes(header, size) : 0;
  HBITMAP bitmap = nullptr;
  if (offset && pixelBytes && pixelBytes <= size - offset)
    bitmap =
        platform.MakeBitmap(Owner_->VirtualWindow(), header, static_cast<const uint8_t*>(header) + offset, pixelBytes);
  platform.UnlockGlobal(handle);
  if (!bitmap) return false;
  Kept = Owner_->DoTwainAcquire(Owner_, Index_, bitmap, Cancel);
  return true;
}

}  // namespace skan::twain
