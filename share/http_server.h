// HTTP/1.1 server: reads one request per connection, checks it, hands HEAD,
// GET and POST to OnCommandGet, answers the rest by default, and closes.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <string>

#include "share/http_request.h"
#include "share/http_response.h"
#include "share/mime_table.h"
#include "share/tcp_server.h"

namespace skan::share {

// Limits of request reading, in one place.
// A line may hold this many bytes before its line feed (a CR included).
inline constexpr std::size_t kMaxLineLength = 16384;
// Header lines allowed before a request is refused; the server's default.
inline constexpr int kDefaultMaximumHeaderLineCount = 1024;
// Body bytes kept in memory; the rest is read and dropped, since nothing in
// the program looks at request bodies.
inline constexpr std::size_t kMaxKeptBodyBytes = 1024 * 1024;

class TCustomHTTPServer : public TCustomTCPServer {
 public:
  using TCommandEvent = std::function<void(TContext&, THTTPRequestInfo&, THTTPResponseInfo&)>;
  // Whether a request may go on once its header lines are read; a refused
  // one is answered "403 Forbidden" with an empty body and nothing else.
  using THeadersAvailableEvent = std::function<bool(TContext&, const THTTPRequestInfo&)>;

  TCustomHTTPServer();
  ~TCustomHTTPServer() override;

  bool KeepAlive = false;  // connections always close after one answer
  bool ParseParams = true;
  int MaximumHeaderLineCount = kDefaultMaximumHeaderLineCount;
  bool SessionState = false;
  bool AutoStartSession = false;
  int SessionTimeOut = 0;  // 0 turns session handling off at start
  std::string ServerSoftware;

  TCommandEvent OnCommandGet, OnCommandOther;
  THeadersAvailableEvent OnHeadersAvailable;

  TThreadSafeMimeTable& MIMETable() { return mimeTable_; }
  std::string GetFileMIMEType(std::string_view fileName) { return mimeTable_.GetFileMIMEType(fileName); }

  // Reads and answers one request on the context's connection, then closes
  // it; what a connection thread runs. Public for tests and the fuzzer.
  bool HandleConnection(TContext& context) { return DoExecute(context); }

 protected:
  bool DoExecute(TContext& context) override;
  void Startup() override;
  void Shutdown() override;

  virtual void DoCommandGet(TContext& context, THTTPRequestInfo& request, THTTPResponseInfo& response);
  virtual void DoCommandOther(TContext& context, THTTPRequestInfo& request, THTTPResponseInfo& response);
  virtual void DoCommandError(TContext&, THTTPRequestInfo&, THTTPResponseInfo&, const std::exception&) {}
  virtual bool DoHeadersAvailable(TContext& context, const THTTPRequestInfo& request) {
    return !OnHeadersAvailable || OnHeadersAvailable(context, request);
  }
  // Whether an "Expect" value is accepted: exactly "100-continue".
  virtual bool DoHeaderExpectations(TContext& context, const std::string& expectations);

 private:
  void ReadAndAnswer(TContext& context);

  TThreadSafeMimeTable mimeTable_;
};

class THTTPServer : public TCustomHTTPServer {
 public:
  ~THTTPServer() override;  // stops first, like every derived server
};

}  // namespace skan::share
