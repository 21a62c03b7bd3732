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
