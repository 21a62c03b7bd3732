// Length-prefixed messages over the process's standard streams.
//
// Standard input is read by a background thread with blocking reads into a
// bounded buffer, because no non-blocking size query works on every kind of
// pipe (PeekNamedPipe fails on a Unix pipe under Wine). The GUI thread asks
// the buffer how many bytes are waiting and takes messages out of it; the
// reader wakes the GUI thread whenever bytes arrive.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace skan {

// Framing limits.
// A body above this size is consumed and dropped without being allocated;
// real commands are a few dozen bytes.
inline constexpr int32_t kMaxMessageBody = 1 << 20;
// The reader stops taking input while this much is buffered, so a flood from
// the peer never grows memory without bound.
inline constexpr size_t kMaxBufferedInput = 256 * 1024;

class TPeerInput {
 public:
  // Blocking read of up to `capacity` bytes: > 0 bytes read, 0 or less when
  // the input has ended or failed.
  using ReadFn = std::function<long(char* buffer, size_t capacity)>;
  // Called on the reader thread after bytes have been buffered, and once when
  // the input ends.
  using WakeFn = std::function<void()>;

  // A null `read` means no input is connected: nothing will ever be waiting.
  TPeerInput(ReadFn read, WakeFn wake);
  ~TPeerInput();
  TPeerInput(const TPeerInput&) = delete;
  TPeerInput& operator=(const TPeerInput&) = delete;

  // Bytes waiting in the buffer; -1 when no input is connected.
  int64_t Size() const;
  // True once the input has ended (bytes may still be buffered).
  bool Finished() const;

  // Takes up to `count` bytes. With `wait`, blocks until `count` bytes are
  // there or the input has ended. Returns the number of bytes taken.
  size_t Read(char* dst, size_t count, bool wait);
  // Drops `count` bytes as they arrive (or until the input ends).
  void Skip(size_t count);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  bool connected_;
};

// Log line sink used by the framing (UTF-8).
using LogFn = std::function<void(std::string_view line)>;
// Writes bytes to the peer; the result is ignored.
using WriteFn = std::function<void(const char* data, size_t size)>;

// The announced length of the next message (negative when the prefix has its
// top bit set), or 0 when no whole prefix is waiting. Logs the waiting byte
// count before consuming the prefix.
int32_t NextMessageLength(TPeerInput& input, const LogFn& log);

// The body of a message of `msgLen` bytes: waits until it has arrived or the
// input has ended. A body above kMaxMessageBody is consumed and dropped, and
// the result is empty.
std::string ReadMessage(TPeerInput& input, int32_t msgLen);

// Sends the 4-byte little-endian length of `msg`, then `msg`.
void WriteMessage(const WriteFn& write, std::string_view msg);

}  // namespace skan
