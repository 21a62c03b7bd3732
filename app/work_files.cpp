#include "work_files.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <cwctype>
#include <stdexcept>

#include "base/system_error_win.h"

namespace skan {

namespace {

constexpr wchar_t kPrefix[] = L"skw";
constexpr wchar_t kExtension[] = L".tmp";

// When the process behind `process` started; 0 when the system cannot say.
unsigned long long ProcessStart(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

struct TSelf {
  DWORD pid;
  unsigned long long start;
};

const TSelf& Self() {
  static const TSelf self{GetCurrentProcessId(), ProcessStart(GetCurrentProcess())};
  return self;
}

// Whether the host that made a work file may still be running. Whatever the
// system will not say counts as running: a file kept too long costs less
// than one taken from a host that is writing it.
bool HostRunning(DWORD pid, unsigned long long start) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to look at
  DWORD code = 0;
  bool running = true;
  // The same id with another start is a later process: the host is gone.
  if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) running = false;
  if (const unsigned long long started = ProcessStart(process); started && started != start) running = false;
  CloseHandle(process);
  return running;
}

// Reads `digits` hexadecimal digits (exactly, or 1 to `digits` when not
// `exact`) from `p`; advances it.
bool ReadHex(const wchar_t*& p, size_t digits, bool exact, unsigned long long& value) {
  value = 0;
  size_t n = 0;
  for (; n < digits && std::iswxdigit(*p); ++n, ++p)
    value = value * 16 + static_cast<unsigned>(*p <= L'9' ? *p - L'0' : (*p | 0x20) - L'a' + 10);
  return exact ? n == digits : n > 0;
}

}  // namespace

bool ParseWorkFileName(const std::wstring& name, unsigned long& pid, unsigned long long& start) {
  if (name.size() < 3 || _wcsnicmp(name.c_str(), kPrefix, 3) != 0) return false;
  const wchar_t* p = name.c_str() + 3;
  unsigned long long id = 0, number = 0;
  if (!ReadHex(p, 8, true, id) || *p++ != L'-' || !ReadHex(p, 16, true, start) || *p++ != L'-' ||
      !ReadHex(p, 8, false, number) || _wcsicmp(p, kExtension) != 0)
    return false;
  pid = static_cast<unsigned long>(id);
  return true;
}

std::wstring MakeWorkFile(const std::wstring& folder) {
  static std::atomic<unsigned> next{0};
  const TSelf& self = Self();
  for (int attempt = 0; attempt < 0x10000; ++attempt) {
    wchar_t name[64];
    std::swprintf(name, std::size(name), L"%ls%08lX-%016llX-%X%ls", kPrefix, static_cast<unsigned long>(self.pid),
                  self.start, next++, kExtension);
    const std::wstring path = folder + name;
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      return path;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
      throw std::runtime_error(base::SystemMessage(error));
  }
  throw std::runtime_error(base::SystemMessage(ERROR_FILE_EXISTS));
}

size_t RemoveStaleWorkFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((folder + kPrefix + L"*" + kExtension).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  const TSelf& self = Self();
  size_t removed = 0;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    unsigned long pid = 0;
    unsigned long long start = 0;
    // A name of another form (an earlier version's) has no owner to ask;
    // the open below still spares it while anyone holds it.
    if (ParseWorkFileName(found.cFileName, pid, start) &&
        ((pid == self.pid && start == self.start) || HostRunning(pid, start)))
      continue;
    // Opened for nobody else and removed as it closes: a file that someone
    // has open (a host writing it, a person reading it) stays.
    const std::wstring path = folder + found.cFileName;
    const HANDLE file =
        CreateFileW(path.c_str(), DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    CloseHandle(file);
    ++removed;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

size_t RemoveStaleWorkFilesUnder(const std::wstring& temp) {
  if (temp.empty()) return 0;
  size_t removed = RemoveStaleWorkFiles(temp);
  const std::wstring scan = temp + L"scan\\";
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW((scan + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return removed;
  do {
    const std::wstring name = found.cFileName;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name != L"." && name != L"..")
      removed += RemoveStaleWorkFiles(scan + name + L"\\");
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return removed;
}

}  // namespace skan
