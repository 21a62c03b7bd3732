#include "peer_channel.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "peer_protocol.h"

namespace skan {

namespace {

// One message cut from the input. `wireSize` counts the bytes it took on the
// wire that are still counted as waiting (prefix and body, not a dropped body).
struct TMessage {
  int32_t length = 0;
  std::string body;
  size_t wireSize = 0;
};

// Cuts a byte stream into messages; runs on the reader thread only.
class TFramer {
 public:
  // Feeds bytes; whole messages are appended to `out`.
  void Feed(const char* data, size_t size, std::vector<TMessage>& out) {
    const char* end = data + size;
    while (data < end) {
      if (skip_ > 0) {
        const size_t n = std::min<size_t>(skip_, end - data);
        skip_ -= n;
        data += n;
      } else if (!inBody_) {
        while (prefixHave_ < 4 && data < end) prefix_[prefixHave_++] = static_cast<unsigned char>(*data++);
        if (prefixHave_ == 4) StartMessage(out);
      } else {
        const size_t n = std::min<size_t>(static_cast<size_t>(length_) - body_.size(), end - data);
        body_.append(data, n);
        data += n;
        if (body_.size() == static_cast<size_t>(length_)) FinishBody(out);
      }
    }
  }

  // At the end of the input: what arrived of an unfinished message is handed
  // over as it is (a partial prefix announces no body).
  void End(std::vector<TMessage>& out) {
    if (inBody_) {
      FinishBody(out);
    } else if (prefixHave_ > 0) {
      out.push_back({0, {}, prefixHave_});
      prefixHave_ = 0;
    }
  }

  // Bytes of the unfinished message that are counted as waiting.
  size_t Partial() const { return prefixHave_ + (inBody_ ? 4 + body_.size() : 0); }

 private:
  void StartMessage(std::vector<TMessage>& out) {
    prefixHave_ = 0;
    const uint32_t value =
        uint32_t(prefix_[0]) | uint32_t(prefix_[1]) << 8 | uint32_t(prefix_[2]) << 16 | uint32_t(prefix_[3]) << 24;
    length_ = static_cast<int32_t>(value);
    if (length_ <= 0) {
      out.push_back({length_, {}, 4});
    } else if (length_ > kMaxMessageBody) {
      // Announced at once; the body is dropped as it arrives, never stored.
      out.push_back({length_, {}, 4});
      skip_ = static_cast<uint32_t>(length_);
    } else {
      inBody_ = true;
      body_.clear();
    }
  }

  void FinishBody(std::vector<TMessage>& out) {
    inBody_ = false;
    const size_t wire = 4 + body_.size();
    out.push_back({length_, std::move(body_), wire});
    body_ = std::string();
  }

  unsigned char prefix_[4] = {};
  size_t prefixHave_ = 0;
  int32_t length_ = 0;
  bool inBody_ = false;
  std::string body_;
  uint32_t skip_ = 0;
};

}  // namespace

// State shared with the reader thread. The thread holds its own reference,
// so it may outlive the TPeerInput (a read blocked on a pipe that never ends
// cannot be interrupted portably; the process exit ends it).
struct TPeerInput::Shared {
  ReadFn read;

  mutable std::mutex mutex;
  std::condition_variable room;  // the GUI thread took messages, or stopping
  std::deque<TMessage> messages;
  size_t queuedBytes = 0;   // wire bytes of `messages`
  size_t partialBytes = 0;  // bytes of the message being assembled
  bool ended = false;
  bool stopping = false;

  // Separate from `mutex` so that the destructor can wait for a wake in
  // progress: after it has cleared `wake`, no call reaches its target.
  std::mutex wakeMutex;
  WakeFn wake;

  void Wake() {
    std::lock_guard lock(wakeMutex);
    if (wake) wake();
  }

  // Queues what the framer produced; waits while the queue is full.
  // False when the input object is going away.
  bool Publish(std::vector<TMessage>& ready, size_t partial, bool end) {
    {
      std::unique_lock lock(mutex);
      if (!ready.empty()) room.wait(lock, [&] { return queuedBytes < kMaxBufferedInput || stopping; });
      if (stopping) return false;
      for (TMessage& m : ready) {
        queuedBytes += m.wireSize;
        messages.push_back(std::move(m));
      }
      partialBytes = partial;
      if (end) ended = true;
    }
    const bool notify = !ready.empty() || end;
    ready.clear();
    if (notify) Wake();
    return true;
  }

  void Run() {
    std::vector<char> chunk(64 * 1024);
    std::vector<TMessage> ready;
    TFramer framer;
    for (;;) {
      const long n = read(chunk.data(), chunk.size());
      if (n <= 0) {
        framer.End(ready);
        Publish(ready, 0, /*end=*/true);
        return;
      }
      framer.Feed(chunk.data(), static_cast<size_t>(n), ready);
      if (!Publish(ready, framer.Partial(), /*end=*/false)) return;
    }
  }

  void Fail() {
    // Nothing may escape a thread; an input that failed is an ended input.
    {
      std::lock_guard lock(mutex);
      ended = true;
      partialBytes = 0;
    }
    Wake();
  }
};

TPeerInput::TPeerInput(ReadFn read, WakeFn wake, bool peerLeavesAtEnd)
    : shared_(std::make_shared<Shared>()), connected_(static_cast<bool>(read)), peerLeavesAtEnd_(peerLeavesAtEnd) {
  shared_->read = std::move(read);
  shared_->wake = std::move(wake);
  if (!connected_) {
    shared_->ended = true;
    return;
  }
  std::thread([s = shared_] {
    try {
      s->Run();
    } catch (...) {
      s->Fail();
    }
  }).detach();
}

TPeerInput::~TPeerInput() {
  {
    std::lock_guard lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->room.notify_all();
  std::lock_guard lock(shared_->wakeMutex);
  shared_->wake = nullptr;
}

int64_t TPeerInput::Size() const {
  if (!connected_) return -1;
  std::lock_guard lock(shared_->mutex);
  return static_cast<int64_t>(shared_->queuedBytes + shared_->partialBytes + body_.size());
}

bool TPeerInput::Finished() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->ended;
}

bool TPeerInput::HasMessage() const {
  std::lock_guard lock(shared_->mutex);
  return !shared_->messages.empty();
}

bool TPeerInput::PeerGone() const {
  if (!connected_ || !peerLeavesAtEnd_) return false;
  std::lock_guard lock(shared_->mutex);
  return shared_->ended;
}

int32_t TPeerInput::TakeLength() {
  body_.clear();
  TMessage m;
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->messages.empty()) return 0;
    m = std::move(shared_->messages.front());
    shared_->messages.pop_front();
    shared_->queuedBytes -= m.wireSize;
  }
  shared_->room.notify_all();
  body_ = std::move(m.body);
  return m.length;
}

std::string TPeerInput::TakeBody() { return std::exchange(body_, std::string()); }

int32_t NextMessageLength(TPeerInput& input, const LogFn& log) {
  if (!input.HasMessage()) return 0;
  if (log) log("Jest następna woiadomość: " + std::to_string(input.Size()));
  return input.TakeLength();
}

std::string ReadMessage(TPeerInput& input, int32_t msgLen) {
  if (msgLen <= 0) return {};
  std::string body = input.TakeBody();
  if (body.size() > static_cast<size_t>(msgLen)) body.resize(static_cast<size_t>(msgLen));
  return body;
}

void WriteMessage(const WriteFn& write, std::string_view msg) {
  // The browser ends the connection on a longer body; every body is built
  // to fit (peer_protocol.h), so this only keeps a mistake from doing that.
  if (msg.size() > kMaxReplyBody) return;
  uint32_t n = static_cast<uint32_t>(msg.size());
  const char prefix[4] = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                          static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
  write(prefix, 4);
  write(msg.data(), msg.size());
}

}  // namespace skan
