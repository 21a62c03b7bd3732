// A joinable thread with a small stack. The share server runs one thread per
// connection; in a 32-bit process the default stack reservation (2 MiB with
// MinGW) runs the address space out after a few hundred idle connections.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace skan::share {

// Stack reserved for each connection thread. The request loop keeps its
// buffers on the heap and needs a few KiB; the rest is room for the socket
// provider's own frames. Sanitizer builds make every frame larger.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kConnectionStackBytes = 1024 * 1024;
#else
constexpr std::size_t kConnectionStackBytes = 256 * 1024;
#endif

class TSmallStackThread {
 public:
  TSmallStackThread() noexcept;
  // Starts `body` on a new thread with `stackBytes` of stack reserved;
  // throws std::system_error when no thread can be made. An exception that
  // leaves `body` ends only that thread's work, never the process.
  TSmallStackThread(std::function<void()> body, std::size_t stackBytes);
  TSmallStackThread(TSmallStackThread&&) noexcept;
  TSmallStackThread& operator=(TSmallStackThread&&) noexcept;
  TSmallStackThread(const TSmallStackThread&) = delete;
  TSmallStackThread& operator=(const TSmallStackThread&) = delete;
  // Joins a thread that was not joined yet.
  ~TSmallStackThread();

  bool joinable() const noexcept;
  void join();

 private:
  struct TNative;
  std::unique_ptr<TNative> native_;
};

// The stack reservation of the calling thread in bytes (0 when unknown).
std::size_t CurrentThreadStackReservation();

}  // namespace skan::share
