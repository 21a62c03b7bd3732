// Scan completion: at the end of a batch the peer is told the document is
// being prepared, the pages become one PDF, its Base64 export is written, the
// document pane shows it and the request's status becomes "Redy_SCAN".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "page_ocr.h"
#include "page_pipeline.h"

namespace skan {

// What scan completion needs of the main window.
class TScanCompletionHost {
 public:
  virtual ~TScanCompletionHost() = default;
  // The page list `lista`, or null when there is none.
  virtual const std::vector<std::wstring>* Lista() = 0;
  // Releases `lista` and sets it to none.
  virtual void ReleaseLista() = 0;
  virtual void SetFilename(const std::wstring& filename) = 0;
  virtual void SetScanStatus(const std::wstring& status) = 0;
  // Sends one message body (UTF-8) to the peer; failures are the host's.
  virtual void WriteMessage(const std::string& utf8Body) = 0;
  virtual void AppendLog(const std::wstring& line) = 0;
  virtual std::wstring ScanId() = 0;
  // Points the document pane at a local file.
  virtual void Navigate(const std::wstring& path) = 0;
  // The system temporary folder, ending in "\".
  virtual std::wstring TempFolder() = 0;
  // The library's draw flags for the batch's pages when they are drawn at
  // the end (a pipeline has its own).
  virtual uint32_t DrawFlags() { return 0; }
  // The batch's pages drawn ahead of its end, if any; the caller owns it.
  virtual std::unique_ptr<TPagePipeline> TakePipeline() { return nullptr; }
  // The batch's page reading for the text layer (the pipeline's, when it
  // has one), or null when recognition is off; the next batch gets anew.
  virtual std::shared_ptr<TPageOcr> TakePageOcr() { return nullptr; }
  // Why the listed page `page` has no file, when the scan knows (it could
  // not write it); UTF-8, empty otherwise.
  virtual std::string PageFailure(const std::wstring& page) {
    (void)page;
    return {};
  }
};

// The handler of the TWAIN manager's end-of-batch event: messages 5 and 6
// (peer_protocol.h) go to the peer first. Failures are raised
// (the message loop shows them); `lista` is released however it ends.
void TwainManager1TransferComplete(TScanCompletionHost& host);

}  // namespace skan
