#include "scan_completion.h"

#include <windows.h>

#include <stdexcept>

#include "create_valid_pdf.h"
#include "encode_file.h"

namespace scan {

const char* const kMessagePreparing =
    "{\"Nieznane polecenie \": \"Dokument zeskanowany, przygotowuj\xC4\x99 do wysy\xC5\x82ki.\" }";
const char* const kMessagePart = "{\"Czesc \": \"1\" }";

namespace {

std::string Utf8(const std::wstring& w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::string SystemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : L"System error " + std::to_wstring(code);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() <= L' ' || text.back() == L'.')) text.pop_back();
  return Utf8(text);
}

bool FileExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

void SaveLines(const std::wstring& path, const std::vector<std::string>& lines) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    throw std::runtime_error("Cannot create file \"" + Utf8(path) + "\". " + SystemMessage(error));
  }
  // Base64 is ASCII, which every ANSI code page spells the same.
  const std::string bytes = JoinLinesCrLf(lines);
  size_t done = 0;
  DWORD error = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(h, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
      error = GetLastError();
      break;
    }
    done += wrote;
  }
  CloseHandle(h);
  if (error) throw std::runtime_error("Cannot write file \"" + Utf8(path) + "\". " + SystemMessage(error));
}

void TwainManager1TransferComplete(TScanCompletionHost& host) {
  struct TReleaseLista {
    TScanCompletionHost& host;
    ~TReleaseLista() { host.ReleaseLista(); }
  } releaseLista{host};

  host.SetScanStatus(L"Prepared_SCAN");
  host.WriteMessage(kMessagePreparing);
  host.WriteMessage(kMessagePart);

  static const std::vector<std::wstring> kNoPages;
  const std::vector<std::wstring>* lista = host.Lista();
  const std::wstring filename = CreateValidPDF(lista ? *lista : kNoPages, host.TempFolder());
  host.SetFilename(filename);
  if (FileExists(filename)) host.AppendLog(filename);

  const std::string base64 = EncodeFile(filename);
  const std::wstring scanId = host.ScanId();
  host.AppendLog(L"scan_id: " + scanId);
  const std::vector<std::string> lines = SplitLines(base64);
  if (scanId.empty()) {
    SaveLines(ChangeFileExt(filename, L".bs"), lines);
  } else {
    const std::wstring folder = FolderOf(filename) + L"scan\\" + scanId + L"\\";
    host.AppendLog(L"lfilename: " + folder);
    if (!DirectoryExists(folder)) CreateDirectoryW(folder.c_str(), nullptr);  // a failure shows at the save
    SaveLines(folder + L"scan.bs", lines);
  }

  host.Navigate(filename);
  host.SetScanStatus(L"Redy_SCAN");
}

}  // namespace scan
