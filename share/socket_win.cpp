// Windows Sockets 2 and Win32 files for the socket layer.
#include "share/socket.h"

#include "share/errors.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "base/encoding.h"
#include "base/system_error_win.h"

namespace skan::share {

namespace {

std::once_flag g_startupOnce;
int g_startupError = 0;

// TransmitFile lives in the Microsoft extension provider; ask the stack for it
// once instead of linking mswsock.
LPFN_TRANSMITFILE g_transmitFile = nullptr;
std::once_flag g_transmitOnce;

void LoadTransmitFile(SOCKET s) {
  GUID id = WSAID_TRANSMITFILE;
  DWORD bytes = 0;
  LPFN_TRANSMITFILE fn = nullptr;
  if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &fn, sizeof fn, &bytes, nullptr, nullptr) == 0)
    g_transmitFile = fn;
}

// Switches the critical-error dialog off for the current thread for one file query.
class TQuietErrors {
 public:
  TQuietErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_); }
  ~TQuietErrors() { SetThreadErrorMode(old_, nullptr); }

 private:
  DWORD old_ = 0;
};

}  // namespace

void SocketStartup() {
  std::call_once(g_startupOnce, [] {
    WSADATA data{};
    g_startupError = WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (g_startupError != 0) throw TSocketException("Windows Sockets could not be initialised.", g_startupError);
}

int LastSocketError() { return WSAGetLastError(); }

std::string SocketErrorText(int code) {
  std::string text = base::Narrow(base::SystemErrorText(static_cast<DWORD>(code)));
  if (text.empty()) text = "Socket Error # " + std::to_string(code);
  return text;
}

bool IsConnectionGoneError(int code) {
  return code == WSAECONNABORTED || code == WSAECONNRESET || code == WSAESHUTDOWN || code == WSAENOTCONN ||
         code == WSAENOTSOCK;
}

void TUniqueSocket::reset(socket_t s) noexcept {
  if (s_ != kInvalidSocket) {
    int saved = WSAGetLastError();
    closesocket(static_cast<SOCKET>(s_));
    WSASetLastError(saved);
  }
  s_ = s;
}

TUniqueSocket OpenStreamSocket(TIPVersion version) {
  SocketStartup();
  int family = version == TIPVersion::Id_IPv6 ? AF_INET6 : AF_INET;
  // Not overlapped: every call on it blocks, TransmitFile included.
  SOCKET s = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return TUniqueSocket(s == INVALID_SOCKET ? kInvalidSocket : static_cast<socket_t>(s));
}

bool SetReuseAddress(socket_t s, bool on) {
  BOOL v = on ? TRUE : FALSE;
  return setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

bool SetIPv6Only(socket_t) { return true; }  // Windows keeps IPv6 sockets IPv6-only by default

bool BindSocket(socket_t s, TIPVersion version, const std::string& ip, std::uint16_t port, int& error) {
  int rc;
  if (version == TIPVersion::Id_IPv6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = in6addr_any;
    if (!ip.empty() && inet_pton(AF_INET6, ip.c_str(), &a.sin6_addr) != 1) {
      error = WSAEINVAL;
      return false;
    }
    rc = bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!ip.empty() && inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) {
      error = WSAEINVAL;
      return false;
    }
    rc = bind(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  error = rc == 0 ? 0 : WSAGetLastError();
  return rc == 0;
}

std::uint16_t LocalPort(socket_t s) {
  sockaddr_storage a{};
  int len = sizeof a;
  if (getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&a)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&a)->sin_port);
}

bool ListenSocket(socket_t s, int backlog) { return listen(static_cast<SOCKET>(s), backlog) == 0; }

bool SetNonBlocking(socket_t s, bool on) {
  u_long v = on ? 1 : 0;
  return ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &v) == 0;
}

int WaitReadable(socket_t s, int timeoutMs) {
  // select on Windows takes a socket array, not a bit set: no descriptor limit.
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(s), &set);
  timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int rc = select(0, &set, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
  return rc == SOCKET_ERROR ? -1 : (rc > 0 ? 1 : 0);
}

TUniqueSocket AcceptSocket(socket_t listener, int& errorOut) {
  SOCKET s = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    int e = WSAGetLastError();
    errorOut = e == WSAEWOULDBLOCK ? 0 : e;
    return TUniqueSocket();
  }
  errorOut = 0;
  TUniqueSocket result(static_cast<socket_t>(s));
  // An accepted socket inherits the listener's non-blocking mode; connections block.
  SetNonBlocking(result.get(), false);
  return result;
}

long RecvSome(socket_t s, char* buf, std::size_t len) {
  int n = recv(static_cast<SOCKET>(s), buf, static_cast<int>(std::min<std::size_t>(len, 1 << 30)), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool SendAll(socket_t s, const char* buf, std::size_t len) {
  while (len > 0) {
    int n = send(static_cast<SOCKET>(s), buf, static_cast<int>(std::min<std::size_t>(len, 1 << 30)), 0);
    if (n == SOCKET_ERROR) return false;
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
    if (inet_pton(AF_INET6, ip.c_str(), &a.sin6_addr) != 1) return false;
    return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1) return false;
  return connect(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void ShutdownSocket(socket_t s, TShutdown how) {
  int h = how == TShutdown::Receive ? SD_RECEIVE : how == TShutdown::Send ? SD_SEND : SD_BOTH;
  int saved = WSAGetLastError();
  shutdown(static_cast<SOCKET>(s), h);
  WSASetLastError(saved);
}

void CancelSocketIo(socket_t s) { CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr); }

std::string PeerAddress(socket_t s) {
  sockaddr_storage a{};
  int len = sizeof a;
  if (getpeername(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (a.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr, text, sizeof text);
  else
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&a)->sin_addr, text, sizeof text);
  return text;
}

void RaiseThreadPriority() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST); }

bool SystemOffersIPv6() {
  SocketStartup();
  // The installed transport protocols tell whether an IPv6 stack is present.
  DWORD size = 0;
  WSAEnumProtocolsW(nullptr, nullptr, &size);
  if (size == 0) return false;
  std::vector<char> buf(size);
  auto* info = reinterpret_cast<WSAPROTOCOL_INFOW*>(buf.data());
  int n = WSAEnumProtocolsW(nullptr, info, &size);
  for (int i = 0; i < n; ++i)
    if (info[i].iAddressFamily == AF_INET6) return true;
  return false;
}

bool LoopbackIPv6Available() {
  if (!SystemOffersIPv6()) return false;
  TUniqueSocket s = OpenStreamSocket(TIPVersion::Id_IPv6);
  int error = 0;
  return s && BindSocket(s.get(), TIPVersion::Id_IPv6, "::1", 0, error);
}

TFileForSending::~TFileForSending() {
  if (handle_) CloseHandle(handle_);
}

bool TFileForSending::Open(const std::filesystem::path& path) {
  TQuietErrors quiet;
  // Sharing deletion lets a confirmed document's copy (snapshot.h) be opened
  // while its keeper holds it; writers are still kept out while it is sent.
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) {
    CloseHandle(h);
    return false;
  }
  handle_ = h;
  size_ = size.QuadPart;
  return true;
}

bool TFileForSending::IsOpen() const { return handle_ != nullptr; }

long TFileForSending::Read(char* buf, std::size_t len) {
  DWORD got = 0;
  if (!ReadFile(handle_, buf, static_cast<DWORD>(std::min<std::size_t>(len, 1 << 30)), &got, nullptr)) return -1;
  return static_cast<long>(got);
}

bool TransmitFileOnSocket(socket_t s, TFileForSending& file, std::int64_t count) {
  std::call_once(g_transmitOnce, LoadTransmitFile, static_cast<SOCKET>(s));
  if (g_transmitFile) {
    // One call sends at most 2^31 - 2 bytes; larger files go in slices from the
    // file pointer, which TransmitFile advances on a synchronous handle.
    LARGE_INTEGER zero{};
    SetFilePointerEx(file.Handle(), zero, nullptr, FILE_BEGIN);
    while (count > 0) {
      DWORD slice = static_cast<DWORD>(std::min<std::int64_t>(count, 1 << 30));
      if (!g_transmitFile(static_cast<SOCKET>(s), file.Handle(), slice, 0, nullptr, nullptr, 0)) return false;
      count -= slice;
      LARGE_INTEGER pos{};
      pos.QuadPart = file.Size() - count;
      SetFilePointerEx(file.Handle(), pos, nullptr, FILE_BEGIN);
    }
    return true;
  }
  std::vector<char> buf(64 * 1024);
  while (count > 0) {
    long n = file.Read(buf.data(), static_cast<std::size_t>(std::min<std::int64_t>(count, buf.size())));
    if (n <= 0) return false;
    if (!SendAll(s, buf.data(), static_cast<std::size_t>(n))) return false;
    count -= n;
  }
  return true;
}

std::int64_t DirectoryEntrySize(const std::filesystem::path& path) {
  TQuietErrors quiet;
  const std::wstring& p = path.native();
  if (p.empty() || p.back() == L':' || (p.size() >= 2 && p.back() == L'\\' && p[p.size() - 2] == L':')) return -1;
  WIN32_FIND_DATAW data{};
  HANDLE h = FindFirstFileW(p.c_str(), &data);
  if (h == INVALID_HANDLE_VALUE) return -1;
  FindClose(h);
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace skan::share
