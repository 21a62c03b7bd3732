// BSD sockets and POSIX files for the socket layer.
#include "share/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <poll.h>

namespace skan::share {

void SocketStartup() {}

int LastSocketError() { return errno; }

std::string SocketErrorText(int code) { return std::strerror(code); }

bool IsConnectionGoneError(int code) {
  return code == ECONNABORTED || code == ECONNRESET || code == EPIPE || code == ESHUTDOWN || code == ENOTCONN;
}

void TUniqueSocket::reset(socket_t s) noexcept {
  if (s_ != kInvalidSocket) {
    int saved = errno;
    ::close(s_);
    errno = saved;
  }
  s_ = s;
}

TUniqueSocket OpenStreamSocket(TIPVersion version) {
  int family = version == TIPVersion::Id_IPv6 ? AF_INET6 : AF_INET;
  return TUniqueSocket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
}

bool SetReuseAddress(socket_t s, bool on) {
  int v = on ? 1 : 0;
  return ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &v, sizeof v) == 0;
}

bool SetIPv6Only(socket_t s) {
  int v = 1;
  return ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &v, sizeof v) == 0;
}

bool BindSocket(socket_t s, TIPVersion version, const std::string& ip, std::uint16_t port, int& error) {
  int rc;
  if (version == TIPVersion::Id_IPv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    if (!ip.empty() && ::inet_pton(AF_INET6, ip.c_str(), &a.sin6_addr) != 1) {
      error = EINVAL;
      return false;
    }
    rc = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!ip.empty() && ::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) {
      error = EINVAL;
      return false;
    }
    rc = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  error = rc == 0 ? 0 : errno;
  return rc == 0;
}

std::uint16_t LocalPort(socket_t s) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

bool ListenSocket(socket_t s, int backlog) { return ::listen(s, backlog) == 0; }

bool SetNonBlocking(socket_t s, bool on) {
  int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(s, F_SETFL, flags) == 0;
}

int WaitReadable(socket_t s, int timeoutMs) {
  // poll, not select: descriptors above FD_SETSIZE occur under connection storms.
  pollfd p{s, POLLIN, 0};
  for (;;) {
    int rc = ::poll(&p, 1, timeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    return rc < 0 ? -1 : (rc > 0 ? 1 : 0);
  }
}

TUniqueSocket AcceptSocket(socket_t listener, int& errorOut) {
  for (;;) {
    int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) {
      errorOut = 0;
      return TUniqueSocket(s);
    }
    if (errno == EINTR) continue;
    errorOut = (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : errno;
    return TUniqueSocket();
  }
}

long RecvSome(socket_t s, char* buf, std::size_t len) {
  for (;;) {
    ssize_t n = ::recv(s, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool SendAll(socket_t s, const char* buf, std::size_t len) {
  while (len > 0) {
    ssize_t n = ::send(s, buf, len, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    buf += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ConnectSocket(socket_t s, TIPVersion version, const std::string& ip, std::uint16_t port) {
  if (version == TIPVersion::Id_IPv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    if (::inet_pton(AF_INET6, ip.c_str(), &a.sin6_addr) != 1) return false;
    return ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return false;
  return ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void ShutdownSocket(socket_t s, TShutdown how) {
  int h = how == TShutdown::Receive ? SHUT_RD : how == TShutdown::Send ? SHUT_WR : SHUT_RDWR;
  int saved = errno;
  ::shutdown(s, h);
  errno = saved;
}

void CancelSocketIo(socket_t) {}

std::string PeerAddress(socket_t s) {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr, text, sizeof text);
  else
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, text, sizeof text);
  return text;
}

void RaiseThreadPriority() {}

bool SystemOffersIPv6() {
  TUniqueSocket s(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  return static_cast<bool>(s);
}

bool LoopbackIPv6Available() {
  TUniqueSocket s = OpenStreamSocket(TIPVersion::Id_IPv6);
  int error = 0;
  return s && BindSocket(s.get(), TIPVersion::Id_IPv6, "::1", 0, error);
}

TFileForSending::~TFileForSending() {
  if (fd_ >= 0) ::close(fd_);
}

bool TFileForSending::Open(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  fd_ = fd;
  size_ = st.st_size;
  return true;
}

bool TFileForSending::IsOpen() const { return fd_ >= 0; }

long TFileForSending::Read(char* buf, std::size_t len) {
  for (;;) {
    ssize_t n = ::read(fd_, buf, len);
    if (n < 0 && errno == EINTR) continue;
    return static_cast<long>(n);
  }
}

bool TransmitFileOnSocket(socket_t s, TFileForSending& file, std::int64_t count) {
  off_t offset = 0;
  while (count > 0) {
    std::size_t chunk = static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 30));
    ssize_t n = ::sendfile(s, file.Descriptor(), &offset, chunk);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    if (n == 0) return false;  // the file became shorter than announced
    count -= n;
  }
  return true;
}

std::int64_t DirectoryEntrySize(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  return st.st_size;
}

}  // namespace skan::share
