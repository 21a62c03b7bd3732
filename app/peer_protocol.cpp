#include "peer_protocol.h"

#include <algorithm>
#include <cstdio>

namespace skan {

std::string InitScanReply(std::string_view scanId) {
  return std::string(R"({"POL":"Init_SCAN","Initscan_id": ")") + std::string(scanId) + R"("})";
}

std::string IfScanedReply(std::string_view status) {
  return std::string(R"({"POL":"IFSCANED","SCANED": ")") + std::string(status) + R"("})";
}

std::string EndReply() { return R"({"POL":"SCANEDqq","SCANED": "Pa Pa"})"; }

namespace {

constexpr std::string_view kUnknownHead = R"({"Nieznane polecenie ": ")";
constexpr std::string_view kUnknownTail = R"(" })";

// The escaped form of one byte, or the byte itself.
void AppendEscaped(std::string& out, unsigned char c) {
  switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\b': out += "\\b"; break;
    case '\f': out += "\\f"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    default:
      if (c < 0x20) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
      } else {
        out += static_cast<char>(c);
      }
  }
}

// Bytes of the UTF-8 sequence a lead byte starts; 1 for anything else.
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  return 1;
}

}  // namespace

std::string UnknownCommandReply(std::string_view command) {
  std::string out(kUnknownHead);
  out += JsonEscapeCut(command, kMaxReplyBody - kUnknownHead.size() - kUnknownTail.size());
  out += kUnknownTail;
  return out;
}

std::string PreparingMessage() {
  return R"({"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." })";
}

std::string PartMessage() { return R"({"Czesc ": "1" })"; }

std::string SharedMessage(std::uint16_t port, std::string_view secret) {
  return R"({"POL": "Shared_complite","port":")" + std::to_string(port) + R"(","filename":"scan.pdf","secret":")" +
         std::string(secret) + R"(" })";
}

std::string SharedMessageForLog(std::uint16_t port) { return SharedMessage(port, "\u2026"); }

std::string JsonEscape(std::string_view text) { return JsonEscapeCut(text, std::string_view::npos); }

std::string JsonEscapeCut(std::string_view text, std::size_t maxBytes) {
  std::string out;
  out.reserve(std::min(text.size(), maxBytes));
  std::string piece;
  for (size_t i = 0; i < text.size();) {
    const size_t n = std::min(SequenceLength(static_cast<unsigned char>(text[i])), text.size() - i);
    piece.clear();
    for (size_t k = 0; k < n; ++k) AppendEscaped(piece, static_cast<unsigned char>(text[i + k]));
    if (piece.size() > maxBytes - out.size()) break;
    out += piece;
    i += n;
  }
  return out;
}

bool CommandIs(std::string_view text, std::string_view command) {
  if (text.size() != command.size()) return false;
  auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < text.size(); ++i)
    if (lower(text[i]) != lower(command[i])) return false;
  return true;
}

std::string FormatScanId(const TLocalTime& t) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04d_%02d_%02d_%02d_%02d_%02d_%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return buf;
}

}  // namespace skan

namespace skan {

namespace {

std::string Quoted(std::string_view text) { return "\"" + JsonEscape(text) + "\""; }

// A failure's reason is a system's message or a file name: long enough.
constexpr std::size_t kMaxReasonBytes = 4096;

std::string Item(const TOffer& offer, const std::string& value) {
  return offer.kind == TOffer::Kind::Name ? Quoted(value) : value;
}

// {"current":..,"default":..,"values":[..]} or with min, max and step for a
// range; "UNSUPPORTED" when the source answers nothing.
// `extra`: more members, already JSON.
std::string OfferJson(const TOffer& offer, std::string_view extra = {}) {
  if (!offer.supported) return R"("UNSUPPORTED")";
  std::string out = "{";
  auto add = [&out](std::string_view name, const std::string& value) {
    if (out.size() > 1) out += ",";
    out += Quoted(name) + ":" + value;
  };
  if (!offer.current.empty()) add("current", Item(offer, offer.current));
  if (!offer.defaultValue.empty()) add("default", Item(offer, offer.defaultValue));
  if (offer.range) {
    add("min", offer.min.empty() ? "null" : offer.min);
    add("max", offer.max.empty() ? "null" : offer.max);
    add("step", offer.step.empty() ? "null" : offer.step);
  } else {
    std::string values = "[";
    for (const auto& v : offer.values) {
      if (values.size() > 1) values += ",";
      values += Item(offer, v);
    }
    add("values", values + "]");
  }
  if (!extra.empty()) out += "," + std::string(extra);
  return out + "}";
}

// What a refused setting's error offers: the list, or the range's bounds.
std::string OfferedJson(const TOffer& offer) {
  if (!offer.supported) return "[]";
  if (offer.range)
    return R"({"min":)" + (offer.min.empty() ? "null" : offer.min) + R"(,"max":)" +
           (offer.max.empty() ? "null" : offer.max) + R"(,"step":)" + (offer.step.empty() ? "null" : offer.step) + "}";
  std::string out = "[";
  for (const auto& v : offer.values) {
    if (out.size() > 1) out += ",";
    out += Item(offer, v);
  }
  return out + "]";
}

std::string ErrorJson(const TPeerError& error) {
  return R"({"code":)" + Quoted(error.code) + R"(,"message":)" + Quoted(error.message) +
         (error.details.empty() ? "" : "," + error.details) + "}";
}

}  // namespace

TPeerError InvalidArgumentError(std::string_view field) {
  return {"INVALID_ARGUMENT", "Nieprawidłowa wartość pola " + std::string(field) + ".", R"("field":)" + Quoted(field)};
}

TPeerError UnsupportedSettingError(const TSettingProblem& problem) {
  return {"UNSUPPORTED_SETTING", "Skaner nie obsługuje tego ustawienia: " + problem.setting + ".",
          R"("setting":)" + Quoted(problem.setting) + R"(,"offered":)" + OfferedJson(problem.offered)};
}

TPeerError NoScannerError(std::string_view scanner) {
  return {
      "NO_SCANNER",
      scanner.empty() ? std::string("Nie znaleziono skanera.") : "Nie znaleziono skanera " + std::string(scanner) + ".",
      scanner.empty() ? std::string() : R"("scanner":)" + Quoted(scanner)};
}

TPeerError ScannerBusyError() { return {"SCANNER_BUSY", "Skaner jest zajęty: trwa skanowanie.", {}}; }

TPeerError NoRequestError() { return {"NO_REQUEST", "Najpierw trzeba otworzyć żądanie skanowania (Init_SCAN).", {}}; }

std::string InitScanErrorReply(const TPeerError& error) {
  return R"({"POL":"Init_SCAN","Initscan_id":"","error":)" + ErrorJson(error) + "}";
}

std::string CommandErrorReply(std::string_view command, std::string_view members, const TPeerError& error) {
  return R"({"POL":)" + Quoted(command) + (members.empty() ? "" : "," + std::string(members)) + R"(,"error":)" +
         ErrorJson(error) + "}";
}

std::string ListScannersReply(const std::vector<TScannerInfo>& scanners) {
  std::string out = R"({"POL":"List_SCANNERS","scanners":[)";
  for (size_t i = 0; i < scanners.size(); ++i) {
    const TScannerInfo& s = scanners[i];
    if (i) out += ",";
    out += R"({"id":)" + Quoted(s.id) + R"(,"name":)" + Quoted(s.name) + R"(,"manufacturer":)" +
           Quoted(s.manufacturer) + R"(,"productFamily":)" + Quoted(s.productFamily) + R"(,"isDefault":)" +
           (s.isDefault ? "true" : "false") + "}";
  }
  return out + "]}";
}

std::string ScannerCapsReply(std::string_view scanner, const TScannerCaps& caps) {
  std::string source = caps.feederLoaded ? OfferJson(caps.source, *caps.feederLoaded ? R"("feederLoaded":true)"
                                                                                     : R"("feederLoaded":false)")
                                         : OfferJson(caps.source);
  const std::string ui = caps.canHideUI ? (*caps.canHideUI ? R"({"canHide":true})" : R"({"canHide":false})")
                                        : std::string(R"("UNSUPPORTED")");
  return R"({"POL":"Caps_SCANNER","scanner":)" + Quoted(scanner) + R"(,"capabilities":{"resolution":)" +
         OfferJson(caps.resolution) + R"(,"colour":)" + OfferJson(caps.colour) + R"(,"duplex":)" +
         OfferJson(caps.duplex) + R"(,"source":)" + source + R"(,"paperSize":)" + OfferJson(caps.paperSize) +
         R"(,"showScannerUI":)" + ui + "}}";
}

std::string StartScanReply() { return R"({"POL":"Start_SCAN","started":true})"; }

std::string CancelScanReply(bool cancelled) {
  return std::string(R"({"POL":"Cancel_SCAN","cancelled":)") + (cancelled ? "true" : "false") + "}";
}

std::string StatusEvent(std::string_view status) {
  return R"({"POL":"Event","event":"status","status":)" + Quoted(status) + "}";
}

std::string PageEvent(const TPageEvent& p) {
  return R"({"POL":"Event","event":"page","page":)" + std::to_string(p.page) + R"(,"pixelWidth":)" +
         std::to_string(p.pixelWidth) + R"(,"pixelHeight":)" + std::to_string(p.pixelHeight) + R"(,"dpi":)" +
         std::to_string(p.dpi) + R"(,"colour":)" + Quoted(p.colour) + R"(,"thumbnail":)" + Quoted(p.thumbnail) + "}";
}

std::string ScannedEvent(int pages, std::string_view outcome, std::string_view reason, std::string_view document) {
  std::string out =
      R"({"POL":"Event","event":"scanned","pages":)" + std::to_string(pages) + R"(,"outcome":)" + Quoted(outcome);
  if (outcome != "done") out += R"(,"reason":")" + JsonEscapeCut(reason, kMaxReasonBytes) + "\"";
  if (outcome == "done" && !document.empty()) out += R"(,"document":)" + Quoted(document);
  return out + "}";
}

std::string SharedMessageWithDocument(std::uint16_t port, std::string_view secret, std::string_view document) {
  return R"({"POL": "Shared_complite","port":")" + std::to_string(port) + R"(","filename":"scan.pdf","secret":")" +
         std::string(secret) + R"(","document":)" + Quoted(document) + " }";
}

std::string DocumentId(const unsigned char (&random)[16]) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id = "d";
  for (unsigned char b : random) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  return id;
}

}  // namespace skan
