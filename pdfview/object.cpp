#include "object.h"

namespace skan::pdfview {

namespace {
const TObject kNull;
const std::string kEmptyString;
const TArray kEmptyArray;
const TDict kEmptyDict;
}  // namespace

const TObject& TDict::Get(std::string_view key) const {
  for (const auto& [k, v] : items_)
    if (k == key) return v;
  return kNull;
}

bool TDict::Has(std::string_view key) const {
  for (const auto& item : items_)
    if (item.first == key) return true;
  return false;
}

void TDict::Set(std::string key, TObject value) {
  for (auto& [k, v] : items_)
    if (k == key) {
      v = std::move(value);
      return;
    }
  items_.emplace_back(std::move(key), std::move(value));
}

int64_t TObject::IntValue() const {
  if (IsInt()) return std::get<int64_t>(value_);
  if (std::holds_alternative<double>(value_)) {
    double d = std::get<double>(value_);
    // Saturate: a cast of an out-of-range double is undefined.
    if (!(d == d)) return 0;
    if (d >= 9.0e18) return INT64_MAX;
    if (d <= -9.0e18) return INT64_MIN;
    return static_cast<int64_t>(d);
  }
  return 0;
}

double TObject::Number() const {
  if (IsInt()) return static_cast<double>(std::get<int64_t>(value_));
  if (std::holds_alternative<double>(value_)) return std::get<double>(value_);
  return 0;
}

const std::string& TObject::StringValue() const { return IsString() ? std::get<std::string>(value_) : kEmptyString; }

const std::string& TObject::Name() const { return IsName() ? std::get<TName>(value_).text : kEmptyString; }

const TArray& TObject::ArrayValue() const {
  return IsArray() ? *std::get<std::shared_ptr<const TArray>>(value_) : kEmptyArray;
}

const TDict& TObject::DictValue() const {
  if (IsDict()) return *std::get<std::shared_ptr<const TDict>>(value_);
  if (IsStream()) return *std::get<std::shared_ptr<const TStream>>(value_)->dict;
  return kEmptyDict;
}

const TStream* TObject::StreamValue() const {
  return IsStream() ? std::get<std::shared_ptr<const TStream>>(value_).get() : nullptr;
}

}  // namespace skan::pdfview
