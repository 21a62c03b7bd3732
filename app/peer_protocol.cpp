#include "peer_protocol.h"

#include <cstdio>

namespace skan {

std::string InitScanReply(std::string_view scanId) {
  return std::string(R"({"POL":"Init_SCAN","Initscan_id": ")") + std::string(scanId) + R"("})";
}

std::string IfScanedReply(std::string_view status) {
  return std::string(R"({"POL":"IFSCANED","SCANED": ")") + std::string(status) + R"("})";
}

std::string EndReply() { return R"({"POL":"SCANEDqq","SCANED": "Pa Pa"})"; }

std::string UnknownCommandReply(std::string_view command) {
  return std::string(R"({"Nieznane polecenie ": ")") + JsonEscape(command) + R"(" })";
}

std::string PreparingMessage() {
  return R"({"Nieznane polecenie ": "Dokument zeskanowany, przygotowuję do wysyłki." })";
}

std::string HelloMessage() { return R"({"Czesc ": "1" })"; }

std::string SharedMessage(unsigned port) {
  return R"({"POL": "Shared_complite","port":")" + std::to_string(port) + R"(","filename":"scan.pdf" })";
}

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
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
          out += ch;
        }
    }
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
