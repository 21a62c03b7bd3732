// The byte stream of one connection, with buffered line reading. The HTTP
// layer talks only to TIOHandler, so tests and the fuzzer can feed it bytes
// from memory instead of a socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "share/socket.h"

namespace skan::share {

class TIOHandler {
 public:
  virtual ~TIOHandler() = default;

  // Bytes up to a line feed, without it and without a carriage return just
  // before it. Throws "Max line length exceeded." when more than maxLength
  // bytes come before the line feed, and TConnClosedGracefully at the end of
  // the stream.
  std::string ReadLn(std::size_t maxLength);
  // Reads exactly count bytes, handing them to sink piece by piece.
  void ReadBytes(std::int64_t count, const std::function<void(std::string_view)>& sink);
  bool InputBufferIsEmpty() const { return pos_ == buf_.size(); }
  // Whether received bytes are waiting, or arrive within timeoutMs.
  bool Readable(int timeoutMs);

  virtual void Write(std::string_view bytes) = 0;
  // Sends count bytes of the file from its start; false when that failed.
  virtual bool WriteFile(TFileForSending& file, std::int64_t count);
  // Ends the connection from the thread that serves it.
  virtual void Close() = 0;
  // Ends the connection from another thread; a read or write blocked in the
  // serving thread returns.
  virtual void Abort() = 0;
  virtual bool Connected() const = 0;
  virtual std::string PeerIP() const { return {}; }

 protected:
  // Up to len bytes, 0 at the end of the stream; throws on a failure.
  virtual std::size_t RecvRaw(char* buf, std::size_t len) = 0;
  // Whether bytes arrive within timeoutMs.
  virtual bool WaitRaw(int timeoutMs) = 0;

 private:
  bool Fill();

  std::string buf_;
  std::size_t pos_ = 0;
};

// A connected socket. Close shuts the sending side first and reads what the
// peer still sends for a moment, so that unread request bytes do not turn the
// close into a reset that would destroy the answer in flight.
class TSocketIOHandler final : public TIOHandler {
 public:
  explicit TSocketIOHandler(TUniqueSocket socket);
  ~TSocketIOHandler() override;

  void Write(std::string_view bytes) override;
  bool WriteFile(TFileForSending& file, std::int64_t count) override;
  void Close() override;
  void Abort() override;
  bool Connected() const override;
  std::string PeerIP() const override { return peerIP_; }

 protected:
  std::size_t RecvRaw(char* buf, std::size_t len) override;
  bool WaitRaw(int timeoutMs) override;

 private:
  socket_t Socket() const;
  [[noreturn]] void Fail(const char* what, int code);

  mutable std::mutex lock_;  // guards socket_ between the serving and the stopping thread
  TUniqueSocket socket_;
  std::atomic<bool> aborted_{false};
  std::string peerIP_;
};

// Bytes from memory in, bytes to memory out: for tests and the fuzzer.
class TMemoryIOHandler final : public TIOHandler {
 public:
  explicit TMemoryIOHandler(std::string input) : input_(std::move(input)) {}

  void Write(std::string_view bytes) override { output_.append(bytes); }
  void Close() override { closed_ = true; }
  void Abort() override { closed_ = true; }
  bool Connected() const override { return !closed_; }
  std::string PeerIP() const override { return "127.0.0.1"; }

  const std::string& Output() const { return output_; }

 protected:
  std::size_t RecvRaw(char* buf, std::size_t len) override;
  bool WaitRaw(int) override { return readPos_ < input_.size(); }

 private:
  std::string input_;
  std::size_t readPos_ = 0;
  std::string output_;
  bool closed_ = false;
};

}  // namespace skan::share
