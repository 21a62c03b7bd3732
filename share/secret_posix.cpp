#include <sys/random.h>

#include <cerrno>

#include "share/errors.h"
#include "share/secret.h"

namespace skan::share {

void SystemRandom(void* buffer, std::size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t n = getrandom(p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw TShareException("The system's random number generator failed.");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace skan::share
