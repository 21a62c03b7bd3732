#include "fake_dsm.h"

#include <cstring>

namespace {

TFakeDsm* gCurrent = nullptr;
// Any non-null value serves as the fake library's module handle.
int gModuleTag;

std::string DatName(TW_UINT16 dat) {
  switch (dat) {
    case DAT_PARENT: return "PARENT";
    case DAT_IDENTITY: return "IDENTITY";
    case DAT_USERINTERFACE: return "USERINTERFACE";
    case DAT_EVENT: return "EVENT";
    case DAT_SETUPFILEXFER: return "SETUPFILEXFER";
    case DAT_IMAGEFILEXFER: return "IMAGEFILEXFER";
    case DAT_IMAGENATIVEXFER: return "IMAGENATIVEXFER";
    case DAT_PENDINGXFERS: return "PENDINGXFERS";
    case DAT_STATUS: return "STATUS";
    case DAT_CAPABILITY: return "CAPABILITY";
    case DAT_IMAGEINFO: return "IMAGEINFO";
  }
  return "DAT" + std::to_string(dat);
}

std::string MsgName(TW_UINT16 msg) {
  switch (msg) {
    case MSG_GET: return "GET";
    case MSG_SET: return "SET";
    case MSG_RESET: return "RESET";
    case MSG_GETDEFAULT: return "GETDEFAULT";
    case MSG_GETFIRST: return "GETFIRST";
    case MSG_GETNEXT: return "GETNEXT";
    case MSG_OPENDSM: return "OPENDSM";
    case MSG_CLOSEDSM: return "CLOSEDSM";
    case MSG_OPENDS: return "OPENDS";
    case MSG_CLOSEDS: return "CLOSEDS";
    case MSG_ENABLEDS: return "ENABLEDS";
    case MSG_DISABLEDS: return "DISABLEDS";
    case MSG_PROCESSEVENT: return "PROCESSEVENT";
    case MSG_ENDXFER: return "ENDXFER";
  }
  return "MSG" + std::to_string(msg);
}

}  // namespace

TFakeDsm::TFakeDsm() {
  gCurrent = this;
  std::strcpy(file_.FileName, "TWAIN.TMP");
  file_.Format = TWFF_BMP;
}

TFakeDsm::~TFakeDsm() {
  if (gCurrent == this) gCurrent = nullptr;
}

TW_IDENTITY TFakeDsm::Identity(const char* productName) {
  TW_IDENTITY id{};
  id.Version.MajorNum = 1;
  id.ProtocolMajor = 1;
  id.ProtocolMinor = 9;
  id.SupportedGroups = DG_CONTROL | DG_IMAGE;
  std::strncpy(id.Manufacturer, "Fake", 32);
  std::strncpy(id.ProductName, productName, 32);
  return id;
}

void TFakeDsm::Answer(TW_UINT16 dat, TW_UINT16 msg, std::vector<TW_UINT16> codes) {
  auto& queue = answers_[{dat, msg}];
  queue.insert(queue.end(), codes.begin(), codes.end());
}

std::string TFakeDsm::Take() {
  std::string out;
  for (; taken_ < trace.size(); ++taken_) out += (out.empty() ? "" : " ") + trace[taken_];
  return out;
}

TW_UINT16 TW_CALLINGSTYLE TFakeDsm::Entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg,
                                          TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF data) {
  return gCurrent ? gCurrent->Handle(origin, dest, dg, dat, msg, data) : TW_UINT16(TWRC_FAILURE);
}

TW_UINT16 TFakeDsm::Handle(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                           TW_UINT16 msg, TW_MEMREF data) {
  (void)dg;
  (void)dest;
  trace.push_back(DatName(dat) + "/" + MsgName(msg));
  if (origin) lastOrigin = *origin;
  if (!dsmOpen && msg != MSG_OPENDSM) ++callsWhileUnloaded;
  if (dat == DAT_EVENT && data) processed.push_back(*static_cast<MSG*>(static_cast<pTW_EVENT>(data)->pEvent));
  if (dat == DAT_SETUPFILEXFER && msg == MSG_SET && data)
    fileNames.emplace_back(static_cast<pTW_SETUPFILEXFER>(data)->FileName);
  if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS && data)
    enables.push_back(*static_cast<pTW_USERINTERFACE>(data));

  auto scripted = answers_.find({dat, msg});
  if (scripted != answers_.end() && !scripted->second.empty()) {
    const TW_UINT16 rc = scripted->second.front();
    scripted->second.pop_front();
    if (dat == DAT_PENDINGXFERS && data) static_cast<pTW_PENDINGXFERS>(data)->Count = TW_UINT16(left_);
    return rc;
  }

  switch (dat) {
    case DAT_PARENT:
      dsmOpen = msg == MSG_OPENDSM;
      if (msg == MSG_OPENDSM && origin) origin->Id = 100;
      return TWRC_SUCCESS;
    case DAT_IDENTITY: {
      auto* id = static_cast<pTW_IDENTITY>(data);
      switch (msg) {
        case MSG_GETFIRST:
          next_ = 0;
          [[fallthrough]];
        case MSG_GETNEXT:
          if (failEnumerationAt >= 0 && next_ == size_t(failEnumerationAt)) return TWRC_FAILURE;
          if (next_ >= sources.size()) return TWRC_ENDOFLIST;
          *id = sources[next_];
          id->Id = TW_UINT32(next_++);
          return TWRC_SUCCESS;
        case MSG_GETDEFAULT:
          if (defaultSource >= 0 && size_t(defaultSource) < sources.size()) {
            *id = sources[size_t(defaultSource)];
            id->Id = TW_UINT32(defaultSource);
          } else {
            *id = Identity("Not listed");
            id->Id = 999;
          }
          return TWRC_SUCCESS;
        case MSG_OPENDS:
          ++openSources;
          if (newIdOnOpen) id->Id += 1000;
          return TWRC_SUCCESS;
        case MSG_CLOSEDS:
          --openSources;
          return TWRC_SUCCESS;
      }
      return TWRC_FAILURE;
    }
    case DAT_USERINTERFACE:
      if (msg == MSG_ENABLEDS) {
        page_ = 0;
        left_ = int(pages.size());
      }
      return TWRC_SUCCESS;
    case DAT_EVENT: {
      auto* event = static_cast<pTW_EVENT>(data);
      if (events.empty()) return TWRC_NOTDSEVENT;
      event->TWMessage = events.front();
      events.pop_front();
      return TWRC_DSEVENT;
    }
    case DAT_SETUPFILEXFER: {
      auto* setup = static_cast<pTW_SETUPFILEXFER>(data);
      if (msg == MSG_SET) file_ = *setup;
      else *setup = file_;
      return TWRC_SUCCESS;
    }
    case DAT_IMAGEFILEXFER:
    case DAT_IMAGENATIVEXFER: {
      if (page_ >= int(pages.size())) return TWRC_FAILURE;
      const TW_UINT16 rc = pages[size_t(page_)];
      if (rc == TWRC_XFERDONE && dat == DAT_IMAGENATIVEXFER)
        *static_cast<TW_HANDLE*>(data) = new std::vector<uint8_t>(nativeImage);
      return rc;
    }
    case DAT_PENDINGXFERS: {
      auto* pending = static_cast<pTW_PENDINGXFERS>(data);
      if (msg == MSG_ENDXFER) {
        ++page_;
        left_ = std::max(0, left_ - 1);
      } else if (msg == MSG_RESET) {
        left_ = 0;
      }
      pending->Count = indeterminate && left_ > 0 ? 0xFFFF : TW_UINT16(left_);
      return TWRC_SUCCESS;
    }
    case DAT_STATUS:
      static_cast<pTW_STATUS>(data)->ConditionCode = conditionCode;
      return TWRC_SUCCESS;
  }
  return TWRC_FAILURE;
}

TFakeTwainPlatform::TFakeTwainPlatform() { SetTwainPlatform(this); }
TFakeTwainPlatform::~TFakeTwainPlatform() { SetTwainPlatform(nullptr); }

std::wstring TFakeTwainPlatform::Folder(TDirectoryKind kind) {
  auto it = folders.find(kind);
  return it == folders.end() ? std::wstring() : it->second;
}

bool TFakeTwainPlatform::FileExists(const std::wstring& path) {
  for (const auto& p : filesPresent)
    if (p == path) return true;
  return false;
}

HMODULE TFakeTwainPlatform::LoadLibraryModule(const std::wstring& path) {
  loaded.push_back(path);
  return loadFails ? nullptr : HMODULE(&gModuleTag);
}

DSMENTRYPROC TFakeTwainPlatform::EntryByOrdinal1(HMODULE) {
  return noOrdinal1 ? nullptr : &TFakeDsm::Entry;
}

bool TFakeTwainPlatform::FreeLibraryModule(HMODULE) {
  ++freed;
  return true;
}

void* TFakeTwainPlatform::LockGlobal(TW_HANDLE handle, size_t& size) {
  auto* memory = static_cast<std::vector<uint8_t>*>(handle);
  size = memory->size();
  return memory->data();
}

void TFakeTwainPlatform::FreeGlobal(TW_HANDLE handle) {
  delete static_cast<std::vector<uint8_t>*>(handle);
  ++globalsFreed;
}

HBITMAP TFakeTwainPlatform::MakeBitmap(HWND, const void* header, const void* pixels) {
  lastPixelOffset = size_t(static_cast<const uint8_t*>(pixels) - static_cast<const uint8_t*>(header));
  ++bitmapsMade;
  return HBITMAP(&gModuleTag);
}
