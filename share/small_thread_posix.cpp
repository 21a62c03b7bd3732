#include "share/small_thread.h"

#include <limits.h>
#include <pthread.h>

#include <algorithm>
#include <system_error>

namespace skan::share {

namespace {

void* ThreadEntry(void* param) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(param));
  try {
    (*body)();
  } catch (...) {
  }
  return nullptr;
}

}  // namespace

struct TSmallStackThread::TNative {
  pthread_t thread{};
  bool joinable = false;
};

TSmallStackThread::TSmallStackThread() noexcept = default;

TSmallStackThread::TSmallStackThread(std::function<void()> body, std::size_t stackBytes)
    : native_(std::make_unique<TNative>()) {
  auto param = std::make_unique<std::function<void()>>(std::move(body));
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, std::max<std::size_t>(stackBytes, PTHREAD_STACK_MIN));
  const int error = pthread_create(&native_->thread, &attr, ThreadEntry, param.get());
  pthread_attr_destroy(&attr);
  if (error != 0) throw std::system_error(error, std::generic_category(), "cannot start a thread");
  param.release();  // the thread owns it now
  native_->joinable = true;
}

TSmallStackThread::TSmallStackThread(TSmallStackThread&&) noexcept = default;

TSmallStackThread& TSmallStackThread::operator=(TSmallStackThread&& other) noexcept {
  if (this != &other) {
    if (joinable()) join();
    native_ = std::move(other.native_);
  }
  return *this;
}

TSmallStackThread::~TSmallStackThread() {
  if (joinable()) join();
}

bool TSmallStackThread::joinable() const noexcept { return native_ && native_->joinable; }

void TSmallStackThread::join() {
  if (!joinable()) return;
  pthread_join(native_->thread, nullptr);
  native_->joinable = false;
}

std::size_t CurrentThreadStackReservation() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* address = nullptr;
  std::size_t size = 0;
  pthread_attr_getstack(&attr, &address, &size);
  pthread_attr_destroy(&attr);
  return size;
}

}  // namespace skan::share
