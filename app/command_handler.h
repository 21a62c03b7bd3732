// The peer's commands: Init_SCAN, IFSCANED, END and anything else.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ocr_languages.h"
#include "peer_fields.h"
#include "peer_protocol.h"

namespace skan {

// Scan-request fields that the commands read and write (UTF-8).
struct TScanRequest {
  std::string ScanStatus;
  std::string tmpPath;
  std::string email;
  std::string serialnumber;
  // Colour and grey pages in compact form ("compression" of Init_SCAN).
  bool compactImages = true;
  // The peer's optional fields (peer_fields.h): kept for the whole process.
  TPeerFields peer;
  // The OCR languages of the request's pages ("" for none), from Init_SCAN.
  std::string languages{ocr::kDefaultLanguages};
  // The settings of a page-driven request (Init_SCAN's "scan"), negotiated
  // with the source; none: the person chooses in the source's dialogs.
  std::optional<TScanSettings> scan;
};

// What the commands need from the window and the platform.
class ICommandHost {
 public:
  virtual ~ICommandHost() = default;
  virtual void Log(std::string_view line) = 0;
  virtual void Send(std::string_view body) = 0;
  virtual void Quit() = 0;
  virtual TLocalTime Now() = 0;
  // The system temporary folder, ending in "\".
  virtual std::string TempFolder() = 0;
  // Creates one folder level unless it exists; failures are ignored.
  virtual void EnsureFolder(const std::string& path) = 0;
  // The requesting page's origin has become known (once per process).
  virtual void OriginKnown(const std::string& /*origin*/) {}
  // The folder of the OCR models (UTF-8), or "" when none is to be checked.
  virtual std::string OcrDataFolder() { return {}; }
  // The request's status may have changed.
  virtual void StatusChanged() {}

  // The page drives the scan. Without a scanning layer there is no scanner.
  // Opens the source the settings name (the default one without a name) and
  // negotiates them; an error refuses the Init_SCAN before any request starts.
  virtual std::optional<TPeerError> PrepareScan(const TScanSettings& settings) {
    return NoScannerError(settings.scanner);
  }
  virtual std::vector<TScannerInfo> Scanners() { return {}; }
  virtual std::optional<TPeerError> ScannerCaps(const std::string& id, TScannerCaps& caps) {
    (void)caps;
    return NoScannerError(id);
  }
  // Whether a batch could start now; StartScan then starts it once the
  // reply has gone, as "Scan to PDF" would.
  virtual std::optional<TPeerError> CanStartScan() { return NoScannerError(""); }
  // Whether a batch is under way (from the source's enabling to its end).
  virtual bool BatchUnderway() { return false; }
  virtual void StartScan() {}
  // Stops the batch under way; false when none was.
  virtual bool CancelScan() { return false; }
};

// Handles one message body. Bodies that are not one JSON object are dropped
// silently. The first object's optional fields are read before its command. `scanId` is the process-wide request
// identifier.
void HandleCommand(std::string_view body, TScanRequest& request, std::string& scanId, ICommandHost& host);

}  // namespace skan
