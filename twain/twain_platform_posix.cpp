// The native build has no source manager: nothing is found, so the layer
// stays unloaded unless a test installs its own platform.
#include "twain_platform.h"

namespace skan::twain {

namespace {

class TNoTwainPlatform final : public TTwainPlatform {
 public:
  std::wstring Folder(TDirectoryKind) override { return {}; }
  bool FileExists(const std::wstring&) override { return false; }
  HMODULE LoadLibraryModule(const std::wstring&) override { return nullptr; }
  DSMENTRYPROC EntryByOrdinal1(HMODULE) override { return nullptr; }
  bool FreeLibraryModule(HMODULE) override { return true; }
  POINT CursorPos() override { return {}; }
  void* LockGlobal(TW_HANDLE, size_t& size) override {
    size = 0;
    return nullptr;
  }
  void UnlockGlobal(TW_HANDLE) override {}
  void FreeGlobal(TW_HANDLE) override {}
  HBITMAP MakeBitmap(HWND, const void*, const void*, size_t) override { return nullptr; }
  bool PackedDib(HBITMAP, std::vector<uint8_t>&) override { return false; }
  void FreeBitmap(HBITMAP) override {}
  TW_HANDLE AllocGlobal(size_t) override { return nullptr; }
  HBITMAP MakeSection(HWND, const void*) override { return nullptr; }
  bool SectionPixels(HBITMAP, int&, int&, int&, uint8_t*&) override { return false; }
};

TNoTwainPlatform gSystem;
TTwainPlatform* gPlatform = &gSystem;

}  // namespace

TTwainPlatform& TwainPlatform() { return *gPlatform; }
void SetTwainPlatform(TTwainPlatform* platform) { gPlatform = platform ? platform : &gSystem; }

}  // namespace skan::twain
