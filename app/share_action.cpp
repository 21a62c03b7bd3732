#include "app/share_action.h"

#include <cstdio>
#include <system_error>
#include <vector>

#include "share/errors.h"
#include "share/port_probe.h"

namespace skan {

std::string SharedMessage(std::uint16_t port) {
  char body[96];
  std::snprintf(body, sizeof body, "{\"POL\": \"%s\",\"port\":\"%u\",\"filename\":\"scan.pdf\" }", "Shared_complite",
                static_cast<unsigned>(port));
  return body;
}

TShareAction::TShareAction(TShareWindow window, std::uint16_t firstPort, std::uint16_t portCount)
    : window_(std::move(window)), firstPort_(firstPort), portCount_(portCount) {
  HTTPServer1.OnCommandGet = [this](share::TContext& c, share::THTTPRequestInfo& rq, share::THTTPResponseInfo& rs) {
    HTTPServer1CommandGet(c, rq, rs);
  };
}

TShareAction::~TShareAction() {
  try {
    HTTPServer1.SetActive(false);
  } catch (...) {
  }
}

void TShareAction::SendShared() {
  std::string body = SharedMessage(*window_.port);
  window_.WriteMessage(body);
  window_.Log(std::wstring(body.begin(), body.end()));  // the body is ASCII
}

void TShareAction::ImageButton3Click() {
  std::error_code ec;
  std::filesystem::path current = window_.filename();
  if (current.empty() || !std::filesystem::is_regular_file(current, ec)) return;

  if (HTTPServer1.Active()) {
    SendShared();
    return;
  }

  // The scanned documents are served to this machine only: loopback
  // addresses, the probe testing exactly the addresses the server binds.
  std::vector<share::TProbeAddress> addresses = {{"127.0.0.1", share::TIPVersion::Id_IPv4}};
  if (share::LoopbackIPv6Available()) addresses.push_back({"::1", share::TIPVersion::Id_IPv6});

  std::uint16_t found = share::FindAvailablePort(firstPort_, portCount_, addresses);
  if (found == 0xFFFF) {
    throw share::TShareException("No free port from " + std::to_string(firstPort_) + " to " +
                                 std::to_string(firstPort_ + portCount_ - 1) + ".");
  }
  *window_.port = found;

  HTTPServer1.AutoStartSession = true;
  HTTPServer1.SessionState = true;
  HTTPServer1.ParseParams = true;
  HTTPServer1.SetDefaultPort(found);
  HTTPServer1.Bindings().Clear();
  for (const share::TProbeAddress& a : addresses) {
    share::TSocketHandle& b = HTTPServer1.Bindings().Add();
    b.IP = a.IP;
    b.IPVersion = a.IPVersion;
  }
  // The peer is told the port only once the server listens on it.
  HTTPServer1.SetActive(true);
  SendShared();
}

void TShareAction::HTTPServer1CommandGet(share::TContext& AContext, share::THTTPRequestInfo&,
                                         share::THTTPResponseInfo& AResponseInfo) {
  AResponseInfo.CustomHeaders.push_back("Access-Control-Allow-Origin: *");
  AResponseInfo.CustomHeaders.push_back("Access-Control-Allow-Methods: GET, POST, PUT, DELETE");
  AResponseInfo.CustomHeaders.push_back("Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept");
  AResponseInfo.ServeFile(AContext, window_.filename());
}

}  // namespace skan
