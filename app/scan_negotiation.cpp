#include "scan_negotiation.h"

#include <cmath>
#include <cstdlib>

#include "base/encoding.h"
#include "twain_platform.h"

namespace skan {

using namespace twain;

namespace {

// One capability as the source answers MSG_GET, whatever its container.
struct TCapAnswer {
  bool ok = false;
  bool range = false;
  TW_UINT16 type = 0;
  std::vector<std::wstring> items;
  std::wstring current, defaultValue, min, max, step;
};

TCapAnswer Ask(TTwainSource& source, TW_UINT16 cap) {
  TCapAnswer a;
  TW_HANDLE handle = nullptr;
  TW_UINT16 container = 0;
  if (source.GetCapabilityRec(cap, handle, rcGet, container) != crSuccess) return a;
  // Each reader below takes the block and frees it.
  switch (container) {
    case TWON_ONEVALUE: {
      std::wstring v;
      a.ok = source.GetOneValue(cap, a.type, v, rcGet, handle) == crSuccess;
      a.items = {v};
      a.current = a.defaultValue = v;
      break;
    }
    case TWON_ENUMERATION: {
      int32_t current = -1, def = -1;
      a.ok = source.GetEnumerationValue(cap, a.type, a.items, current, def, rcGet, handle) == crSuccess;
      if (current >= 0 && size_t(current) < a.items.size()) a.current = a.items[size_t(current)];
      if (def >= 0 && size_t(def) < a.items.size()) a.defaultValue = a.items[size_t(def)];
      break;
    }
    case TWON_ARRAY: a.ok = source.GetArrayValue(cap, a.type, a.items, handle) == crSuccess; break;
    case TWON_RANGE:
      a.ok = source.GetRangeValue(cap, a.type, a.min, a.max, a.step, a.defaultValue, a.current, handle) == crSuccess;
      a.range = true;
      break;
    default: TwainPlatform().FreeGlobal(handle); break;
  }
  return a;
}

// A number as the layer writes it (a decimal comma in some locales).
std::optional<double> Number(std::wstring text) {
  if (text.empty()) return std::nullopt;
  for (wchar_t& c : text)
    if (c == L',') c = L'.';
  wchar_t* end = nullptr;
  const double v = std::wcstod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::nullopt;
  return v;
}

// Resolutions as the protocol writes them: whole dots per inch when whole.
std::string NumberText(const std::wstring& text) {
  const std::optional<double> v = Number(text);
  if (!v) return {};
  const double rounded = std::round(*v);
  if (std::fabs(*v - rounded) < 1e-3) return std::to_string(static_cast<long long>(rounded));
  std::string s = std::to_string(*v);
  s.erase(s.find_last_not_of('0') + 1);
  return s;
}

std::string BoolText(const std::wstring& text) {
  const std::optional<double> v = Number(text);
  return v && *v != 0 ? "true" : "false";
}

// Names of the TWAIN codes the protocol knows; others have none.
const char* PixelTypeName(int code) {
  switch (code) {
    case TWPT_BW: return "bw";
    case TWPT_GRAY: return "grey";
    case TWPT_RGB: return "colour";
  }
  return nullptr;
}

const char* SizeName(int code) {
  switch (code) {
    case TWSS_A4: return "A4";
    case TWSS_A5: return "A5";
    case TWSS_USLETTER: return "Letter";
    case TWSS_USLEGAL: return "Legal";
  }
  return nullptr;
}

TW_UINT16 SizeCode(TPaperSize size) {
  switch (size) {
    case TPaperSize::A4: return TWSS_A4;
    case TPaperSize::A5: return TWSS_A5;
    case TPaperSize::Letter: return TWSS_USLETTER;
    case TPaperSize::Legal: return TWSS_USLEGAL;
    case TPaperSize::Auto: break;
  }
  return TWSS_NONE;
}

TW_UINT16 PixelTypeCode(TColourMode mode) {
  return mode == TColourMode::Bw     ? TW_UINT16(TWPT_BW)
         : mode == TColourMode::Grey ? TW_UINT16(TWPT_GRAY)
                                     : TW_UINT16(TWPT_RGB);
}
TW_UINT16 BitDepthOf(TColourMode mode) { return mode == TColourMode::Bw ? 1 : mode == TColourMode::Grey ? 8 : 24; }

int Code(const std::wstring& text) {
  const std::optional<double> v = Number(text);
  return v ? int(std::lround(*v)) : -1;
}

// An offer of names mapped from the source's codes; codes without a name
// are left out.
TOffer NamedOffer(const TCapAnswer& a, const char* (*name)(int)) {
  TOffer o;
  if (!a.ok) return o;
  o.supported = true;
  o.kind = TOffer::Kind::Name;
  for (const auto& item : a.items)
    if (const char* n = name(Code(item))) o.values.push_back(n);
  if (const char* n = name(Code(a.current))) o.current = n;
  if (const char* n = name(Code(a.defaultValue))) o.defaultValue = n;
  return o;
}

TOffer ResolutionOffer(TTwainSource& source) {
  const TCapAnswer a = Ask(source, ICAP_XRESOLUTION);
  TOffer o;
  if (!a.ok) return o;
  o.supported = true;
  o.range = a.range;
  if (a.range) {
    o.min = NumberText(a.min);
    o.max = NumberText(a.max);
    o.step = NumberText(a.step);
  }
  for (const auto& item : a.items) o.values.push_back(NumberText(item));
  o.current = NumberText(a.current);
  o.defaultValue = NumberText(a.defaultValue);
  return o;
}

TOffer ColourOffer(TTwainSource& source) { return NamedOffer(Ask(source, ICAP_PIXELTYPE), PixelTypeName); }

TOffer PaperSizeOffer(TTwainSource& source) { return NamedOffer(Ask(source, ICAP_SUPPORTEDSIZES), SizeName); }

// Duplex: CAP_DUPLEXENABLED, with true on offer only when CAP_DUPLEX names
// a kind of duplex.
TOffer DuplexOffer(TTwainSource& source) {
  const TCapAnswer enabled = Ask(source, CAP_DUPLEXENABLED);
  TOffer o;
  o.kind = TOffer::Kind::Boolean;
  if (!enabled.ok) return o;
  const TCapAnswer kind = Ask(source, CAP_DUPLEX);
  o.supported = true;
  o.values = {"false"};
  if (kind.ok && Code(kind.current) > TWDX_NONE) o.values.push_back("true");
  o.current = BoolText(enabled.current);
  o.defaultValue = BoolText(enabled.defaultValue);
  return o;
}

// Feeder or flatbed: CAP_FEEDERENABLED. A source that answers it can use
// both; one that does not is a flatbed only.
TOffer SourceOffer(TTwainSource& source) {
  const TCapAnswer feeder = Ask(source, CAP_FEEDERENABLED);
  TOffer o;
  o.kind = TOffer::Kind::Name;
  if (!feeder.ok) return o;
  o.supported = true;
  o.values = {"feeder", "flatbed"};
  o.current = BoolText(feeder.current) == "true" ? "feeder" : "flatbed";
  o.defaultValue = BoolText(feeder.defaultValue) == "true" ? "feeder" : "flatbed";
  return o;
}

TCapabilityRet SetBoolCap(TTwainSource& source, TW_UINT16 cap, bool value) {
  const TW_BOOL v = value ? 1 : 0;
  return source.SetOneValue(cap, TWTY_BOOL, &v);
}

TCapabilityRet SetUInt16Cap(TTwainSource& source, TW_UINT16 cap, TW_UINT16 value) {
  return source.SetOneValue(cap, TWTY_UINT16, &value);
}

// The value the source holds now, as a number; nullopt when it answers none.
std::optional<double> Current(TTwainSource& source, TW_UINT16 cap) {
  const TCapAnswer a = Ask(source, cap);
  return a.ok ? Number(a.current) : std::nullopt;
}

std::optional<TSettingProblem> Problem(std::string setting, TOffer offered) {
  return TSettingProblem{std::move(setting), std::move(offered)};
}

// Sets a boolean and reads it back; an unsupported capability is no problem
// when `value` is what a source without it does anyway.
bool SetAndCheckBool(TTwainSource& source, TW_UINT16 cap, bool value, bool absentMeans) {
  const TCapAnswer before = Ask(source, cap);
  if (!before.ok) return value == absentMeans;
  SetBoolCap(source, cap, value);  // a refusal shows in the read-back
  const std::optional<double> now = Current(source, cap);
  return now && (*now != 0) == value;
}

bool SetAndCheckCode(TTwainSource& source, TW_UINT16 cap, TW_UINT16 code) {
  SetUInt16Cap(source, cap, code);
  const std::optional<double> now = Current(source, cap);
  return now && std::lround(*now) == code;
}

// Whether `depth` bits are what a source may give for `mode`: colour
// counted per pixel (24) or per sample (8), as some sources count it.
bool DepthFits(TColourMode mode, long depth) {
  switch (mode) {
    case TColourMode::Bw: return depth == 1;
    case TColourMode::Grey: return depth == 8;
    case TColourMode::Colour: return depth == 24 || depth == 8;
  }
  return false;
}

// Sets the bit depth of `mode` and reads it back. A source that will not
// let it be set as asked (some only report the depth of the pixel type
// chosen, per sample) is taken at its word when that depth fits the pixel
// type, or when it names none yet (0): the pixel type already decides it.
bool SetBitDepth(TTwainSource& source, TColourMode mode) {
  const TW_UINT16 want = BitDepthOf(mode);
  const bool taken = SetUInt16Cap(source, ICAP_BITDEPTH, want) == crSuccess;
  const std::optional<double> now = Current(source, ICAP_BITDEPTH);
  if (!now) return false;
  const long depth = std::lround(*now);
  if (depth == want) return true;
  return !taken && (depth == 0 || DepthFits(mode, depth));
}

}  // namespace

std::optional<TSettingProblem> NegotiateScanSettings(TTwainSource& source, const TScanSettings& s) {
  // The feeder first: duplex and the sizes on offer depend on it.
  if (s.source) {
    if (*s.source == TPaperFeed::Auto) {
      // The feeder when paper lies in it, the glass otherwise.
      bool loaded = false;
      if (source.GetFeederLoaded(loaded) == crSuccess && loaded) SetBoolCap(source, CAP_FEEDERENABLED, true);
    } else if (!SetAndCheckBool(source, CAP_FEEDERENABLED, *s.source == TPaperFeed::Feeder, false)) {
      TOffer offer = SourceOffer(source);
      if (!offer.supported)
        offer = TOffer{true, TOffer::Kind::Name, {"flatbed"}, false, {}, {}, {}, "flatbed", "flatbed"};
      return Problem("source", offer);
    }
  }
  if (s.duplex && !SetAndCheckBool(source, CAP_DUPLEXENABLED, *s.duplex, false))
    return Problem("duplex", DuplexOffer(source));
  if (s.paperSize && *s.paperSize != TPaperSize::Auto &&
      !SetAndCheckCode(source, ICAP_SUPPORTEDSIZES, SizeCode(*s.paperSize)))
    return Problem("paperSize", PaperSizeOffer(source));

  if (s.colour) {
    if (!SetAndCheckCode(source, ICAP_PIXELTYPE, PixelTypeCode(*s.colour)))
      return Problem("colour", ColourOffer(source));
    // Bit depth follows the pixel type; a source that answers no bit depth
    // chooses it itself.
    if (Ask(source, ICAP_BITDEPTH).ok && !SetBitDepth(source, *s.colour)) return Problem("colour", ColourOffer(source));
  }
  if (s.resolution) {
    // Resolutions are per unit: inches make them dots per inch.
    source.SetICapUnits(tuInches);
    const double dpi = *s.resolution;
    TCapabilityRet set = crSuccess;
    try {
      set = source.SetIXResolution(dpi);
      if (Ask(source, ICAP_YRESOLUTION).ok) source.SetIYResolution(dpi);
    } catch (const std::range_error&) {
      set = crBadOperation;
    }
    (void)set;  // the read-back decides
    const std::optional<double> x = Current(source, ICAP_XRESOLUTION);
    const TCapAnswer y = Ask(source, ICAP_YRESOLUTION);
    const std::optional<double> yNow = y.ok ? Number(y.current) : x;
    if (!x || std::fabs(*x - dpi) > 0.01 || !yNow || std::fabs(*yNow - dpi) > 0.01)
      return Problem("resolution", ResolutionOffer(source));
  }
  if (s.maxPages) {
    source.SetCapXferCount(int16_t(*s.maxPages));
    int16_t now = 0;
    if (source.GetCapXferCount(now) != crSuccess || now != *s.maxPages) {
      TOffer offer;
      offer.supported = true;
      offer.range = true;
      offer.min = "1";
      offer.max = now > 0 ? std::to_string(now) : "1";
      offer.step = "1";
      return Problem("maxPages", offer);
    }
  }
  return std::nullopt;
}

TScannerCaps ReadScannerCaps(TTwainSource& source) {
  TScannerCaps caps;
  source.SetICapUnits(tuInches);  // resolutions in dots per inch
  caps.resolution = ResolutionOffer(source);
  caps.colour = ColourOffer(source);
  caps.duplex = DuplexOffer(source);
  caps.source = SourceOffer(source);
  caps.paperSize = PaperSizeOffer(source);
  bool loaded = false;
  if (caps.source.supported && source.GetFeederLoaded(loaded) == crSuccess) caps.feederLoaded = loaded;
  bool controllable = false;
  if (source.GetUIControllable(controllable) == crSuccess) caps.canHideUI = controllable;
  return caps;
}

std::vector<TScannerInfo> ListScanners(TCustomTwainManager& manager) {
  std::vector<TScannerInfo> list;
  const int n = manager.SourceCount();
  const int def = n > 0 ? manager.GetDefaultSourceByName() : -1;
  for (int i = 0; i < n; ++i) {
    TTwainSource* s = manager.Source(i);
    if (!s) continue;
    TScannerInfo info;
    info.id = info.name = base::Narrow(s->ProductName());
    info.manufacturer = base::Narrow(s->Manufacturer());
    info.productFamily = base::Narrow(s->ProductFamily());
    info.isDefault = i == def;
    list.push_back(std::move(info));
  }
  return list;
}

int FindScanner(TCustomTwainManager& manager, const std::string& id) {
  const int n = manager.SourceCount();
  if (n == 0) return -1;
  if (id.empty()) {
    const int def = manager.GetDefaultSourceByName();
    return def >= 0 && def < n ? def : -1;
  }
  for (int i = 0; i < n; ++i)
    if (TTwainSource* s = manager.Source(i); s && base::Narrow(s->ProductName()) == id) return i;
  return -1;
}

}  // namespace skan
