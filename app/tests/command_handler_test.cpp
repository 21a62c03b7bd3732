#include "command_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace skan {
namespace {

class FakeHost : public ICommandHost {
 public:
  void Log(std::string_view line) override { log.emplace_back(line); }
  void Send(std::string_view body) override { sent.emplace_back(body); }
  void Quit() override { ++quits; }
  TLocalTime Now() override {
    TLocalTime t = clock;
    clock.millisecond += 1;  // the second reading is a little later
    return t;
  }
  std::string TempFolder() override { return "C:\\T\\"; }
  void EnsureFolder(const std::string& path) override { folders.push_back(path); }
  std::optional<TPeerError> PrepareScan(const TScanSettings& settings) override {
    prepared.push_back(settings);
    return prepareError;
  }
  std::optional<TPeerError> CanStartScan() override { return startError; }
  void StartScan() override { sent.emplace_back("<started>"); }
  bool CancelScan() override { return batch; }
  bool BatchUnderway() override { return batch; }

  std::vector<std::string> log, sent, folders;
  std::vector<TScanSettings> prepared;
  std::optional<TPeerError> prepareError, startError;
  bool batch = false;
  int quits = 0;
  TLocalTime clock{2025, 3, 7, 9, 5, 2, 45};
};

struct Commands : ::testing::Test {
  FakeHost host;
  TScanRequest request;
  std::string scanId;
  void Handle(std::string_view body) { HandleCommand(body, request, scanId, host); }
};

TEST_F(Commands, InitScanStartsARequest) {
  Handle(R"({"POL":"Init_SCAN","email":"","serialnumber":"","x":1})");
  EXPECT_EQ(request.ScanStatus, "Init_SCAN");
  EXPECT_EQ(scanId, "2025_03_07_09_05_02_045");
  EXPECT_EQ(host.sent, (std::vector<std::string>{R"({"POL":"Init_SCAN","Initscan_id": "2025_03_07_09_05_02_045"})"}));
  EXPECT_EQ(host.folders, (std::vector<std::string>{"C:\\T\\scan\\", "C:\\T\\scan\\2025_03_07_09_05_02_046\\"}));
  EXPECT_EQ(request.tmpPath, "C:\\T\\scan\\2025_03_07_09_05_02_046\\");
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "tekst: Init_SCAN",
                          R"(reply: {"POL":"Init_SCAN","Initscan_id": "2025_03_07_09_05_02_045"})",
                          "tmpPath: C:\\T\\scan\\",
                          "tmpPath: C:\\T\\scan\\2025_03_07_09_05_02_046\\",
                      }));
}

TEST_F(Commands, InitScanTakesPeerFieldsAsText) {
  Handle(R"({"POL":"init_scan","email":"a@b.pl","serialnumber":12345})");
  EXPECT_EQ(request.email, "a@b.pl");
  EXPECT_EQ(request.serialnumber, "12345");
  request.email = "old";
  Handle(R"({"POL":"INIT_SCAN"})");  // missing members give empty text
  EXPECT_EQ(request.email, "");
  EXPECT_EQ(request.serialnumber, "");
  EXPECT_EQ(host.sent.size(), 2u);
}

TEST_F(Commands, InitScanTakesTheCompressionOfItsRequest) {
  struct Case {
    const char* field;  // the member added to Init_SCAN, or ""
    bool refused;       // INVALID_ARGUMENT naming "compression", no request
    bool compact;
    const char* logged;  // the line logged about it, or ""
  };
  const char* const refused = R"(compression refused: not "compact" or "lossless")";
  const Case cases[] = {
      {"", false, true, ""},
      {R"(,"compression":"compact")", false, true, ""},
      {R"(,"compression":"lossless")", false, false, "compression: lossless"},
      {R"(,"compression":"LOSSLESS")", true, false, refused},
      {R"(,"compression":"")", true, false, refused},
      {R"(,"compression":false)", true, false, refused},
      {R"(,"compression":["lossless"])", true, false, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    // The request before was lossless: each Init_SCAN makes its own choice,
    // and a refused one leaves it as it was.
    request = TScanRequest{};
    request.compactImages = false;
    host.log.clear();
    host.sent.clear();
    host.folders.clear();
    Handle(std::string(R"({"POL":"Init_SCAN","email":"")") + c.field + "}");
    EXPECT_EQ(request.compactImages, c.compact);
    EXPECT_EQ(std::count(host.log.begin(), host.log.end(), std::string(c.logged)), *c.logged ? 1 : 0);
    ASSERT_EQ(host.sent.size(), 1u);
    if (c.refused) {
      EXPECT_EQ(host.sent[0], R"({"POL":"Init_SCAN","Initscan_id":"","error":{"code":"INVALID_ARGUMENT",)"
                              R"("message":"Nieprawidłowa wartość pola compression.","field":"compression"}})");
      EXPECT_EQ(request.ScanStatus, "");
      EXPECT_TRUE(host.folders.empty());
    } else {
      EXPECT_EQ(host.sent[0].find("compression"), std::string::npos);  // the reply is as always
      EXPECT_EQ(request.ScanStatus, "Init_SCAN");
    }
  }
}

TEST_F(Commands, IfScanedReportsStatus) {
  Handle(R"({"POL":"ifscaned"})");
  request.ScanStatus = "Redy_SCAN";
  Handle(R"({"POL":"IFSCANED"})");
  EXPECT_EQ(host.sent, (std::vector<std::string>{R"({"POL":"IFSCANED","SCANED": ""})",
                                                 R"({"POL":"IFSCANED","SCANED": "Redy_SCAN"})"}));
  EXPECT_EQ(host.log,
            (std::vector<std::string>{"tekst: ifscaned", R"(reply: {"POL":"IFSCANED","SCANED": ""})", "tekst: IFSCANED",
                                      R"(reply: {"POL":"IFSCANED","SCANED": "Redy_SCAN"})"}));
}

TEST_F(Commands, EndRepliesThenQuits) {
  request.ScanStatus = "Begin_SCAN";
  Handle(R"({"POL":"END"})");
  EXPECT_EQ(host.sent, (std::vector<std::string>{R"({"POL":"SCANEDqq","SCANED": "Pa Pa"})"}));
  EXPECT_EQ(host.quits, 1);
  EXPECT_EQ(request.ScanStatus, "Begin_SCAN");
}

TEST_F(Commands, UnrecognisedCommands) {
  struct Case {
    std::string_view body;
    std::string_view reply;
  };
  const Case cases[] = {
      {R"({"POL":"hello"})", R"({"Nieznane polecenie ": "hello" })"},
      {R"({"POL":" END"})", R"({"Nieznane polecenie ": " END" })"},
      {R"({"POL":{"a":1}})", R"({"Nieznane polecenie ": "" })"},
      {R"({"POL":[1]})", R"({"Nieznane polecenie ": "" })"},
      {R"({"POL":null})", R"({"Nieznane polecenie ": "null" })"},
      {R"({"pol":"END"})", R"({"Nieznane polecenie ": "" })"},  // no "POL" member
      {R"({"POL":"a\"b"})", R"({"Nieznane polecenie ": "a\"b" })"},
  };
  for (const auto& c : cases) {
    host.sent.clear();
    host.log.clear();
    Handle(c.body);
    ASSERT_EQ(host.sent.size(), 1u) << c.body;
    EXPECT_EQ(host.sent[0], c.reply);
    ASSERT_EQ(host.log.size(), 1u);  // only the command line
    EXPECT_EQ(host.log[0].rfind("tekst: ", 0), 0u);
  }
  EXPECT_EQ(host.quits, 0);
  EXPECT_EQ(request.ScanStatus, "");
}

TEST_F(Commands, NonObjectsAreDroppedSilently) {
  for (std::string_view body :
       {R"(["END"])", R"("END")", "END", "{", "", "12", "null", R"({"POL":"END"} {"POL":"END"})"}) {
    Handle(body);
  }
  EXPECT_TRUE(host.sent.empty());
  EXPECT_TRUE(host.log.empty());
  EXPECT_EQ(host.quits, 0);
}

TEST_F(Commands, InitScanWithSettingsNegotiatesThemFirst) {
  Handle(R"({"POL":"Init_SCAN","email":"","serialnumber":"","scan":{"scanner":"S","resolution":300,)"
         R"("colour":"grey","duplex":true,"source":"feeder","paperSize":"A5","maxPages":10,"showScannerUI":true}})");
  ASSERT_EQ(host.prepared.size(), 1u);
  const TScanSettings& s = host.prepared[0];
  EXPECT_EQ(s.scanner, "S");
  EXPECT_EQ(s.resolution, 300);
  EXPECT_EQ(s.colour, TColourMode::Grey);
  EXPECT_EQ(s.duplex, true);
  EXPECT_EQ(s.source, TPaperFeed::Feeder);
  EXPECT_EQ(s.paperSize, TPaperSize::A5);
  EXPECT_EQ(s.maxPages, 10);
  EXPECT_TRUE(s.showScannerUI);
  EXPECT_TRUE(request.scan.has_value());
  EXPECT_EQ(request.ScanStatus, "Init_SCAN");
  EXPECT_EQ(host.folders.size(), 2u);
}

// A malformed "scan" or one the source refuses starts no request: status,
// identifier and folders stay as they were.
TEST_F(Commands, InitScanRefusedStartsNoRequest) {
  const struct {
    const char* scan;
    const char* field;
  } malformed[] = {
      {R"("scan":[])", "scan"},
      {R"("scan":{"resolution":"300"})", "scan.resolution"},
      {R"("scan":{"resolution":300.5})", "scan.resolution"},
      {R"("scan":{"resolution":0})", "scan.resolution"},
      {R"("scan":{"colour":"red"})", "scan.colour"},
      {R"("scan":{"duplex":1})", "scan.duplex"},
      {R"("scan":{"source":"glass"})", "scan.source"},
      {R"("scan":{"paperSize":"a4"})", "scan.paperSize"},
      {R"("scan":{"maxPages":1001})", "scan.maxPages"},
      {R"("scan":{"scanner":""})", "scan.scanner"},
      {R"("scan":{"showScannerUI":null})", "scan.showScannerUI"},
      {R"("scan":{"dpi":300})", "scan.dpi"},
  };
  request.ScanStatus = "Redy_SCAN";
  for (const auto& c : malformed) {
    SCOPED_TRACE(c.scan);
    host.sent.clear();
    Handle(std::string(R"({"POL":"Init_SCAN",)") + c.scan + "}");
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0], std::string(R"({"POL":"Init_SCAN","Initscan_id":"","error":{"code":"INVALID_ARGUMENT",)") +
                                R"("message":"Nieprawidłowa wartość pola )" + c.field + R"(.","field":")" + c.field +
                                R"("}})");
  }
  EXPECT_TRUE(host.prepared.empty());

  host.sent.clear();
  host.prepareError = UnsupportedSettingError({"resolution", TOffer{true, TOffer::Kind::Number, {"100", "200"}}});
  Handle(R"({"POL":"Init_SCAN","scan":{"resolution":300}})");
  ASSERT_EQ(host.sent.size(), 1u);
  EXPECT_NE(host.sent[0].find(R"("code":"UNSUPPORTED_SETTING")"), std::string::npos);
  EXPECT_NE(host.sent[0].find(R"("setting":"resolution","offered":[100,200]})"), std::string::npos) << host.sent[0];
  EXPECT_EQ(request.ScanStatus, "Redy_SCAN");
  EXPECT_TRUE(scanId.empty());
  EXPECT_TRUE(host.folders.empty());
  EXPECT_FALSE(request.scan.has_value());
}

// An Init_SCAN while a batch is under way: a page that drives the scan (by
// settings or events) is told the scanner is busy and the batch keeps its
// request; an older peer's Init_SCAN starts a new request as it always has.
TEST_F(Commands, InitScanDuringABatch) {
  const struct {
    const char* first;  // the process's first message, or ""
    const char* init;
    bool busy;
  } cases[] = {
      {"", R"({"POL":"Init_SCAN","email":"a@b"})", false},
      {R"({"POL":"IFSCANED","events":false})", R"({"POL":"Init_SCAN","email":"a@b"})", false},
      {"", R"({"POL":"Init_SCAN","email":"a@b","scan":{"resolution":150}})", true},
      {R"({"POL":"IFSCANED","events":true})", R"({"POL":"Init_SCAN","email":"a@b"})", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + c.init);
    FakeHost h;
    h.batch = true;
    TScanRequest r;
    std::string id = "2025_01_01_00_00_00_000";
    if (*c.first) HandleCommand(c.first, r, id, h);
    r.ScanStatus = "Begin_SCAN";
    r.tmpPath = "C:\\T\\scan\\old\\";
    h.sent.clear();
    HandleCommand(c.init, r, id, h);
    ASSERT_EQ(h.sent.size(), 1u);
    if (c.busy) {
      EXPECT_EQ(h.sent[0], R"({"POL":"Init_SCAN","Initscan_id":"","error":{"code":"SCANNER_BUSY",)"
                           R"("message":"Skaner jest zajęty: trwa skanowanie."}})");
      EXPECT_EQ(r.ScanStatus, "Begin_SCAN");
      EXPECT_EQ(r.tmpPath, "C:\\T\\scan\\old\\");
      EXPECT_EQ(r.email, "");
      EXPECT_EQ(id, "2025_01_01_00_00_00_000");
      EXPECT_TRUE(h.folders.empty());
      EXPECT_TRUE(h.prepared.empty());
    } else {
      EXPECT_EQ(h.sent[0], R"({"POL":"Init_SCAN","Initscan_id": "2025_03_07_09_05_02_045"})");
      EXPECT_EQ(r.ScanStatus, "Init_SCAN");
      EXPECT_EQ(r.email, "a@b");
    }
  }
}

TEST_F(Commands, StartAndCancel) {
  Handle(R"({"POL":"Start_SCAN"})");
  EXPECT_EQ(host.sent.back(), R"({"POL":"Start_SCAN","started":false,"error":{"code":"NO_REQUEST",)"
                              R"("message":"Najpierw trzeba otworzyć żądanie skanowania (Init_SCAN)."}})");
  Handle(R"({"POL":"Init_SCAN"})");
  host.startError = ScannerBusyError();
  Handle(R"({"POL":"Start_SCAN"})");
  EXPECT_NE(host.sent.back().find(R"("started":false,"error":{"code":"SCANNER_BUSY")"), std::string::npos);
  host.startError.reset();
  host.sent.clear();
  Handle(R"({"POL":"Start_SCAN"})");
  // The reply goes before the batch starts.
  EXPECT_EQ(host.sent, (std::vector<std::string>{R"({"POL":"Start_SCAN","started":true})", "<started>"}));
  Handle(R"({"POL":"Cancel_SCAN"})");
  EXPECT_EQ(host.sent.back(), R"({"POL":"Cancel_SCAN","cancelled":false})");
  host.batch = true;
  Handle(R"({"POL":"cancel_scan"})");
  EXPECT_EQ(host.sent.back(), R"({"POL":"Cancel_SCAN","cancelled":true})");
}

TEST_F(Commands, WithoutAScanningLayerThereIsNoScanner) {
  Handle(R"({"POL":"List_SCANNERS"})");
  EXPECT_EQ(host.sent.back(), R"({"POL":"List_SCANNERS","scanners":[]})");
  Handle(R"({"POL":"Caps_SCANNER","scanner":"X"})");
  EXPECT_EQ(host.sent.back(), R"({"POL":"Caps_SCANNER","scanner":"X","error":{"code":"NO_SCANNER",)"
                              R"("message":"Nie znaleziono skanera X.","scanner":"X"}})");
  Handle(R"({"POL":"Caps_SCANNER","scanner":5})");
  EXPECT_NE(host.sent.back().find(R"("code":"INVALID_ARGUMENT")"), std::string::npos);
}

TEST_F(Commands, EventsAreAskedForOnTheFirstMessageOnly) {
  Handle(R"({"POL":"IFSCANED","events":true})");
  EXPECT_TRUE(request.peer.events);
  TScanRequest later;
  HandleCommand(R"({"POL":"IFSCANED"})", later, scanId, host);
  HandleCommand(R"({"POL":"IFSCANED","events":true})", later, scanId, host);
  EXPECT_FALSE(later.peer.events);
  TScanRequest notBoolean;
  HandleCommand(R"({"POL":"IFSCANED","events":"true"})", notBoolean, scanId, host);
  EXPECT_FALSE(notBoolean.peer.events);
}

}  // namespace
}  // namespace skan
