// "Confirm and send": shares the window's current file over HTTP on a free
// loopback port and tells the peer the port.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "share/http_server.h"

namespace skan {

// What the share action needs from the main window.
struct TShareWindow {
  // A whole, consistent copy of `filename`; called from connection threads.
  std::function<std::filesystem::path()> filename;
  // Sends a message body (UTF-8 JSON) to the peer.
  std::function<void(const std::string& utf8Body)> WriteMessage;
  // Appends a line to the log pane (GUI thread only).
  std::function<void(const std::wstring& line)> Log;
  // The window's `port` field.
  std::uint16_t* port = nullptr;
};

// Message 7: {"POL": "Shared_complite","port":"2025","filename":"scan.pdf" }
std::string SharedMessage(std::uint16_t port);

class TShareAction {
 public:
  static constexpr std::uint16_t kFirstPort = 2025;
  static constexpr std::uint16_t kPortCount = 200;

  explicit TShareAction(TShareWindow window, std::uint16_t firstPort = kFirstPort,
                        std::uint16_t portCount = kPortCount);
  ~TShareAction();  // stops the server and waits for its threads

  // The click handler of ImageButton3 (GUI thread). Raises a
  // std::runtime_error with UTF-8 text when the server cannot start.
  void ImageButton3Click();
  // The server's handler for HEAD, GET and POST (connection threads).
  void HTTPServer1CommandGet(share::TContext& AContext, share::THTTPRequestInfo& ARequestInfo,
                             share::THTTPResponseInfo& AResponseInfo);

  share::THTTPServer HTTPServer1;

 private:
  void SendShared();

  TShareWindow window_;
  std::uint16_t firstPort_, portCount_;
};

}  // namespace skan
