// The secret that lets one reader fetch a shared document: 256 bits from the
// system's cryptographic generator, written as 64 lower-case hex digits and
// presented as "Authorization: Bearer <secret>".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace skan::share {

inline constexpr std::size_t kSecretBytes = 32;

// Fills `buffer` from the system's cryptographic generator (BCryptGenRandom,
// getrandom); raises TShareException when the generator fails.
void SystemRandom(void* buffer, std::size_t size);

// A fresh secret: kSecretBytes random bytes as 2 * kSecretBytes hex digits.
std::string NewSecret();

// Whether an Authorization header value is "Bearer <secret>" for `secret`
// (the scheme's case ignored, blanks around the token allowed). The token is
// compared in time that does not depend on where it differs. An empty
// secret matches nothing.
bool BearerMatches(std::string_view authorization, std::string_view secret);

}  // namespace skan::share
