#include "share/io_handler.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "share/errors.h"

namespace skan::share {

namespace {

constexpr std::size_t kRecvChunk = 32 * 1024;
// How long, and for how many bytes, a close waits for the peer to finish
// sending before the socket is closed anyway.
constexpr int kLingerMs = 2000;
constexpr std::size_t kLingerBytes = 1024 * 1024;
// A read blocked on a silent peer looks for an abort this often.
constexpr int kAbortCheckMs = 250;

}  // namespace

bool TIOHandler::Fill() {
  if (pos_ > 0 && pos_ == buf_.size()) {
    buf_.clear();
    pos_ = 0;
  } else if (pos_ > kRecvChunk) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  std::size_t old = buf_.size();
  buf_.resize(old + kRecvChunk);
  std::size_t n = 0;
  try {
    n = RecvRaw(buf_.data() + old, kRecvChunk);
  } catch (...) {
    buf_.resize(old);
    throw;
  }
  buf_.resize(old + n);
  return n > 0;
}

std::string TIOHandler::ReadLn(std::size_t maxLength) {
  std::size_t searched = pos_;
  for (;;) {
    std::size_t lf = buf_.find('\n', searched);
    if (lf != std::string::npos) {
      if (lf - pos_ > maxLength) throw TShareException("Max line length exceeded.");
      std::size_t end = lf;
      if (end > pos_ && buf_[end - 1] == '\r') --end;
      std::string line = buf_.substr(pos_, end - pos_);
      pos_ = lf + 1;
      return line;
    }
    if (buf_.size() - pos_ > maxLength) throw TShareException("Max line length exceeded.");
    searched = buf_.size();
    std::size_t before = pos_;
    if (!Fill()) throw TConnClosedGracefully();
    searched -= before - pos_;  // Fill may have moved the unread bytes to the front
  }
}

void TIOHandler::ReadBytes(std::int64_t count, const std::function<void(std::string_view)>& sink) {
  while (count > 0) {
    if (InputBufferIsEmpty() && !Fill()) throw TConnClosedGracefully();
    std::size_t n =
        static_cast<std::size_t>(std::min<std::int64_t>(count, static_cast<std::int64_t>(buf_.size() - pos_)));
    sink(std::string_view(buf_).substr(pos_, n));
    pos_ += n;
    count -= static_cast<std::int64_t>(n);
  }
}

bool TIOHandler::Readable(int timeoutMs) { return !InputBufferIsEmpty() || WaitRaw(timeoutMs); }

bool TIOHandler::WriteFile(TFileForSending& file, std::int64_t count) {
  std::vector<char> buf(64 * 1024);
  while (count > 0) {
    long n = file.Read(buf.data(),
                       static_cast<std::size_t>(std::min<std::int64_t>(count, static_cast<std::int64_t>(buf.size()))));
    if (n <= 0) return false;
    Write(std::string_view(buf.data(), static_cast<std::size_t>(n)));
    count -= n;
  }
  return true;
}

TSocketIOHandler::TSocketIOHandler(TUniqueSocket socket)
    : socket_(std::move(socket)), peerIP_(PeerAddress(socket_.get())) {}

TSocketIOHandler::~TSocketIOHandler() = default;

socket_t TSocketIOHandler::Socket() const {
  std::lock_guard<std::mutex> guard(lock_);
  return socket_.get();
}

void TSocketIOHandler::Fail(const char* what, int code) {
  if (aborted_ || IsConnectionGoneError(code)) throw TConnClosedGracefully();
  throw TSocketException(std::string(what) + ": " + SocketErrorText(code), code);
}

std::size_t TSocketIOHandler::RecvRaw(char* buf, std::size_t len) {
  socket_t s = Socket();
  if (s == kInvalidSocket || aborted_) throw TConnClosedGracefully();
  // Waits in slices: a shutdown from another thread does not end a blocked
  // recv everywhere (not under Wine), the abort flag does.
  while (WaitReadable(s, kAbortCheckMs) == 0)
    if (aborted_) throw TConnClosedGracefully();
  long n = RecvSome(s, buf, len);
  if (n < 0) Fail("recv", LastSocketError());
  return static_cast<std::size_t>(n);
}

bool TSocketIOHandler::WaitRaw(int timeoutMs) {
  socket_t s = Socket();
  if (s == kInvalidSocket) return false;
  return WaitReadable(s, timeoutMs) != 0;  // an error counts as "something there"; the read tells
}

void TSocketIOHandler::Write(std::string_view bytes) {
  socket_t s = Socket();
  if (s == kInvalidSocket || aborted_) throw TConnClosedGracefully();
  if (!SendAll(s, bytes.data(), bytes.size())) Fail("send", LastSocketError());
}

bool TSocketIOHandler::WriteFile(TFileForSending& file, std::int64_t count) {
  socket_t s = Socket();
  if (s == kInvalidSocket || aborted_) return false;
  return TransmitFileOnSocket(s, file, count);
}

void TSocketIOHandler::Close() {
  socket_t s = Socket();
  if (s == kInvalidSocket) return;
  if (!aborted_) {
    ShutdownSocket(s, TShutdown::Send);
    // Only this thread closes the socket, so it stays valid while draining;
    // an Abort from the stopping thread ends the wait at once.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLingerMs);
    std::size_t drained = 0;
    char scratch[4096];
    while (drained < kLingerBytes && !aborted_) {
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      int ready = WaitReadable(s, static_cast<int>(std::min<long long>(left, kAbortCheckMs)));
      if (ready < 0) break;
      if (ready == 0) continue;
      long n = RecvSome(s, scratch, sizeof scratch);
      if (n <= 0) break;
      drained += static_cast<std::size_t>(n);
    }
  }
  std::lock_guard<std::mutex> guard(lock_);
  socket_.reset();
}

void TSocketIOHandler::Abort() {
  std::lock_guard<std::mutex> guard(lock_);
  aborted_ = true;
  if (socket_) {
    ShutdownSocket(socket_.get(), TShutdown::Both);
    CancelSocketIo(socket_.get());
  }
}

bool TSocketIOHandler::Connected() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<bool>(socket_) && !aborted_;
}

std::size_t TMemoryIOHandler::RecvRaw(char* buf, std::size_t len) {
  if (closed_) throw TConnClosedGracefully();
  std::size_t n = std::min(len, input_.size() - readPos_);
  std::copy_n(input_.data() + readPos_, n, buf);
  readPos_ += n;
  return n;
}

}  // namespace skan::share
