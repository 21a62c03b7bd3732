// The virtual scanner's capabilities: what each holds, what the host may set,
// and the containers of DAT_CAPABILITY.
#include <cmath>
#include <cstring>

#include "base/handles_win.h"
#include "data_source.h"

namespace skan::virtual_scanner {
namespace {

constexpr TPaper kPapers[] = {
    {TWSS_A4, 210, 297}, {TWSS_B5LETTER, 182, 257}, {TWSS_USLETTER, 215.9, 279.4}, {TWSS_USLEGAL, 215.9, 355.6},
    {TWSS_A5, 148, 210}, {TWSS_B4, 250, 353},       {TWSS_B6, 125, 176},
};
// Resolutions offered in dots per inch (the configured one is added).
constexpr int kResolutions[] = {50, 75, 100, 150, 200, 300, 600, 1200};

int BitsOf(TPixelType type) { return type == TPixelType::Rgb ? 24 : type == TPixelType::BlackWhite ? 1 : 8; }

// Item sizes of the types the scanner uses.
size_t ItemSize(TW_UINT16 type) {
  switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8: return 1;
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL: return 2;
    default: return 4;
  }
}

}  // namespace

TPaper PaperOf(TW_UINT16 code) {
  for (const TPaper& p : kPapers)
    if (p.code == code) return p;
  return {TWSS_NONE, kGlassWidthMm, kGlassHeightMm};
}

TW_UINT32 Fix32Bits(double value) {
  const auto v = int32_t(std::lround(value * 65536));
  TW_FIX32 f{TW_INT16(v >> 16), TW_UINT16(v & 0xFFFF)};
  TW_UINT32 bits;
  memcpy(&bits, &f, 4);
  return bits;
}

double Fix32Value(TW_UINT32 bits) {
  TW_FIX32 f;
  memcpy(&f, &bits, 4);
  return f.Whole + f.Frac / 65536.0;
}

void TSource::SetPaper(TW_UINT16 code) {
  const TPaper p = PaperOf(code);
  paper_ = p.code;
  frame_[0] = frame_[1] = 0;
  frame_[2] = p.widthMm / 25.4;
  frame_[3] = p.heightMm / 25.4;
}

void TSource::ResetNegotiation() {
  units_ = TWUN_INCHES;
  SetPaper(TWSS_A4);
  orientation_ = TWOR_PORTRAIT;
  autoSize_ = TWAS_NONE;
  xferCount_ = -1;
  autoFeed_ = false;
  duplexEnabled_ = false;
  indicators_ = true;
  borderDetection_ = deskew_ = rotate_ = undefinedSize_ = false;
  memActive_ = false;
  memData_.clear();
}

bool TSource::Describe(TW_UINT16 cap, TCapAnswer& a) const {
  const bool feeder = settings_.indeterminate;
  auto resolutions = [&] {
    std::vector<TW_UINT32> all;
    if (config_.resolutions.empty())
      for (int dpi : kResolutions) all.push_back(Fix32Bits(ResolutionPerUnit(dpi)));
    for (int dpi : config_.resolutions) all.push_back(Fix32Bits(ResolutionPerUnit(dpi)));
    a.type = TWTY_FIX32;
    a.List(all, Fix32Bits(ResolutionPerUnit(settings_.resolution)), Fix32Bits(ResolutionPerUnit(config_.resolution)));
  };
  switch (cap) {
    case CAP_XFERCOUNT: a.One(TWTY_INT16, TW_UINT16(xferCount_), 0xFFFF); return true;
    case ICAP_UNITS: a.List({0, 1, 2, 3, 4, 5}, units_, TWUN_INCHES); return true;
    case ICAP_PIXELFLAVOR:
      if (config_.noPixelFlavor) return false;
      a.List({TWPF_CHOCOLATE}, TWPF_CHOCOLATE, TWPF_CHOCOLATE);  // 0 is black
      return true;
    case ICAP_PIXELTYPE:
      a.List({TWPT_BW, TWPT_GRAY, TWPT_RGB, TWPT_PALETTE}, TW_UINT32(settings_.pixelType),
             TW_UINT32(config_.pixelType));
      return true;
    case ICAP_BITDEPTH: {
      const TW_UINT32 bits = TW_UINT32(BitsOf(settings_.pixelType));
      a.List({bits}, bits, bits);
      return true;
    }
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: resolutions(); return true;
    case ICAP_PHYSICALWIDTH: {
      const TW_UINT32 v = Fix32Bits(kGlassWidthMm / 25.4 * UnitsPerInch());
      a.One(TWTY_FIX32, v, v, false);
      return true;
    }
    case ICAP_PHYSICALHEIGHT: {
      const TW_UINT32 v = Fix32Bits(kGlassHeightMm / 25.4 * UnitsPerInch());
      a.One(TWTY_FIX32, v, v, false);
      return true;
    }
    case CAP_UICONTROLLABLE: a.One(TWTY_BOOL, 1, 1, false); return true;
    case CAP_FEEDERENABLED: a.One(TWTY_BOOL, feeder, config_.indeterminate); return true;
    case CAP_DUPLEX: {
      const TW_UINT32 kind = config_.duplex ? TWDX_1PASSDUPLEX : TWDX_NONE;
      a.One(TWTY_UINT16, kind, kind, false);
      return true;
    }
    case CAP_DUPLEXENABLED: a.One(TWTY_BOOL, duplexEnabled_, 0, config_.duplex); return true;
    case CAP_FEEDERLOADED: a.One(TWTY_BOOL, feeder, feeder, false); return true;
    case CAP_AUTOFEED: a.One(TWTY_BOOL, autoFeed_, 0); return true;
    case CAP_INDICATORS: a.One(TWTY_BOOL, indicators_, 1); return true;
    case ICAP_AUTOMATICBORDERDETECTION: a.One(TWTY_BOOL, borderDetection_, 0); return true;
    case ICAP_AUTOMATICDESKEW: a.One(TWTY_BOOL, deskew_, 0); return true;
    case ICAP_AUTOMATICROTATE: a.One(TWTY_BOOL, rotate_, 0); return true;
    case ICAP_UNDEFINEDIMAGESIZE: a.One(TWTY_BOOL, undefinedSize_, 0); return true;
    case ICAP_SUPPORTEDSIZES: {
      std::vector<TW_UINT32> all{TWSS_NONE};
      for (const TPaper& p : kPapers) all.push_back(p.code);
      std::sort(all.begin(), all.end());
      a.List(all, paper_, TWSS_A4);
      return true;
    }
    case ICAP_ORIENTATION: a.List({TWOR_PORTRAIT, TWOR_LANDSCAPE}, orientation_, TWOR_PORTRAIT); return true;
    case ICAP_AUTOSIZE: a.List({TWAS_NONE, TWAS_AUTO, TWAS_CURRENT}, autoSize_, TWAS_NONE); return true;
    case ICAP_XFERMECH: {
      std::vector<TW_UINT32> offered;
      if (!config_.noNativeTransfer) offered.push_back(TWSX_NATIVE);
      if (!config_.noFileTransfer) offered.push_back(TWSX_FILE);
      offered.push_back(TWSX_MEMORY);
      a.List(offered, xferMech_, offered.front());
      return true;
    }
    case ICAP_COMPRESSION: a.List({TWCP_NONE}, TWCP_NONE, TWCP_NONE); return true;
    case ICAP_IMAGEFILEFORMAT: a.List({TWFF_BMP}, TWFF_BMP, TWFF_BMP); return true;
  }
  return false;
}

// Takes a value the host sets; TWCC_BADVALUE for one the scanner cannot do.
TW_UINT16 TSource::Apply(TW_UINT16 cap, TW_UINT32 v) {
  auto in = [&](std::initializer_list<TW_UINT32> allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
  };
  switch (cap) {
    case CAP_XFERCOUNT: {
      const auto n = int16_t(v);
      if (n != -1 && n <= 0) return Fail(TWCC_BADVALUE);
      xferCount_ = n;
      return TWRC_SUCCESS;
    }
    case ICAP_UNITS:
      if (v > TWUN_PIXELS) return Fail(TWCC_BADVALUE);
      units_ = TW_UINT16(v);
      return TWRC_SUCCESS;
    case ICAP_PIXELFLAVOR: return v == TWPF_CHOCOLATE ? TW_UINT16(TWRC_SUCCESS) : Fail(TWCC_BADVALUE);
    case ICAP_PIXELTYPE:
      if (v > TWPT_PALETTE) return Fail(TWCC_BADVALUE);
      settings_.pixelType = TPixelType(v);
      return TWRC_SUCCESS;
    case ICAP_BITDEPTH:
      return v == TW_UINT32(BitsOf(settings_.pixelType)) ? TW_UINT16(TWRC_SUCCESS) : Fail(TWCC_BADVALUE);
    case ICAP_XRESOLUTION:
    case ICAP_YRESOLUTION: {
      // One resolution serves both directions.
      const double perUnit = Fix32Value(v);
      const auto dpi = std::lround(units_ == TWUN_PIXELS ? perUnit : perUnit * UnitsPerInch());
      if (dpi < 50 || dpi > 1200) return Fail(TWCC_BADVALUE);
      const auto& only = config_.resolutions;
      if (!only.empty() && dpi != config_.resolution && std::find(only.begin(), only.end(), dpi) == only.end())
        return Fail(TWCC_BADVALUE);
      settings_.resolution = int(dpi);
      return TWRC_SUCCESS;
    }
    case CAP_FEEDERENABLED: settings_.indeterminate = v != 0; return TWRC_SUCCESS;
    case CAP_DUPLEXENABLED: duplexEnabled_ = v != 0; return TWRC_SUCCESS;
    case CAP_AUTOFEED: autoFeed_ = v != 0; return TWRC_SUCCESS;
    case CAP_INDICATORS: indicators_ = v != 0; return TWRC_SUCCESS;
    case ICAP_AUTOMATICBORDERDETECTION: borderDetection_ = v != 0; return TWRC_SUCCESS;
    case ICAP_AUTOMATICDESKEW: deskew_ = v != 0; return TWRC_SUCCESS;
    case ICAP_AUTOMATICROTATE: rotate_ = v != 0; return TWRC_SUCCESS;
    case ICAP_UNDEFINEDIMAGESIZE: undefinedSize_ = v != 0; return TWRC_SUCCESS;
    case ICAP_SUPPORTEDSIZES:
      if (v != TWSS_NONE && PaperOf(TW_UINT16(v)).code == TWSS_NONE) return Fail(TWCC_BADVALUE);
      SetPaper(TW_UINT16(v));  // the frame becomes the whole paper
      return TWRC_SUCCESS;
    case ICAP_ORIENTATION:
      if (!in({TWOR_PORTRAIT, TWOR_LANDSCAPE})) return Fail(TWCC_BADVALUE);
      orientation_ = TW_UINT16(v);
      return TWRC_SUCCESS;
    case ICAP_AUTOSIZE:
      if (v > TWAS_CURRENT) return Fail(TWCC_BADVALUE);
      autoSize_ = TW_UINT16(v);
      return TWRC_SUCCESS;
    case ICAP_XFERMECH:
      if (v > TWSX_MEMORY || (v == TWSX_FILE && config_.noFileTransfer) ||
          (v == TWSX_NATIVE && config_.noNativeTransfer))
        return Fail(TWCC_BADVALUE);
      xferMech_ = TW_UINT16(v);
      return TWRC_SUCCESS;
    case ICAP_COMPRESSION: return v == TWCP_NONE ? TW_UINT16(TWRC_SUCCESS) : Fail(TWCC_BADVALUE);
    case ICAP_IMAGEFILEFORMAT: return v == TWFF_BMP ? TW_UINT16(TWRC_SUCCESS) : Fail(TWCC_BADVALUE);
  }
  return Fail(TWCC_CAPBADOPERATION);
}

// Containers as the TWAIN standard lays them out: MSG_GET answers an
// enumeration (or a one value), MSG_GETCURRENT and MSG_GETDEFAULT a one
// value; MSG_SET takes a one value (or an enumeration's current item).
TW_UINT16 TSource::Capability(TW_UINT16 msg, TW_MEMREF data) {
  auto* cap = static_cast<pTW_CAPABILITY>(data);
  if (!cap) return Fail(TWCC_BADVALUE);
  TCapAnswer a;
  if (!Describe(cap->Cap, a)) return Fail(TWCC_CAPUNSUPPORTED);

  auto answer = [&](bool whole, TW_UINT32 item) -> TW_UINT16 {
    const size_t size = ItemSize(a.type);
    const bool enumeration = whole && a.enumeration;
    const size_t bytes = enumeration ? 14 + size * a.items.size() : 6;
    base::TGlobalMemory h(GlobalAlloc(GHND, bytes));
    {
      const base::TGlobalLock<uint8_t> locked(h.get());
      uint8_t* p = locked.get();
      if (!p) return Fail(TWCC_LOWMEMORY);
      memcpy(p, &a.type, 2);
      if (enumeration) {
        const TW_UINT32 head[3] = {TW_UINT32(a.items.size()), TW_UINT32(a.current), TW_UINT32(a.DefaultIndex())};
        memcpy(p + 2, head, sizeof head);
        for (size_t i = 0; i < a.items.size(); ++i) memcpy(p + 14 + i * size, &a.items[i], size);
      } else {
        memcpy(p + 2, &item, 4);  // the item in its 32-bit slot
      }
    }
    cap->ConType = enumeration ? TWON_ENUMERATION : TWON_ONEVALUE;
    cap->hContainer = h.release();  // the application owns it now
    return TWRC_SUCCESS;
  };

  switch (msg) {
    case MSG_GET: return answer(true, a.items[a.current]);
    case MSG_GETCURRENT: return answer(false, a.items[a.current]);
    case MSG_GETDEFAULT: return answer(false, a.defaultItem);
    case MSG_RESET: {
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      if (a.settable) {
        const TW_UINT16 rc = Apply(cap->Cap, a.defaultItem);
        if (rc != TWRC_SUCCESS) return rc;
      }
      TCapAnswer now;
      Describe(cap->Cap, now);
      a = now;
      return answer(false, a.items[a.current]);
    }
    case MSG_SET: {
      if (state_ != 4) return Fail(TWCC_SEQERROR);
      if (!a.settable) return Fail(TWCC_CAPBADOPERATION);
      if (!cap->hContainer) return Fail(TWCC_BADVALUE);
      const size_t held = GlobalSize(cap->hContainer);
      const base::TGlobalLock<const uint8_t> locked(cap->hContainer);
      const uint8_t* p = locked.get();
      if (!p) return Fail(TWCC_BADVALUE);
      TW_UINT16 type = 0;
      TW_UINT32 v = 0;
      bool ok = held >= 6;
      if (ok) memcpy(&type, p, 2);
      ok = ok && type == a.type;
      if (ok && cap->ConType == TWON_ONEVALUE) {
        memcpy(&v, p + 2, ItemSize(type));
      } else if (ok && cap->ConType == TWON_ENUMERATION && held >= 14) {
        TW_UINT32 n = 0, current = 0;
        memcpy(&n, p + 2, 4);
        memcpy(&current, p + 6, 4);
        ok = current < n && 14 + size_t(n) * ItemSize(type) <= held;
        if (ok) memcpy(&v, p + 14 + current * ItemSize(type), ItemSize(type));
      } else {
        ok = false;
      }
      return ok ? Apply(cap->Cap, v) : Fail(TWCC_BADVALUE);
    }
    case MSG_QUERYSUPPORT: {
      // TWQC_GET | TWQC_GETDEFAULT | TWQC_GETCURRENT, and TWQC_SET | TWQC_RESET.
      a.type = TWTY_INT32;
      a.enumeration = false;
      return answer(false, 0x1 | 0x4 | 0x8 | (a.settable ? 0x2 | 0x10 : 0));
    }
  }
  return Fail(TWCC_CAPBADOPERATION);
}

}  // namespace skan::virtual_scanner
