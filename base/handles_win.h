// Owning types for the Windows resources the host, the PDF library and the
// virtual scanner hold: each is released on every way out of its scope, also
// when something between the acquire and the release throws. Releasing keeps
// the thread's last error, so a failure's code can still be read afterwards.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <unknwn.h>

#include <utility>

#include "base/unique_handle.h"

namespace skan::base {

// Restores the thread's last error when it goes out of scope.
class TKeepLastError {
 public:
  TKeepLastError() noexcept : error_(GetLastError()) {}
  TKeepLastError(const TKeepLastError&) = delete;
  TKeepLastError& operator=(const TKeepLastError&) = delete;
  ~TKeepLastError() { SetLastError(error_); }

 private:
  DWORD error_;
};

namespace detail {

// Traits of TUniqueHandle for a handle type H whose "nothing" is Invalid()
// and which Close releases.
template <class H, H (*Invalid)() noexcept, auto Close>
struct TWinTraits {
  using pointer = H;
  static pointer invalid() noexcept { return Invalid(); }
  static void close(pointer h) noexcept {
    TKeepLastError keep;
    Close(h);
  }
};

template <class H>
H Null() noexcept {
  return nullptr;
}
inline HANDLE InvalidHandleValue() noexcept { return INVALID_HANDLE_VALUE; }
inline void DeleteGdiObject(HGDIOBJ h) noexcept { DeleteObject(h); }

}  // namespace detail

// CreateFile's result: INVALID_HANDLE_VALUE means none.
using TFileHandle = TUniqueHandle<detail::TWinTraits<HANDLE, detail::InvalidHandleValue, CloseHandle>>;
// Threads, events, snapshots and the like: null means none.
using THandle = TUniqueHandle<detail::TWinTraits<HANDLE, detail::Null<HANDLE>, CloseHandle>>;
using TModule = TUniqueHandle<detail::TWinTraits<HMODULE, detail::Null<HMODULE>, FreeLibrary>>;
using TGlobalMemory = TUniqueHandle<detail::TWinTraits<HGLOBAL, detail::Null<HGLOBAL>, GlobalFree>>;
// A device context the program created (CreateCompatibleDC, CreateDC).
using TDC = TUniqueHandle<detail::TWinTraits<HDC, detail::Null<HDC>, DeleteDC>>;
// A pen, brush, font, bitmap or region; select it out before it goes.
template <class H = HGDIOBJ>
using TGdiObject = TUniqueHandle<detail::TWinTraits<H, detail::Null<H>, detail::DeleteGdiObject>>;

// A window's (or the screen's) device context, given back to that window.
class TWindowDC {
 public:
  explicit TWindowDC(HWND window) noexcept : window_(window), dc_(GetDC(window)) {}
  TWindowDC(TWindowDC&& other) noexcept : window_(other.window_), dc_(std::exchange(other.dc_, nullptr)) {}
  TWindowDC& operator=(TWindowDC&&) = delete;
  TWindowDC(const TWindowDC&) = delete;
  TWindowDC& operator=(const TWindowDC&) = delete;
  ~TWindowDC() {
    if (dc_) {
      TKeepLastError keep;
      ReleaseDC(window_, dc_);
    }
  }
  HDC get() const noexcept { return dc_; }
  explicit operator bool() const noexcept { return dc_ != nullptr; }

 private:
  HWND window_;
  HDC dc_;
};

// Selects an object into a device context and selects the previous one back
// at the end of the scope, so the object can then be deleted.
class TSelectObject {
 public:
  TSelectObject(HDC dc, HGDIOBJ object) noexcept : dc_(dc), old_(SelectObject(dc, object)) {
    if (old_ == HGDI_ERROR) old_ = nullptr;
  }
  TSelectObject(TSelectObject&& other) noexcept : dc_(other.dc_), old_(std::exchange(other.old_, nullptr)) {}
  TSelectObject& operator=(TSelectObject&&) = delete;
  TSelectObject(const TSelectObject&) = delete;
  TSelectObject& operator=(const TSelectObject&) = delete;
  ~TSelectObject() {
    if (old_) {
      TKeepLastError keep;
      SelectObject(dc_, old_);
    }
  }
  // False when the selection failed (nothing will be restored).
  explicit operator bool() const noexcept { return old_ != nullptr; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// A movable global memory block locked for the scope.
template <class T = void>
class TGlobalLock {
 public:
  explicit TGlobalLock(HGLOBAL memory) noexcept
      : memory_(memory), p_(memory ? static_cast<T*>(GlobalLock(memory)) : nullptr) {}
  TGlobalLock(TGlobalLock&& other) noexcept : memory_(other.memory_), p_(std::exchange(other.p_, nullptr)) {}
  TGlobalLock& operator=(TGlobalLock&&) = delete;
  TGlobalLock(const TGlobalLock&) = delete;
  TGlobalLock& operator=(const TGlobalLock&) = delete;
  ~TGlobalLock() {
    if (p_) {
      TKeepLastError keep;
      GlobalUnlock(memory_);
    }
  }
  T* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  HGLOBAL memory_;
  T* p_;
};

// One reference to a COM interface.
template <class T>
class TComPtr {
 public:
  TComPtr() noexcept = default;
  explicit TComPtr(T* p) noexcept : p_(p) {}  // takes over a reference
  TComPtr(TComPtr&& other) noexcept : p_(other.release()) {}
  TComPtr& operator=(TComPtr&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  TComPtr(const TComPtr&) = delete;
  TComPtr& operator=(const TComPtr&) = delete;
  ~TComPtr() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* release() noexcept { return std::exchange(p_, nullptr); }
  void reset(T* p = nullptr) noexcept {
    if (T* old = std::exchange(p_, p)) {
      TKeepLastError keep;
      old->Release();
    }
  }
  // For out-parameters: releases the current reference first.
  T** put() noexcept {
    reset();
    return &p_;
  }
  void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

 private:
  T* p_ = nullptr;
};

// COM for the calling thread for the scope. A thread that already chose
// another apartment keeps it (the call fails and nothing is undone later).
// Declare it before the COM pointers it serves, so they are released first.
class TComInit {
 public:
  explicit TComInit(DWORD model = COINIT_APARTMENTTHREADED) noexcept : hr_(CoInitializeEx(nullptr, model)) {}
  TComInit(const TComInit&) = delete;
  TComInit& operator=(const TComInit&) = delete;
  ~TComInit() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  HRESULT hr() const noexcept { return hr_; }
  explicit operator bool() const noexcept { return SUCCEEDED(hr_); }

 private:
  HRESULT hr_;
};

}  // namespace skan::base
