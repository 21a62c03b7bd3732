// A raw loopback client for server tests: sends bytes, reads until the server
// closes, and splits an HTTP answer into its parts.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "share/socket.h"

namespace skan::share {

class TRawClient {
 public:
  bool Connect(std::uint16_t port, const std::string& ip = "127.0.0.1", TIPVersion version = TIPVersion::Id_IPv4) {
    SocketStartup();
    socket_ = OpenStreamSocket(version);
    return socket_ && ConnectSocket(socket_.get(), version, ip, port);
  }
  bool Send(std::string_view bytes) { return SendAll(socket_.get(), bytes.data(), bytes.size()); }
  // Reads until the server closes or timeoutMs pass without data; closed()
  // tells which.
  std::string ReadAll(int timeoutMs = 10000) {
    std::string out;
    char buf[65536];
    for (;;) {
      if (WaitReadable(socket_.get(), timeoutMs) <= 0) return out;
      long n = RecvSome(socket_.get(), buf, sizeof buf);
      if (n <= 0) {
        closed_ = true;
        return out;
      }
      out.append(buf, static_cast<std::size_t>(n));
    }
  }
  // Reads until `marker` has arrived (or the timeout).
  std::string ReadUntil(std::string_view marker, int timeoutMs = 10000) {
    std::string out;
    char c;
    while (out.find(marker) == std::string::npos) {
      if (WaitReadable(socket_.get(), timeoutMs) <= 0) break;
      if (RecvSome(socket_.get(), &c, 1) <= 0) {
        closed_ = true;
        break;
      }
      out += c;
    }
    return out;
  }
  bool Closed() const { return closed_; }
  void Close() { socket_.reset(); }
  socket_t Handle() const { return socket_.get(); }

 private:
  TUniqueSocket socket_;
  bool closed_ = false;
};

struct THttpAnswer {
  bool received = false;  // anything at all came back
  bool closed = false;    // the server closed the connection
  int status = 0;
  std::string statusLine;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  std::string Header(std::string_view name) const {
    for (const auto& h : headers)
      if (h.first == name) return h.second;
    return {};
  }
  bool HasHeader(std::string_view name) const {
    for (const auto& h : headers)
      if (h.first == name) return true;
    return false;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> n;
    for (const auto& h : headers) n.push_back(h.first);
    return n;
  }
};

inline THttpAnswer ParseAnswer(const std::string& raw, bool closed) {
  THttpAnswer a;
  a.closed = closed;
  a.received = !raw.empty();
  std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) return a;
  std::string head = raw.substr(0, end);
  a.body = raw.substr(end + 4);
  std::size_t pos = 0;
  bool first = true;
  while (pos <= head.size()) {
    std::size_t eol = head.find("\r\n", pos);
    std::string line = head.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
    if (first) {
      a.statusLine = line;
      if (line.size() >= 12) a.status = std::stoi(line.substr(9, 3));
      first = false;
    } else {
      std::size_t colon = line.find(": ");
      a.headers.emplace_back(line.substr(0, colon), colon == std::string::npos ? "" : line.substr(colon + 2));
    }
    if (eol == std::string::npos) break;
    pos = eol + 2;
  }
  return a;
}

// One request on a fresh connection; the answer as the server sent it.
inline THttpAnswer Exchange(std::uint16_t port, std::string_view request, const std::string& ip = "127.0.0.1",
                            TIPVersion version = TIPVersion::Id_IPv4) {
  TRawClient c;
  if (!c.Connect(port, ip, version)) return {};
  c.Send(request);
  std::string raw = c.ReadAll();
  return ParseAnswer(raw, c.Closed());
}

// Connects every client and returns how many connected, paced to the server:
// a full listen queue drops a client's handshake, which then waits a second
// for its retry. `accepted()` tells how many connections the server holds; a
// server that stops taking them ends the pacing, not the caller's time.
template <class Accepted>
std::size_t ConnectPaced(std::vector<TRawClient>& clients, std::uint16_t port, Accepted accepted) {
  std::size_t connected = 0;
  bool paced = true;
  for (auto& c : clients) {
    connected += c.Connect(port) ? 1 : 0;
    int wait = 0;
    for (; paced && wait < 1000 && connected > accepted() + 8; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    paced = paced && wait < 1000;
  }
  return connected;
}

inline void WriteFileBytes(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A folder of its own under the system's temporary folder, removed at the end.
class TTempDir {
 public:
  TTempDir() {
    static int counter = 0;
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("share-test-" + std::to_string(stamp) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Holds a listening socket on 127.0.0.1:port (0: any); Port() tells which.
class THeldPort {
 public:
  bool Hold(std::uint16_t port, const std::string& ip = "127.0.0.1", TIPVersion version = TIPVersion::Id_IPv4) {
    SocketStartup();
    socket_ = OpenStreamSocket(version);
    int error = 0;
    if (!socket_ || !BindSocket(socket_.get(), version, ip, port, error) || !ListenSocket(socket_.get(), 5)) {
      socket_.reset();
      return false;
    }
    port_ = LocalPort(socket_.get());
    return true;
  }
  std::uint16_t Port() const { return port_; }
  void Release() { socket_.reset(); }

 private:
  TUniqueSocket socket_;
  std::uint16_t port_ = 0;
};

}  // namespace skan::share
