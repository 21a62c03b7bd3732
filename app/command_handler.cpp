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
    // The added fields are checked, and the settings negotiated, before
    // anything else: a refusal starts no request and leaves the last one as
    // it was.
    const auto log = [&host](std::string_view line) { host.Log(line); };
    std::optional<std::string> languages = TakeLanguages(*value, host.OcrDataFolder(), log);
    const std::optional<bool> compact = TakeCompactImages(*value, log);
    const TJsonValue* scan = value->Find(kScanField.name);
    std::optional<TScanSettings> settings;
    std::optional<TPeerError> error;
    std::string field;
    if (!languages)
      error = InvalidArgumentError(kLanguagesField.name);
    else if (!compact)
      error = InvalidArgumentError(kCompressionField.name);
    else if (scan && !(settings = ParseScanSettings(*scan, field)))
      error = InvalidArgumentError(field);
    else if ((scan || request.peer.events) && host.BatchUnderway())
      // A page that drives the scan is told; an older peer's Init_SCAN
      // restarts the request as it always has.
      error = ScannerBusyError();
    else if (settings)
      error = host.PrepareScan(*settings);
    if (error) {
      const std::string reply = InitScanErrorReply(*error);
      host.Log("reply: " + reply);
      host.Send(reply);
      return;
    }
    request.scan = std::move(settings);
    request.email = MemberText(*value, "email");
    request.serialnumber = MemberText(*value, "serialnumber");
    request.languages = std::move(*languages);
    request.compactImages = *compact;
    request.ScanStatus = scan_status::kInit;
    scanId = FormatScanId(host.Now());
    const std::string reply = InitScanReply(scanId);
    host.Log("reply: " + reply);
    host.Send(reply);
    host.StatusChanged();

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
  } else if (CommandIs(tekst, "List_SCANNERS")) {
    const std::string reply = ListScannersReply(host.Scanners());
    host.Log("reply: " + reply);
    host.Send(reply);
  } else if (CommandIs(tekst, "Caps_SCANNER")) {
    const TJsonValue* id = value->Find("scanner");
    std::string reply;
    if (id && (id->kind != TJsonValue::Kind::String || id->text.size() > kMaxScannerIdBytes)) {
      reply = CommandErrorReply("Caps_SCANNER", {}, InvalidArgumentError("scanner"));
    } else {
      const std::string name = id ? id->text : std::string();
      TScannerCaps caps;
      if (const std::optional<TPeerError> error = host.ScannerCaps(name, caps))
        reply = CommandErrorReply("Caps_SCANNER", R"("scanner":")" + JsonEscape(name) + "\"", *error);
      else
        reply = ScannerCapsReply(name, caps);
    }
    host.Log("reply: " + reply);
    host.Send(reply);
  } else if (CommandIs(tekst, "Start_SCAN")) {
    std::optional<TPeerError> error;
    if (request.ScanStatus.empty())
      error = NoRequestError();
    else
      error = host.CanStartScan();
    const std::string reply = error ? CommandErrorReply("Start_SCAN", R"("started":false)", *error) : StartScanReply();
    host.Log("reply: " + reply);
    host.Send(reply);
    if (!error) host.StartScan();
  } else if (CommandIs(tekst, "Cancel_SCAN")) {
    const std::string reply = CancelScanReply(host.CancelScan());
    host.Log("reply: " + reply);
    host.Send(reply);
  } else {
    host.Send(UnknownCommandReply(tekst));
  }
}

}  // namespace skan
