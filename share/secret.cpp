#include "share/secret.h"

#include "share/text.h"

namespace skan::share {

std::string NewSecret() {
  unsigned char bytes[kSecretBytes];
  SystemRandom(bytes, sizeof bytes);
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * kSecretBytes);
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

bool BearerMatches(std::string_view authorization, std::string_view secret) {
  if (secret.empty()) return false;
  std::string_view a = Trim(authorization);
  constexpr std::string_view kScheme = "Bearer";
  if (a.size() <= kScheme.size() || !IEquals(a.substr(0, kScheme.size()), kScheme)) return false;
  if (a[kScheme.size()] != ' ' && a[kScheme.size()] != '\t') return false;
  const std::string_view token = Trim(a.substr(kScheme.size()));
  // The length of the secret is no secret; its bytes are compared in full.
  if (token.size() != secret.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < secret.size(); ++i)
    diff |= static_cast<unsigned char>(token[i]) ^ static_cast<unsigned char>(secret[i]);
  return diff == 0;
}

}  // namespace skan::share
