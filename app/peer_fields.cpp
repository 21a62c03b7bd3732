#include "peer_fields.h"

#include "ocr_languages.h"

namespace skan {

namespace {

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

bool IsIPv6Char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// A port of 1 to 65535 written with 1 to 5 digits.
bool IsPort(std::string_view p) {
  if (p.empty() || p.size() > 5) return false;
  unsigned value = 0;
  for (char c : p) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value >= 1 && value <= 65535;
}

}  // namespace

std::optional<std::string> ParseOrigin(std::string_view text) {
  if (text.size() > kOriginField.maxBytes) return std::nullopt;
  for (char c : text)
    if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) return std::nullopt;
  std::string_view rest;
  if (text.substr(0, 8) == "https://")
    rest = text.substr(8);
  else if (text.substr(0, 7) == "http://")
    rest = text.substr(7);
  else
    return std::nullopt;

  std::string_view host = rest, port;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos || close < 3) return std::nullopt;
    for (char c : rest.substr(1, close - 1))
      if (!IsIPv6Char(c)) return std::nullopt;
    host = rest.substr(0, close + 1);
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      if (!IsPort(port)) return std::nullopt;
    }
  } else {
    const size_t colon = rest.find(':');
    if (colon != std::string_view::npos) {
      host = rest.substr(0, colon);
      port = rest.substr(colon + 1);
      if (!IsPort(port)) return std::nullopt;
    }
    if (host.empty() || host.size() > 255) return std::nullopt;
    for (char c : host)
      if (!IsHostChar(c)) return std::nullopt;
  }
  return std::string(text);
}

std::optional<std::string> TakeLanguages(const TJsonValue& message, const std::string& dataFolder,
                                         const std::function<void(std::string_view line)>& log) {
  const TJsonValue* field = message.Find(kLanguagesField.name);
  if (!field) return std::string(ocr::kDefaultLanguages);
  if (field->kind != TJsonValue::Kind::String || field->text.size() > kLanguagesField.maxBytes) {
    log("languages refused: not a string of up to 64 bytes");
    return std::nullopt;
  }
  const std::string& text = field->text;
  if (text.empty()) {
    log("languages: none, no text recognition");
    return text;
  }
  if (!ocr::WellFormedLanguages(text)) {
    log("languages refused: not '+'-joined language codes");
    return std::nullopt;
  }
  if (!dataFolder.empty()) {
    const std::vector<std::string> missing = ocr::MissingLanguages(dataFolder, text);
    if (!missing.empty()) {
      log("languages refused: no model for \"" + missing.front() + "\"");
      return std::nullopt;
    }
  }
  log("languages: " + text);
  return text;
}

bool TakePeerFields(const TJsonValue& message, TPeerFields& fields,
                    const std::function<void(std::string_view line)>& log) {
  const bool first = !fields.firstTaken;
  fields.firstTaken = true;
  if (const TJsonValue* events = message.Find(kEventsField.name)) {
    if (!first) {
      log("events ignored: only the first message asks for them");
    } else if (events->kind == TJsonValue::Kind::True) {
      fields.events = true;
      log("events: on");
    } else if (events->kind != TJsonValue::Kind::False) {
      log("events ignored: not a boolean");
    }
  }
  const TJsonValue* origin = message.Find(kOriginField.name);
  if (!origin) return false;
  if (!first) {
    log("origin ignored: only the first message names it");
    return false;
  }
  std::optional<std::string> kept;
  if (origin->kind == TJsonValue::Kind::String) kept = ParseOrigin(origin->text);
  if (!kept) {
    log("origin ignored: not a well-formed origin");
    return false;
  }
  fields.origin = std::move(*kept);
  log("origin: " + *fields.origin);
  return true;
}

std::optional<bool> TakeCompactImages(const TJsonValue& message,
                                      const std::function<void(std::string_view line)>& log) {
  const TJsonValue* field = message.Find(kCompressionField.name);
  if (!field) return true;
  if (field->kind == TJsonValue::Kind::String && field->text == "compact") return true;
  if (field->kind == TJsonValue::Kind::String && field->text == "lossless") {
    log("compression: lossless");
    return false;
  }
  log("compression refused: not \"compact\" or \"lossless\"");
  return std::nullopt;
}

}  // namespace skan
