// Scan start and page naming of the main window: brings up the TWAIN layer,
// lets the user pick a scanner, enables it, and names one BMP file per page
// in the scan folder of the temporary folder.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/file_win.h"
#include "peer_protocol.h"
#include "scan_settings.h"
#include "twain_manager.h"

namespace skan {

// What scan start needs of the main window.
class IScanWindow {
 public:
  virtual ~IScanWindow() = default;
  virtual void SetScanStatus(std::string_view status) = 0;
  virtual std::wstring GetTmpPath() = 0;
  virtual void SetTmpPath(const std::wstring& path) = 0;
  virtual std::optional<std::vector<std::wstring>>& Lista() = 0;
  // The window's current file: the latest page while a scan runs.
  virtual void SetFilename(const std::wstring& path) = 0;
  // The end of a batch (scan completion).
  virtual void TwainManager1TransferComplete(twain::TTwainObject* Sender, int Index, bool Canceled) = 0;
  // The scanner has written the page file `page` (the latest in `lista`).
  virtual void PageFileWritten(const std::wstring& page) { (void)page; }
};

class TScanStart {
 public:
  explicit TScanStart(IScanWindow& window) : window_(window) {}

  // "Scan to PDF" and the context-menu item "Skanuj do PDF". With settings
  // (a page-driven request) the source they name is enabled with them, and
  // without its dialog unless they ask for it; without, the person picks
  // the source in "Select source" and scans through its dialog.
  void SkanujdoPDF1Click(const TScanSettings* settings = nullptr);

  // A page-driven request: opens the source the settings name (the default
  // one without a name) and negotiates them; it stays open for the batch.
  std::optional<TPeerError> Prepare(const TScanSettings& settings);
  // The sources listed by the source manager (none without one).
  std::vector<TScannerInfo> Scanners();
  // What the source with this id offers; it is opened for the question
  // unless it is open already.
  std::optional<TPeerError> Caps(const std::string& id, TScannerCaps& caps);
  // Whether any source could scan now.
  bool HasScanner();
  // Ends a batch whose source is enabled but not transferring (waiting for
  // its pages, or its dialog open): the source is disabled and closed, and
  // the batch ends as cancelled. False when no source was enabled.
  bool AbortBatch();
  // Asked between the pages of a batch: true stops it.
  std::function<bool()> CancelPending;
  // Names the next page's file and tells the source.
  void TwainManager1SourceSetupFileXfer(twain::TTwainObject* Sender, int Index);
  void TwainManager1SourceFileTransfer(twain::TTwainObject* Sender, int Index, const TW_STR255& filename,
                                       twain::TTwainFormat Format, bool& Cancel);
  // Before each page of a native or memory transfer: the page is named as a
  // file-transfer page is, before its transfer.
  void TwainManager1SourcePageStart(twain::TTwainObject* Sender, int Index);
  // A page of a native or memory transfer: written as a BMP file under the
  // name it was given at its start.
  void TwainManager1TwainAcquire(twain::TTwainObject* Sender, int Index, twain::TTwainBitmap& Image, bool& Cancel);

  // Why the listed page `page` has no file, when this scan could not write
  // it: "Cannot write file "<page>". <system message>" (UTF-8); empty
  // otherwise. Kept until the next page list is started.
  std::string PageFailure(const std::wstring& page) const;

  // Writes a page file whole (base::WriteAll); false with the thread's last
  // error set when it cannot. Tests put a failing one in.
  std::function<bool(HANDLE file, const void* data, size_t size)> WritePage = base::WriteAll;

  // Made by the first scan start and kept until the window goes.
  twain::TTwainManager* TwainManager1() const { return TwainManager1_.get(); }

 private:
  // Loads the library and the source manager; false when either is missing.
  bool LoadManager();
  // Hands the manager's events to this object and the window.
  void Wire();
  // Page naming: a fresh unique name, made the window's current file and
  // appended to the page list; returns the page file's path.
  std::wstring NameNextPage();

  IScanWindow& window_;
  std::unique_ptr<twain::TTwainManager> TwainManager1_;
  std::wstring pendingPage_;  // named at the page's start, not yet delivered
  std::map<std::wstring, std::string> pageFailures_;
};

// The system temporary folder in its long form, ending in '\' (empty when
// the system cannot report one).
std::wstring TempFolder();

// A fresh unique name in the temporary folder: "tmp", hexadecimal digits,
// ".tmp", reserved by an empty file that stays. Raises the system's message
// when the name cannot be made.
std::wstring MyGetTempFile(std::wstring_view APrefix);
// The same in the given folder.
std::wstring UniqueTempFile(const std::wstring& folder);

}  // namespace skan
