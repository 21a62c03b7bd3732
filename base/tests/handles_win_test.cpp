// The Windows owning types on real resources: nothing stays behind when the
// code between acquire and release throws, a selection is restored, and the
// last error survives the cleanup.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "base/handles_win.h"

namespace skan::base {

namespace {

DWORD GdiObjects() { return GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS); }

DWORD Handles() {
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return n;
}

TEST(WinHandles, NothingLeaksWhenTheMiddleThrows) {
  const auto path = std::filesystem::temp_directory_path() / "handles_win_test.bin";
  const DWORD gdiBefore = GdiObjects(), handlesBefore = Handles();
  HANDLE file = nullptr, event = nullptr;
  HDC dc = nullptr;
  HBITMAP bitmap = nullptr;
  try {
    base::TFileHandle ownedFile(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    base::THandle ownedEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    base::TDC ownedDc(CreateCompatibleDC(nullptr));
    base::TGdiObject<HBITMAP> ownedBitmap(CreateCompatibleBitmap(ownedDc.get(), 64, 64));
    base::TSelectObject selected(ownedDc.get(), ownedBitmap.get());
    base::TGlobalMemory ownedMemory(GlobalAlloc(GHND, 4096));
    base::TGlobalLock<char> locked(ownedMemory.get());
    ASSERT_TRUE(ownedFile && ownedEvent && ownedDc && ownedBitmap && selected && ownedMemory && locked);
    file = ownedFile.get();
    event = ownedEvent.get();
    dc = ownedDc.get();
    bitmap = ownedBitmap.get();
    throw std::runtime_error("between acquire and release");
  } catch (const std::runtime_error&) {
  }
  // Each handle is gone: the system no longer knows it.
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(file, &flags));
  EXPECT_FALSE(GetHandleInformation(event, &flags));
  EXPECT_EQ(GetObjectType(dc), 0u);
  EXPECT_EQ(GetObjectType(bitmap), 0u);
  EXPECT_EQ(GdiObjects(), gdiBefore);
  EXPECT_EQ(Handles(), handlesBefore);
  // The file can be opened without sharing and deleted.
  base::TFileHandle again(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_TRUE(again);
  again.reset();
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

TEST(WinHandles, SelectionIsRestoredBeforeTheObjectGoes) {
  base::TDC dc(CreateCompatibleDC(nullptr));
  ASSERT_TRUE(dc);
  const HGDIOBJ original = GetCurrentObject(dc.get(), OBJ_BITMAP);
  {
    base::TGdiObject<HBITMAP> bitmap(CreateCompatibleBitmap(dc.get(), 8, 8));
    base::TSelectObject selected(dc.get(), bitmap.get());
    EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), bitmap.get());
  }
  EXPECT_EQ(GetCurrentObject(dc.get(), OBJ_BITMAP), original);
}

TEST(WinHandles, ReleasingKeepsTheLastError) {
  base::TFileHandle file(
      CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  base::TDC dc(CreateCompatibleDC(nullptr));
  base::TModule module(LoadLibraryW(L"version.dll"));
  ASSERT_TRUE(module);
  // Acquiring may set the error itself (GetDC does on some systems), so only
  // the releases run between setting it and reading it back.
  auto screen = std::make_unique<base::TWindowDC>(nullptr);
  ASSERT_TRUE(*screen);
  SetLastError(ERROR_FILE_NOT_FOUND);
  file.reset();
  dc.reset();
  module.reset();
  screen.reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(WinHandles, ComInitialisationAndPointer) {
  base::TComInit com(COINIT_APARTMENTTHREADED);
  ASSERT_TRUE(com);
  base::TComPtr<IMalloc> a;
  ASSERT_EQ(CoGetMalloc(1, a.put()), S_OK);
  ASSERT_TRUE(a);
  a->AddRef();
  const ULONG references = a->Release();  // the count before the moves
  base::TComPtr<IMalloc> b(std::move(a));
  EXPECT_FALSE(a);
  b->AddRef();
  EXPECT_EQ(b->Release(), references) << "a move takes no reference of its own";
  IMalloc* raw = b.release();
  EXPECT_FALSE(b);
  raw->Release();
}

}  // namespace

}  // namespace skan::base
