#include "scan_completion.h"

#include <windows.h>

#include <stdexcept>

#include "base/handles_win.h"
#include "create_valid_pdf.h"
#include "encode_file.h"
#include "files_win.h"
#include "peer_protocol.h"
#include "base/encoding.h"
#include "base/system_error_win.h"

namespace skan {

namespace {

std::wstring FolderOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/:");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace

void TwainManager1TransferComplete(TScanCompletionHost& host) {
  struct TReleaseLista {
    TScanCompletionHost& host;
    ~TReleaseLista() { host.ReleaseLista(); }
  } releaseLista{host};
  // Taken at once, so that it goes with `lista` however the handler ends.
  const std::unique_ptr<TPagePipeline> pipeline = host.TakePipeline();
  const std::shared_ptr<TPageOcr> ocr = host.TakePageOcr();

  host.SetScanStatus(base::Widen(scan_status::kPrepared));
  host.WriteMessage(PreparingMessage());
  host.WriteMessage(PartMessage());

  static const std::vector<std::wstring> kNoPages;
  const std::vector<std::wstring>* lista = host.Lista();
  const std::vector<std::wstring>& pages = lista ? *lista : kNoPages;
  // The first page without a file fails the assembly; when the scan could
  // not write it (a full disk, say), that is the failure reported.
  for (const std::wstring& page : pages) {
    if (FileExists(page)) continue;
    const std::string failure = host.PageFailure(page);
    if (!failure.empty()) throw std::runtime_error(failure);
    break;
  }
  const std::wstring filename = pipeline ? pipeline->CreateValidPDF(pages, host.TempFolder())
                                         : CreateValidPDF(pages, host.TempFolder(), host.DrawFlags(), ocr.get());
  // Pages that went in without text, and why.
  if (ocr)
    for (const std::string& line : ocr->TakeNotes()) host.AppendLog(base::Widen(line));
  const std::unique_ptr<TExportAhead> ahead = pipeline ? pipeline->TakeExportAhead() : nullptr;
  host.SetFilename(filename);
  if (FileExists(filename)) host.AppendLog(filename);

  {
    // Opened here, so that a PDF that cannot be opened fails before the log
    // lines below; read and exported a piece at a time by SaveTo (only what
    // the export made ahead does not hold), and closed before the pane
    // opens it. Base64 is ASCII, which every ANSI code page
    // spells the same.
    TExportSource pdf(filename);
    const std::wstring scanId = host.ScanId();
    host.AppendLog(L"scan_id: " + scanId);
    if (scanId.empty()) {
      pdf.SaveTo(ChangeFileExt(filename, L".bs"), ahead.get());
    } else {
      const std::wstring folder = FolderOf(filename) + L"scan\\" + scanId + L"\\";
      host.AppendLog(L"lfilename: " + folder);
      EnsureFolder(folder);  // a failure shows at the save
      pdf.SaveTo(folder + L"scan.bs", ahead.get());
    }
  }

  host.Navigate(filename);
  host.SetScanStatus(base::Widen(scan_status::kReady));
}

}  // namespace skan
