// The identity record every TWAIN call carries, wrapped with typed access.
#pragma once

#include <cstdint>
#include <string>

#include "twain.h"

namespace skan::twain {

// Root of the layer's objects; the Sender of every event.
class TTwainObject {
 public:
  virtual ~TTwainObject() = default;
};

enum TTwainGroup { tgControl, tgImage, tgAudio };

// A set of TTwainGroup values.
class TTwainGroups {
 public:
  constexpr TTwainGroups() = default;
  constexpr TTwainGroups(std::initializer_list<TTwainGroup> groups) {
    for (TTwainGroup g : groups) bits_ |= 1u << g;
  }
  constexpr bool Contains(TTwainGroup g) const { return (bits_ >> g) & 1u; }
  constexpr bool operator==(const TTwainGroups&) const = default;

 private:
  unsigned bits_ = 0;
};

class TTwainIdentity : public TTwainObject {
 public:
  TTwainIdentity();

  uint16_t MajorVersion() const { return Structure_.Version.MajorNum; }
  void SetMajorVersion(uint16_t v) { Structure_.Version.MajorNum = v; }
  uint16_t MinorVersion() const { return Structure_.Version.MinorNum; }
  void SetMinorVersion(uint16_t v) { Structure_.Version.MinorNum = v; }
  uint16_t CountryCode() const { return Structure_.Version.Country; }
  void SetCountryCode(uint16_t v) { Structure_.Version.Country = v; }
  TTwainGroups Groups() const;
  void SetGroups(TTwainGroups groups);
  std::wstring VersionInfo() const { return GetString(Structure_.Version.Info); }
  void SetVersionInfo(std::wstring_view v) { SetString(Structure_.Version.Info, v); }
  std::wstring Manufacturer() const { return GetString(Structure_.Manufacturer); }
  void SetManufacturer(std::wstring_view v) { SetString(Structure_.Manufacturer, v); }
  std::wstring ProductFamily() const { return GetString(Structure_.ProductFamily); }
  void SetProductFamily(std::wstring_view v) { SetString(Structure_.ProductFamily, v); }
  std::wstring ProductName() const { return GetString(Structure_.ProductName); }
  void SetProductName(std::wstring_view v) { SetString(Structure_.ProductName, v); }

  // Copies the whole record when source is an identity; otherwise nothing.
  void Assign(const TTwainObject* source);

  TW_IDENTITY* GetStructure() { return &Structure_; }
  const TW_IDENTITY* GetStructure() const { return &Structure_; }

 protected:
  static std::wstring GetString(const TW_STR32& field);
  static void SetString(TW_STR32& field, std::wstring_view text);

  TW_IDENTITY Structure_{};
};

}  // namespace skan::twain
