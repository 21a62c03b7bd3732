// "Confirm and send": shares the confirmed document over HTTP on a free
// loopback port with a fresh secret, and tells the peer the port and the
// secret. Only a request that presents the secret gets the document.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "share/http_server.h"
#include "share/snapshot.h"

namespace skan {

// What the share action needs from the main window.
struct TShareWindow {
  // A whole, consistent copy of `filename` (GUI thread).
  std::function<std::filesystem::path()> filename;
  // Sends a message body (UTF-8 JSON) to the peer.
  std::function<void(const std::string& utf8Body)> WriteMessage;
  // Appends a line to the log pane (GUI thread only).
  std::function<void(const std::wstring& line)> Log;
  // The window's `port` field.
  std::uint16_t* port = nullptr;
  // The shared document's id, added to message 7 when not empty (only a
  // peer that follows the events asks for it).
  std::function<std::string()> documentId;
};

class TShareAction {
 public:
  static constexpr std::uint16_t kFirstPort = 2025;
  static constexpr std::uint16_t kPortCount = 200;

  explicit TShareAction(TShareWindow window, std::uint16_t firstPort = kFirstPort,
                        std::uint16_t portCount = kPortCount);
  ~TShareAction();  // stops the server and waits for its threads

  // The click handler of ImageButton3 (GUI thread): copies the current file,
  // makes a new secret, starts the server unless it runs, and sends message
  // 7. Raises a std::runtime_error with UTF-8 text when the file cannot be
  // copied or the server cannot start; the peer is then told nothing.
  void ImageButton3Click();
  // Whether a request carries the current secret (connection threads).
  bool HTTPServer1HeadersAvailable(share::TContext& AContext, const share::THTTPRequestInfo& ARequestInfo);
  // The server's handler for HEAD, GET and POST (connection threads).
  void HTTPServer1CommandGet(share::TContext& AContext, share::THTTPRequestInfo& ARequestInfo,
                             share::THTTPResponseInfo& AResponseInfo);

  share::THTTPServer HTTPServer1;

 private:
  // What one Confirm shared: its secret and the copy of the document.
  struct TConfirmed {
    std::string secret;
    std::unique_ptr<share::TFileSnapshot> snapshot;
    std::filesystem::path shownAs;  // the confirmed file's own name
  };

  std::shared_ptr<const TConfirmed> Confirmed() const;
  void SendShared(const std::string& secret);

  TShareWindow window_;
  std::uint16_t firstPort_, portCount_;
  mutable std::mutex confirmedLock_;
  // Replaced by each Confirm; a request being served keeps its own.
  std::shared_ptr<const TConfirmed> confirmed_;
};

}  // namespace skan
