#include "scan_completion.h"

#include <windows.h>

#include <stdexcept>

#include "base/handles_win.h"
#include "create_valid_pdf.h"
#include "encode_file.h"
#include "files_win.h"
#include "base/encoding.h"
#include "base/system_error_win.h"

namespace skan {

const char* const kMessagePreparing =
    "{\"Nieznane polecenie \": \"Dokument zeskanowany, przygotowuj\xC4\x99 do wysy\xC5\x82ki.\" }";
const char* const kMessagePart = "{\"Czesc \": \"1\" }";

namespace {

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

void SaveLines(const std::wstring& path, const std::vector<std::string>& lines) {
  base::TFileHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    const DWORD error = GetLastError();
    throw std::runtime_error("Cannot create file \"" + base::Narrow(path) + "\". " + base::SystemMessage(error));
  }
  // Base64 is ASCII, which every ANSI code page spells the same.
  const std::string bytes = JoinLinesCrLf(lines);
  size_t done = 0;
  DWORD error = 0;
  while (done < bytes.size()) {
    DWORD wrote = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
    if (!WriteFile(h.get(), bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
      error = GetLastError();
      break;
    }
    done += wrote;
  }
  h.reset();
  if (error) throw std::runtime_error("Cannot write file \"" + base::Narrow(path) + "\". " + base::SystemMessage(error));
}

void TwainManager1TransferComplete(TScanCompletionHost& host) {
  struct TReleaseLista {
    TScanCompletionHost& host;
    ~TReleaseLista() { host.ReleaseLista(); }
  } releaseLista{host};
  // Taken at once, so that it goes with `lista` however the handler ends.
  const std::unique_ptr<TPagePipeline> pipeline = host.TakePipeline();

  host.SetScanStatus(L"Prepared_SCAN");
  host.WriteMessage(kMessagePreparing);
  host.WriteMessage(kMessagePart);

  static const std::vector<std::wstring> kNoPages;
  const std::vector<std::wstring>* lista = host.Lista();
  const std::vector<std::wstring>& pages = lista ? *lista : kNoPages;
  const std::wstring filename =
      pipeline ? pipeline->CreateValidPDF(pages, host.TempFolder()) : CreateValidPDF(pages, host.TempFolder());
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
    EnsureFolder(folder);  // a failure shows at the save
    SaveLines(folder + L"scan.bs", lines);
  }

  host.Navigate(filename);
  host.SetScanStatus(L"Redy_SCAN");
}

}  // namespace skan
