#include "scan_start.h"

#include <windows.h>

#include <stdexcept>
#include <utility>

#include "files_win.h"
#include "page_naming.h"
#include "scan_negotiation.h"
#include "peer_protocol.h"
#include "base/encoding.h"
#include "base/system_error_win.h"
#include "transfer_mechanism.h"

namespace skan {

std::wstring TempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return {};
  std::wstring path(buffer, n);
  std::wstring longPath(32768, L'\0');
  const DWORD m = GetLongPathNameW(path.c_str(), longPath.data(), DWORD(longPath.size()));
  if (m > 0 && m < longPath.size()) path.assign(longPath.data(), m);
  if (path.back() != L'\\') path += L'\\';
  return path;
}

std::wstring UniqueTempFile(const std::wstring& folder) {
  wchar_t name[MAX_PATH] = L"";
  if (!GetTempFileNameW(folder.c_str(), L"tmp", 0, name)) throw std::runtime_error(base::SystemMessage(GetLastError()));
  return name;
}

std::wstring MyGetTempFile(std::wstring_view) { return UniqueTempFile(TempFolder()); }

bool TScanStart::LoadManager() {
  if (!TwainManager1_) TwainManager1_ = std::make_unique<twain::TTwainManager>();
  twain::TTwainManager& twain = *TwainManager1_;
  twain.SetLibraryLoaded(true);
  twain.SetSourceManagerLoaded(true);
  return twain.LibraryLoaded() && twain.SourceManagerLoaded();
}

void TScanStart::Wire() {
  twain::TTwainManager& twain = *TwainManager1_;
  twain.OnSourceSetupFileXfer = [this](twain::TTwainObject* s, int index) {
    TwainManager1SourceSetupFileXfer(s, index);
  };
  twain.OnSourceFileTransfer = [this](twain::TTwainObject* s, int index, const TW_STR255& name, twain::TTwainFormat f,
                                      bool& c) { TwainManager1SourceFileTransfer(s, index, name, f, c); };
  twain.OnTransferComplete = [this](twain::TTwainObject* s, int index, bool canceled) {
    window_.TwainManager1TransferComplete(s, index, canceled);
  };
  twain.OnSourcePageStart = [this](twain::TTwainObject* s, int index) { TwainManager1SourcePageStart(s, index); };
  twain.OnTwainAcquire = [this](twain::TTwainObject* s, int index, twain::TTwainBitmap& image, bool& c) {
    TwainManager1TwainAcquire(s, index, image, c);
  };
  twain.OnCancelPending = [this](twain::TTwainObject*, int) { return CancelPending && CancelPending(); };
}

void TScanStart::SkanujdoPDF1Click(const TScanSettings* settings) {
  window_.SetScanStatus(skan::scan_status::kBegin);
  // A list left by a scan that has not completed stays; new pages follow.
  if (!window_.Lista()) {
    window_.Lista().emplace();
    pageFailures_.clear();
  }
  pendingPage_.clear();
  window_.SetTmpPath(TempFolder() + L"scan\\");
  EnsureFolder(window_.GetTmpPath());

  // No library, no source manager or no scanner: stop without a word.
  if (!LoadManager() || TwainManager1_->SourceCount() == 0) return;
  twain::TTwainManager& twain = *TwainManager1_;

  int position;
  if (settings) {
    // The source the request named, opened and negotiated again when a
    // batch before this one closed it.
    position = FindScanner(twain, settings->scanner);
    twain::TTwainSource* source = position >= 0 ? twain.Source(position) : nullptr;
    if (!source) return;
    if (!source->Loaded()) {
      source->SetLoaded(true);
      if (!source->Loaded() || NegotiateScanSettings(*source, *settings)) {
        source->SetLoaded(false);
        return;
      }
    }
    source->SetShowUI(settings->showScannerUI);
    Wire();
  } else {
    const int i = twain.SelectSource();
    Wire();
    // A cancelled selection (-1) means the source manager's default source,
    // found by its identity record. Opening a source gives its record a new Id
    // (Wine's source manager does), after which the record no longer matches,
    // so the default is turned into its position once, before the open.
    position = i == -1 ? twain.GetDefaultSource() : i;
  }
  // When the default source is not among the listed ones there is nothing to
  // open, and the start ends as silently as with no scanner at all.
  twain::TTwainSource* source = twain.Source(position);
  if (!source) return;
  source->SetLoaded(true);
  // File transfer when the scanner offers it; a scanner without it hands the
  // pages over in memory, and each is written to the file that file transfer
  // would have used. An open, enabled scanner (a second start) is left as it is.
  if ((source = twain.Source(position)) && source->Loaded() && !source->Enabled())
    source->SetTransferMode(twain::ChooseTransferMode(*source));
  if ((source = twain.Source(position))) source->SetEnabled(true);
}

std::optional<TPeerError> TScanStart::Prepare(const TScanSettings& settings) {
  if (!LoadManager()) return NoScannerError(settings.scanner);
  twain::TTwainManager& twain = *TwainManager1_;
  const int position = FindScanner(twain, settings.scanner);
  // (Source(-1) would be the default source.)
  twain::TTwainSource* source = position >= 0 ? twain.Source(position) : nullptr;
  if (!source) return NoScannerError(settings.scanner);
  // Another request's source, left open, goes first.
  for (int i = 0; i < twain.SourceCount(); ++i)
    if (twain::TTwainSource* other = twain.Source(i); i != position && other && !other->Enabled())
      other->SetLoaded(false);
  source->SetLoaded(true);
  if (!source->Loaded()) return NoScannerError(settings.scanner);
  if (std::optional<TSettingProblem> problem = NegotiateScanSettings(*source, settings)) {
    source->SetLoaded(false);
    return UnsupportedSettingError(*problem);
  }
  return std::nullopt;
}

std::vector<TScannerInfo> TScanStart::Scanners() {
  if (!LoadManager()) return {};
  return ListScanners(*TwainManager1_);
}

std::optional<TPeerError> TScanStart::Caps(const std::string& id, TScannerCaps& caps) {
  if (!LoadManager()) return NoScannerError(id);
  const int position = FindScanner(*TwainManager1_, id);
  twain::TTwainSource* source = position >= 0 ? TwainManager1_->Source(position) : nullptr;
  if (!source) return NoScannerError(id);
  const bool wasOpen = source->Loaded();
  if (!wasOpen) source->SetLoaded(true);
  if (!source->Loaded()) return NoScannerError(id);
  caps = ReadScannerCaps(*source);
  if (!wasOpen) source->SetLoaded(false);
  return std::nullopt;
}

bool TScanStart::HasScanner() { return LoadManager() && TwainManager1_->SourceCount() > 0; }

bool TScanStart::AbortBatch() {
  if (!TwainManager1_) return false;
  twain::TTwainManager& twain = *TwainManager1_;
  for (int i = 0; i < twain.SourceCount(); ++i) {
    twain::TTwainSource* source = twain.Source(i);
    if (!source || !source->Enabled()) continue;
    source->SetLoaded(false);  // disables it first
    window_.TwainManager1TransferComplete(&twain, i, true);
    return true;
  }
  return false;
}

std::wstring TScanStart::NameNextPage() {
  const std::wstring page = PageFileName(window_.GetTmpPath(), MyGetTempFile(L""));
  window_.SetFilename(page);
  if (auto& lista = window_.Lista()) lista->push_back(page);
  return page;
}

void TScanStart::TwainManager1SourceSetupFileXfer(twain::TTwainObject*, int Index) {
  const std::wstring page = NameNextPage();
  if (twain::TTwainSource* source = TwainManager1_->Source(Index)) source->SetupFileTransfer(page, twain::tfBMP);
}

void TScanStart::TwainManager1SourcePageStart(twain::TTwainObject*, int) { pendingPage_ = NameNextPage(); }

// A page handed over in memory goes to the name it got at its start, so a
// page that then fails or is cancelled stays listed without a file, as with
// file transfer, and the assembly reports it missing whatever the transfer.
// A file that cannot be written whole is removed and the page counts as
// failed; completion reports the system's reason with the file's name.
void TScanStart::TwainManager1TwainAcquire(twain::TTwainObject*, int, twain::TTwainBitmap& Image, bool&) {
  const std::wstring page = pendingPage_.empty() ? NameNextPage() : std::exchange(pendingPage_, std::wstring());
  std::vector<uint8_t> bytes;
  if (!twain::BitmapFileBytes(Image.Handle(), bytes)) {
    Image.SetKept(false);
    return;
  }
  DWORD error = 0;
  HANDLE file = CreateFileW(page.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    pageFailures_[page] = "Cannot create file \"" + base::Narrow(page) + "\". " + base::SystemMessage(error);
    Image.SetKept(false);
    return;
  }
  if (!WritePage(file, bytes.data(), bytes.size())) error = GetLastError();
  if (!CloseHandle(file) && !error) error = GetLastError();
  if (error) {
    DeleteFileW(page.c_str());
    pageFailures_[page] = "Cannot write file \"" + base::Narrow(page) + "\". " + base::SystemMessage(error);
    Image.SetKept(false);
    return;
  }
  window_.PageFileWritten(page);  // complete: the window may start on it
}

std::string TScanStart::PageFailure(const std::wstring& page) const {
  const auto it = pageFailures_.find(page);
  return it == pageFailures_.end() ? std::string() : it->second;
}

void TScanStart::TwainManager1SourceFileTransfer(twain::TTwainObject*, int, const TW_STR255&, twain::TTwainFormat,
                                                 bool&) {
  // The file named last is complete; the window may start on it.
  if (auto& lista = window_.Lista(); lista && !lista->empty()) window_.PageFileWritten(lista->back());
}

}  // namespace skan
