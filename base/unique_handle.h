// A move-only owner of one operating-system handle. The traits say which value
// means "nothing" and how to close a handle:
//
//   struct TTraits {
//     using pointer = ...;
//     static pointer invalid() noexcept;
//     static void close(pointer) noexcept;
//   };
//
// Closing never changes errno; the Windows traits also keep GetLastError, so
// an error code read after a failed call survives the cleanup on the way out.
#pragma once

#include <cerrno>
#include <utility>

namespace skan::base {

template <class Traits>
class TUniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  TUniqueHandle() noexcept = default;
  explicit TUniqueHandle(pointer h) noexcept : h_(h) {}
  TUniqueHandle(TUniqueHandle&& other) noexcept : h_(other.release()) {}
  TUniqueHandle& operator=(TUniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  TUniqueHandle(const TUniqueHandle&) = delete;
  TUniqueHandle& operator=(const TUniqueHandle&) = delete;
  ~TUniqueHandle() { reset(); }

  pointer get() const noexcept { return h_; }
  explicit operator bool() const noexcept { return h_ != Traits::invalid(); }

  // Gives the handle up without closing it.
  pointer release() noexcept { return std::exchange(h_, Traits::invalid()); }

  // Closes the current handle (if any) and takes `h`.
  void reset(pointer h = Traits::invalid()) noexcept {
    const pointer old = std::exchange(h_, h);
    if (old != Traits::invalid()) {
      const int savedErrno = errno;
      Traits::close(old);
      errno = savedErrno;
    }
  }

  // For out-parameters: closes the current handle first.
  pointer* put() noexcept {
    reset();
    return &h_;
  }

 private:
  pointer h_ = Traits::invalid();
};

}  // namespace skan::base
