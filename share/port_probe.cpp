#include "share/port_probe.h"

#include <stdexcept>

namespace skan::share {

TPortChk::TPortChk() {
  OnExecute = [this](TContext& context) { OnExec(context); };
}

TPortChk::~TPortChk() {
  try {
    SetActive(false);
  } catch (...) {
  }
}

void TPortChk::OnExec(TContext&) {}

std::uint16_t FindAvailablePort(std::uint16_t First, std::uint16_t Count, const std::vector<TProbeAddress>& addresses) {
  TPortChk probe;
  std::uint16_t candidate = First;
  while (static_cast<unsigned>(candidate) - First < Count) {
    try {
      for (const TProbeAddress& a : addresses) {
        TSocketHandle& b = probe.Bindings().Add();
        b.IP = a.IP;
        b.IPVersion = a.IPVersion;
        b.Port = candidate;
      }
      probe.SetActive(true);
      probe.SetActive(false);
      return candidate;
    } catch (...) {
      // Busy: the failure itself is of no interest, only the next candidate.
      if (candidate == 0xFFFF) throw std::overflow_error("Integer overflow");
      ++candidate;
      probe.Bindings().Clear();
    }
  }
  return 0xFFFF;
}

}  // namespace skan::share
