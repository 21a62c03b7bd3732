// A small strict JSON reader (RFC 8259) for the peer's commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skan {

struct TJsonValue {
  enum class Kind { Null, False, True, Number, String, Array, Object };

  Kind kind = Kind::Null;
  std::string text;                                         // String: decoded UTF-8; Number: the literal as written
  std::vector<TJsonValue> items;                            // Array
  std::vector<std::pair<std::string, TJsonValue>> members;  // Object, in order

  bool IsObject() const { return kind == Kind::Object; }

  // First member with exactly this name, or null.
  const TJsonValue* Find(std::string_view name) const;

  // The value as command text: a string's characters, "null", "true",
  // "false", a number's literal, or empty text for an object or an array.
  std::string AsText() const;
};

// Nesting deeper than this is refused rather than risking the stack on
// hostile input; real commands are one level deep.
inline constexpr int kJsonMaxDepth = 256;

// Parses one JSON value from UTF-8 text. White space may surround it; any
// other byte before or after it, invalid UTF-8, or bad syntax gives nullopt.
std::optional<TJsonValue> ParseJson(std::string_view utf8);

// Text of member `name`, or empty text when the object has no such member.
std::string MemberText(const TJsonValue& object, std::string_view name);

}  // namespace skan
