// The virtual scanner: a TWAIN data source that makes A4 test pages (or hands
// over the BMP files of a folder). It follows the TWAIN states 3 (closed) to 7
// (transferring) for one application session at a time.
#include "data_source.h"

#include <cmath>
#include <cstring>

#include "base/encoding.h"
#include "base/file.h"
#include "base/handles_win.h"

namespace skan::virtual_scanner {
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

// A file's bytes, when it is smaller than 1 GB and reads whole.
bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes) {
  const base::TWholeFile file = base::ReadWholeFile(path, (1u << 30) - 1);
  if (file) bytes.assign(file.data.get(), file.data.get() + file.size);
  return bool(file);
}

bool WriteWholeFileA(const char* path, const std::vector<uint8_t>& bytes) {
  base::TFileHandle f(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f) return false;
  DWORD written = 0;
  const bool ok = WriteFile(f.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
  return CloseHandle(f.release()) && ok;  // a failed close may be a failed write
}

void CopyStr32(TW_STR32& dst, const char* src) {
  std::fill(std::begin(dst), std::end(dst), '\0');
  strncpy(dst, src, 32);
}

}  // namespace

void TSource::LoadConfig() {
  std::wstring path = ModulePath();
  const size_t dot = path.find_last_of(L".\\/");
  if (dot != std::wstring::npos && path[dot] == L'.') path.resize(dot);
  std::vector<uint8_t> bytes;
  config_ =
      ReadWholeFile(path + L".ini", bytes) ? ParseConfig(std::string(bytes.begin(), bytes.end())) : TScannerConfig{};
  settings_ = {config_.pages, config_.pixelType, config_.resolution, config_.indeterminate};
  folderFiles_.clear();
  if (!config_.imageFolder.empty()) {
    std::wstring folder = base::Widen(config_.imageFolder);
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
  if (duplexEnabled_) pagesLeft_ *= 2;
  if (xferCount_ > 0) pagesLeft_ = std::min<int>(pagesLeft_, xferCount_);  // what the host will take
  pendingEvent_ = pagesLeft_ > 0 ? MSG_XFERREADY : MSG_CLOSEDSREQ;
  if (dialog_) dialog_->SetBusy(true);
}

bool TSource::Page(int number, TDib& dib) const {
  if (config_.imageFolder.empty()) {
    // The paper (or the whole glass), cut to the frame.
    const TPaper paper = PaperOf(paper_);
    const int dpi = settings_.resolution;
    auto px = [dpi](double inches) { return int(std::lround(inches * dpi)); };
    dib = CropDib(RenderPage(number, settings_.pixelType, dpi, paper.widthMm, paper.heightMm), px(frame_[0]),
                  px(frame_[1]), px(frame_[2]) - px(frame_[0]), px(frame_[3]) - px(frame_[1]));
    return !dib.empty();
  }
  std::vector<uint8_t> bytes;
  return number >= 1 && number <= int(folderFiles_.size()) && ReadWholeFile(folderFiles_[size_t(number - 1)], bytes) &&
         DibFromBmpFile(bytes, dib);
}

TW_UINT16 TSource::Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
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
      case DAT_SETUPFILEXFER:
        if (config_.noFileTransfer) break;
        return SetupFileXfer(msg, data);
      case DAT_CAPABILITY: return Capability(msg, data);
      case DAT_SETUPMEMXFER: return SetupMemXfer(msg, data);
    }
  } else if (dg == DG_IMAGE) {
    switch (dat) {
      case DAT_IMAGEINFO: return msg == MSG_GET ? ImageInfo(data) : Fail(TWCC_BADPROTOCOL);
      case DAT_IMAGELAYOUT: return ImageLayout(msg, data);
      case DAT_PALETTE8: return Palette8(msg, data);
      case DAT_IMAGEMEMXFER: return msg == MSG_GET ? ImageMemXfer(data) : Fail(TWCC_BADPROTOCOL);
      case DAT_IMAGEFILEXFER:
        if (config_.noFileTransfer) break;
        return msg == MSG_GET ? Transfer(true, data) : Fail(TWCC_BADPROTOCOL);
      case DAT_IMAGENATIVEXFER:
        if (config_.noNativeTransfer) break;
        return msg == MSG_GET ? Transfer(false, data) : Fail(TWCC_BADPROTOCOL);
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
      xferMech_ = config_.noNativeTransfer ? TW_UINT16(TWSX_MEMORY) : TW_UINT16(TWSX_NATIVE);
      ResetNegotiation();
      pendingEvent_ = MSG_NULL;
      state_ = 4;
      return TWRC_SUCCESS;
    case MSG_CLOSEDS:
      if (state_ != 4) return Fail(TWCC_SEQERROR);  // disabled first
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
    case MSG_GET: pending->Count = state_ >= 6 ? CountToReport() : 0; return TWRC_SUCCESS;
    case MSG_ENDXFER:
      if (state_ < 6) return Fail(TWCC_SEQERROR);
      memActive_ = false;
      memData_.clear();
      if (!(config_.failKeepsPending && nextPage_ == config_.failPage)) {
        --pagesLeft_;
        ++nextPage_;
      }
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
    case MSG_GETDEFAULT: *setup = file_; return TWRC_SUCCESS;
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

TW_UINT16 TSource::ImageInfo(TW_MEMREF data) {
  auto* info = static_cast<pTW_IMAGEINFO>(data);
  if (state_ < 6) return Fail(TWCC_SEQERROR);
  if (!info) return Fail(TWCC_BADVALUE);
  TDib dib;
  TDibInfo d;
  if (!Page(nextPage_, dib) || !DescribeDib(dib, d)) return Fail(TWCC_OPERATIONERROR);
  *info = TW_IMAGEINFO{};
  const TW_UINT32 resolution = Fix32Bits(ResolutionPerUnit(settings_.resolution));
  memcpy(&info->XResolution, &resolution, 4);
  memcpy(&info->YResolution, &resolution, 4);
  info->ImageWidth = d.width;
  info->ImageLength = std::abs(d.height);
  info->SamplesPerPixel = d.bitCount == 24 ? 3 : 1;
  for (int i = 0; i < info->SamplesPerPixel; ++i) info->BitsPerSample[i] = d.bitCount == 24 ? 8 : TW_INT16(d.bitCount);
  info->BitsPerPixel = TW_INT16(d.bitCount);
  if (config_.imageFolder.empty())
    info->PixelType = TW_INT16(settings_.pixelType);
  else
    info->PixelType = d.bitCount == 24 ? TWPT_RGB : d.bitCount == 1 ? TWPT_BW : TWPT_GRAY;
  info->Planar = 0;
  info->Compression = TWCP_NONE;
  return TWRC_SUCCESS;
}

// The frame in the current unit. Setting it makes the paper size TWSS_NONE;
// a frame reaching past the glass is cut to it (TWRC_CHECKSTATUS).
TW_UINT16 TSource::ImageLayout(TW_UINT16 msg, TW_MEMREF data) {
  auto* layout = static_cast<pTW_IMAGELAYOUT>(data);
  if (!layout) return Fail(TWCC_BADVALUE);
  const double perInch = UnitsPerInch();
  auto put = [&](const double frame[4]) {
    TW_FIX32* out[4] = {&layout->Frame.Left, &layout->Frame.Top, &layout->Frame.Right, &layout->Frame.Bottom};
    for (int i = 0; i < 4; ++i) {
      const TW_UINT32 bits = Fix32Bits(frame[i] * perInch);
      memcpy(out[i], &bits, 4);
    }
    layout->DocumentNumber = layout->PageNumber = layout->FrameNumber = 1;
    return TW_UINT16(TWRC_SUCCESS);
  };
  switch (msg) {
    case MSG_GET:
    case MSG_GETCURRENT: return put(frame_);
    case MSG_GETDEFAULT: {
      const double a4[4] = {0, 0, 210 / 25.4, 297 / 25.4};
      return put(a4);
    }
    case MSG_RESET:
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      SetPaper(TWSS_A4);
      return put(frame_);
    case MSG_SET: {
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      const TW_FIX32 in[4] = {layout->Frame.Left, layout->Frame.Top, layout->Frame.Right, layout->Frame.Bottom};
      double f[4];
      for (int i = 0; i < 4; ++i) f[i] = (in[i].Whole + in[i].Frac / 65536.0) / perInch;
      const double limit[4] = {kGlassWidthMm / 25.4, kGlassHeightMm / 25.4, kGlassWidthMm / 25.4,
                               kGlassHeightMm / 25.4};
      bool cut = false;
      for (int i = 0; i < 4; ++i) {
        const double clipped = std::clamp(f[i], 0.0, limit[i]);
        cut = cut || clipped != f[i];
        f[i] = clipped;
      }
      if (f[2] <= f[0] || f[3] <= f[1]) return Fail(TWCC_BADVALUE);
      std::copy(f, f + 4, frame_);
      paper_ = TWSS_NONE;
      return cut ? TW_UINT16(TWRC_CHECKSTATUS) : TW_UINT16(TWRC_SUCCESS);
    }
  }
  return Fail(TWCC_BADPROTOCOL);
}

// The palette of palette pages (256 colours, red-green-blue).
TW_UINT16 TSource::Palette8(TW_UINT16 msg, TW_MEMREF data) {
  auto* palette = static_cast<pTW_PALETTE8>(data);
  if (!palette) return Fail(TWCC_BADVALUE);
  if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT) return Fail(TWCC_BADPROTOCOL);
  if (config_.palette8Fails) return Fail(TWCC_BADPROTOCOL);
  palette->NumColors = 256;
  palette->PaletteType = TWPA_RGB;
  for (int i = 0; i < 256; ++i) {
    uint8_t rgb[3];
    PaletteEntry(i, rgb);
    palette->Colors[i] = {uint8_t(i), rgb[0], rgb[1], rgb[2]};
  }
  return TWRC_SUCCESS;
}

TW_UINT16 TSource::SetupMemXfer(TW_UINT16 msg, TW_MEMREF data) {
  auto* setup = static_cast<pTW_SETUPMEMXFER>(data);
  if (!setup) return Fail(TWCC_BADVALUE);
  if (msg != MSG_GET) return Fail(TWCC_BADPROTOCOL);
  const auto preferred = TW_UINT32(config_.memBufferSize);
  setup->MinBufSize = std::min<TW_UINT32>(preferred, 64);
  setup->MaxBufSize = std::max<TW_UINT32>(preferred, 1 << 20);
  setup->Preferred = preferred;
  return TWRC_SUCCESS;
}

// One buffer of the page. Buffers are filled completely, so they may end
// inside a row; the last one ends the page with TWRC_XFERDONE. A page set to
// be cancelled stops half way with TWRC_CANCEL.
TW_UINT16 TSource::ImageMemXfer(TW_MEMREF data) {
  auto* xfer = static_cast<pTW_IMAGEMEMXFER>(data);
  if (!xfer) return Fail(TWCC_BADVALUE);
  if (state_ == 6) {
    if (nextPage_ == config_.failPage) return Fail(TWCC_OPERATIONERROR);
    TDib dib;
    TDibInfo d;
    if (!Page(nextPage_, dib) || !DescribeDib(dib, d) || d.height <= 0 || d.bitCount > 24)
      return Fail(TWCC_OPERATIONERROR);
    const uint32_t dibStride = ((uint32_t(d.width) * uint32_t(d.bitCount) + 31) / 32) * 4;
    memStride_ = config_.memRowsUnpadded ? (uint32_t(d.width) * uint32_t(d.bitCount) + 7) / 8 : dibStride;
    memWidth_ = uint32_t(d.width);
    memData_.assign(size_t(memStride_) * uint32_t(d.height), 0);
    for (int32_t y = 0; y < d.height; ++y) {
      uint8_t* to = memData_.data() + size_t(memStride_) * uint32_t(y);
      memcpy(to, dib.data() + d.pixelOffset + size_t(dibStride) * uint32_t(d.height - 1 - y), memStride_);
      if (d.bitCount == 24)
        for (int32_t x = 0; x < d.width; ++x) std::swap(to[3 * x], to[3 * x + 2]);  // blue-green-red to RGB
    }
    memOffset_ = 0;
    memActive_ = true;
    state_ = 7;
  } else if (state_ != 7 || !memActive_) {
    return Fail(TWCC_SEQERROR);
  }

  const TW_MEMORY memory = xfer->Memory;
  const bool byHandle = memory.Flags & TWMF_HANDLE;
  const base::TGlobalLock<uint8_t> locked(byHandle ? HGLOBAL(memory.TheMem) : nullptr);
  uint8_t* to = byHandle                        ? locked.get()
                : (memory.Flags & TWMF_POINTER) ? static_cast<uint8_t*>(memory.TheMem)
                                                : nullptr;
  if (!to || memory.Length == 0) return Fail(TWCC_BADVALUE);

  size_t end = memData_.size();
  if (nextPage_ == config_.cancelAtPage) {
    end = std::max<size_t>(1, end / 2);
    if (memOffset_ >= end) {
      memActive_ = false;
      return TWRC_CANCEL;
    }
  }
  const size_t n = std::min<size_t>(memory.Length, end - memOffset_);
  memcpy(to, memData_.data() + memOffset_, n);
  const size_t firstRow = memOffset_ / memStride_, endRow = (memOffset_ + n + memStride_ - 1) / memStride_;
  xfer->Compression = TWCP_NONE;
  xfer->BytesPerRow = memStride_;
  xfer->Columns = memWidth_;
  xfer->Rows = TW_UINT32(endRow - firstRow);
  xfer->XOffset = 0;
  xfer->YOffset = TW_UINT32(firstRow);
  xfer->BytesWritten = TW_UINT32(n);
  memOffset_ += n;
  if (memOffset_ < memData_.size()) return TWRC_SUCCESS;
  memActive_ = false;
  memData_.clear();
  return TWRC_XFERDONE;
}

TW_UINT16 TSource::Transfer(bool toFile, TW_MEMREF data) {
  if (state_ != 6) return Fail(TWCC_SEQERROR);
  if (!toFile && !data) return Fail(TWCC_BADVALUE);
  if (nextPage_ == config_.cancelAtPage) {
    state_ = 7;  // the page ends cancelled; the host still ends it with MSG_ENDXFER
    return TWRC_CANCEL;
  }
  if (nextPage_ == config_.failPage) return Fail(TWCC_OPERATIONERROR);
  if (config_.pageDelayMs > 0) Sleep(DWORD(config_.pageDelayMs));
  TDib dib;
  if (!Page(nextPage_, dib)) return Fail(TWCC_OPERATIONERROR);
  if (toFile) {
    if (config_.fileClrUsed0) dib = WithClrUsedZero(dib);
    if (config_.fileTopDown) dib = ToTopDown(dib);
    if (config_.fileV5Header) dib = ToV5Header(dib);
    if (!WriteWholeFileA(file_.FileName, BmpFileBytes(dib))) return Fail(TWCC_FILEWRITEERROR);
  } else {
    if (config_.nativeBitfields) dib = ToBitfields32(dib);
    base::TGlobalMemory h(GlobalAlloc(GHND, dib.size()));
    {
      const base::TGlobalLock<void> locked(h.get());
      if (!locked) return Fail(TWCC_LOWMEMORY);
      memcpy(locked.get(), dib.data(), dib.size());
    }
    *static_cast<TW_HANDLE*>(data) = h.release();  // the host owns and frees it
  }
  state_ = 7;
  return TWRC_XFERDONE;
}

namespace {

TSource& Source() {
  static TSource source;
  return source;
}

}  // namespace
}  // namespace skan::virtual_scanner

extern "C" TW_UINT16 TW_CALLINGSTYLE DS_Entry(pTW_IDENTITY origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                                              TW_MEMREF data) {
  try {  // no exception may leave the library
    return skan::virtual_scanner::Source().Entry(origin, dg, dat, msg, data);
  } catch (...) {
    return TWRC_FAILURE;
  }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    skan::virtual_scanner::gInstance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}
