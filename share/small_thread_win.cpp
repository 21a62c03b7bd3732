#include "share/small_thread.h"

#include <windows.h>
#include <process.h>

#include <cerrno>
#include <system_error>

#include "base/handles_win.h"

namespace skan::share {

namespace {

unsigned __stdcall ThreadEntry(void* param) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(param));
  try {
    (*body)();
  } catch (...) {
  }
  return 0;
}

}  // namespace

struct TSmallStackThread::TNative {
  base::THandle thread;
};

TSmallStackThread::TSmallStackThread() noexcept = default;

TSmallStackThread::TSmallStackThread(std::function<void()> body, std::size_t stackBytes)
    : native_(std::make_unique<TNative>()) {
  auto param = std::make_unique<std::function<void()>>(std::move(body));
  // The size is a reservation, not a commitment: pages are committed as the
  // stack grows, and the reservation is what the address space pays.
  const uintptr_t h = _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), ThreadEntry, param.get(),
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == 0) throw std::system_error(errno ? errno : EAGAIN, std::generic_category(), "cannot start a thread");
  param.release();  // the thread owns it now
  native_->thread.reset(reinterpret_cast<HANDLE>(h));
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

bool TSmallStackThread::joinable() const noexcept { return native_ && native_->thread; }

void TSmallStackThread::join() {
  if (!joinable()) return;
  WaitForSingleObject(native_->thread.get(), INFINITE);
  native_->thread.reset();
}

std::size_t CurrentThreadStackReservation() {
  // The whole reservation shares one allocation base with the page in use.
  MEMORY_BASIC_INFORMATION info{};
  int local = 0;
  if (!VirtualQuery(&local, &info, sizeof info)) return 0;
  const auto* base = static_cast<const char*>(info.AllocationBase);
  std::size_t total = 0;
  for (const char* p = base; VirtualQuery(p, &info, sizeof info) && info.AllocationBase == base; p += info.RegionSize)
    total += info.RegionSize;
  return total;
}

}  // namespace skan::share
