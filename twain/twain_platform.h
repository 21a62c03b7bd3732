// What the acquisition layer asks of the operating system: folders, files,
// loading the source manager library, global memory and bitmaps. The system's
// own implementation is the default; unit tests put a fake in its place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "twain.h"

#ifndef _WIN32
// The native build compiles the portable part of the layer against these
// stand-ins for the Windows types it passes around (global, as Windows has them).
using HWND = void*;
using HMODULE = void*;
using HBITMAP = void*;
struct POINT {
  long x, y;
};
struct MSG {
  HWND hwnd;
  unsigned message;
  uintptr_t wParam;
  intptr_t lParam;
  unsigned long time;
  POINT pt;
};
#endif

namespace skan::twain {

// Folder kinds searched for TWAIN_32.DLL, in this order.
enum TDirectoryKind { dkWindows, dkSystem, dkApplication, dkCurrent, dkTemp };

class TTwainPlatform {
 public:
  virtual ~TTwainPlatform() = default;
  // The folder of the given kind; for dkApplication the executable's full path.
  virtual std::wstring Folder(TDirectoryKind kind) = 0;
  virtual bool FileExists(const std::wstring& path) = 0;
  virtual HMODULE LoadLibraryModule(const std::wstring& path) = 0;
  virtual DSMENTRYPROC EntryByOrdinal1(HMODULE module) = 0;
  virtual bool FreeLibraryModule(HMODULE module) = 0;
  // The current mouse position, for the message record handed to the sources.
  virtual POINT CursorPos() = 0;
  // Global memory handed over by a native transfer.
  virtual void* LockGlobal(TW_HANDLE handle, size_t& size) = 0;
  virtual void UnlockGlobal(TW_HANDLE handle) = 0;
  virtual void FreeGlobal(TW_HANDLE handle) = 0;
  // A bitmap of a packed DIB's own format made from its header and the
  // pixelBytes bytes of pixels, with the device context of window: a bitmap
  // section holding a copy of the pixels, or a device-dependent bitmap when the
  // format cannot be a section (compressed rows).
  virtual HBITMAP MakeBitmap(HWND window, const void* header, const void* pixels, size_t pixelBytes) = 0;
  // The bitmap as a packed DIB: a 40-byte info header, colour masks or table,
  // rows bottom-up. A section keeps its format; a device-dependent bitmap
  // comes as 24 bits per pixel.
  virtual bool PackedDib(HBITMAP bitmap, std::vector<uint8_t>& dib) = 0;
  virtual void FreeBitmap(HBITMAP bitmap) = 0;
  // A movable, zero-filled global block (capability containers); null when
  // there is no memory.
  virtual TW_HANDLE AllocGlobal(size_t size) = 0;
  // A device-independent bitmap section from a 40-byte info header and its
  // colour table, made with the device context of window; its pixel memory
  // belongs to the platform.
  virtual HBITMAP MakeSection(HWND window, const void* info) = 0;
  // Width, height, bits per pixel and pixel memory of a bitmap section.
  virtual bool SectionPixels(HBITMAP bitmap, int& width, int& height, int& bitsPerPixel, uint8_t*& bits) = 0;
  // The user's decimal separator, for numbers shown as text.
  virtual wchar_t DecimalSeparator() { return L'.'; }
};

// The platform in use; SetTwainPlatform(nullptr) restores the system's own.
TTwainPlatform& TwainPlatform();
void SetTwainPlatform(TTwainPlatform* platform);

}  // namespace skan::twain
