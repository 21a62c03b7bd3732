// The main window: the button column, the document pane, the hidden log and
// the state of the current scan request.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_handler.h"
#include "controls.h"
#include "document_pane.h"
#include "page_pipeline.h"
#include "image_button.h"
#include "peer_channel.h"
#include "scan_start.h"
#include "share_action.h"
#include "window.h"

namespace skan {

// Standard output to the peer; a missing handle swallows what is written.
class TStdOutStream {
 public:
  explicit TStdOutStream(HANDLE handle) : handle_(handle) {}
  void Write(const char* data, size_t size);

 private:
  HANDLE handle_;
};

class TSkanowanie : public ui::TWindow, private skan::ICommandHost, private IScanWindow {
 public:
  TSkanowanie();
  ~TSkanowanie() override;

  // Creates the window and its controls; false when the window could not be made.
  bool CreateForm();
  // Shows the window maximised, with its design size as the normal size.
  void ShowMaximized();

  // --- Scan-request state -------------------------------------------------
  // `filename` is read and written under a lock and read as a whole copy
  // (the share server serves its own copy of the confirmed file, not this).
  std::wstring GetFilename() const;
  // `workingFile`: the system made this file in the temporary folder (a page
  // bitmap, the assembled PDF), so a close request may delete it.
  void SetFilename(std::wstring path, bool workingFile);

  skan::TScanRequest request;  // ScanStatus, tmpPath, email, serialnumber
  // The library's draw flags for this request's pages (its "compression").
  uint32_t PageDrawFlags() const;
  std::optional<std::vector<std::wstring>> lista;
  // The pages of the running batch drawn ahead; taken by scan completion.
  skan::TBatchPipeline pipeline_{[this] {
    return std::make_unique<skan::TPagePipeline>(skan::TempFolder(), nullptr, PageDrawFlags(), BatchOcr());
  }};
  // The running batch's page reading for the text layer, in the languages of
  // the request; made at its first use, null when recognition is off.
  std::shared_ptr<skan::TPageOcr> batchOcr_;
  std::shared_ptr<skan::TPageOcr> BatchOcr();
  uint16_t port = 0;

  // --- Peer channel (class-level) -------------------------------------------
  static std::unique_ptr<skan::TPeerInput> FStdIn;
  static std::unique_ptr<TStdOutStream> FStdOut;
  static int32_t NextMessageLength();
  static std::string ReadMessage(int32_t msgLen);
  static void WriteMessage(std::string_view msg);
  // Posted by the reader of standard input when a message is ready or the
  // input has ended.
  static constexpr UINT WM_PEERINPUT = WM_APP + 1;
  // Start_SCAN and Cancel_SCAN act once their reply has gone.
  static constexpr UINT WM_STARTSCAN = WM_APP + 2;
  static constexpr UINT WM_CANCELSCAN = WM_APP + 3;

  // --- Handlers -------------------------------------------------------------
  void ApplicationEvents1Idle(bool& Done);
  void FormClose();
  void ImageButton1Click();  // Load PDF
  void ImageButton2Click();  // Scan to PDF
  void ImageButton3Click();  // Confirm and send
  void ImageButton4Click();  // Exit
  void SkanujdoPDF1Click();
  void ScanFromPage();  // Start_SCAN
  void Panel2MouseDown(UINT button);
  void Panel2DblClick();
  // A wake from the reader of standard input (WM_PEERINPUT) that reached
  // the window, so no idle poll will run: ends the program as END does,
  // without the reply, when the peer's pipe has ended.
  void PeerInputWhileModal();

  // Appends one line to the hidden log pane.
  void AppendLog(std::wstring_view line);
  // Moves lines appended since the last read into the pane's control.
  void FlushLog();

  // The window's keyboard short-cuts (ActionList1) for the message loop.
  HACCEL Shortcuts() const { return ActionList1; }

  TDocumentPane WebBrowser1;
  HWND Memo1 = nullptr;
  // Who asked, shown while a page's request is open: "Żądanie od: <origin>"
  // above the document and "Wyślij do: <origin>" under "Confirm and send".
  // Made when the origin becomes known; none before.
  HWND OriginLabel = nullptr;
  HWND SendToLabel = nullptr;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

 private:
  // ICommandHost
  void Log(std::string_view line) override;
  void Send(std::string_view body) override;
  void Quit() override;
  skan::TLocalTime Now() override;
  std::string TempFolder() override;
  void EnsureFolder(const std::string& path) override;
  void OriginKnown(const std::string& origin) override;
  std::string OcrDataFolder() override;
  void StatusChanged() override;
  std::optional<TPeerError> PrepareScan(const TScanSettings& settings) override;
  std::vector<TScannerInfo> Scanners() override;
  std::optional<TPeerError> ScannerCaps(const std::string& id, TScannerCaps& caps) override;
  std::optional<TPeerError> CanStartScan() override;
  bool BatchUnderway() override { return batchActive_; }
  void StartScan() override;
  bool CancelScan() override;

  // The page drives the scan: events, the batch under way and its end.
  // A request whose batch ends as cancelled when a person or the page
  // cancels it (no PDF): one that is page-driven or follows the events.
  bool PageDriven() const { return request.scan.has_value() || request.peer.events; }
  void SendEvent(const std::string& body);
  // Takes the peer's messages that arrived during a batch (its Cancel_SCAN
  // among them); true when the batch is to stop.
  bool PollPeerDuringBatch();
  void EndCancelledBatch(int pages);
  std::string lastStatusSent_;
  bool batchActive_ = false;       // from the source's enabling to the batch's end
  bool cancelRequested_ = false;   // Cancel_SCAN during the batch
  bool pollingPeer_ = false;       // PollPeerDuringBatch is on the stack
  int pagesDelivered_ = 0;         // page files of the batch under way
  std::string statusBeforeBatch_;  // restored when the batch is cancelled
  std::string documentId_;         // of the latest assembled document

  // IScanWindow: scan start and page naming (scan_start.h).
  void SetScanStatus(std::string_view status) override;
  std::wstring GetTmpPath() override;
  void SetTmpPath(const std::wstring& path) override;
  std::optional<std::vector<std::wstring>>& Lista() override { return lista; }
  void SetFilename(const std::wstring& path) override { SetFilename(path, /*workingFile=*/true); }
  void TwainManager1TransferComplete(twain::TTwainObject* Sender, int Index, bool Canceled) override;
  void PageFileWritten(const std::wstring& page) override;
  TScanStart scanStart_{*this};  // owns TwainManager1
  friend class TSkanowanieCompletionHost;

  void CreateControls();
  void Layout();
  void ApplyDpi();
  void ShowPopupMenu(LPARAM screenPoint);

  static LRESULT CALLBACK Memo1Proc(HWND, UINT, WPARAM, LPARAM, UINT_PTR, DWORD_PTR);

  // The log's text: the most recent lines, at most kLogCapacity characters
  // (a stream of large commands keeps memory flat). Memo1 takes it in one
  // piece when anyone reads the pane, not at each line.
  static constexpr size_t kLogCapacity = 2 * 1024 * 1024;
  std::wstring log_;
  bool logChanged_ = false;

  mutable std::mutex filenameLock_;
  std::wstring filename_;
  bool filenameIsWorkingFile_ = false;

  ui::TPanel Panel2;
  ui::TSplitter Splitter1;
  std::unique_ptr<ui::TImageButton> ImageButton1, ImageButton2, ImageButton3, ImageButton4;
  HMENU PopupMenu1 = nullptr;
  HACCEL ActionList1 = nullptr;
  HFONT font_ = nullptr;
  HFONT originFont_ = nullptr;    // bold and larger, for the origin's strip
  HBRUSH originBrush_ = nullptr;  // the strip's pale yellow
  HICON iconBig_ = nullptr, iconSmall_ = nullptr;
  UINT dpi_ = 96;
  int panelWidth96_ = 173;  // Panel2's width at 96 dpi; the splitter changes it

  // "Confirm and send" and its server HTTPServer1. Declared last, so that it
  // is destroyed first: the server's threads call into it until it stops.
  std::unique_ptr<TShareAction> share_;
};

// A fresh id for an assembled or loaded document.
std::string NewDocumentId();

// The main window and the identifier of the current scan request.
extern TSkanowanie* Skanowanie;
extern std::string scan_id;

}  // namespace skan
