#include "app/share_action.h"

#include <system_error>
#include <vector>

#include "app/peer_protocol.h"
#include "base/encoding.h"
#include "share/errors.h"
#include "share/port_probe.h"
#include "share/secret.h"

namespace skan {

TShareAction::TShareAction(TShareWindow window, std::uint16_t firstPort, std::uint16_t portCount)
    : window_(std::move(window)), firstPort_(firstPort), portCount_(portCount) {
  HTTPServer1.OnHeadersAvailable = [this](share::TContext& c, const share::THTTPRequestInfo& rq) {
    return HTTPServer1HeadersAvailable(c, rq);
  };
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

std::shared_ptr<const TShareAction::TConfirmed> TShareAction::Confirmed() const {
  std::lock_guard lock(confirmedLock_);
  return confirmed_;
}

void TShareAction::SendShared(const std::string& secret) {
  const std::string document = window_.documentId ? window_.documentId() : std::string();
  window_.WriteMessage(document.empty() ? SharedMessage(*window_.port, secret)
                                        : SharedMessageWithDocument(*window_.port, secret, document));
  // The secret is for the peer alone: the log shows the message without it.
  window_.Log(base::Widen(SharedMessageForLog(*window_.port)));
}

void TShareAction::ImageButton3Click() {
  std::error_code ec;
  std::filesystem::path current = window_.filename();
  if (current.empty() || !std::filesystem::is_regular_file(current, ec)) return;

  // What is served from now on is this copy, whatever happens to the file.
  auto confirmed = std::make_shared<TConfirmed>();
  confirmed->snapshot = std::make_unique<share::TFileSnapshot>(current);
  confirmed->secret = share::NewSecret();
  confirmed->shownAs = current;

  if (HTTPServer1.Active()) {
    {
      std::lock_guard lock(confirmedLock_);
      confirmed_ = confirmed;
    }
    SendShared(confirmed->secret);
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
  {
    std::lock_guard lock(confirmedLock_);
    confirmed_ = confirmed;
  }
  // The peer is told the port only once the server listens on it.
  HTTPServer1.SetActive(true);
  SendShared(confirmed->secret);
}

bool TShareAction::HTTPServer1HeadersAvailable(share::TContext&, const share::THTTPRequestInfo& ARequestInfo) {
  const std::shared_ptr<const TConfirmed> confirmed = Confirmed();
  return confirmed && share::BearerMatches(ARequestInfo.Header("Authorization"), confirmed->secret);
}

void TShareAction::HTTPServer1CommandGet(share::TContext& AContext, share::THTTPRequestInfo& ARequestInfo,
                                         share::THTTPResponseInfo& AResponseInfo) {
  // Checked again against the copy about to be served: a Confirm may have
  // come between the header check and this.
  const std::shared_ptr<const TConfirmed> confirmed = Confirmed();
  if (!confirmed || !share::BearerMatches(ARequestInfo.Header("Authorization"), confirmed->secret)) {
    AResponseInfo.SetResponseNo(403);
    AResponseInfo.ContentLength = 0;
    return;
  }
  AResponseInfo.CustomHeaders.push_back("Access-Control-Allow-Origin: *");
  AResponseInfo.CustomHeaders.push_back("Access-Control-Allow-Methods: GET, POST, PUT, DELETE");
  AResponseInfo.CustomHeaders.push_back("Access-Control-Allow-Headers: Origin, X-Requested-With, Content-Type, Accept");
  AResponseInfo.ServeFile(AContext, confirmed->snapshot->Path(), confirmed->shownAs);
}

}  // namespace skan
