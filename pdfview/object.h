// The PDF object model: null, booleans, numbers, strings, names, arrays,
// dictionaries, streams and indirect references. Objects are values; arrays,
// dictionaries and streams share their contents when copied.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace skan::pdfview {

struct TRef {
  uint32_t num = 0;
  uint32_t gen = 0;
  bool operator==(const TRef&) const = default;
};

class TObject;
using TArray = std::vector<TObject>;

class TDict {
 public:
  // The value of `key`, or a null object.
  const TObject& Get(std::string_view key) const;
  bool Has(std::string_view key) const;
  void Set(std::string key, TObject value);
  const std::vector<std::pair<std::string, TObject>>& Items() const { return items_; }

 private:
  std::vector<std::pair<std::string, TObject>> items_;
};

// A stream as found in the file: its dictionary and where its data starts.
struct TStream {
  std::shared_ptr<const TDict> dict;
  uint64_t offset = 0;
};

struct TName {
  std::string text;
};

class TObject {
 public:
  TObject() = default;
  static TObject Bool(bool v) { return TObject(Value(v)); }
  static TObject Int(int64_t v) { return TObject(Value(v)); }
  static TObject Real(double v) { return TObject(Value(v)); }
  static TObject String(std::string v) { return TObject(Value(std::move(v))); }
  static TObject Name(std::string v) { return TObject(Value(TName{std::move(v)})); }
  static TObject Array(TArray v) { return TObject(Value(std::make_shared<const TArray>(std::move(v)))); }
  static TObject Dict(TDict v) { return TObject(Value(std::make_shared<const TDict>(std::move(v)))); }
  static TObject Stream(TStream v) { return TObject(Value(std::make_shared<const TStream>(std::move(v)))); }
  static TObject Ref(TRef v) { return TObject(Value(v)); }

  bool IsNull() const { return value_.index() == 0; }
  bool IsBool() const { return std::holds_alternative<bool>(value_); }
  bool IsInt() const { return std::holds_alternative<int64_t>(value_); }
  bool IsNumber() const { return IsInt() || std::holds_alternative<double>(value_); }
  bool IsString() const { return std::holds_alternative<std::string>(value_); }
  bool IsName() const { return std::holds_alternative<TName>(value_); }
  bool IsName(std::string_view name) const { return IsName() && Name() == name; }
  bool IsArray() const { return std::holds_alternative<std::shared_ptr<const TArray>>(value_); }
  bool IsDict() const { return std::holds_alternative<std::shared_ptr<const TDict>>(value_); }
  bool IsStream() const { return std::holds_alternative<std::shared_ptr<const TStream>>(value_); }
  bool IsRef() const { return std::holds_alternative<TRef>(value_); }

  // Accessors return a neutral value (false, 0, empty) for another kind, so
  // callers check the kind only where it decides something.
  bool BoolValue() const { return IsBool() && std::get<bool>(value_); }
  int64_t IntValue() const;
  double Number() const;
  const std::string& StringValue() const;
  const std::string& Name() const;
  const TArray& ArrayValue() const;
  const TDict& DictValue() const;  // a stream's dictionary too
  const TStream* StreamValue() const;
  TRef RefValue() const { return IsRef() ? std::get<TRef>(value_) : TRef{}; }

 private:
  using Value = std::variant<std::monostate, bool, int64_t, double, std::string, TName, std::shared_ptr<const TArray>,
                             std::shared_ptr<const TDict>, std::shared_ptr<const TStream>, TRef>;
  explicit TObject(Value v) : value_(std::move(v)) {}
  Value value_;
};

}  // namespace skan::pdfview
