// Failures raised by the share server. All carry UTF-8 text in what(), so the
// GUI's message box can show them as they are.
#pragma once

#include <stdexcept>
#include <string>

namespace skan::share {

class TShareException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure of the system's socket interface; Code() is the system's error
// number (WSAGetLastError on Windows, errno elsewhere), 0 when there is none.
class TSocketException : public TShareException {
 public:
  TSocketException(const std::string& text, int code) : TShareException(text), code_(code) {}
  int Code() const noexcept { return code_; }

 private:
  int code_;
};

// The peer closed its side, or the connection was closed locally: ends a
// connection quietly.
class TConnClosedGracefully : public TSocketException {
 public:
  TConnClosedGracefully() : TSocketException("Connection Closed Gracefully.", 0) {}
};

// "Could not bind socket." with the system's error as its cause.
class TCouldNotBindSocket : public TSocketException {
 public:
  explicit TCouldNotBindSocket(int code) : TSocketException("Could not bind socket.", code) {}
};

// "Unsupported authorization scheme." turns into a "401" answer.
class TUnsupportedAuthScheme : public TShareException {
 public:
  TUnsupportedAuthScheme() : TShareException("Unsupported authorization scheme.") {}
};

}  // namespace skan::share
