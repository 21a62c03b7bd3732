#include "peer_channel.h"

#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

namespace skan {

// State shared with the reader thread. The thread holds its own reference,
// so it may outlive the TPeerInput (a read blocked on a pipe that never ends
// cannot be interrupted portably; the process exit ends it).
struct TPeerInput::Shared {
  ReadFn read;
  WakeFn wake;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<char> buffer;
  bool ended = false;
  bool stopping = false;

  void Run() {
    std::vector<char> chunk(64 * 1024);
    bool more = true;
    while (more) {
      long n = read(chunk.data(), chunk.size());
      WakeFn notify;
      {
        std::unique_lock lock(mutex);
        if (n <= 0 || stopping) {
          ended = true;
          more = false;
        } else {
          changed.wait(lock, [&] { return buffer.size() < kMaxBufferedInput || stopping; });
          if (stopping) return;
          buffer.insert(buffer.end(), chunk.data(), chunk.data() + n);
        }
        changed.notify_all();
        notify = wake;
      }
      if (notify) notify();
    }
  }
};

TPeerInput::TPeerInput(ReadFn read, WakeFn wake)
    : shared_(std::make_shared<Shared>()), connected_(static_cast<bool>(read)) {
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
      // Nothing may escape a thread; an input that failed is an ended input.
      std::lock_guard lock(s->mutex);
      s->ended = true;
      s->changed.notify_all();
    }
  }).detach();
}

TPeerInput::~TPeerInput() {
  std::lock_guard lock(shared_->mutex);
  shared_->stopping = true;
  shared_->wake = nullptr;
  shared_->changed.notify_all();
}

int64_t TPeerInput::Size() const {
  if (!connected_) return -1;
  std::lock_guard lock(shared_->mutex);
  return static_cast<int64_t>(shared_->buffer.size());
}

bool TPeerInput::Finished() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->ended;
}

size_t TPeerInput::Read(char* dst, size_t count, bool wait) {
  size_t taken = 0;
  std::unique_lock lock(shared_->mutex);
  while (taken < count) {
    if (wait)
      shared_->changed.wait(lock, [&] { return !shared_->buffer.empty() || shared_->ended; });
    size_t n = std::min(count - taken, shared_->buffer.size());
    if (n == 0) break;
    std::copy_n(shared_->buffer.begin(), n, dst + taken);
    shared_->buffer.erase(shared_->buffer.begin(), shared_->buffer.begin() + n);
    taken += n;
    shared_->changed.notify_all();  // room for the reader
  }
  return taken;
}

void TPeerInput::Skip(size_t count) {
  std::unique_lock lock(shared_->mutex);
  while (count > 0) {
    shared_->changed.wait(lock, [&] { return !shared_->buffer.empty() || shared_->ended; });
    size_t n = std::min(count, shared_->buffer.size());
    if (n == 0) break;
    shared_->buffer.erase(shared_->buffer.begin(), shared_->buffer.begin() + n);
    count -= n;
    shared_->changed.notify_all();
  }
}

int32_t NextMessageLength(TPeerInput& input, const LogFn& log) {
  int64_t size = input.Size();
  if (size <= 0) return 0;
  // A prefix that arrives in pieces waits for its four bytes; the reader
  // wakes the GUI thread again when the rest arrives.
  if (size < 4 && !input.Finished()) return 0;
  if (log) log("Jest następna woiadomość: " + std::to_string(input.Size()));
  unsigned char prefix[4];
  size_t n = input.Read(reinterpret_cast<char*>(prefix), 4, /*wait=*/true);
  if (n < 4) return 0;  // input ended inside the prefix
  uint32_t value = prefix[0] | (prefix[1] << 8) | (prefix[2] << 16) | (uint32_t(prefix[3]) << 24);
  return static_cast<int32_t>(value);
}

std::string ReadMessage(TPeerInput& input, int32_t msgLen) {
  if (msgLen <= 0) return {};
  if (msgLen > kMaxMessageBody) {
    input.Skip(static_cast<size_t>(msgLen));
    return {};
  }
  std::string body(static_cast<size_t>(msgLen), '\0');
  body.resize(input.Read(body.data(), body.size(), /*wait=*/true));
  return body;
}

void WriteMessage(const WriteFn& write, std::string_view msg) {
  uint32_t n = static_cast<uint32_t>(msg.size());
  const char prefix[4] = {static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                          static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
  write(prefix, 4);
  write(msg.data(), msg.size());
}

}  // namespace skan
