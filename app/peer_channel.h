// Length-prefixed messages over the process's standard streams.
//
// Standard input is read by a background thread with blocking reads, because
// no non-blocking size query works on every kind of pipe (PeekNamedPipe fails
// on a Unix pipe under Wine). That thread also cuts the input into messages:
// it waits for a whole prefix and a whole body, and drops an oversized body
// as it arrives, so the GUI thread only ever takes messages that are already
// complete and never waits for the peer. The reader wakes the GUI thread
// whenever a message is ready and once when the input ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace skan {

// Framing limits.
// A body above this size is consumed and dropped without being allocated;
// real commands are a few dozen bytes.
inline constexpr int32_t kMaxMessageBody = 1 << 20;
// The reader stops taking input while this many bytes of whole messages wait,
// so a flood from the peer never grows memory without bound.
inline constexpr size_t kMaxBufferedInput = 256 * 1024;

class TPeerInput {
 public:
  // Blocking read of up to `capacity` bytes: > 0 bytes read, 0 or less when
  // the input has ended or failed.
  using ReadFn = std::function<long(char* buffer, size_t capacity)>;
  // Called on the reader thread after a message has become ready, and once
  // when the input ends. Never called once the TPeerInput is gone.
  using WakeFn = std::function<void()>;

  // A null `read` means no input is connected: nothing will ever be waiting.
  // `peerLeavesAtEnd`: the input is the peer's own pipe, so its end means the
  // peer has gone (PeerGone).
  TPeerInput(ReadFn read, WakeFn wake, bool peerLeavesAtEnd = false);
  ~TPeerInput();
  TPeerInput(const TPeerInput&) = delete;
  TPeerInput& operator=(const TPeerInput&) = delete;

  // Bytes received and not yet taken (whole messages, the part of the next
  // one that has arrived, the body of a message whose length was taken);
  // -1 when no input is connected.
  int64_t Size() const;
  // True once the input has ended (messages may still be waiting).
  bool Finished() const;
  // True while a message is ready to be taken.
  bool HasMessage() const;
  // True once the peer's pipe has ended (messages may still be waiting).
  bool PeerGone() const;

  // Takes the next ready message without waiting: its announced length (0
  // when none is ready; 0 or negative for a prefix that announces no body),
  // keeping its body for TakeBody.
  int32_t TakeLength();
  // The body of the message whose length was taken last (empty for an
  // oversized or missing body).
  std::string TakeBody();

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  bool connected_;
  bool peerLeavesAtEnd_;
  std::string body_;  // taken by the GUI thread only
};

// Log line sink used by the framing (UTF-8).
using LogFn = std::function<void(std::string_view line)>;
// Writes bytes to the peer; the result is ignored.
using WriteFn = std::function<void(const char* data, size_t size)>;

// The announced length of the next message (negative when the prefix has its
// top bit set), or 0 when no message is ready. Logs the waiting byte count
// before taking the message. Never waits.
int32_t NextMessageLength(TPeerInput& input, const LogFn& log);

// The body of the message whose length NextMessageLength returned; empty
// when it was above kMaxMessageBody (dropped by the reader). Never waits.
std::string ReadMessage(TPeerInput& input, int32_t msgLen);

// Sends the 4-byte little-endian length of `msg`, then `msg`; a body above
// kMaxReplyBody (peer_protocol.h) is not sent at all.
void WriteMessage(const WriteFn& write, std::string_view msg);

}  // namespace skan
