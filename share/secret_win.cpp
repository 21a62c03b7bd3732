#include <windows.h>
#include <bcrypt.h>

#include "share/errors.h"
#include "share/secret.h"

namespace skan::share {

void SystemRandom(void* buffer, std::size_t size) {
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(size),
                                      BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    throw TShareException("The system's random number generator failed.");
}

}  // namespace skan::share
