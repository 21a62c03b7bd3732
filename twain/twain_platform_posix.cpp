// The native build has no source manager: nothing is found, so the layer
// stays unloaded unless a test installs its own platform.
#include "twain_platform.h"

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

// Windows-1252 is the usual ANSI code page; here its Latin-1 part stands in,
// with '?' for everything else as the system's conversion does.
std::string TwainToAnsi(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) out += (c >= 0 && c < 0x100) ? char(c) : '?';
  return out;
}

std::wstring TwainFromAnsi(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (char c : text) out += wchar_t(static_cast<unsigned char>(c));
  return out;
}
