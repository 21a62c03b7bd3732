#include "main_window.h"

#include "page_ocr.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "application.h"
#include "files_win.h"
#include "resource.h"
#include "scan_completion.h"
#include "pdf/pdf_binding.h"
#include "thumbnail.h"
#include "base/encoding.h"
#include "base/file.h"
#include "share/secret.h"

namespace skan {

TSkanowanie* Skanowanie = nullptr;
std::string scan_id;

std::unique_ptr<skan::TPeerInput> TSkanowanie::FStdIn;
std::unique_ptr<TStdOutStream> TSkanowanie::FStdOut;

namespace {

// Control and command identifiers.
enum : UINT {
  kMemo1 = 100,
  kPanel2,
  kSplitter1,
  kWebBrowser1,
  kImageButton1,
  kImageButton2,
  kImageButton3,
  kImageButton4,
  kOriginLabel,
  kSendToLabel,
  kMenuLoadFromFile = 200,  // "Ładuj z pliku": no handler
  kMenuScanToPdf,           // "Skanuj do PDF"
  kMenuSave,                // "Zapisz": no handler
  kActionScan = 300,        // ASkanuj, F11: no handler
  kActionSave,              // AZapisz, F10: no handler
};

// Layout at 96 dots per inch.
constexpr int kDesignClientWidth = 1138;
constexpr int kDesignClientHeight = 797;
constexpr int kMemoWidth = 153;
constexpr int kSplitterWidth = 3;
constexpr int kSplitterMinSize = 30;
constexpr int kButtonSize = 160;
constexpr int kPictureSize = 128;
constexpr int kFontPoints = 8;
constexpr int kOriginLabelHeight = 30;  // the strip above the document
constexpr int kOriginFontPoints = 11;
constexpr COLORREF kOriginBackground = RGB(255, 243, 191);
constexpr int kSendToTop = 734;  // under "Confirm and send"
constexpr int kSendToHeight = 56;

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
  return !prefix.empty() && text.size() >= prefix.size() &&
         CompareStringOrdinal(text.c_str(), static_cast<int>(prefix.size()), prefix.c_str(),
                              static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

void TStdOutStream::Write(const char* data, size_t size) {
  if (!handle_ || handle_ == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr);
}

TSkanowanie::TSkanowanie() {
  TShareWindow w;
  w.filename = [this] { return std::filesystem::path(GetFilename()); };
  w.WriteMessage = [](const std::string& body) { WriteMessage(body); };
  w.Log = [this](const std::wstring& line) { AppendLog(line); };
  w.port = &port;
  // Message 7 names the document for a peer that follows the events.
  w.documentId = [this] { return request.peer.events ? documentId_ : std::string(); };
  share_ = std::make_unique<TShareAction>(std::move(w));
  scanStart_.CancelPending = [this] { return PollPeerDuringBatch(); };
}

TSkanowanie::~TSkanowanie() {
  if (Handle()) DestroyWindow(Handle());
  ImageButton1.reset();
  ImageButton2.reset();
  ImageButton3.reset();
  ImageButton4.reset();
  if (PopupMenu1) DestroyMenu(PopupMenu1);
  if (ActionList1) DestroyAcceleratorTable(ActionList1);
  if (font_) DeleteObject(font_);
  if (originFont_) DeleteObject(originFont_);
  if (originBrush_) DeleteObject(originBrush_);
  if (iconBig_) DestroyIcon(iconBig_);
  if (iconSmall_) DestroyIcon(iconSmall_);
}

bool TSkanowanie::CreateForm() {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  iconBig_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_MAINICON), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  iconSmall_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_MAINICON), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  RegisterClass(L"TSkanowanie", CS_DBLCLKS, LoadCursorW(nullptr, IDC_ARROW),
                reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1), iconBig_, iconSmall_);

  // The normal (restored) size is the design size, centred on the work area.
  RECT work;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  UINT systemDpi = ui::WindowDpi(nullptr);
  int width = ui::Scale(kDesignClientWidth, systemDpi);
  int height = ui::Scale(kDesignClientHeight, systemDpi);
  int x = work.left + std::max(0, int(work.right - work.left - width) / 2);
  int y = work.top + std::max(0, int(work.bottom - work.top - height) / 2);

  // No frame and no caption; the task-bar button comes from WS_EX_APPWINDOW.
  if (!Create(WS_EX_APPWINDOW, L"TSkanowanie", L"",
              WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX, x, y, width, height, nullptr))
    return false;
  SendMessageW(Handle(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(iconBig_));
  SendMessageW(Handle(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(iconSmall_));
  CreateControls();
  ApplyDpi();
  return true;
}

void TSkanowanie::ShowMaximized() {
  // The placement carries both the maximised state and the normal bounds,
  // so the first restore gives the design size.
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  GetWindowPlacement(Handle(), &placement);
  placement.showCmd = SW_SHOWMAXIMIZED;
  SetWindowPlacement(Handle(), &placement);
  UpdateWindow(Handle());
}

void TSkanowanie::CreateControls() {
  HWND self = Handle();
  HINSTANCE instance = GetModuleHandleW(nullptr);

  // The diagnostic log: present but never shown.
  Memo1 =
      CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                      WS_CHILD | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_READONLY,
                      0, 0, 0, 0, self, reinterpret_cast<HMENU>(kMemo1), instance, nullptr);
  SendMessageW(Memo1, EM_SETLIMITTEXT, 0, 0);
  SetWindowSubclass(Memo1, Memo1Proc, 1, reinterpret_cast<DWORD_PTR>(this));

  Panel2.Create(self, kPanel2);
  Panel2.OnMouseDown = [this](UINT button) { Panel2MouseDown(button); };
  Panel2.OnDblClick = [this] { Panel2DblClick(); };
  Splitter1.Create(self, kSplitter1);
  Splitter1.OnMoved = [this](int left) {
    RECT client;
    GetClientRect(Handle(), &client);
    int minimum = ui::Scale(kSplitterMinSize, dpi_);
    left = std::clamp(left, minimum, std::max(minimum, int(client.right) - minimum));
    panelWidth96_ = MulDiv(left, 96, static_cast<int>(dpi_));
    Layout();
  };
  WebBrowser1.Create(self, kWebBrowser1);

  HWND panel = Panel2.Handle();
  ImageButton4 = std::make_unique<ui::TImageButton>(panel, kImageButton4, L"Exit", L"PNG_EXIT");
  ImageButton1 = std::make_unique<ui::TImageButton>(panel, kImageButton1, L"Load PDF", L"PNG_LOAD");
  ImageButton2 = std::make_unique<ui::TImageButton>(panel, kImageButton2, L"Scan to PDF", L"PNG_SCAN");
  ImageButton3 = std::make_unique<ui::TImageButton>(panel, kImageButton3, L"Confirm and send", L"PNG_SEND");
  ImageButton4->OnClick = [this] { ImageButton4Click(); };
  ImageButton1->OnClick = [this] { ImageButton1Click(); };
  ImageButton2->OnClick = [this] { ImageButton2Click(); };
  ImageButton3->OnClick = [this] { ImageButton3Click(); };

  PopupMenu1 = CreatePopupMenu();
  AppendMenuW(PopupMenu1, MF_STRING, kMenuLoadFromFile, L"Ładuj z pliku");
  AppendMenuW(PopupMenu1, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(PopupMenu1, MF_STRING, kMenuScanToPdf, L"Skanuj do PDF");
  AppendMenuW(PopupMenu1, MF_STRING, kMenuSave, L"Zapisz");

  ACCEL keys[] = {{FVIRTKEY, VK_F11, kActionScan}, {FVIRTKEY, VK_F10, kActionSave}};
  ActionList1 = CreateAcceleratorTableW(keys, 2);
}

void TSkanowanie::ApplyDpi() {
  dpi_ = ui::WindowDpi(Handle());
  if (font_) DeleteObject(font_);
  font_ =
      CreateFontW(-MulDiv(kFontPoints, static_cast<int>(dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
  SendMessageW(Handle(), WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  SendMessageW(Memo1, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (SendToLabel) {
    if (originFont_) DeleteObject(originFont_);
    originFont_ = CreateFontW(-MulDiv(kOriginFontPoints, static_cast<int>(dpi_), 72), 0, 0, 0, FW_BOLD, FALSE, FALSE,
                              FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                              DEFAULT_PITCH, L"Tahoma");
    SendMessageW(OriginLabel, WM_SETFONT, reinterpret_cast<WPARAM>(originFont_), FALSE);
    SendMessageW(SendToLabel, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    MoveWindow(SendToLabel, ui::Scale(6, dpi_), ui::Scale(kSendToTop, dpi_), ui::Scale(kButtonSize, dpi_),
               ui::Scale(kSendToHeight, dpi_), TRUE);
  }
  ImageButton4->SetBounds(6, 8, kButtonSize, kPictureSize, dpi_);
  ImageButton1->SetBounds(3, 240, kButtonSize, kPictureSize, dpi_);
  ImageButton2->SetBounds(3, 406, kButtonSize, kPictureSize, dpi_);
  ImageButton3->SetBounds(3, 572, kButtonSize, kPictureSize, dpi_);
  Layout();
}

void TSkanowanie::Layout() {
  RECT client;
  GetClientRect(Handle(), &client);
  const int height = client.bottom;
  // Memo1 is docked left but hidden, so it takes no room; Panel2 is leftmost.
  MoveWindow(Memo1, 0, 0, ui::Scale(kMemoWidth, dpi_), height, FALSE);
  int panelWidth = ui::Scale(panelWidth96_, dpi_);
  int splitterWidth = ui::Scale(kSplitterWidth, dpi_);
  MoveWindow(Panel2.Handle(), 0, 0, panelWidth, height, TRUE);
  MoveWindow(Splitter1.Handle(), panelWidth, 0, splitterWidth, height, TRUE);
  int paneLeft = panelWidth + splitterWidth;
  const int paneWidth = std::max(0, int(client.right) - paneLeft);
  // The origin's strip, when shown, takes the top of the document's column.
  const int strip = OriginLabel ? std::min(height, ui::Scale(kOriginLabelHeight, dpi_)) : 0;
  if (OriginLabel) MoveWindow(OriginLabel, paneLeft, 0, paneWidth, strip, TRUE);
  MoveWindow(WebBrowser1.Handle(), paneLeft, strip, paneWidth, height - strip, TRUE);
}

// --- Scan-request state ------------------------------------------------------

std::wstring TSkanowanie::GetFilename() const {
  std::lock_guard lock(filenameLock_);
  return filename_;
}

void TSkanowanie::SetFilename(std::wstring path, bool workingFile) {
  std::lock_guard lock(filenameLock_);
  filename_ = std::move(path);
  filenameIsWorkingFile_ = workingFile;
}

// --- Peer channel --------------------------------------------------------------

int32_t TSkanowanie::NextMessageLength() {
  if (!FStdIn) return 0;
  return skan::NextMessageLength(*FStdIn, [](std::string_view line) {
    if (Skanowanie) Skanowanie->AppendLog(base::Widen(line));
  });
}

std::string TSkanowanie::ReadMessage(int32_t msgLen) {
  return FStdIn ? skan::ReadMessage(*FStdIn, msgLen) : std::string();
}

void TSkanowanie::WriteMessage(std::string_view msg) {
  if (!FStdOut) return;
  skan::WriteMessage([](const char* data, size_t size) { FStdOut->Write(data, size); }, msg);
}

void TSkanowanie::ApplicationEvents1Idle(bool& /*Done*/) {
  // One message per poll. The reader wakes the loop when a message becomes
  // ready; a poll that leaves another one waiting asks for the next poll
  // itself, also when the command fails.
  struct AfterPoll {
    TSkanowanie& w;
    ~AfterPoll() {
      if (!FStdIn) return;
      if (FStdIn->HasMessage())
        PostMessageW(w.Handle(), WM_PEERINPUT, 0, 0);
      else if (FStdIn->PeerGone())
        w.Quit();
    }
  } afterPoll{*this};
  int32_t msgLen = NextMessageLength();
  if (msgLen <= 0) return;
  std::string msg = ReadMessage(msgLen);
  if (msg.empty()) return;
  skan::HandleCommand(msg, request, scan_id, *this);
}

void TSkanowanie::PeerInputWhileModal() {
  // Messages the peer sent before it went stay unanswered: nobody reads the
  // answers, and the modal loop may never end.
  if (FStdIn && FStdIn->PeerGone()) Quit();
}

void TSkanowanie::AppendLog(std::wstring_view line) {
  if (!Memo1) return;
  try {
    // One event, one line: control characters (a NUL would end the text for
    // the edit control, a line break would split the line) are shown as
    // their pictures.
    std::wstring visible;
    visible.reserve(std::min(line.size(), kLogCapacity) + 2);
    for (wchar_t c : line.substr(0, kLogCapacity)) {
      if (c < 0x20)
        visible += static_cast<wchar_t>(0x2400 + c);
      else if (c == 0x7F)
        visible += L'\u2421';
      else
        visible += c;
    }
    visible += L"\r\n";
    // Only the most recent lines are kept, whole lines dropped first.
    size_t drop = 0;
    while (log_.size() - drop + visible.size() > kLogCapacity && drop < log_.size()) {
      const size_t next = log_.find(L"\r\n", drop);
      drop = next == std::wstring::npos ? log_.size() : next + 2;
    }
    log_.erase(0, drop);
    log_ += visible;
    logChanged_ = true;
  } catch (const std::bad_alloc&) {
    // The log is for diagnosis only; without memory for it, it starts over.
    log_.clear();
    log_.shrink_to_fit();
    logChanged_ = true;
  }
}

void TSkanowanie::FlushLog() {
  if (!Memo1 || !logChanged_) return;
  logChanged_ = false;
  DefSubclassProc(Memo1, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(log_.c_str()));
}

LRESULT CALLBACK TSkanowanie::Memo1Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR data) {
  switch (msg) {
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
    case EM_GETLINECOUNT:
    case EM_GETLINE:
    case EM_LINEINDEX:
    case EM_LINELENGTH:
    case EM_GETHANDLE:
    case WM_SHOWWINDOW:
    case WM_PAINT: ui::Guarded([&] { reinterpret_cast<TSkanowanie*>(data)->FlushLog(); }); break;
    case WM_NCDESTROY: RemoveWindowSubclass(hwnd, Memo1Proc, 1); break;
  }
  return DefSubclassProc(hwnd, msg, wParam, lParam);
}

void TSkanowanie::Log(std::string_view line) { AppendLog(base::Widen(line)); }
void TSkanowanie::Send(std::string_view body) { WriteMessage(body); }
void TSkanowanie::Quit() { ui::TApplication::Instance().Terminate(); }

skan::TLocalTime TSkanowanie::Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

std::string TSkanowanie::TempFolder() { return base::Narrow(skan::TempFolder()); }

void TSkanowanie::EnsureFolder(const std::string& path) { skan::EnsureFolder(base::Widen(path)); }

void TSkanowanie::OriginKnown(const std::string& origin) {
  // Made only now, so that without an origin the window is as it always was.
  if (OriginLabel || !Handle()) return;
  HINSTANCE instance = GetModuleHandleW(nullptr);
  const std::wstring text = base::Widen(origin);
  OriginLabel = CreateWindowExW(0, L"STATIC", (L"\u017b\u0105danie od: " + text).c_str(),
                                WS_CHILD | WS_VISIBLE | SS_CENTER | SS_CENTERIMAGE | SS_NOPREFIX, 0, 0, 0, 0, Handle(),
                                reinterpret_cast<HMENU>(kOriginLabel), instance, nullptr);
  SendToLabel = CreateWindowExW(0, L"STATIC", (L"Wy\u015blij do: " + text).c_str(),
                                WS_CHILD | WS_VISIBLE | SS_LEFT | SS_EDITCONTROL | SS_NOPREFIX, 0, 0, 0, 0,
                                Panel2.Handle(), reinterpret_cast<HMENU>(kSendToLabel), instance, nullptr);
  ApplyDpi();
}

// --- Window behaviours -----------------------------------------------------------

void TSkanowanie::FormClose() {
  std::wstring path;
  bool working;
  {
    std::lock_guard lock(filenameLock_);
    path = filename_;
    working = filenameIsWorkingFile_;
  }
  // Only a working file of the system's own, in the temporary folder; a file
  // the user opened with Load PDF is theirs and stays.
  if (working && StartsWithNoCase(path, skan::TempFolder()) && FileExists(path)) DeleteFileW(path.c_str());
}

void TSkanowanie::ImageButton1Click() {
  wchar_t path[32768] = L"";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = Handle();
  ofn.lpstrFilter = L"PDF (*.pdf)\0*.pdf\0";
  ofn.lpstrFile = path;
  ofn.nMaxFile = static_cast<DWORD>(std::size(path));
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
  if (!GetOpenFileNameW(&ofn)) return;
  std::wstring chosen = path;
  SetFilename(chosen, /*workingFile=*/false);
  documentId_ = NewDocumentId();
  if (FileExists(chosen)) WebBrowser1.Navigate(chosen);
}

void TSkanowanie::ImageButton2Click() { SkanujdoPDF1Click(); }

void TSkanowanie::SkanujdoPDF1Click() {
  if (!batchActive_) {
    statusBeforeBatch_ = request.ScanStatus;
    pagesDelivered_ = 0;
    cancelRequested_ = false;
  }
  batchActive_ = true;
  scanStart_.SkanujdoPDF1Click(request.scan ? &*request.scan : nullptr);
  // No source enabled: no batch (nothing to scan with, or the selection
  // came to nothing). A batch that already ended has cleared it itself.
  bool enabled = false;
  if (twain::TTwainManager* twain = scanStart_.TwainManager1())
    for (int i = 0; i < twain->SourceCount() && !enabled; ++i)
      enabled = twain->Source(i) && twain->Source(i)->Enabled();
  if (!enabled) batchActive_ = false;
  AppendLog(enabled ? L"scan: source enabled" : L"scan: no source enabled");
}

void TSkanowanie::ScanFromPage() { SkanujdoPDF1Click(); }

void TSkanowanie::SetScanStatus(std::string_view status) {
  request.ScanStatus = status;
  StatusChanged();
}

// --- The page drives the scan ------------------------------------------------

std::string NewDocumentId() {
  unsigned char random[16];
  share::SystemRandom(random, sizeof random);
  return DocumentId(random);
}

void TSkanowanie::SendEvent(const std::string& body) {
  if (request.peer.events) WriteMessage(body);
}

void TSkanowanie::StatusChanged() {
  if (!request.peer.events || request.ScanStatus == lastStatusSent_) return;
  lastStatusSent_ = request.ScanStatus;
  WriteMessage(StatusEvent(request.ScanStatus));
}

std::optional<TPeerError> TSkanowanie::PrepareScan(const TScanSettings& settings) {
  if (batchActive_) return ScannerBusyError();
  return scanStart_.Prepare(settings);
}

std::vector<TScannerInfo> TSkanowanie::Scanners() { return scanStart_.Scanners(); }

std::optional<TPeerError> TSkanowanie::ScannerCaps(const std::string& id, TScannerCaps& caps) {
  if (batchActive_) return ScannerBusyError();
  return scanStart_.Caps(id, caps);
}

std::optional<TPeerError> TSkanowanie::CanStartScan() {
  if (batchActive_) return ScannerBusyError();
  if (!scanStart_.HasScanner()) return NoScannerError(request.scan ? request.scan->scanner : std::string());
  return std::nullopt;
}

void TSkanowanie::StartScan() { PostMessageW(Handle(), WM_STARTSCAN, 0, 0); }

bool TSkanowanie::CancelScan() {
  if (!batchActive_) return false;
  cancelRequested_ = true;
  // Between pages the transfer loop sees it; a source still waiting for its
  // pages (or showing its dialog) is stopped once the reply has gone.
  if (!pollingPeer_) PostMessageW(Handle(), WM_CANCELSCAN, 0, 0);
  return true;
}

bool TSkanowanie::PollPeerDuringBatch() {
  if (pollingPeer_) return cancelRequested_;
  pollingPeer_ = true;
  struct TDone {
    bool& flag;
    ~TDone() { flag = false; }
  } done{pollingPeer_};
  while (FStdIn && FStdIn->HasMessage()) {
    const int32_t length = NextMessageLength();
    if (length <= 0) continue;
    const std::string message = ReadMessage(length);
    if (!message.empty()) skan::HandleCommand(message, request, scan_id, *this);
  }
  return cancelRequested_;
}

void TSkanowanie::EndCancelledBatch(int pages) {
  // No PDF from a cancelled batch: its pages go, and the request is where it
  // was before the batch (a document shown before stays).
  pipeline_.Take();
  if (lista) {
    for (const std::wstring& page : *lista) DeleteFileW(page.c_str());
    lista.reset();
  }
  AppendLog(L"scan cancelled");
  SetScanStatus(statusBeforeBatch_.empty() ? std::string(scan_status::kInit) : statusBeforeBatch_);
  SendEvent(ScannedEvent(pages, "cancelled", "Skanowanie anulowano.", ""));
}

void TSkanowanie::PageFileWritten(const std::wstring& page) {
  pipeline_.PageFileWritten(page);
  ++pagesDelivered_;
  if (!request.peer.events) return;
  TPageEvent event;
  event.page = pagesDelivered_;
  // A page file the scanner wrote may be any bitmap; one that cannot be read
  // still counts, without a picture.
  constexpr std::uint64_t kMaxPageFile = 1ull << 30;
  const base::TWholeFile file = base::ReadWholeFile(std::filesystem::path(page), kMaxPageFile);
  if (file) {
    try {
      const dib::TPlainBitmap bitmap = dib::ReadBmpFile(file.data.get(), file.size);
      const TPageLook look = LookAtPage(bitmap);
      event.pixelWidth = look.width;
      event.pixelHeight = look.height;
      event.colour = look.colour;
      event.thumbnail = look.thumbnailBase64;
      // biXPelsPerMeter of the file's info header, as dots per inch.
      if (file.size >= 42) {
        int32_t perMetre = 0;
        std::memcpy(&perMetre, file.data.get() + 38, 4);
        if (perMetre > 0) event.dpi = int(perMetre * 0.0254 + 0.5);
      }
    } catch (const dib::TInvalidBitmap&) {
    }
  }
  if (!event.dpi && request.scan && request.scan->resolution) event.dpi = *request.scan->resolution;
  if (event.colour.empty()) event.colour = "colour";
  SendEvent(PageEvent(event));
}
std::wstring TSkanowanie::GetTmpPath() { return base::Widen(request.tmpPath); }
void TSkanowanie::SetTmpPath(const std::wstring& path) { request.tmpPath = base::Narrow(path); }

// What scan completion (scan_completion.h) needs of the window. Not in an
// anonymous namespace: for a local class, i686 GCC at -O3 drops the unused
// `this` of the overrides that do not touch the window (WriteMessage, ScanId,
// TempFolder) while the virtual call still passes it in ECX, and the first
// such call crashes.
class TSkanowanieCompletionHost : public skan::TScanCompletionHost {
 public:
  explicit TSkanowanieCompletionHost(TSkanowanie& window) : w_(window) {}
  const std::vector<std::wstring>* Lista() override { return w_.lista ? &*w_.lista : nullptr; }
  void ReleaseLista() override { w_.lista.reset(); }
  void SetFilename(const std::wstring& filename) override { w_.SetFilename(filename, /*workingFile=*/true); }
  void SetScanStatus(const std::wstring& status) override { w_.SetScanStatus(base::Narrow(status)); }
  void WriteMessage(const std::string& utf8Body) override { TSkanowanie::WriteMessage(utf8Body); }
  void AppendLog(const std::wstring& line) override { w_.AppendLog(line); }
  std::wstring ScanId() override { return base::Widen(scan_id); }
  void Navigate(const std::wstring& path) override { w_.WebBrowser1.Navigate(path); }
  std::wstring TempFolder() override { return skan::TempFolder(); }
  uint32_t DrawFlags() override { return w_.PageDrawFlags(); }
  std::unique_ptr<skan::TPagePipeline> TakePipeline() override { return w_.pipeline_.Take(); }
  std::shared_ptr<skan::TPageOcr> TakePageOcr() override {
    std::shared_ptr<skan::TPageOcr> ocr = w_.BatchOcr();
    w_.batchOcr_.reset();
    return ocr;
  }
  std::string PageFailure(const std::wstring& page) override { return w_.scanStart_.PageFailure(page); }

 private:
  TSkanowanie& w_;
};

// The end of a batch: the PDF is assembled, exported and shown; a batch the
// page or (for a page-driven request) the person cancelled makes none.
void TSkanowanie::TwainManager1TransferComplete(twain::TTwainObject*, int, bool Canceled) {
  batchActive_ = false;
  const bool cancelled = cancelRequested_ || (Canceled && PageDriven());
  cancelRequested_ = false;
  const int pages = std::exchange(pagesDelivered_, 0);
  if (cancelled) {
    EndCancelledBatch(pages);
    return;
  }
  TSkanowanieCompletionHost host(*this);
  try {
    skan::TwainManager1TransferComplete(host);
  } catch (const std::exception& e) {
    SendEvent(ScannedEvent(pages, "failed", e.what(), ""));
    throw;
  }
  documentId_ = NewDocumentId();
  SendEvent(ScannedEvent(pages, "done", "", documentId_));
}

std::shared_ptr<skan::TPageOcr> TSkanowanie::BatchOcr() {
  if (!batchOcr_ && !request.languages.empty())
    batchOcr_ = std::make_shared<skan::TPageOcr>(skan::OcrDataFolder(), request.languages);
  return batchOcr_;
}

std::string TSkanowanie::OcrDataFolder() { return skan::OcrDataFolder(); }

uint32_t TSkanowanie::PageDrawFlags() const {
  return request.compactImages ? skan::pdf::PdfWriterDrawFlag_CompactImages : skan::pdf::PdfWriterDrawFlag_None;
}

void TSkanowanie::ImageButton3Click() { share_->ImageButton3Click(); }

void TSkanowanie::ImageButton4Click() { ui::TApplication::Instance().Terminate(); }

void TSkanowanie::Panel2MouseDown(UINT button) {
  if (button != MK_LBUTTON) return;
  // Lets the system move the window as if its caption had been grabbed.
  constexpr WPARAM SC_DRAGMOVE = SC_MOVE | HTCAPTION;
  ReleaseCapture();
  SendMessageW(Handle(), WM_SYSCOMMAND, SC_DRAGMOVE, 0);
}

void TSkanowanie::Panel2DblClick() {
  HWND self = Handle();
  if (IsZoomed(self) || IsIconic(self)) {
    ShowWindow(self, SW_RESTORE);
  } else {
    // WM_GETMINMAXINFO fits the maximised window to its monitor's work area.
    ShowWindow(self, SW_MAXIMIZE);
  }
}

void TSkanowanie::ShowPopupMenu(LPARAM screenPoint) {
  POINT p{GET_X_LPARAM(screenPoint), GET_Y_LPARAM(screenPoint)};
  if (p.x == -1 && p.y == -1) GetCursorPos(&p);  // from the keyboard
  TrackPopupMenu(PopupMenu1, TPM_RIGHTBUTTON, p.x, p.y, 0, Handle(), nullptr);
}

LRESULT TSkanowanie::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_SIZE: Layout(); return 0;
    case WM_GETMINMAXINFO: {
      // A window without a caption would otherwise cover the task bar when
      // maximised; it takes its monitor's work area instead.
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      MONITORINFO mi{};
      mi.cbSize = sizeof mi;
      if (GetMonitorInfoW(MonitorFromWindow(Handle(), MONITOR_DEFAULTTONEAREST), &mi)) {
        info->ptMaxPosition = {mi.rcWork.left - mi.rcMonitor.left, mi.rcWork.top - mi.rcMonitor.top};
        info->ptMaxSize = {mi.rcWork.right - mi.rcWork.left, mi.rcWork.bottom - mi.rcWork.top};
      }
      return 0;
    }
    case WM_DPICHANGED: {
      const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(Handle(), nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      ApplyDpi();
      return 0;
    }
    case WM_CONTEXTMENU: ShowPopupMenu(lParam); return 0;
    case WM_CTLCOLORSTATIC:
      // The origin's strip stands out from the window.
      if (reinterpret_cast<HWND>(lParam) == OriginLabel) {
        if (!originBrush_) originBrush_ = CreateSolidBrush(kOriginBackground);
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetTextColor(dc, RGB(0, 0, 0));
        SetBkColor(dc, kOriginBackground);
        return reinterpret_cast<LRESULT>(originBrush_);
      }
      break;
    case WM_MOUSEWHEEL: {
      // The wheel goes to the focused window (a button, say) and bubbles up
      // here; it scrolls the document when the pointer is over it.
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      HWND under = WindowFromPoint(at);
      HWND pane = WebBrowser1.Handle();
      if (pane && (under == pane || IsChild(pane, under))) return SendMessageW(pane, msg, wParam, lParam);
      break;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kMenuScanToPdf: SkanujdoPDF1Click(); break;
        default: break;  // items and actions without a handler do nothing
      }
      return 0;
    case WM_PEERINPUT: PeerInputWhileModal(); return 0;
    case WM_STARTSCAN: ScanFromPage(); return 0;
    case WM_CANCELSCAN:
      if (batchActive_ && cancelRequested_) scanStart_.AbortBatch();
      return 0;
    case WM_CLOSE:
      FormClose();
      DestroyWindow(Handle());
      return 0;
    case WM_DESTROY: ui::TApplication::Instance().Terminate(); return 0;
  }
  return Default(msg, wParam, lParam);
}

}  // namespace skan
