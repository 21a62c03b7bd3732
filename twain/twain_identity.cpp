#include "twain_identity.h"

#include <cstring>

#include "base/encoding.h"
#include "twain_platform.h"

namespace skan::twain {

TTwainIdentity::TTwainIdentity() {
  Structure_.Version.Language = 0xFFFF;
  Structure_.Version.Country = TWCY_USA;
  Structure_.Version.MajorNum = 1;
  SetVersionInfo(L"Application name");
  Structure_.ProtocolMajor = TWON_PROTOCOLMAJOR;
  Structure_.ProtocolMinor = TWON_PROTOCOLMINOR;
  SetGroups({tgControl, tgImage});
  SetManufacturer(L"Application manufacturer");
  SetProductFamily(L"App product family");
  SetProductName(L"App product name");
}

TTwainGroups TTwainIdentity::Groups() const {
  const TW_UINT32 g = Structure_.SupportedGroups;
  if (g & DG_IMAGE && g & DG_AUDIO) return {tgControl, tgImage, tgAudio};
  if (g & DG_IMAGE) return {tgControl, tgImage};
  if (g & DG_AUDIO) return {tgControl, tgAudio};
  return {tgControl};
}

void TTwainIdentity::SetGroups(TTwainGroups groups) {
  Structure_.SupportedGroups = DG_CONTROL;
  if (groups.Contains(tgImage)) Structure_.SupportedGroups |= DG_IMAGE;
  if (groups.Contains(tgAudio)) Structure_.SupportedGroups |= DG_AUDIO;
}

void TTwainIdentity::Assign(const TTwainObject* source) {
  if (auto* identity = dynamic_cast<const TTwainIdentity*>(source))
    std::memcpy(&Structure_, &identity->Structure_, sizeof Structure_);
}

std::wstring TTwainIdentity::GetString(const TW_STR32& field) {
  // At most the whole field, up to the first zero byte.
  return base::FromAnsi(std::string_view(field, strnlen(field, sizeof field)));
}

void TTwainIdentity::SetString(TW_STR32& field, std::wstring_view text) {
  std::memset(field, 0, sizeof field);
  const std::string ansi = base::ToAnsi(text);
  std::memcpy(field, ansi.data(), std::min<size_t>(ansi.size(), 32));
}

}  // namespace skan::twain
