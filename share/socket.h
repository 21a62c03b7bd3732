// The socket layer: a handful of functions over Windows Sockets 2 on Windows
// and BSD sockets elsewhere. Everything above it is platform-neutral.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

namespace skan::share {

#ifdef _WIN32
using socket_t = std::uintptr_t;  // SOCKET
inline constexpr socket_t kInvalidSocket = ~socket_t{0};
#else
using socket_t = int;
inline constexpr socket_t kInvalidSocket = -1;
#endif

enum class TIPVersion { Id_IPv4, Id_IPv6 };

// Loads and initialises the system's socket library once per process; throws
// TSocketException when that fails. Every other function here assumes it ran.
void SocketStartup();

int LastSocketError();
std::string SocketErrorText(int code);

// Error numbers that mean "the connection is gone" rather than a fault.
bool IsConnectionGoneError(int code);

// Move-only owner of one socket.
class TUniqueSocket {
 public:
  TUniqueSocket() = default;
  explicit TUniqueSocket(socket_t s) : s_(s) {}
  TUniqueSocket(TUniqueSocket&& o) noexcept : s_(o.release()) {}
  TUniqueSocket& operator=(TUniqueSocket&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  TUniqueSocket(const TUniqueSocket&) = delete;
  TUniqueSocket& operator=(const TUniqueSocket&) = delete;
  ~TUniqueSocket() { reset(); }

  socket_t get() const noexcept { return s_; }
  explicit operator bool() const noexcept { return s_ != kInvalidSocket; }
  socket_t release() noexcept { return std::exchange(s_, kInvalidSocket); }
  // Closes the socket it holds; keeps the thread's last socket error intact.
  void reset(socket_t s = kInvalidSocket) noexcept;

 private:
  socket_t s_ = kInvalidSocket;
};

// A blocking stream socket of the family, or an invalid one (see LastSocketError).
TUniqueSocket OpenStreamSocket(TIPVersion version);
bool SetReuseAddress(socket_t s, bool on);
// Keeps an IPv6 socket off IPv4 traffic, so IPv4 and IPv6 wildcard bindings of
// one port can coexist as they do on Windows by default.
bool SetIPv6Only(socket_t s);
// ip: dotted or colon text, or empty for the family's wildcard address.
// Returns false with the system's error, or with EINVAL for text that is no address.
bool BindSocket(socket_t s, TIPVersion version, const std::string& ip, std::uint16_t port, int& error);
std::uint16_t LocalPort(socket_t s);
bool ListenSocket(socket_t s, int backlog);
bool SetNonBlocking(socket_t s, bool on);
// 1 when readable, 0 after timeoutMs without data, -1 on an error.
int WaitReadable(socket_t s, int timeoutMs);
// Accepts one pending connection as a blocking socket; invalid when none was
// pending or on an error (errorOut gets the error, 0 for "none pending").
TUniqueSocket AcceptSocket(socket_t listener, int& errorOut);
// Bytes received (0 at the end of the stream), or -1 on an error.
long RecvSome(socket_t s, char* buf, std::size_t len);
// Sends all of buf; false on an error.
bool SendAll(socket_t s, const char* buf, std::size_t len);
// Connects a blocking socket to ip:port; false with the system's error.
bool ConnectSocket(socket_t s, TIPVersion version, const std::string& ip, std::uint16_t port);
enum class TShutdown { Receive, Send, Both };
void ShutdownSocket(socket_t s, TShutdown how);
// Ends calls blocked on the socket in other threads where a shutdown does
// not (a pending transmit on Windows); nothing elsewhere.
void CancelSocketIo(socket_t s);
std::string PeerAddress(socket_t s);

// Runs the calling thread at the highest normal priority where that needs no
// privilege (Windows); elsewhere it does nothing.
void RaiseThreadPriority();

// Whether the system's transport protocols include one of the IPv6 family.
bool SystemOffersIPv6();
// Whether a socket can be bound to ::1 (IPv6 present and configured on loopback).
bool LoopbackIPv6Available();

// A file opened for sending: read sharing only, sequential access.
class TFileForSending {
 public:
  TFileForSending() = default;
  ~TFileForSending();
  TFileForSending(const TFileForSending&) = delete;
  TFileForSending& operator=(const TFileForSending&) = delete;

  // Opens a regular file; false when it is missing, a folder, or locked.
  bool Open(const std::filesystem::path& path);
  bool IsOpen() const;
  std::int64_t Size() const { return size_; }
  // Reads up to len bytes from the current position; -1 on an error.
  long Read(char* buf, std::size_t len);

#ifdef _WIN32
  void* Handle() const { return handle_; }
#else
  int Descriptor() const { return fd_; }
#endif

 private:
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  std::int64_t size_ = 0;
};

// Has the system send `count` bytes of the file from its start on the socket
// without copying them through the program (TransmitFile, sendfile); copies
// when the system offers no such call. False when sending failed.
bool TransmitFileOnSocket(socket_t s, TFileForSending& file, std::int64_t count);

// The size that the directory entry reports, or -1 for a folder, a drive root
// or a path that names nothing.
std::int64_t DirectoryEntrySize(const std::filesystem::path& path);

}  // namespace skan::share
