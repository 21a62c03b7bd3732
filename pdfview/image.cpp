#include "image.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "filters.h"
#include "pdf_limits.h"

namespace skan::pdfview {

namespace {

enum class TFamily { Gray, Rgb, Cmyk, Indexed };

struct TColorSpace {
  TFamily family = TFamily::Gray;
  int components = 1;
  // Indexed: the base family, the highest index and the palette as RGB.
  int hival = 0;
  std::vector<uint8_t> palette;
};

int ComponentsOf(TFamily f) { return f == TFamily::Rgb ? 3 : f == TFamily::Cmyk ? 4 : 1; }

void CmykToRgb(const uint8_t* cmyk, uint8_t* rgb) {
  for (int i = 0; i < 3; ++i) rgb[i] = static_cast<uint8_t>(255 - std::min(255, cmyk[i] + cmyk[3]));
}

TFamily BaseFamily(TDocument& doc, const TObject& cs, const TDict& resources, int depth);

TFamily FamilyOfName(TDocument& doc, const std::string& name, const TDict& resources, int depth) {
  if (name == "DeviceGray" || name == "G" || name == "CalGray") return TFamily::Gray;
  if (name == "DeviceRGB" || name == "RGB" || name == "CalRGB") return TFamily::Rgb;
  if (name == "DeviceCMYK" || name == "CMYK") return TFamily::Cmyk;
  // A name from the page's /ColorSpace resources.
  TObject named = doc.Get(doc.Get(resources, "ColorSpace").DictValue(), name);
  if (!named.IsNull() && depth < 4) return BaseFamily(doc, named, resources, depth + 1);
  Unsupported("the colour space " + name);
}

TFamily BaseFamily(TDocument& doc, const TObject& cs, const TDict& resources, int depth) {
  if (cs.IsName()) return FamilyOfName(doc, cs.Name(), resources, depth);
  const TArray& a = cs.ArrayValue();
  if (a.empty()) Damaged("an image has no valid colour space");
  std::string kind = doc.Resolve(a[0]).Name();
  if (kind == "ICCBased" && a.size() >= 2) {
    TObject profile = doc.Resolve(a[1]);
    int64_t n = profile.DictValue().Get("N").IntValue();
    if (n == 1) return TFamily::Gray;
    if (n == 3) return TFamily::Rgb;
    if (n == 4) return TFamily::Cmyk;
    TObject alt = doc.Resolve(profile.DictValue().Get("Alternate"));
    if (!alt.IsNull() && depth < 4) return BaseFamily(doc, alt, resources, depth + 1);
    Damaged("an ICC profile with no component count");
  }
  if (kind == "CalGray") return TFamily::Gray;
  if (kind == "CalRGB") return TFamily::Rgb;
  if (kind == "Indexed" || kind == "I") return TFamily::Indexed;
  if (a.size() == 1) return FamilyOfName(doc, kind, resources, depth);
  Unsupported("the colour space " + kind);
}

TColorSpace ReadColorSpace(TDocument& doc, const TObject& cs, const TDict& resources) {
  TColorSpace out;
  out.family = BaseFamily(doc, cs, resources, 0);
  out.components = ComponentsOf(out.family);
  if (out.family != TFamily::Indexed) return out;
  TObject resolved = cs.IsName() ? doc.Get(doc.Get(resources, "ColorSpace").DictValue(), cs.Name()) : cs;
  const TArray& a = resolved.ArrayValue();
  if (a.size() < 4) Damaged("an indexed colour space is incomplete");
  TFamily base = BaseFamily(doc, doc.Resolve(a[1]), resources, 1);
  if (base == TFamily::Indexed) Damaged("an indexed colour space on an indexed one");
  int64_t hival = doc.Resolve(a[2]).IntValue();
  if (hival < 0 || hival > 255) Damaged("an indexed colour space's highest index is out of range");
  TObject lookup = doc.Resolve(a[3]);
  std::string table;
  if (lookup.IsStream()) {
    TNeverCancel never;
    TDocument::TData data = doc.StreamData(lookup, never, 4 * 256);
    if (!data.codec.empty()) Damaged("a palette compressed as an image");
    table = std::move(data.bytes);
  } else {
    table = lookup.StringValue();
  }
  const int n = ComponentsOf(base);
  out.hival = static_cast<int>(hival);
  out.palette.assign(256 * 3, 0);
  for (int i = 0; i <= hival; ++i) {
    uint8_t c[4] = {0, 0, 0, 0};
    for (int k = 0; k < n; ++k) {
      size_t at = static_cast<size_t>(i) * n + k;
      c[k] = at < table.size() ? static_cast<uint8_t>(table[at]) : 0;
    }
    uint8_t* rgb = &out.palette[i * 3];
    if (base == TFamily::Gray)
      rgb[0] = rgb[1] = rgb[2] = c[0];
    else if (base == TFamily::Rgb)
      std::copy(c, c + 3, rgb);
    else
      CmykToRgb(c, rgb);
  }
  out.components = 1;
  return out;
}

// Reads the /Decode array: a pair per component, or the default.
std::vector<std::pair<double, double>> ReadDecode(const TObject& decode, int components, double defaultMax) {
  std::vector<std::pair<double, double>> out(components, {0.0, defaultMax});
  const TArray& a = decode.ArrayValue();
  if (a.size() >= static_cast<size_t>(2 * components))
    for (int i = 0; i < components; ++i) out[i] = {a[2 * i].Number(), a[2 * i + 1].Number()};
  return out;
}

uint8_t ToByte(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v * 255.0), 0L, 255L)); }

// Applies the image dictionary's word on a codec's samples to each row as
// it becomes final: /Decode pairs that run from 1 to 0, /BlackIs1 of a fax
// and a stencil's coverage each invert a component (two inversions cancel).
class TCodecRows final : public IImageRows {
 public:
  TCodecRows(IImageRows& out, const TObject& decode, bool stencil, bool blackIs1, bool indexed)
      : out_(out), decode_(decode), stencil_(stencil), blackIs1_(blackIs1), indexed_(indexed) {}

  uint8_t* Start(int width, int height, int channels, bool) override {
    if (width <= 0 || height <= 0 || (channels != 1 && channels != 3)) Damaged("an image decodes to the wrong size");
    // A stencil is painted where the sample is 0 (black): coverage is the inverse.
    if (stencil_ && channels != 1) Damaged("a stencil mask with colour samples");
    if (!stencil_ && indexed_) Unsupported("an indexed image compressed as JPEG");
    auto pairs = ReadDecode(decode_, channels, 1.0);
    for (int c = 0; c < channels; ++c) {
      invert_[c] = pairs[c].first > pairs[c].second;
      if (c == 0) invert_[c] = invert_[c] != (blackIs1_ != stencil_);
      any_ = any_ || invert_[c];
    }
    stride_ = static_cast<size_t>(width) * channels;
    channels_ = channels;
    pixels_ = out_.Start(width, height, channels, stencil_);
    return pixels_;
  }

  void Ready(int rows) override {
    if (any_)
      for (size_t i = done_ * stride_; i < static_cast<size_t>(rows) * stride_; ++i)
        if (invert_[i % channels_]) pixels_[i] = static_cast<uint8_t>(255 - pixels_[i]);
    done_ = static_cast<size_t>(rows);
    out_.Ready(rows);
  }

 private:
  IImageRows& out_;
  const TObject& decode_;
  bool stencil_, blackIs1_, indexed_;
  bool invert_[3] = {false, false, false};
  bool any_ = false;
  int channels_ = 1;
  size_t stride_ = 0, done_ = 0;
  uint8_t* pixels_ = nullptr;
};

}  // namespace

void DecodeImage(TDocument& doc, const TObject& xobject, const TDict& resources, const TCancel& cancel, IImageRows& out,
                 std::string* room) {
  const TDict& dict = xobject.DictValue();
  const int64_t w = doc.Get(dict, "Width").IntValue(), h = doc.Get(dict, "Height").IntValue();
  if (w <= 0 || h <= 0) Damaged("an image has no size");
  if (static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > limits::kMaxImagePixels)
    Fail(TErrorKind::TooLarge, "an image has too many pixels");
  const bool stencil = doc.Get(dict, "ImageMask").BoolValue();
  const TObject decode = doc.Get(dict, "Decode");

  TColorSpace cs;
  int64_t bpc = 1;
  if (!stencil) {
    TObject csObject = doc.Get(dict, "ColorSpace");
    if (csObject.IsNull()) csObject = TObject::Name("DeviceGray");
    cs = ReadColorSpace(doc, csObject, resources);
    bpc = doc.Get(dict, "BitsPerComponent").IntValue();
  }
  const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
  const int n = stencil ? 1 : (cs.family == TFamily::Indexed ? 1 : cs.components);
  // Grey or RGB, 8 bits, no /Decode mapping: the stream's bytes are the
  // pixels, decoded straight into place.
  const auto identity = ReadDecode(decode, n, 1.0);
  const bool plain =
      !stencil && bpc == 8 && (cs.family == TFamily::Gray || cs.family == TFamily::Rgb) &&
      std::all_of(identity.begin(), identity.end(), [](auto& p) { return p.first == 0 && p.second == 1; });
  if (plain && doc.DecodesInto(xobject)) {
    const size_t size = pixels * n;
    uint8_t* into = out.Start(static_cast<int>(w), static_cast<int>(h), n, false);
    std::string ownRoom;
    const size_t got = doc.StreamDataInto(xobject, cancel, into, size, room ? *room : ownRoom);
    // A little short is common (a final row cut by a producer): pad with
    // zeros; much less is a damaged image.
    if (got < size / 2) Damaged("an image's data is cut off");
    std::fill(into + got, into + size, uint8_t{0});
    out.Ready(static_cast<int>(h));
    return;
  }

  TDocument::TData data =
      doc.StreamData(xobject, cancel, std::min<size_t>(limits::kMaxDecodedBytes, pixels * 8 + 4096));
  cancel.Check();

  if (!data.codec.empty()) {
    const bool fax = data.codec == "CCITTFaxDecode";
    TCodecRows rows(out, decode, stencil, fax && data.codecParms.Get("BlackIs1").BoolValue(),
                    cs.family == TFamily::Indexed);
    if (data.codec == "DCTDecode") {
      DecodeJpeg(data.bytes, cancel, rows);
    } else if (fax) {
      TImage decoded = DecodeCcittFax(data.bytes, data.codecParms, static_cast<int>(w), static_cast<int>(h));
      if (decoded.width <= 0 || decoded.height <= 0 ||
          decoded.pixels.size() != static_cast<size_t>(decoded.width) * decoded.height * decoded.channels)
        Damaged("an image decodes to the wrong size");
      uint8_t* into = rows.Start(decoded.width, decoded.height, decoded.channels, false);
      std::copy(decoded.pixels.begin(), decoded.pixels.end(), into);
      rows.Ready(decoded.height);
    } else {
      Unsupported("images compressed with " + data.codec);
    }
    return;
  }

  if (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16) Damaged("an image has no valid bits per component");
  const size_t rowBytes = (static_cast<size_t>(w) * n * static_cast<size_t>(bpc) + 7) / 8;
  if (data.bytes.size() < rowBytes * static_cast<size_t>(h)) {
    if (data.bytes.size() < rowBytes * static_cast<size_t>(h) / 2) Damaged("an image's data is cut off");
    data.bytes.resize(rowBytes * static_cast<size_t>(h), '\0');
  }

  // A table from each possible sample value to the 8-bit result, per component.
  const int maxValue = bpc == 16 ? 255 : (1 << bpc) - 1;
  const double defaultMax = cs.family == TFamily::Indexed ? maxValue : 1.0;
  auto pairs = ReadDecode(decode, n, defaultMax);
  std::vector<std::array<uint8_t, 256>> table(n);
  for (int c = 0; c < n; ++c)
    for (int s = 0; s <= maxValue; ++s) {
      double v = pairs[c].first + s * (pairs[c].second - pairs[c].first) / maxValue;
      if (stencil)
        table[c][s] = v < 0.5 ? 255 : 0;  // coverage: paint where the sample means 0
      else if (cs.family == TFamily::Indexed)
        table[c][s] = static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
      else
        table[c][s] = ToByte(v);
    }

  // Grey (or a stencil's coverage) stays one channel; the rest become RGB.
  const int channels = stencil || cs.family == TFamily::Gray || (n == 1 && cs.family != TFamily::Indexed) ? 1 : 3;
  uint8_t* into = out.Start(static_cast<int>(w), static_cast<int>(h), channels, stencil);
  std::vector<uint8_t> samples(static_cast<size_t>(w) * n);
  const auto* src = reinterpret_cast<const uint8_t*>(data.bytes.data());
  for (int64_t y = 0; y < h; ++y) {
    if ((y & 63) == 0) {
      cancel.Check();
      if (y > 0) out.Ready(static_cast<int>(y));
    }
    const uint8_t* row = src + static_cast<size_t>(y) * rowBytes;
    const size_t count = samples.size();
    if (bpc == 8 || bpc == 16) {
      const size_t step = bpc == 16 ? 2 : 1;
      for (size_t i = 0; i < count; i += n)
        for (int c = 0; c < n; ++c) samples[i + c] = table[c][row[(i + c) * step]];
    } else {
      const int perByte = 8 / static_cast<int>(bpc), mask = (1 << bpc) - 1;
      for (size_t i = 0; i < count; ++i) {
        int byte = row[i / perByte];
        int shift = 8 - static_cast<int>(bpc) * (static_cast<int>(i % perByte) + 1);
        samples[i] = table[i % n][(byte >> shift) & mask];
      }
    }
    uint8_t* o = into + static_cast<size_t>(y) * w * channels;
    if (cs.family == TFamily::Indexed && !stencil) {
      for (int64_t x = 0; x < w; ++x) std::copy_n(&cs.palette[std::min<int>(samples[x], cs.hival) * 3], 3, o + x * 3);
    } else if (cs.family == TFamily::Cmyk && !stencil) {
      for (int64_t x = 0; x < w; ++x) CmykToRgb(&samples[x * 4], o + x * 3);
    } else {
      std::copy(samples.begin(), samples.end(), o);
    }
  }
  out.Ready(static_cast<int>(h));
}

}  // namespace skan::pdfview
