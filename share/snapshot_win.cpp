#include <windows.h>

#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/system_error_win.h"
#include "share/errors.h"
#include "share/secret.h"
#include "share/snapshot.h"

namespace skan::share {

namespace {

[[noreturn]] void Fail(const std::filesystem::path& source, DWORD code) {
  throw TShareException("Cannot copy " + base::Narrow(source.native()) + " for sharing: " + base::SystemMessage(code));
}

struct TCloser {
  HANDLE h;
  ~TCloser() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

}  // namespace

TFileSnapshot::TFileSnapshot(const std::filesystem::path& source) {
  TCloser in{CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr)};
  if (in.h == INVALID_HANDLE_VALUE) Fail(source, GetLastError());

  // A name nobody else picks: 64 random bits in the temporary folder.
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
  if (tempLength == 0 || tempLength > MAX_PATH) Fail(source, GetLastError());
  unsigned char id[8];
  SystemRandom(id, sizeof id);
  std::wstring name = temp;
  name += L"skanshare-";
  for (unsigned char b : id) {
    name += L"0123456789abcdef"[b >> 4];
    name += L"0123456789abcdef"[b & 15];
  }
  name += L".tmp";

  DWORD code = 0;
  {
    TCloser out{CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr)};
    if (out.h == INVALID_HANDLE_VALUE) Fail(source, GetLastError());
    std::vector<char> buf(1 << 20);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(in.h, buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
        code = GetLastError();
        break;
      }
      if (got == 0) break;
      DWORD written = 0;
      if (!WriteFile(out.h, buf.data(), got, &written, nullptr) || written != got) {
        code = GetLastError();
        if (code == 0) code = ERROR_WRITE_FAULT;
        break;
      }
    }
  }
  if (code == 0) {
    // From here on the copy goes when this handle closes, also when the
    // process is killed. Readers open it for reading, sharing deletion.
    keeper_ = CreateFileW(name.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (keeper_ == INVALID_HANDLE_VALUE) {
      keeper_ = nullptr;
      code = GetLastError();
    }
  }
  if (code != 0) {
    DeleteFileW(name.c_str());
    Fail(source, code);
  }
  path_ = name;
}

TFileSnapshot::~TFileSnapshot() {
  if (keeper_) CloseHandle(keeper_);
}

}  // namespace skan::share
