#include "json.h"

#include "base/utf8.h"

#include <cstdint>

namespace skan {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  std::optional<TJsonValue> Document() {
    SkipSpace();
    TJsonValue v;
    if (!Value(v, 0)) return std::nullopt;
    SkipSpace();
    if (pos_ != s_.size()) return std::nullopt;
    return v;
  }

 private:
  bool AtEnd() const { return pos_ >= s_.size(); }
  unsigned char Peek() const { return static_cast<unsigned char>(s_[pos_]); }

  void SkipSpace() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r')) ++pos_;
  }

  bool Literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  bool Value(TJsonValue& v, int depth) {
    if (AtEnd()) return false;
    switch (Peek()) {
      case '{': return Object(v, depth + 1);
      case '[': return Array(v, depth + 1);
      case '"': v.kind = TJsonValue::Kind::String; return String(v.text);
      case 't': v.kind = TJsonValue::Kind::True; return Literal("true");
      case 'f': v.kind = TJsonValue::Kind::False; return Literal("false");
      case 'n': v.kind = TJsonValue::Kind::Null; return Literal("null");
      default: v.kind = TJsonValue::Kind::Number; return Number(v.text);
    }
  }

  bool Object(TJsonValue& v, int depth) {
    if (depth > kJsonMaxDepth) return false;
    v.kind = TJsonValue::Kind::Object;
    ++pos_;  // '{'
    SkipSpace();
    if (!AtEnd() && Peek() == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (AtEnd() || Peek() != '"') return false;
      std::string name;
      if (!String(name)) return false;
      SkipSpace();
      if (AtEnd() || Peek() != ':') return false;
      ++pos_;
      SkipSpace();
      TJsonValue member;
      if (!Value(member, depth)) return false;
      v.members.emplace_back(std::move(name), std::move(member));
      SkipSpace();
      if (AtEnd()) return false;
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == '}') {
        ++pos_;
        return true;
      }
      return false;
    }
  }

  bool Array(TJsonValue& v, int depth) {
    if (depth > kJsonMaxDepth) return false;
    v.kind = TJsonValue::Kind::Array;
    ++pos_;  // '['
    SkipSpace();
    if (!AtEnd() && Peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipSpace();
      TJsonValue item;
      if (!Value(item, depth)) return false;
      v.items.push_back(std::move(item));
      SkipSpace();
      if (AtEnd()) return false;
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == ']') {
        ++pos_;
        return true;
      }
      return false;
    }
  }

  bool Digits() {
    size_t start = pos_;
    while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++pos_;
    return pos_ > start;
  }

  bool Number(std::string& out) {
    size_t start = pos_;
    if (!AtEnd() && Peek() == '-') ++pos_;
    if (AtEnd()) return false;
    if (Peek() == '0') {
      ++pos_;
    } else if (!Digits()) {
      return false;
    }
    if (!AtEnd() && Peek() == '.') {
      ++pos_;
      if (!Digits()) return false;
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++pos_;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++pos_;
      if (!Digits()) return false;
    }
    out.assign(s_.substr(start, pos_ - start));
    return true;
  }

  bool Hex4(uint32_t& value) {
    if (s_.size() - pos_ < 4) return false;
    value = 0;
    for (int i = 0; i < 4; ++i) {
      unsigned char c = Peek();
      ++pos_;
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= c - '0';
      else if (c >= 'a' && c <= 'f')
        value |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        value |= c - 'A' + 10;
      else
        return false;
    }
    return true;
  }

  bool Escape(std::string& out) {
    if (AtEnd()) return false;
    unsigned char c = Peek();
    ++pos_;
    switch (c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    uint32_t cp;
    if (!Hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // lone low surrogate
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      uint32_t low;
      if (!Literal("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    base::AppendUtf8(out, cp);
    return true;
  }

  // One UTF-8 sequence, checked for overlong forms, surrogates and range.
  bool Utf8Char(std::string& out) {
    unsigned char c = Peek();
    int extra;
    uint32_t cp, min;
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++pos_;
      return true;
    }
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
      min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
      min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
      min = 0x10000;
    } else
      return false;
    if (s_.size() - pos_ < static_cast<size_t>(extra) + 1) return false;
    for (int i = 1; i <= extra; ++i) {
      unsigned char cc = static_cast<unsigned char>(s_[pos_ + i]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(s_.substr(pos_, extra + 1));
    pos_ += extra + 1;
    return true;
  }

  bool String(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      if (AtEnd()) return false;
      unsigned char c = Peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++pos_;
        if (!Escape(out)) return false;
      } else if (!Utf8Char(out)) {
        return false;
      }
    }
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

const TJsonValue* TJsonValue::Find(std::string_view name) const {
  for (const auto& [key, value] : members)
    if (key == name) return &value;
  return nullptr;
}

std::string TJsonValue::AsText() const {
  switch (kind) {
    case Kind::Null: return "null";
    case Kind::False: return "false";
    case Kind::True: return "true";
    case Kind::Number:
    case Kind::String: return text;
    case Kind::Array:
    case Kind::Object: return {};
  }
  return {};
}

std::optional<TJsonValue> ParseJson(std::string_view utf8) { return Parser(utf8).Document(); }

std::string MemberText(const TJsonValue& object, std::string_view name) {
  const TJsonValue* v = object.Find(name);
  return v ? v->AsText() : std::string();
}

}  // namespace skan
