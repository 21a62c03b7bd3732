#include "scan_settings.h"

#include <charconv>

namespace skan {

namespace {

// An integer literal within [lo, hi]; JSON numbers with a fraction or an
// exponent are not integers here, even "300.0".
std::optional<int> IntegerIn(const TJsonValue& v, int lo, int hi) {
  if (v.kind != TJsonValue::Kind::Number) return std::nullopt;
  int n = 0;
  const char* end = v.text.data() + v.text.size();
  auto [p, ec] = std::from_chars(v.text.data(), end, n);
  if (ec != std::errc() || p != end || n < lo || n > hi) return std::nullopt;
  return n;
}

template <class T, size_t N>
std::optional<T> NameIn(const TJsonValue& v, const std::pair<const char*, T> (&names)[N]) {
  if (v.kind != TJsonValue::Kind::String) return std::nullopt;
  for (const auto& [name, value] : names)
    if (v.text == name) return value;
  return std::nullopt;
}

std::optional<bool> Boolean(const TJsonValue& v) {
  if (v.kind == TJsonValue::Kind::True) return true;
  if (v.kind == TJsonValue::Kind::False) return false;
  return std::nullopt;
}

constexpr std::pair<const char*, TColourMode> kColours[] = {
    {"colour", TColourMode::Colour}, {"grey", TColourMode::Grey}, {"bw", TColourMode::Bw}};
constexpr std::pair<const char*, TPaperFeed> kFeeds[] = {
    {"feeder", TPaperFeed::Feeder}, {"flatbed", TPaperFeed::Flatbed}, {"auto", TPaperFeed::Auto}};
constexpr std::pair<const char*, TPaperSize> kSizes[] = {{"A4", TPaperSize::A4},
                                                         {"A5", TPaperSize::A5},
                                                         {"Letter", TPaperSize::Letter},
                                                         {"Legal", TPaperSize::Legal},
                                                         {"auto", TPaperSize::Auto}};

}  // namespace

const char* ColourName(TColourMode mode) {
  for (const auto& [name, value] : kColours)
    if (value == mode) return name;
  return "";
}

const char* PaperSizeName(TPaperSize size) {
  for (const auto& [name, value] : kSizes)
    if (value == size) return name;
  return "";
}

std::optional<TScanSettings> ParseScanSettings(const TJsonValue& value, std::string& field) {
  field = "scan";
  if (!value.IsObject()) return std::nullopt;
  TScanSettings s;
  for (const auto& [name, member] : value.members) {
    field = "scan." + name;
    bool ok = true;
    if (name == "scanner") {
      ok = member.kind == TJsonValue::Kind::String && !member.text.empty() && member.text.size() <= kMaxScannerIdBytes;
      if (ok) s.scanner = member.text;
    } else if (name == "resolution") {
      s.resolution = IntegerIn(member, 1, kMaxScanResolution);
      ok = s.resolution.has_value();
    } else if (name == "colour") {
      s.colour = NameIn(member, kColours);
      ok = s.colour.has_value();
    } else if (name == "duplex") {
      s.duplex = Boolean(member);
      ok = s.duplex.has_value();
    } else if (name == "source") {
      s.source = NameIn(member, kFeeds);
      ok = s.source.has_value();
    } else if (name == "paperSize") {
      s.paperSize = NameIn(member, kSizes);
      ok = s.paperSize.has_value();
    } else if (name == "maxPages") {
      s.maxPages = IntegerIn(member, 1, kMaxScanPages);
      ok = s.maxPages.has_value();
    } else if (name == "showScannerUI") {
      const std::optional<bool> show = Boolean(member);
      ok = show.has_value();
      s.showScannerUI = show.value_or(false);
    } else {
      ok = false;  // an unknown member is a mistake the page should hear about
    }
    if (!ok) return std::nullopt;
  }
  field.clear();
  return s;
}

}  // namespace skan
