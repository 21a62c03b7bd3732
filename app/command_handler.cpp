#include "command_handler.h"

#include "json.h"

namespace skan {

void HandleCommand(std::string_view body, TScanRequest& request, std::string& scanId, ICommandHost& host) {
  std::optional<TJsonValue> value = ParseJson(body);
  if (!value || !value->IsObject()) return;

  // An object without "POL" reads as empty command text and is answered as
  // an unrecognised command, so the peer always gets a reply to an object.
  const std::string tekst = MemberText(*value, "POL");
  host.Log("tekst: " + tekst);
  if (TakePeerFields(*value, request.peer, [&host](std::string_view line) { host.Log(line); }))
    host.OriginKnown(*request.peer.origin);

  if (CommandIs(tekst, "Init_SCAN")) {
    request.email = MemberText(*value, "email");
    request.serialnumber = MemberText(*value, "serialnumber");
    request.languages = TakeLanguages(*value, host.OcrDataFolder(), [&host](std::string_view line) { host.Log(line); });
    request.compactImages = TakeCompactImages(*value, [&host](std::string_view line) { host.Log(line); });
    request.ScanStatus = scan_status::kInit;
    scanId = FormatScanId(host.Now());
    const std::string reply = InitScanReply(scanId);
    host.Log("reply: " + reply);
    host.Send(reply);

    request.tmpPath = host.TempFolder() + "scan\\";
    host.Log("tmpPath: " + request.tmpPath);
    host.EnsureFolder(request.tmpPath);
    // The request folder is named by a second clock reading, usually equal
    // to the identifier.
    request.tmpPath += FormatScanId(host.Now()) + "\\";
    host.Log("tmpPath: " + request.tmpPath);
    host.EnsureFolder(request.tmpPath);
  } else if (CommandIs(tekst, "IFSCANED")) {
    const std::string reply = IfScanedReply(request.ScanStatus);
    host.Log("reply: " + reply);
    host.Send(reply);
  } else if (CommandIs(tekst, "END")) {
    const std::string reply = EndReply();
    host.Log("reply: " + reply);
    host.Send(reply);
    host.Quit();
  } else {
    host.Send(UnknownCommandReply(tekst));
  }
}

}  // namespace skan
