// Free-port probe: finds the first port that a server can bind on given addresses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "share/tcp_server.h"

namespace skan::share {

// A throw-away TCP server used only to test whether a port can be bound.
class TPortChk : public TTCPServer {
 public:
  TPortChk();
  ~TPortChk() override;
  void OnExec(TContext& context);
};

struct TProbeAddress {
  std::string IP;
  TIPVersion IPVersion = TIPVersion::Id_IPv4;
};

// Tries ports First, First + 1, ... (Count of them) by starting and stopping a
// probe bound to every address of `addresses` on that port, and returns the
// first one where that worked, or 65535 when none did. A busy candidate of
// 65535 raises std::overflow_error instead of wrapping to port 0.
std::uint16_t FindAvailablePort(std::uint16_t First, std::uint16_t Count,
                                const std::vector<TProbeAddress>& addresses = {{"127.0.0.1", TIPVersion::Id_IPv4}});

}  // namespace skan::share
