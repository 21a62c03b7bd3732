// Scan settings a page may put on its request (the "scan" object of
// Init_SCAN), what a source offers for each of them, and the sources the
// source manager lists. Portable: the negotiation with a source is in
// scan_negotiation.h, the JSON forms in peer_protocol.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "json.h"

namespace skan {

enum class TColourMode { Colour, Grey, Bw };
enum class TPaperFeed { Feeder, Flatbed, Auto };
enum class TPaperSize { A4, A5, Letter, Legal, Auto };

// Every member is optional; an absent one leaves the source's own value.
struct TScanSettings {
  std::string scanner;            // a List_SCANNERS id (the ProductName); empty: the default source
  std::optional<int> resolution;  // dots per inch
  std::optional<TColourMode> colour;
  std::optional<bool> duplex;
  std::optional<TPaperFeed> source;
  std::optional<TPaperSize> paperSize;
  std::optional<int> maxPages;
  bool showScannerUI = false;  // the driver's own dialog stays hidden unless asked for
};

// Bounds of the numeric members: a resolution beyond any scanner's, and a
// batch no feeder holds.
inline constexpr int kMaxScanResolution = 19200;
inline constexpr int kMaxScanPages = 1000;
// The scanner id is a TW_STR32 ProductName: 33 bytes at most in UTF-8 terms
// of its ANSI text, so anything much longer cannot name a source.
inline constexpr std::size_t kMaxScannerIdBytes = 128;

// Reads the "scan" object. On a malformed member returns nullopt and names
// it in `field` ("scan.resolution", say, or "scan" for a non-object).
std::optional<TScanSettings> ParseScanSettings(const TJsonValue& value, std::string& field);

// The protocol's names of the enumerated settings.
const char* ColourName(TColourMode mode);
const char* PaperSizeName(TPaperSize size);

// What a source offers for one setting, in the protocol's terms: numbers,
// names or booleans, as a list of values or a range.
struct TOffer {
  enum class Kind { Number, Name, Boolean };
  bool supported = false;  // false: the source answers nothing ("UNSUPPORTED")
  Kind kind = Kind::Number;
  std::vector<std::string> values;  // numbers as written, names, "true"/"false"
  bool range = false;
  std::string min, max, step;         // a range (numbers)
  std::string current, defaultValue;  // empty when not known
};

// A source's answers for Caps_SCANNER.
struct TScannerCaps {
  TOffer resolution, colour, duplex, source, paperSize;
  std::optional<bool> feederLoaded;  // when the source answers CAP_FEEDERLOADED
  std::optional<bool> canHideUI;     // CAP_UICONTROLLABLE; none: "UNSUPPORTED"
};

// A setting the source refused or changed, with what it offers instead.
struct TSettingProblem {
  std::string setting;  // the member's name: "resolution", "colour", ...
  TOffer offered;
};

// One source as List_SCANNERS names it.
struct TScannerInfo {
  std::string id, name, manufacturer, productFamily;  // UTF-8
  bool isDefault = false;
};

}  // namespace skan
