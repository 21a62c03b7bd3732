// Capability negotiation on an open source: raw get and set, readers that
// turn each container kind into texts, writers that build containers, typed
// accessors for common image settings and the image layout frame.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "base/encoding.h"

#include "twain_source.h"

namespace skan::twain {

namespace {

constexpr TW_BOOL kTrue = 0xFFFF;
constexpr TW_BOOL kFalse = 0;

// A source may claim any item count; reading stops at the end of the block it
// handed over, and at this many items whatever the block's size.
constexpr size_t kMaxItems = 65536;

// Fixed parts of the containers (2-byte packing).
constexpr size_t kOneValueItem = 2;       // ItemType, then the item in a 32-bit slot
constexpr size_t kArrayItems = 6;         // ItemType, NumItems
constexpr size_t kEnumerationItems = 14;  // ItemType, NumItems, CurrentIndex, DefaultIndex
constexpr size_t kRangeSize = 22;         // ItemType and five 32-bit values

TW_UINT16 MessageOf(TRetrieveCap mode) {
  switch (mode) {
    case rcGetCurrent: return MSG_GETCURRENT;
    case rcGetDefault: return MSG_GETDEFAULT;
    case rcReset: return MSG_RESET;
    case rcGet: break;
  }
  return MSG_GET;
}

template <class T>
T Read(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// A container block received from the source or handed in by the caller:
// locked while this lives, then unlocked and freed.
class TContainer {
 public:
  explicit TContainer(TW_HANDLE handle) : handle_(handle) {
    if (handle_) data_ = static_cast<const uint8_t*>(TwainPlatform().LockGlobal(handle_, size_));
    if (!data_) size_ = 0;
  }
  ~TContainer() {
    if (!handle_) return;
    if (data_) TwainPlatform().UnlockGlobal(handle_);
    TwainPlatform().FreeGlobal(handle_);
  }
  TContainer(const TContainer&) = delete;
  TContainer& operator=(const TContainer&) = delete;

  bool Holds(size_t bytes) const { return data_ && size_ >= bytes; }
  uint16_t U16(size_t at) const { return Read<uint16_t>(data_ + at); }
  uint32_t U32(size_t at) const { return Read<uint32_t>(data_ + at); }
  const uint8_t* At(size_t at) const { return data_ + at; }
  // Items of itemSize bytes from offset that the claimed count and the block allow.
  size_t Items(size_t offset, uint32_t claimed, size_t itemSize) const {
    size_t n = std::min<size_t>(claimed, kMaxItems);
    if (itemSize) n = std::min(n, (size_ - offset) / itemSize);
    return n;
  }

 private:
  TW_HANDLE handle_;
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// A block this layer builds and sends; freed whatever the source answers.
class TOutgoing {
 public:
  explicit TOutgoing(size_t size) : handle_(TwainPlatform().AllocGlobal(size)) {
    size_t got = 0;
    if (handle_) data_ = static_cast<uint8_t*>(TwainPlatform().LockGlobal(handle_, got));
  }
  ~TOutgoing() {
    if (handle_) TwainPlatform().FreeGlobal(handle_);
  }
  TOutgoing(const TOutgoing&) = delete;
  TOutgoing& operator=(const TOutgoing&) = delete;

  bool Ok() const { return data_ != nullptr; }
  template <class T>
  void Put(size_t at, T v) {
    std::memcpy(data_ + at, &v, sizeof v);
  }
  void Copy(size_t at, const void* from, size_t n) {
    if (from && n) std::memcpy(data_ + at, from, n);
  }
  // Unlocks the block; it is handed to the source from here on.
  TW_HANDLE Unlock() {
    TwainPlatform().UnlockGlobal(handle_);
    return handle_;
  }

 private:
  TW_HANDLE handle_;
  uint8_t* data_ = nullptr;
};

// The exact decimal value of a TW_FIX32: Frac / 65536 has at most 16 decimal
// places, so Frac × 5^16 gives them as an integer.
std::wstring Fix32Text(TW_FIX32 fix, wchar_t separator) {
  const int64_t raw = int64_t(fix.Whole) * 65536 + fix.Frac;
  const uint64_t magnitude = uint64_t(raw < 0 ? -raw : raw);
  std::wstring text = raw < 0 ? L"-" : L"";
  text += std::to_wstring(magnitude / 65536);
  uint64_t fraction = (magnitude % 65536) * 152587890625ULL;  // 5^16
  if (fraction) {
    std::wstring digits = std::to_wstring(fraction);
    digits.insert(0, 16 - digits.size(), L'0');
    digits.erase(digits.find_last_not_of(L'0') + 1);
    text += separator;
    text += digits;
  }
  return text;
}

// One item as text. Types without a text form leave `text` as it was.
void ItemText(TW_UINT16 type, const uint8_t* p, std::wstring& text) {
  switch (type) {
    case TWTY_INT8: text = std::to_wstring(Read<int8_t>(p)); break;
    case TWTY_INT16:
    case 44: text = std::to_wstring(Read<int16_t>(p)); break;
    case TWTY_INT32: text = std::to_wstring(Read<int32_t>(p)); break;
    case TWTY_UINT8: text = std::to_wstring(Read<uint8_t>(p)); break;
    case TWTY_UINT16:
    case TWTY_BOOL: text = std::to_wstring(Read<uint16_t>(p)); break;
    case TWTY_UINT32:
    case 43: text = std::to_wstring(Read<uint32_t>(p)); break;
    case TWTY_FIX32: text = Fix32Text(Read<TW_FIX32>(p), TwainPlatform().DecimalSeparator()); break;
    case TWTY_STR32:
    case TWTY_STR64:
    case TWTY_STR128:
    case TWTY_STR255: {
      const char* s = reinterpret_cast<const char*>(p);
      text = base::FromAnsi(std::string_view(s, strnlen(s, TwainItemSize(type))));
      break;
    }
    default: break;
  }
}

// Item sizes of the 32-bit slot types read from a one-value or range slot.
bool FitsSlot(TW_UINT16 type) { return TwainItemSize(type) <= 4; }

int ToInt(const std::wstring& text) {
  const std::string narrow(text.begin(), text.end());
  int v = 0;
  auto [end, ec] = std::from_chars(narrow.data(), narrow.data() + narrow.size(), v);
  return ec == std::errc() && end == narrow.data() + narrow.size() ? v : -1;
}

TW_UINT16 UnitCode(TTwainUnit unit) { return unit == tuUnknown ? 0 : TW_UINT16(unit); }

}  // namespace

double Fix32ToFloat(TW_FIX32 value) { return value.Whole + value.Frac / 65536.0; }

TW_FIX32 FloatToFix32(double value) {
  // Written so that NaN fails too.
  if (!(value >= 0 && value < 32768)) throw std::range_error("TW_FIX32 value out of range");
  const double scaled = std::nearbyint(value * 65536);  // the default rounding: ties to even
  // Just under 32768 rounds up to 32768, which has no TW_FIX32.
  if (scaled >= 2147483648.0) throw std::range_error("TW_FIX32 value out of range");
  const auto v = uint32_t(scaled);
  return TW_FIX32{TW_INT16(v / 65536), TW_UINT16(v % 65536)};
}

size_t TwainItemSize(TW_UINT16 itemType) {
  switch (itemType) {
    case TWTY_INT8:
    case TWTY_UINT8: return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL: return 2;
    case TWTY_INT32:
    case TWTY_UINT32:
    case TWTY_FIX32: return 4;
    case TWTY_FRAME: return 16;
    case TWTY_STR32: return 34;
    case TWTY_STR64: return 66;
    case TWTY_STR128: return 130;
    case TWTY_STR255: return 256;
    case TWTY_STR1024: return 1026;
    case TWTY_UNI512: return 1024;
  }
  return 0;
}

// --- raw access ---

TCapabilityRet TTwainSource::ResultToCapabilityRec(TW_UINT16 rc) {
  if (rc == TWRC_SUCCESS) return crSuccess;
  switch (GetReturnStatus()) {
    case TWCC_LOWMEMORY: return crLowMemory;
    case TWCC_SEQERROR: return crInvalidState;
    case TWCC_CAPUNSUPPORTED: return crUnsupported;
    case TWCC_CAPBADOPERATION: return crBadOperation;
    case TWCC_CAPSEQERROR: return crDependencyError;
  }
  return crBadOperation;
}

TCapabilityRet TTwainSource::GetCapabilityRec(TW_UINT16 Capability, TW_HANDLE& Handle, TRetrieveCap Mode,
                                              TW_UINT16& Container) {
  if (!Loaded_) return crInvalidState;
  TW_CAPABILITY cap{Capability, TWON_DONTCARE16, nullptr};
  const TCapabilityRet result = ResultToCapabilityRec(Call(DG_CONTROL, DAT_CAPABILITY, MessageOf(Mode), &cap));
  if (result == crSuccess) {
    Handle = cap.hContainer;
    Container = cap.ConType;
  }
  return result;
}

TCapabilityRet TTwainSource::SetCapabilityRec(TW_UINT16 Capability, TW_UINT16 ConType, TW_HANDLE Handle) {
  if (!Loaded_) return crInvalidState;
  TW_CAPABILITY cap{Capability, ConType, Handle};
  return ResultToCapabilityRec(Call(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &cap));
}

// --- readers ---

// Asks for the container (or takes the one the caller holds, assumed to be of
// the expected kind) and checks its kind; a container of another kind is
// freed. On crSuccess the caller owns `handle`.
TCapabilityRet TTwainSource::FetchContainer(TW_UINT16 Capability, TW_HANDLE MemHandle, TRetrieveCap Mode,
                                            TW_UINT16 Expected, TW_HANDLE& handle) {
  handle = MemHandle;
  if (handle) return crSuccess;
  TW_UINT16 container = 0;
  const TCapabilityRet result = GetCapabilityRec(Capability, handle, Mode, container);
  if (result != crSuccess) return result;
  if (container == Expected) return crSuccess;
  TContainer discard(handle);
  return crInvalidContainer;
}

TCapabilityRet TTwainSource::GetOneValue(TW_UINT16 Capability, TW_UINT16& ItemType, std::wstring& Value,
                                         TRetrieveCap Mode, TW_HANDLE MemHandle) {
  TW_HANDLE handle = nullptr;
  const TCapabilityRet fetched = FetchContainer(Capability, MemHandle, Mode, TWON_ONEVALUE, handle);
  if (fetched != crSuccess) return fetched;
  TContainer block(handle);
  if (!block.Holds(kOneValueItem)) return crBadOperation;
  ItemType = block.U16(0);
  const size_t size = TwainItemSize(ItemType);
  if (block.Holds(kOneValueItem + std::max<size_t>(size, 4))) ItemText(ItemType, block.At(kOneValueItem), Value);
  return crSuccess;
}

TCapabilityRet TTwainSource::GetEnumerationValue(TW_UINT16 Capability, TW_UINT16& ItemType, TGetCapabilityList& List,
                                                 int32_t& Current, int32_t& Default, TRetrieveCap Mode,
                                                 TW_HANDLE MemHandle) {
  TW_HANDLE handle = nullptr;
  const TCapabilityRet fetched = FetchContainer(Capability, MemHandle, Mode, TWON_ENUMERATION, handle);
  if (fetched != crSuccess) return fetched;
  TContainer block(handle);
  if (!block.Holds(kEnumerationItems)) return crBadOperation;
  ItemType = block.U16(0);
  Current = int32_t(block.U32(6));
  Default = int32_t(block.U32(10));
  const size_t size = TwainItemSize(ItemType);
  const size_t n = block.Items(kEnumerationItems, block.U32(2), size);
  List.clear();
  std::wstring text;
  for (size_t i = 0; i < n; ++i) {
    ItemText(ItemType, block.At(kEnumerationItems + i * size), text);
    List.push_back(text);
  }
  return crSuccess;
}

TCapabilityRet TTwainSource::GetArrayValue(TW_UINT16 Capability, TW_UINT16& ItemType, TGetCapabilityList& List,
                                           TW_HANDLE MemHandle) {
  TW_HANDLE handle = nullptr;
  const TCapabilityRet fetched = FetchContainer(Capability, MemHandle, rcGet, TWON_ARRAY, handle);
  if (fetched != crSuccess) return fetched;
  TContainer block(handle);
  if (!block.Holds(kArrayItems)) return crBadOperation;
  ItemType = block.U16(0);
  const size_t size = TwainItemSize(ItemType);
  const size_t n = block.Items(kArrayItems, block.U32(2), size);
  List.clear();
  std::wstring text;
  for (size_t i = 0; i < n; ++i) {
    ItemText(ItemType, block.At(kArrayItems + i * size), text);
    List.push_back(text);
  }
  return crSuccess;
}

TCapabilityRet TTwainSource::GetRangeValue(TW_UINT16 Capability, TW_UINT16& ItemType, std::wstring& Min,
                                           std::wstring& Max, std::wstring& Step, std::wstring& Default,
                                           std::wstring& Current, TW_HANDLE MemHandle) {
  TW_HANDLE handle = nullptr;
  const TCapabilityRet fetched = FetchContainer(Capability, MemHandle, rcGet, TWON_RANGE, handle);
  if (fetched != crSuccess) return fetched;
  TContainer block(handle);
  if (!block.Holds(kRangeSize)) return crBadOperation;
  ItemType = block.U16(0);
  if (FitsSlot(ItemType)) {
    ItemText(ItemType, block.At(2), Min);
    ItemText(ItemType, block.At(6), Max);
    ItemText(ItemType, block.At(10), Step);
    ItemText(ItemType, block.At(14), Default);
    ItemText(ItemType, block.At(18), Current);
  }
  return crSuccess;
}

// --- writers ---

TCapabilityRet TTwainSource::SetOneValue(TW_UINT16 Capability, TW_UINT16 ItemType, const void* Value) {
  const size_t size = TwainItemSize(ItemType);
  TOutgoing block(std::max<size_t>(size, 4) + 2);
  if (!block.Ok()) return crLowMemory;
  block.Put<TW_UINT16>(0, ItemType);
  block.Copy(2, Value, size);
  return SetCapabilityRec(Capability, TWON_ONEVALUE, block.Unlock());
}

TCapabilityRet TTwainSource::SetRangeValue(TW_UINT16 Capability, TW_UINT16 ItemType, TW_UINT32 Min, TW_UINT32 Max,
                                           TW_UINT32 Step, TW_UINT32 Current) {
  TOutgoing block(kRangeSize);
  if (!block.Ok()) return crLowMemory;
  block.Put<TW_UINT16>(0, ItemType);
  block.Put<TW_UINT32>(2, Min);
  block.Put<TW_UINT32>(6, Max);
  block.Put<TW_UINT32>(10, Step);
  block.Put<TW_UINT32>(14, 0);  // DefaultValue
  block.Put<TW_UINT32>(18, Current);
  return SetCapabilityRec(Capability, TWON_RANGE, block.Unlock());
}

TCapabilityRet TTwainSource::SetEnumerationValue(TW_UINT16 Capability, TW_UINT16 ItemType, TW_UINT32 CurrentIndex,
                                                 const TSetCapabilityList& List) {
  const size_t size = TwainItemSize(ItemType);
  TOutgoing block(List.size() * size + 16);
  if (!block.Ok()) return crLowMemory;
  block.Put<TW_UINT16>(0, ItemType);
  block.Put<TW_UINT32>(2, TW_UINT32(List.size()));
  block.Put<TW_UINT32>(6, CurrentIndex);
  block.Put<TW_UINT32>(10, 0);  // DefaultIndex
  for (size_t i = 0; i < List.size(); ++i) block.Copy(kEnumerationItems + i * size, List[i], size);
  return SetCapabilityRec(Capability, TWON_ENUMERATION, block.Unlock());
}

TCapabilityRet TTwainSource::SetArrayValue(TW_UINT16 Capability, TW_UINT16 ItemType, const TSetCapabilityList& List) {
  const size_t size = TwainItemSize(ItemType);
  TOutgoing block(List.size() * size + 8);
  if (!block.Ok()) return crLowMemory;
  block.Put<TW_UINT16>(0, ItemType);
  block.Put<TW_UINT32>(2, TW_UINT32(List.size()));
  for (size_t i = 0; i < List.size(); ++i) block.Copy(kArrayItems + i * size, List[i], size);
  return SetCapabilityRec(Capability, TWON_ARRAY, block.Unlock());
}

// --- typed accessors ---

TCapabilityRet TTwainSource::SetBool(TW_UINT16 Capability, bool Value) {
  const TW_BOOL v = Value ? kTrue : kFalse;
  return SetOneValue(Capability, TWTY_BOOL, &v);
}

TCapabilityRet TTwainSource::SetUInt16(TW_UINT16 Capability, TW_UINT16 Value) {
  return SetOneValue(Capability, TWTY_UINT16, &Value);
}

// Any non-zero TW_BOOL is true: sources answer true as 1 or as 0xFFFF.
TCapabilityRet TTwainSource::GetBool(TW_UINT16 Capability, bool& Return) {
  TW_UINT16 type = 0;
  std::wstring text;
  const TCapabilityRet result = GetOneValue(Capability, type, text, rcGet);
  if (result != crSuccess) return result;
  if (type != TWTY_BOOL) return crUnsupported;
  Return = ToInt(text) > 0;
  return crSuccess;
}

// The TWTY_UINT16 items of an enumeration as numbers (-1 when not numeric)
// and the one at the current index (the default index for rcGetDefault);
// Chosen stays -2 when that index lies outside the list.
TCapabilityRet TTwainSource::GetUInt16List(TW_UINT16 Capability, TRetrieveCap Mode, std::vector<int>& Items,
                                           int& Chosen) {
  TW_UINT16 type = 0;
  TGetCapabilityList list;
  int32_t current = 0, def = 0;
  const TCapabilityRet result = GetEnumerationValue(Capability, type, list, current, def, Mode);
  if (result != crSuccess) return result;
  if (type != TWTY_UINT16) return crUnsupported;
  Items.clear();
  for (const auto& text : list) Items.push_back(ToInt(text));
  const int32_t index = Mode == rcGetDefault ? def : current;
  Chosen = index >= 0 && size_t(index) < Items.size() ? Items[size_t(index)] : -2;
  return crSuccess;
}

TCapabilityRet TTwainSource::SetCapXferCount(int16_t Value) { return SetOneValue(CAP_XFERCOUNT, TWTY_INT16, &Value); }

TCapabilityRet TTwainSource::GetCapXferCount(int16_t& Return, TRetrieveCap Mode) {
  TW_UINT16 type = 0;
  std::wstring text;
  const TCapabilityRet result = GetOneValue(CAP_XFERCOUNT, type, text, Mode);
  if (result != crSuccess) return result;
  if (type != TWTY_INT16) return crUnsupported;
  Return = int16_t(ToInt(text));
  return crSuccess;
}

TCapabilityRet TTwainSource::SetICapUnits(TTwainUnit Value) { return SetUInt16(ICAP_UNITS, UnitCode(Value)); }

TCapabilityRet TTwainSource::GetICapUnits(TTwainUnit& Return, TTwainUnitSet& Supported, TRetrieveCap Mode) {
  auto member = [](int code) { return code >= 0 && code <= TWUN_PIXELS ? TTwainUnit(code) : tuUnknown; };
  std::vector<int> items;
  int chosen = -2;
  const TCapabilityRet result = GetUInt16List(ICAP_UNITS, Mode, items, chosen);
  if (result != crSuccess) return result;
  for (int code : items) Supported.insert(member(code));
  if (chosen != -2) Return = member(chosen);
  return crSuccess;
}

TCapabilityRet TTwainSource::SetIPixelFlavor(TTwainPixelFlavor Value) {
  return SetUInt16(ICAP_PIXELFLAVOR, Value == tpfUnknown ? 0 : TW_UINT16(Value));
}

TCapabilityRet TTwainSource::GetIPixelFlavor(TTwainPixelFlavor& Return, TTwainPixelFlavorSet& Supported,
                                             TRetrieveCap Mode) {
  auto member = [](int code) { return code == 0 || code == 1 ? TTwainPixelFlavor(code) : tpfUnknown; };
  std::vector<int> items;
  int chosen = -2;
  const TCapabilityRet result = GetUInt16List(ICAP_PIXELFLAVOR, Mode, items, chosen);
  if (result != crSuccess) return result;
  for (int code : items) Supported.insert(member(code));
  if (chosen != -2) Return = member(chosen);
  return crSuccess;
}

TCapabilityRet TTwainSource::SetIPixelType(TTwainPixelType Value) {
  return SetUInt16(ICAP_PIXELTYPE, TW_UINT16(Value));
}

TCapabilityRet TTwainSource::GetIPixelType(TTwainPixelType& Return, TTwainPixelTypeSet& Supported, TRetrieveCap Mode) {
  auto member = [](int code) {
    return code >= 0 && code <= TWPT_CIEXYZ ? TTwainPixelType(code) : code == TWPT_BGR ? tbdBgr : tbdUnknown;
  };
  std::vector<int> items;
  int chosen = -2;
  const TCapabilityRet result = GetUInt16List(ICAP_PIXELTYPE, Mode, items, chosen);
  if (result != crSuccess) return result;
  for (int code : items) Supported.insert(member(code));
  if (chosen != -2) Return = member(chosen);
  return crSuccess;
}

TCapabilityRet TTwainSource::SetIBitDepth(uint16_t Value) { return SetUInt16(ICAP_BITDEPTH, Value); }

TCapabilityRet TTwainSource::GetIBitDepth(uint16_t& Return, TTwainBitDepth& Supported, TRetrieveCap Mode) {
  std::vector<int> items;
  int chosen = -2;
  const TCapabilityRet result = GetUInt16List(ICAP_BITDEPTH, Mode, items, chosen);
  if (result != crSuccess) return result;
  Supported.assign(items.begin(), items.end());
  if (chosen != -2) Return = uint16_t(chosen);
  return crSuccess;
}

TCapabilityRet TTwainSource::SetIXResolution(double Value) {
  const TW_FIX32 v = FloatToFix32(Value);
  return SetOneValue(ICAP_XRESOLUTION, TWTY_FIX32, &v);
}

TCapabilityRet TTwainSource::SetIYResolution(double Value) {
  const TW_FIX32 v = FloatToFix32(Value);
  return SetOneValue(ICAP_YRESOLUTION, TWTY_FIX32, &v);
}

TCapabilityRet TTwainSource::GetResolution(TW_UINT16 Capability, double& Return, TTwainResolution& Values,
                                           TRetrieveCap Mode) {
  TW_HANDLE handle = nullptr;
  TW_UINT16 container = 0;
  const TCapabilityRet result = GetCapabilityRec(Capability, handle, Mode, container);
  if (result != crSuccess) return result;
  TContainer block(handle);
  const bool enumeration = container == TWON_ENUMERATION;
  if (!enumeration && container != TWON_ARRAY) return crUnsupported;
  const size_t offset = enumeration ? kEnumerationItems : kArrayItems;
  if (!block.Holds(offset)) return crBadOperation;
  if (block.U16(0) != TWTY_FIX32) return crUnsupported;
  const size_t n = block.Items(offset, block.U32(2), 4);
  Values.clear();
  for (size_t i = 0; i < n; ++i) Values.push_back(Fix32ToFloat(Read<TW_FIX32>(block.At(offset + 4 * i))));
  if (enumeration) {
    const uint32_t index = block.U32(Mode == rcGetDefault ? 10 : 6);
    if (index < Values.size()) Return = Values[index];
  } else {
    Return = 0;
  }
  return crSuccess;
}

TCapabilityRet TTwainSource::GetIXResolution(double& Return, TTwainResolution& Values, TRetrieveCap Mode) {
  return GetResolution(ICAP_XRESOLUTION, Return, Values, Mode);
}

TCapabilityRet TTwainSource::GetIYResolution(double& Return, TTwainResolution& Values, TRetrieveCap Mode) {
  return GetResolution(ICAP_YRESOLUTION, Return, Values, Mode);
}

// Whatever the container, its first item is read as a one-value item.
TCapabilityRet TTwainSource::GetPhysical(TW_UINT16 Capability, double& Return, TRetrieveCap Mode) {
  TW_HANDLE handle = nullptr;
  TW_UINT16 container = 0;
  const TCapabilityRet result = GetCapabilityRec(Capability, handle, Mode, container);
  if (result != crSuccess) return result;
  TContainer block(handle);
  if (!block.Holds(kOneValueItem + 4)) return crBadOperation;
  if (block.U16(0) != TWTY_FIX32) return crUnsupported;
  Return = Fix32ToFloat(Read<TW_FIX32>(block.At(kOneValueItem)));
  return crSuccess;
}

TCapabilityRet TTwainSource::GetIPhysicalWidth(double& Return, TRetrieveCap Mode) {
  return GetPhysical(ICAP_PHYSICALWIDTH, Return, Mode);
}

TCapabilityRet TTwainSource::GetIPhysicalHeight(double& Return, TRetrieveCap Mode) {
  return GetPhysical(ICAP_PHYSICALHEIGHT, Return, Mode);
}

TCapabilityRet TTwainSource::GetUIControllable(bool& Return) { return GetBool(CAP_UICONTROLLABLE, Return); }
TCapabilityRet TTwainSource::GetFeederLoaded(bool& Return) { return GetBool(CAP_FEEDERLOADED, Return); }
TCapabilityRet TTwainSource::GetFeederEnabled(bool& Return) { return GetBool(CAP_FEEDERENABLED, Return); }
TCapabilityRet TTwainSource::GetAutofeed(bool& Return) { return GetBool(CAP_AUTOFEED, Return); }

// The caller's 16-bit flag goes out unchanged.
TCapabilityRet TTwainSource::SetFeederEnabled(TW_UINT16 Value) {
  return SetOneValue(CAP_FEEDERENABLED, TWTY_BOOL, &Value);
}
TCapabilityRet TTwainSource::SetAutoFeed(TW_UINT16 Value) { return SetOneValue(CAP_AUTOFEED, TWTY_BOOL, &Value); }

TCapabilityRet TTwainSource::SetIndicators(bool Value) { return SetBool(CAP_INDICATORS, Value); }
TCapabilityRet TTwainSource::SetAutoBorderDetection(bool Value) {
  return SetBool(ICAP_AUTOMATICBORDERDETECTION, Value);
}
TCapabilityRet TTwainSource::SetAutoDeskew(bool Value) { return SetBool(ICAP_AUTOMATICDESKEW, Value); }
TCapabilityRet TTwainSource::SetAutoRotate(bool Value) { return SetBool(ICAP_AUTOMATICROTATE, Value); }
TCapabilityRet TTwainSource::SetUndefinedImageSize(bool Value) { return SetBool(ICAP_UNDEFINEDIMAGESIZE, Value); }
TCapabilityRet TTwainSource::SetAutoSize(TTwainAutoSize Value) { return SetUInt16(ICAP_AUTOSIZE, TW_UINT16(Value)); }
TCapabilityRet TTwainSource::SetOrientation(TTwainOrientation Value) {
  return SetUInt16(ICAP_ORIENTATION, TW_UINT16(Value));
}
TCapabilityRet TTwainSource::SetPaperSize(TTwainPaperSize Value) {
  return SetUInt16(ICAP_SUPPORTEDSIZES, TW_UINT16(Value));
}

TCapabilityRet TTwainSource::SetImagelayoutFrame(double fLeft, double fTop, double fRight, double fBottom) {
  if (!Loaded_) return crInvalidState;
  TW_IMAGELAYOUT layout{};
  layout.Frame.Left = FloatToFix32(fLeft);
  layout.Frame.Top = FloatToFix32(fTop);
  layout.Frame.Right = FloatToFix32(fRight);
  layout.Frame.Bottom = FloatToFix32(fBottom);
  return ResultToCapabilityRec(Call(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout));
}

namespace {
TTwainTransferMode TransferModeOf(int code) {
  return code == TWSX_FILE ? ttmFile : code == TWSX_MEMORY ? ttmMemory : ttmNative;
}
TW_UINT16 TransferModeCode(TTwainTransferMode mode) {
  return mode == ttmFile ? TW_UINT16(TWSX_FILE) : mode == ttmMemory ? TW_UINT16(TWSX_MEMORY) : TW_UINT16(TWSX_NATIVE);
}
}  // namespace

// Sources answer ICAP_XFERMECH as an enumeration, a one value or an array;
// each is read. Codes other than native, file and memory are left out.
TCapabilityRet TTwainSource::GetIXferMech(TTwainTransferMode& Return, TTwainTransferModeSet& Supported,
                                          TRetrieveCap Mode) {
  TW_HANDLE handle = nullptr;
  TW_UINT16 container = 0;
  const TCapabilityRet result = GetCapabilityRec(ICAP_XFERMECH, handle, Mode, container);
  if (result != crSuccess) return result;
  TW_UINT16 type = 0;
  TGetCapabilityList list;
  int32_t current = 0, def = 0;
  TCapabilityRet read = crInvalidContainer;
  switch (container) {
    case TWON_ENUMERATION: read = GetEnumerationValue(ICAP_XFERMECH, type, list, current, def, Mode, handle); break;
    case TWON_ARRAY: read = GetArrayValue(ICAP_XFERMECH, type, list, handle); break;
    case TWON_ONEVALUE: {
      std::wstring text;
      read = GetOneValue(ICAP_XFERMECH, type, text, Mode, handle);
      list.push_back(text);
      break;
    }
    default: {
      TContainer discard(handle);
      break;
    }
  }
  if (read != crSuccess) return read;
  if (type != TWTY_UINT16) return crUnsupported;
  std::vector<int> codes;
  for (const auto& text : list) codes.push_back(ToInt(text));
  for (int code : codes)
    if (code >= TWSX_NATIVE && code <= TWSX_MEMORY) Supported.insert(TransferModeOf(code));
  const int32_t index = container != TWON_ENUMERATION ? 0 : Mode == rcGetDefault ? def : current;
  if (container != TWON_ARRAY && index >= 0 && size_t(index) < codes.size() && codes[size_t(index)] >= TWSX_NATIVE &&
      codes[size_t(index)] <= TWSX_MEMORY)
    Return = TransferModeOf(codes[size_t(index)]);
  return crSuccess;
}

TCapabilityRet TTwainSource::SetIXferMech(TTwainTransferMode Value) {
  return SetUInt16(ICAP_XFERMECH, TransferModeCode(Value));
}

}  // namespace skan::twain
