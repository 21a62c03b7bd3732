#include "fake_dsm.h"

#include <algorithm>
#include <cstring>

#include "twain_source.h"

namespace skan::twain {

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
    case DAT_IMAGELAYOUT: return "IMAGELAYOUT";
    case DAT_SETUPMEMXFER: return "SETUPMEMXFER";
    case DAT_IMAGEMEMXFER: return "IMAGEMEMXFER";
    case DAT_PALETTE8: return "PALETTE8";
  }
  return "DAT" + std::to_string(dat);
}

std::string MsgName(TW_UINT16 msg) {
  switch (msg) {
    case MSG_GET: return "GET";
    case MSG_SET: return "SET";
    case MSG_RESET: return "RESET";
    case MSG_GETDEFAULT: return "GETDEFAULT";
    case MSG_GETCURRENT: return "GETCURRENT";
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

namespace {
// Little-endian, as the records are laid out.
void AppendBytes(std::vector<uint8_t>& out, uint32_t v, size_t n) {
  for (size_t i = 0; i < n; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
template <class T>
void Append(std::vector<uint8_t>& out, T v) {
  AppendBytes(out, uint32_t(v), sizeof v);
}
void AppendItem(std::vector<uint8_t>& out, TW_UINT16 itemType, uint32_t item) {
  AppendBytes(out, item, std::min<size_t>(TwainItemSize(itemType), 4));
}
}  // namespace

TFakeDsm::TContainerBytes TFakeDsm::OneValue(TW_UINT16 itemType, uint32_t item) {
  TContainerBytes c{TWON_ONEVALUE, {}};
  Append(c.bytes, itemType);
  Append(c.bytes, item);  // the item in its 32-bit slot
  return c;
}

TFakeDsm::TContainerBytes TFakeDsm::Enumeration(TW_UINT16 itemType, std::vector<uint32_t> items, uint32_t current,
                                                uint32_t def) {
  TContainerBytes c{TWON_ENUMERATION, {}};
  Append(c.bytes, itemType);
  Append(c.bytes, uint32_t(items.size()));
  Append(c.bytes, current);
  Append(c.bytes, def);
  for (uint32_t item : items) AppendItem(c.bytes, itemType, item);
  return c;
}

TFakeDsm::TContainerBytes TFakeDsm::Array(TW_UINT16 itemType, std::vector<uint32_t> items) {
  TContainerBytes c{TWON_ARRAY, {}};
  Append(c.bytes, itemType);
  Append(c.bytes, uint32_t(items.size()));
  for (uint32_t item : items) AppendItem(c.bytes, itemType, item);
  return c;
}

TFakeDsm::TContainerBytes TFakeDsm::Range(TW_UINT16 itemType, uint32_t min, uint32_t max, uint32_t step, uint32_t def,
                                          uint32_t current) {
  TContainerBytes c{TWON_RANGE, {}};
  Append(c.bytes, itemType);
  for (uint32_t v : {min, max, step, def, current}) Append(c.bytes, v);
  return c;
}

TW_UINT16 TFakeDsm::TakeSet(TW_UINT16 capId, TW_UINT16 conType, const std::vector<uint8_t>& block) {
  auto it = capabilities.find(capId);
  if (it == capabilities.end() || refusedSets.count(capId) || conType != TWON_ONEVALUE || block.size() < 6)
    return TWRC_FAILURE;
  TW_UINT16 type = 0;
  std::memcpy(&type, block.data(), 2);
  uint32_t value = 0;
  const size_t size = std::min<size_t>(TwainItemSize(type), 4);
  std::memcpy(&value, block.data() + 2, size);
  TW_UINT16 rc = TWRC_SUCCESS;
  if (auto changed = changedSets.find(capId); changed != changedSets.end()) {
    value = changed->second;
    rc = TWRC_CHECKSTATUS;
  }
  std::vector<uint8_t>& held = it->second.bytes;
  switch (it->second.conType) {
    case TWON_ONEVALUE: std::memcpy(held.data() + 2, &value, 4); break;
    case TWON_RANGE: std::memcpy(held.data() + 18, &value, 4); break;
    case TWON_ENUMERATION: {
      uint32_t n = 0;
      std::memcpy(&n, held.data() + 2, 4);
      for (uint32_t i = 0; i < n; ++i) {
        uint32_t item = 0;
        std::memcpy(&item, held.data() + 14 + i * size, size);
        if (item == value) {
          std::memcpy(held.data() + 6, &i, 4);
          return rc;
        }
      }
      return TWRC_FAILURE;
    }
    default: return TWRC_FAILURE;
  }
  return rc;
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

TW_UINT16 TW_CALLINGSTYLE TFakeDsm::Entry(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat,
                                          TW_UINT16 msg, TW_MEMREF data) {
  return gCurrent ? gCurrent->Handle(origin, dest, dg, dat, msg, data) : TW_UINT16(TWRC_FAILURE);
}

TW_UINT16 TFakeDsm::Handle(pTW_IDENTITY origin, pTW_IDENTITY dest, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                           TW_MEMREF data) {
  (void)dg;
  const std::string triplet = DatName(dat) + "/" + MsgName(msg);
  trace.push_back(triplet);
  if (origin) lastOrigin = *origin;
  if (!dsmOpen && msg != MSG_OPENDSM) ++callsWhileUnloaded;
  addresses.push_back({triplet, origin ? origin->Id : 0, dest != nullptr, dest ? dest->Id : 0});
  {
    std::string wrong;
    const bool toDsm = dat == DAT_PARENT || dat == DAT_IDENTITY;
    const bool open = dest && std::find(openIds_.begin(), openIds_.end(), dest->Id) != openIds_.end();
    if (!origin)
      wrong = "no origin";
    else if (msg != MSG_OPENDSM && dsmOpen && origin->Id != appId_)
      wrong = "origin is not the application";
    else if (toDsm && dest)
      wrong = "destination given for the source manager";
    else if (!toDsm && dat != DAT_STATUS && !dest)
      wrong = "no destination";
    else if (!toDsm && dest && !open)
      wrong = "destination is not an open source";
    if (!wrong.empty()) {
      misaddressed.push_back(triplet + ": " + wrong);
      return TWRC_FAILURE;
    }
  }
  if (dat == DAT_EVENT && data) processed.push_back(*static_cast<MSG*>(static_cast<pTW_EVENT>(data)->pEvent));
  if (dat == DAT_SETUPFILEXFER && msg == MSG_SET && data)
    fileNames.emplace_back(static_cast<pTW_SETUPFILEXFER>(data)->FileName);
  if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS && data) enables.push_back(*static_cast<pTW_USERINTERFACE>(data));

  auto scripted = answers_.find({dat, msg});
  if (scripted != answers_.end() && !scripted->second.empty()) {
    const TW_UINT16 rc = scripted->second.front();
    scripted->second.pop_front();
    if (dat == DAT_PENDINGXFERS && data) static_cast<pTW_PENDINGXFERS>(data)->Count = TW_UINT16(left_);
    if (dat == DAT_SETUPMEMXFER && data) *static_cast<pTW_SETUPMEMXFER>(data) = setupMem;
    return rc;
  }

  switch (dat) {
    case DAT_PARENT:
      dsmOpen = msg == MSG_OPENDSM;
      if (msg == MSG_OPENDSM && origin) origin->Id = appId_ = 100;
      return TWRC_SUCCESS;
    case DAT_IDENTITY: {
      auto* id = static_cast<pTW_IDENTITY>(data);
      switch (msg) {
        case MSG_GETFIRST: next_ = 0; [[fallthrough]];
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
          openIds_.push_back(id->Id);
          return TWRC_SUCCESS;
        case MSG_CLOSEDS: {
          auto it = std::find(openIds_.begin(), openIds_.end(), id->Id);
          if (it == openIds_.end()) {
            misaddressed.push_back("IDENTITY/CLOSEDS: the source is not open");
            return TWRC_FAILURE;
          }
          openIds_.erase(it);
          --openSources;
          return TWRC_SUCCESS;
        }
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
      if (msg == MSG_SET)
        file_ = *setup;
      else
        *setup = file_;
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
    case DAT_STATUS: static_cast<pTW_STATUS>(data)->ConditionCode = conditionCode; return TWRC_SUCCESS;
    case DAT_CAPABILITY: {
      auto* cap = static_cast<pTW_CAPABILITY>(data);
      if (msg == MSG_SET) {
        const auto* block = static_cast<std::vector<uint8_t>*>(cap->hContainer);
        capabilitySets.push_back({cap->Cap, cap->ConType, block ? *block : std::vector<uint8_t>()});
        if (!setsTakeEffect) return TWRC_SUCCESS;
        return TakeSet(cap->Cap, cap->ConType, block ? *block : std::vector<uint8_t>());
      }
      capabilityGets.push_back(*cap);
      auto it = capabilities.find(cap->Cap);
      if (it == capabilities.end()) return TWRC_FAILURE;
      cap->ConType = it->second.conType;
      cap->hContainer = new std::vector<uint8_t>(it->second.bytes);
      ++containersGiven;
      return TWRC_SUCCESS;
    }
    case DAT_IMAGELAYOUT:
      if (msg != MSG_SET) return TWRC_FAILURE;
      layouts.push_back(*static_cast<pTW_IMAGELAYOUT>(data));
      return TWRC_SUCCESS;
    case DAT_IMAGEINFO: *static_cast<pTW_IMAGEINFO>(data) = imageInfo; return TWRC_SUCCESS;
    case DAT_SETUPMEMXFER: *static_cast<pTW_SETUPMEMXFER>(data) = setupMem; return TWRC_SUCCESS;
    case DAT_IMAGEMEMXFER: {
      auto* xfer = static_cast<pTW_IMAGEMEMXFER>(data);
      memRequests.push_back(*xfer);
      if (memBuffers.empty()) return TWRC_FAILURE;
      const TMemBuffer buffer = memBuffers.front();
      memBuffers.pop_front();
      if (!buffer.bytes.empty())
        std::memcpy(xfer->Memory.TheMem, buffer.bytes.data(),
                    std::min<size_t>(buffer.bytes.size(), xfer->Memory.Length));
      xfer->BytesWritten = TW_UINT32(buffer.bytes.size());
      if (buffer.bytesPerRow != TWON_DONTCARE32) xfer->BytesPerRow = buffer.bytesPerRow;
      return buffer.rc;
    }
    case DAT_PALETTE8:
      if (!hasPalette) return TWRC_FAILURE;
      *static_cast<pTW_PALETTE8>(data) = palette;
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

DSMENTRYPROC TFakeTwainPlatform::EntryByOrdinal1(HMODULE) { return noOrdinal1 ? nullptr : &TFakeDsm::Entry; }

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

HBITMAP TFakeTwainPlatform::MakeBitmap(HWND, const void* header, const void* pixels, size_t pixelBytes) {
  const auto* h = static_cast<const uint8_t*>(header);
  const auto* p = static_cast<const uint8_t*>(pixels);
  lastPixelOffset = size_t(p - h);
  TSection section;
  section.info.assign(h, p);
  section.pixels.assign(p, p + pixelBytes);
  if (lastPixelOffset >= 16) {
    int32_t width, height;
    uint16_t bits;
    std::memcpy(&width, h + 4, 4);
    std::memcpy(&height, h + 8, 4);
    std::memcpy(&bits, h + 14, 2);
    section.width = width;
    section.height = height;
    section.bitsPerPixel = bits;
  }
  sections.push_back(std::move(section));
  ++bitmapsMade;
  return HBITMAP(&sections.back());
}

// The header as made, then the pixels as they stand (the fake keeps a page's
// own row order).
bool TFakeTwainPlatform::PackedDib(HBITMAP bitmap, std::vector<uint8_t>& dib) {
  for (auto& section : sections) {
    if (HBITMAP(&section) != bitmap || section.deleted) continue;
    const size_t offset = DibPixelOffset(section.info.data(), section.info.size());
    if (!offset) return false;
    dib.assign(section.info.begin(), section.info.begin() + std::ptrdiff_t(offset));
    dib.insert(dib.end(), section.pixels.begin(), section.pixels.end());
    return true;
  }
  return false;
}

void TFakeTwainPlatform::FreeBitmap(HBITMAP bitmap) {
  ++bitmapsDeleted;
  for (auto& section : sections)
    if (HBITMAP(&section) == bitmap) section.deleted = true;
}

TW_HANDLE TFakeTwainPlatform::AllocGlobal(size_t size) {
  ++globalsAllocated;
  return new std::vector<uint8_t>(size, 0);
}

HBITMAP TFakeTwainPlatform::MakeSection(HWND, const void* info) {
  if (sectionFails) return nullptr;
  TSection section;
  const auto* h = static_cast<const uint8_t*>(info);
  section.info.assign(h, h + 40 + 1024);
  int32_t width, height;
  uint16_t bits;
  std::memcpy(&width, h + 4, 4);
  std::memcpy(&height, h + 8, 4);
  std::memcpy(&bits, h + 14, 2);
  section.width = width;
  section.height = height;
  section.bitsPerPixel = bits;
  // New sections are not zeroed on every system; 0xCD shows rows never written.
  section.pixels.assign(((size_t(bits) * size_t(width) + 31) / 32) * 4 * size_t(height), 0xCD);
  sections.push_back(std::move(section));
  ++bitmapsMade;
  return HBITMAP(&sections.back());
}

bool TFakeTwainPlatform::SectionPixels(HBITMAP bitmap, int& width, int& height, int& bitsPerPixel, uint8_t*& bits) {
  for (auto& section : sections) {
    if (HBITMAP(&section) != bitmap || section.deleted) continue;
    width = section.width;
    height = section.height;
    bitsPerPixel = section.bitsPerPixel;
    bits = section.pixels.data();
    return true;
  }
  return false;
}

}  // namespace skan::twain
