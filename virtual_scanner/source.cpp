// The virtual scanner: a TWAIN data source that makes A4 test pages (or hands
// over the BMP files of a folder). It follows the TWAIN states 3 (closed) to 7
// (transferring) for one application session at a time.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "page_image.h"
#include "scanner_dialog.h"
#include "twain.h"

namespace vscan {
namespace {

HINSTANCE gInstance = nullptr;

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(gInstance, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(f, &size) && size.QuadPart < (1LL << 30);
  if (ok) {
    bytes.resize(size_t(size.QuadPart));
    DWORD got = 0;
    ok = bytes.empty() || (::ReadFile(f, bytes.data(), DWORD(bytes.size()), &got, nullptr) &&
                           got == bytes.size());
  }
  CloseHandle(f);
  return ok;
}

bool WriteWholeFileA(const char* path, const std::vector<uint8_t>& bytes) {
  HANDLE f = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(f, bytes.data(), DWORD(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  return CloseHandle(f) && ok;
}

std::wstring FromUtf8(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
  std::wstring w(size_t(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
  return w;
}

void CopyStr32(TW_STR32& dst, const char* src) {
  std::fill(std::begin(dst), std::end(dst), '\0');
  strncpy(dst, src, 32);
}

class TSource {
 public:
  TW_UINT16 Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                  TW_MEMREF data);

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
  TW_UINT16 ImageInfo(TW_MEMREF data);
  TW_UINT16 Transfer(bool toFile, TW_MEMREF data);

  void LoadConfig();
  void StartBatch(const TScanSettings& s);
  bool Page(int number, TDib& dib) const;
  TW_UINT16 CountToReport() const {
    return settings_.indeterminate && pagesLeft_ > 0 ? 0xFFFF : TW_UINT16(pagesLeft_);
  }

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
};

void TSource::LoadConfig() {
  std::wstring path = ModulePath();
  const size_t dot = path.find_last_of(L".\\/");
  if (dot != std::wstring::npos && path[dot] == L'.') path.resize(dot);
  std::vector<uint8_t> bytes;
  config_ = ReadWholeFile(path + L".ini", bytes)
                ? ParseConfig(std::string(bytes.begin(), bytes.end()))
                : TScannerConfig{};
  settings_ = {config_.pages, config_.pixelType, config_.resolution, config_.indeterminate};
  folderFiles_.clear();
  if (!config_.imageFolder.empty()) {
    std::wstring folder = FromUtf8(config_.imageFolder);
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((folder + L"*.bmp").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) folderFiles_.push_back(folder + fd.cFileName);
      } while (FindNextFileW(h, &fd));
      FindClose(h);
    }
    std::sort(folderFiles_.begin(), folderFiles_.end());
  }
}

void TSource::StartBatch(const TScanSettings& s) {
  settings_ = s;
  nextPage_ = 1;
  pagesLeft_ = config_.imageFolder.empty() ? std::max(1, s.pages) : int(folderFiles_.size());
  pendingEvent_ = pagesLeft_ > 0 ? MSG_XFERREADY : MSG_CLOSEDSREQ;
  if (dialog_) dialog_->SetBusy(true);
}

bool TSource::Page(int number, TDib& dib) const {
  if (config_.imageFolder.empty()) {
    dib = RenderPage(number, settings_.pixelType, settings_.resolution);
    return true;
  }
  std::vector<uint8_t> bytes;
  return number >= 1 && number <= int(folderFiles_.size()) &&
         ReadWholeFile(folderFiles_[size_t(number - 1)], bytes) && DibFromBmpFile(bytes, dib);
}

TW_UINT16 TSource::Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                         TW_MEMREF data) {
  if (dg == DG_CONTROL && dat == DAT_STATUS && msg == MSG_GET) {
    if (!data) return TWRC_FAILURE;
    auto* status = static_cast<pTW_STATUS>(data);
    status->ConditionCode = condition_;
    status->Reserved = 0;
    condition_ = TWCC_SUCCESS;
    return TWRC_SUCCESS;
  }
  condition_ = TWCC_SUCCESS;
  if (dg == DG_CONTROL && dat == DAT_IDENTITY) return Identity(origin, msg, data);
  if (state_ < 4) return Fail(TWCC_SEQERROR);
  if (dg == DG_CONTROL) {
    switch (dat) {
      case DAT_EVENT: {
        if (msg != MSG_PROCESSEVENT || !data) return Fail(TWCC_BADPROTOCOL);
        auto* event = static_cast<pTW_EVENT>(data);
        event->TWMessage = MSG_NULL;
        if (state_ < 5 || pendingEvent_ == MSG_NULL) return TWRC_NOTDSEVENT;
        event->TWMessage = pendingEvent_;
        if (pendingEvent_ == MSG_XFERREADY) state_ = 6;
        pendingEvent_ = MSG_NULL;
        return TWRC_DSEVENT;
      }
      case DAT_USERINTERFACE: return UserInterface(msg, data);
      case DAT_PENDINGXFERS: return PendingXfers(msg, data);
      case DAT_SETUPFILEXFER: return SetupFileXfer(msg, data);
      case DAT_CAPABILITY: return Capability(msg, data);
    }
  } else if (dg == DG_IMAGE) {
    switch (dat) {
      case DAT_IMAGEINFO: return msg == MSG_GET ? ImageInfo(data) : Fail(TWCC_BADPROTOCOL);
      case DAT_IMAGEFILEXFER: return msg == MSG_GET ? Transfer(true, data) : Fail(TWCC_BADPROTOCOL);
      case DAT_IMAGENATIVEXFER: return msg == MSG_GET ? Transfer(false, data) : Fail(TWCC_BADPROTOCOL);
    }
  }
  return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 TSource::Identity(pTW_IDENTITY origin, TW_UINT16 msg, TW_MEMREF data) {
  auto* id = static_cast<pTW_IDENTITY>(data);
  switch (msg) {
    case MSG_GET: {
      if (!id) return Fail(TWCC_BADVALUE);
      const TW_UINT32 keep = id->Id;  // the source manager assigns the Id
      *id = TW_IDENTITY{};
      id->Id = keep;
      id->Version.MajorNum = 1;
      id->Version.MinorNum = 0;
      id->Version.Language = 0xFFFF;
      id->Version.Country = TWCY_USA;
      CopyStr32(id->Version.Info, "1.0");
      id->ProtocolMajor = TWON_PROTOCOLMAJOR;
      id->ProtocolMinor = TWON_PROTOCOLMINOR;
      id->SupportedGroups = DG_CONTROL | DG_IMAGE;
      CopyStr32(id->Manufacturer, "Skanowanie");
      CopyStr32(id->ProductFamily, "Virtual");
      CopyStr32(id->ProductName, "Virtual Scanner");
      return TWRC_SUCCESS;
    }
    case MSG_OPENDS:
      if (state_ != 3) return Fail(TWCC_MAXCONNECTIONS);
      (void)origin;
      LoadConfig();
      file_ = TW_SETUPFILEXFER{};
      strcpy(file_.FileName, "TWAIN.TMP");
      file_.Format = TWFF_BMP;
      xferMech_ = TWSX_NATIVE;
      pendingEvent_ = MSG_NULL;
      state_ = 4;
      return TWRC_SUCCESS;
    case MSG_CLOSEDS:
      if (state_ < 4) return Fail(TWCC_SEQERROR);
      dialog_.reset();
      state_ = 3;
      return TWRC_SUCCESS;
  }
  return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 TSource::UserInterface(TW_UINT16 msg, TW_MEMREF data) {
  auto* ui = static_cast<pTW_USERINTERFACE>(data);
  switch (msg) {
    case MSG_ENABLEDS: {
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      if (!ui) return Fail(TWCC_BADVALUE);
      state_ = 5;
      pendingEvent_ = MSG_NULL;
      if (config_.unattended && config_.closeRequest) {
        pendingEvent_ = MSG_CLOSEDSREQ;
      } else if (ui->ShowUI && !config_.unattended) {
        dialog_ = std::make_unique<TScannerDialog>();
        dialog_->OnScan = [this](const TScanSettings& s) { StartBatch(s); };
        dialog_->OnCancel = [this] { pendingEvent_ = MSG_CLOSEDSREQ; };
        if (!dialog_->Show(gInstance, HWND(ui->hParent), settings_)) {
          dialog_.reset();
          state_ = 4;
          return Fail(TWCC_LOWMEMORY);
        }
      } else {
        StartBatch(settings_);
      }
      return TWRC_SUCCESS;
    }
    case MSG_DISABLEDS:
      if (state_ != 5) return Fail(TWCC_SEQERROR);
      dialog_.reset();
      pendingEvent_ = MSG_NULL;
      state_ = 4;
      return TWRC_SUCCESS;
  }
  return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 TSource::PendingXfers(TW_UINT16 msg, TW_MEMREF data) {
  auto* pending = static_cast<pTW_PENDINGXFERS>(data);
  if (!pending) return Fail(TWCC_BADVALUE);
  pending->EOJ = 0;
  switch (msg) {
    case MSG_GET:
      pending->Count = state_ >= 6 ? CountToReport() : 0;
      return TWRC_SUCCESS;
    case MSG_ENDXFER:
      if (state_ < 6) return Fail(TWCC_SEQERROR);
      --pagesLeft_;
      ++nextPage_;
      state_ = pagesLeft_ > 0 ? 6 : 5;
      pending->Count = CountToReport();
      if (pagesLeft_ == 0 && dialog_) dialog_->SetBusy(false);
      return TWRC_SUCCESS;
    case MSG_RESET:
      if (state_ != 6) return Fail(TWCC_SEQERROR);
      pagesLeft_ = 0;
      state_ = 5;
      pending->Count = 0;
      if (dialog_) dialog_->SetBusy(false);
      return TWRC_SUCCESS;
  }
  return Fail(TWCC_BADPROTOCOL);
}

TW_UINT16 TSource::SetupFileXfer(TW_UINT16 msg, TW_MEMREF data) {
  auto* setup = static_cast<pTW_SETUPFILEXFER>(data);
  if (!setup) return Fail(TWCC_BADVALUE);
  switch (msg) {
    case MSG_GET:
    case MSG_GETDEFAULT:
      *setup = file_;
      return TWRC_SUCCESS;
    case MSG_SET:
      if (state_ < 4 || state_ > 6) return Fail(TWCC_SEQERROR);
      if (setup->Format != TWFF_BMP) return Fail(TWCC_BADVALUE);
      file_ = *setup;
      file_.FileName[sizeof file_.FileName - 1] = '\0';
      return TWRC_SUCCESS;
    case MSG_RESET:
      file_ = TW_SETUPFILEXFER{};
      strcpy(file_.FileName, "TWAIN.TMP");
      file_.Format = TWFF_BMP;
      *setup = file_;
      return TWRC_SUCCESS;
  }
  return Fail(TWCC_BADPROTOCOL);
}

// One-value answers for the few capabilities a host is likely to ask about.
TW_UINT16 TSource::Capability(TW_UINT16 msg, TW_MEMREF data) {
  auto* cap = static_cast<pTW_CAPABILITY>(data);
  if (!cap) return Fail(TWCC_BADVALUE);
  TW_UINT16 type = TWTY_UINT16;
  TW_UINT32 value = 0;
  switch (cap->Cap) {
    case CAP_XFERCOUNT: type = TWTY_INT16; value = TW_UINT16(-1); break;
    case ICAP_PIXELTYPE: value = TW_UINT16(settings_.pixelType); break;
    case ICAP_XFERMECH: value = xferMech_; break;
    case ICAP_COMPRESSION: value = TWCP_NONE; break;
    case ICAP_UNITS: value = 0; break;  // inches
    case ICAP_IMAGEFILEFORMAT: value = TWFF_BMP; break;
    case CAP_UICONTROLLABLE: type = TWTY_BOOL; value = 1; break;
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: type = TWTY_FIX32; value = TW_UINT32(settings_.resolution); break;
    default: return Fail(TWCC_CAPUNSUPPORTED);
  }
  switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT:
    case MSG_GETDEFAULT: {
      HGLOBAL h = GlobalAlloc(GHND, sizeof(TW_ONEVALUE));
      if (!h) return Fail(TWCC_LOWMEMORY);
      auto* one = static_cast<pTW_ONEVALUE>(GlobalLock(h));
      one->ItemType = type;
      one->Item = value;  // a TW_FIX32 keeps its whole part in the low word
      GlobalUnlock(h);
      cap->ConType = TWON_ONEVALUE;
      cap->hContainer = h;
      return TWRC_SUCCESS;
    }
    case MSG_SET: {
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      if (cap->ConType != TWON_ONEVALUE || !cap->hContainer) return Fail(TWCC_BADVALUE);
      auto* one = static_cast<pTW_ONEVALUE>(GlobalLock(cap->hContainer));
      if (!one) return Fail(TWCC_BADVALUE);
      const TW_UINT32 v = one->Item;
      GlobalUnlock(cap->hContainer);
      if (cap->Cap == ICAP_XFERMECH && (v == TWSX_NATIVE || v == TWSX_FILE)) xferMech_ = TW_UINT16(v);
      else if (cap->Cap == ICAP_PIXELTYPE && v <= TWPT_RGB) settings_.pixelType = TPixelType(v);
      else if ((cap->Cap == ICAP_XRESOLUTION || cap->Cap == ICAP_YRESOLUTION) && (v & 0xFFFF) >= 50 &&
               (v & 0xFFFF) <= 1200)
        settings_.resolution = int(v & 0xFFFF);
      else return Fail(TWCC_BADVALUE);
      return TWRC_SUCCESS;
    }
    case MSG_QUERYSUPPORT: return Fail(TWCC_CAPUNSUPPORTED);
  }
  return Fail(TWCC_CAPBADOPERATION);
}

TW_UINT16 TSource::ImageInfo(TW_MEMREF data) {
  auto* info = static_cast<pTW_IMAGEINFO>(data);
  if (state_ < 6) return Fail(TWCC_SEQERROR);
  if (!info) return Fail(TWCC_BADVALUE);
  TDib dib;
  TDibInfo d;
  if (!Page(nextPage_, dib) || !DescribeDib(dib, d)) return Fail(TWCC_OPERATIONERROR);
  *info = TW_IMAGEINFO{};
  info->XResolution.Whole = info->YResolution.Whole = TW_INT16(settings_.resolution);
  info->ImageWidth = d.width;
  info->ImageLength = std::abs(d.height);
  info->SamplesPerPixel = d.bitCount == 24 ? 3 : 1;
  for (int i = 0; i < info->SamplesPerPixel; ++i) info->BitsPerSample[i] = d.bitCount == 24 ? 8 : TW_INT16(d.bitCount);
  info->BitsPerPixel = TW_INT16(d.bitCount);
  info->PixelType = d.bitCount == 24 ? TWPT_RGB : d.bitCount == 1 ? TWPT_BW : TWPT_GRAY;
  info->Compression = TWCP_NONE;
  return TWRC_SUCCESS;
}

TW_UINT16 TSource::Transfer(bool toFile, TW_MEMREF data) {
  if (state_ != 6) return Fail(TWCC_SEQERROR);
  if (!toFile && !data) return Fail(TWCC_BADVALUE);
  if (nextPage_ == config_.cancelAtPage) {
    state_ = 7;  // the page ends cancelled; the host still ends it with MSG_ENDXFER
    return TWRC_CANCEL;
  }
  if (nextPage_ == config_.failPage) return Fail(TWCC_OPERATIONERROR);
  TDib dib;
  if (!Page(nextPage_, dib)) return Fail(TWCC_OPERATIONERROR);
  if (toFile) {
    if (!WriteWholeFileA(file_.FileName, BmpFileBytes(dib))) return Fail(TWCC_FILEWRITEERROR);
  } else {
    if (config_.nativeBitfields) dib = ToBitfields32(dib);
    HGLOBAL h = GlobalAlloc(GHND, dib.size());
    void* p = h ? GlobalLock(h) : nullptr;
    if (!p) {
      if (h) GlobalFree(h);
      return Fail(TWCC_LOWMEMORY);
    }
    memcpy(p, dib.data(), dib.size());
    GlobalUnlock(h);
    *static_cast<TW_HANDLE*>(data) = h;  // the host owns and frees it
  }
  state_ = 7;
  return TWRC_XFERDONE;
}

TSource& Source() {
  static TSource source;
  return source;
}

}  // namespace
}  // namespace vscan

extern "C" TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat,
                                              TW_UINT16 msg, TW_MEMREF data) {
  try {  // no exception may leave the library
    return vscan::Source().Entry(origin, dg, dat, msg, data);
  } catch (...) {
    return TWRC_FAILURE;
  }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    vscan::gInstance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
