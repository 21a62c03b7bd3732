// Scan settings negotiated with a source through the fake source manager:
// the order of the sets, the read-back, and what a refused, changed or
// unanswered setting reports; the capabilities and the source list as the
// peer sees them.
#include "scan_negotiation.h"

#include <gtest/gtest.h>

#include <functional>

#include "fake_dsm.h"
#include "peer_protocol.h"

namespace skan {
namespace {

using namespace twain;

class TManager : public TCustomTwainManager {
 public:
  ~TManager() override {
    Destroyed_ = true;
    DoDestroy();
  }
};

uint32_t Fix(int whole) { return uint32_t(uint16_t(whole)); }

// One source, opened, offering what an ordinary flatbed with a feeder and
// duplex offers; sets take effect as on a real source.
struct TRig {
  TRig() {
    platform.folders[dkWindows] = L"C:\\windows";
    platform.filesPresent = {L"C:\\windows\\TWAIN_32.DLL"};
    dsm.sources.push_back(TFakeDsm::Identity("Scanner"));
    dsm.setsTakeEffect = true;
    auto& c = dsm.capabilities;
    c[CAP_FEEDERENABLED] = TFakeDsm::OneValue(TWTY_BOOL, 0);
    c[CAP_FEEDERLOADED] = TFakeDsm::OneValue(TWTY_BOOL, 1);
    c[CAP_DUPLEX] = TFakeDsm::OneValue(TWTY_UINT16, TWDX_1PASSDUPLEX);
    c[CAP_DUPLEXENABLED] = TFakeDsm::OneValue(TWTY_BOOL, 0);
    c[ICAP_SUPPORTEDSIZES] = TFakeDsm::Enumeration(TWTY_UINT16, {TWSS_NONE, TWSS_A4, TWSS_USLETTER, TWSS_A5}, 1, 1);
    c[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {TWUN_INCHES, TWUN_PIXELS}, 0, 0);
    c[ICAP_PIXELTYPE] = TFakeDsm::Enumeration(TWTY_UINT16, {TWPT_BW, TWPT_GRAY, TWPT_RGB}, 2, 2);
    c[ICAP_BITDEPTH] = TFakeDsm::Enumeration(TWTY_UINT16, {1, 8, 24}, 2, 2);
    c[ICAP_XRESOLUTION] = TFakeDsm::Enumeration(TWTY_FIX32, {Fix(100), Fix(200), Fix(300)}, 2, 2);
    c[ICAP_YRESOLUTION] = TFakeDsm::Enumeration(TWTY_FIX32, {Fix(100), Fix(200), Fix(300)}, 2, 2);
    c[CAP_XFERCOUNT] = TFakeDsm::OneValue(TWTY_INT16, 0xFFFF);
    c[CAP_UICONTROLLABLE] = TFakeDsm::OneValue(TWTY_BOOL, 1);
  }
  TTwainSource& Open() {
    manager.SetLibraryLoaded(true);
    manager.SetSourceManagerLoaded(true);
    TTwainSource* source = manager.Source(0);
    source->SetLoaded(true);
    EXPECT_TRUE(source->Loaded());
    return *source;
  }
  std::vector<TW_UINT16> CapsSet() const {
    std::vector<TW_UINT16> caps;
    for (const auto& set : dsm.capabilitySets) caps.push_back(set.cap);
    return caps;
  }

  TFakeTwainPlatform platform;
  TFakeDsm dsm;
  TManager manager;
};

struct ScanNegotiation : ::testing::Test, TRig {};

TEST_F(ScanNegotiation, SetsInTheOrderTwainAsksAndReadsEachBack) {
  TScanSettings s;
  s.resolution = 200;
  s.colour = TColourMode::Grey;
  s.duplex = true;
  s.source = TPaperFeed::Feeder;
  s.paperSize = TPaperSize::Letter;
  s.maxPages = 10;
  TTwainSource& source = Open();
  EXPECT_EQ(NegotiateScanSettings(source, s), std::nullopt);
  EXPECT_EQ(CapsSet(),
            (std::vector<TW_UINT16>{CAP_FEEDERENABLED, CAP_DUPLEXENABLED, ICAP_SUPPORTEDSIZES, ICAP_PIXELTYPE,
                                    ICAP_BITDEPTH, ICAP_UNITS, ICAP_XRESOLUTION, ICAP_YRESOLUTION, CAP_XFERCOUNT}));
  // What the source holds now is what was asked.
  const TScannerCaps caps = ReadScannerCaps(source);
  EXPECT_EQ(caps.resolution.current, "200");
  EXPECT_EQ(caps.colour.current, "grey");
  EXPECT_EQ(caps.duplex.current, "true");
  EXPECT_EQ(caps.source.current, "feeder");
  EXPECT_EQ(caps.paperSize.current, "Letter");
  int16_t count = 0;
  EXPECT_EQ(source.GetCapXferCount(count), crSuccess);
  EXPECT_EQ(count, 10);
}

TEST_F(ScanNegotiation, NothingAskedSetsNothing) {
  EXPECT_EQ(NegotiateScanSettings(Open(), TScanSettings{}), std::nullopt);
  EXPECT_TRUE(dsm.capabilitySets.empty());
}

TEST_F(ScanNegotiation, ARefusedSettingStopsBeforeTheNext) {
  dsm.refusedSets[CAP_FEEDERENABLED] = true;
  TScanSettings s;
  s.source = TPaperFeed::Feeder;
  s.resolution = 300;
  const auto problem = NegotiateScanSettings(Open(), s);
  ASSERT_TRUE(problem);
  EXPECT_EQ(problem->setting, "source");
  EXPECT_EQ(CapsSet(), (std::vector<TW_UINT16>{CAP_FEEDERENABLED}));
}

// Each setting refused, changed by the source, or not answered at all: the
// setting named and what the source offers, as the peer reads them.
TEST_F(ScanNegotiation, RefusedChangedAndUnansweredSettings) {
  const struct {
    const char* name;
    std::function<void(TFakeDsm&)> script;
    std::function<void(TScanSettings&)> ask;
    const char* details;  // of the UNSUPPORTED_SETTING error; empty: accepted
  } cases[] = {
      {"resolution not listed", [](TFakeDsm&) {}, [](TScanSettings& s) { s.resolution = 250; },
       R"("setting":"resolution","offered":[100,200,300])"},
      {"resolution changed", [](TFakeDsm& d) { d.changedSets[ICAP_XRESOLUTION] = Fix(200); },
       [](TScanSettings& s) { s.resolution = 300; }, R"("setting":"resolution","offered":[100,200,300])"},
      {"resolution refused from a range",
       [](TFakeDsm& d) {
         d.capabilities[ICAP_XRESOLUTION] = TFakeDsm::Range(TWTY_FIX32, Fix(50), Fix(600), Fix(1), Fix(150), Fix(150));
         d.capabilities.erase(ICAP_YRESOLUTION);
         d.refusedSets[ICAP_XRESOLUTION] = true;
       },
       [](TScanSettings& s) { s.resolution = 700; },
       R"("setting":"resolution","offered":{"min":50,"max":600,"step":1})"},
      {"resolution within a range",
       [](TFakeDsm& d) {
         d.capabilities[ICAP_XRESOLUTION] = TFakeDsm::Range(TWTY_FIX32, Fix(50), Fix(600), Fix(1), Fix(150), Fix(150));
         d.capabilities.erase(ICAP_YRESOLUTION);
       },
       [](TScanSettings& s) { s.resolution = 240; }, ""},
      {"resolution unanswered", [](TFakeDsm& d) { d.capabilities.erase(ICAP_XRESOLUTION); },
       [](TScanSettings& s) { s.resolution = 300; }, R"("setting":"resolution","offered":[])"},
      {"colour refused", [](TFakeDsm& d) { d.refusedSets[ICAP_PIXELTYPE] = true; },
       [](TScanSettings& s) { s.colour = TColourMode::Grey; },
       R"("setting":"colour","offered":["bw","grey","colour"])"},
      {"colour without its bit depth", [](TFakeDsm& d) { d.refusedSets[ICAP_BITDEPTH] = true; },
       [](TScanSettings& s) { s.colour = TColourMode::Bw; }, R"("setting":"colour","offered":["bw","grey","colour"])"},
      {"colour with no bit depth to set", [](TFakeDsm& d) { d.capabilities.erase(ICAP_BITDEPTH); },
       [](TScanSettings& s) { s.colour = TColourMode::Bw; }, ""},
      // A source that only reports the depth of the mode it is in, per
      // sample, and refuses every set of it; before its first page it may
      // report none at all.
      {"colour with a fixed depth per sample",
       [](TFakeDsm& d) {
         d.capabilities[ICAP_BITDEPTH] = TFakeDsm::Enumeration(TWTY_UINT16, {8}, 0, 0);
         d.refusedSets[ICAP_BITDEPTH] = true;
       },
       [](TScanSettings& s) { s.colour = TColourMode::Colour; }, ""},
      {"grey with no depth known yet",
       [](TFakeDsm& d) {
         d.capabilities[ICAP_BITDEPTH] = TFakeDsm::OneValue(TWTY_UINT16, 0);
         d.refusedSets[ICAP_BITDEPTH] = true;
       },
       [](TScanSettings& s) { s.colour = TColourMode::Grey; }, ""},
      {"grey with a fixed depth of another mode",
       [](TFakeDsm& d) {
         d.capabilities[ICAP_BITDEPTH] = TFakeDsm::OneValue(TWTY_UINT16, 1);
         d.refusedSets[ICAP_BITDEPTH] = true;
       },
       [](TScanSettings& s) { s.colour = TColourMode::Grey; },
       R"("setting":"colour","offered":["bw","grey","colour"])"},
      {"black and white changed to a grey depth", [](TFakeDsm& d) { d.changedSets[ICAP_BITDEPTH] = 8; },
       [](TScanSettings& s) { s.colour = TColourMode::Bw; }, R"("setting":"colour","offered":["bw","grey","colour"])"},
      {"colour unanswered", [](TFakeDsm& d) { d.capabilities.erase(ICAP_PIXELTYPE); },
       [](TScanSettings& s) { s.colour = TColourMode::Colour; }, R"("setting":"colour","offered":[])"},
      {"duplex on a simplex source",
       [](TFakeDsm& d) {
         d.capabilities[CAP_DUPLEX] = TFakeDsm::OneValue(TWTY_UINT16, TWDX_NONE);
         d.refusedSets[CAP_DUPLEXENABLED] = true;
       },
       [](TScanSettings& s) { s.duplex = true; }, R"("setting":"duplex","offered":[false])"},
      {"duplex unanswered", [](TFakeDsm& d) { d.capabilities.erase(CAP_DUPLEXENABLED); },
       [](TScanSettings& s) { s.duplex = true; }, R"("setting":"duplex","offered":[])"},
      {"no duplex where it is unanswered", [](TFakeDsm& d) { d.capabilities.erase(CAP_DUPLEXENABLED); },
       [](TScanSettings& s) { s.duplex = false; }, ""},
      {"feeder changed back", [](TFakeDsm& d) { d.changedSets[CAP_FEEDERENABLED] = 0; },
       [](TScanSettings& s) { s.source = TPaperFeed::Feeder; }, R"("setting":"source","offered":["feeder","flatbed"])"},
      {"feeder unanswered", [](TFakeDsm& d) { d.capabilities.erase(CAP_FEEDERENABLED); },
       [](TScanSettings& s) { s.source = TPaperFeed::Feeder; }, R"("setting":"source","offered":["flatbed"])"},
      {"flatbed where the feeder is unanswered", [](TFakeDsm& d) { d.capabilities.erase(CAP_FEEDERENABLED); },
       [](TScanSettings& s) { s.source = TPaperFeed::Flatbed; }, ""},
      {"paper size not listed", [](TFakeDsm&) {}, [](TScanSettings& s) { s.paperSize = TPaperSize::Legal; },
       R"("setting":"paperSize","offered":["A4","Letter","A5"])"},
      {"paper size unanswered", [](TFakeDsm& d) { d.capabilities.erase(ICAP_SUPPORTEDSIZES); },
       [](TScanSettings& s) { s.paperSize = TPaperSize::A4; }, R"("setting":"paperSize","offered":[])"},
      {"automatic paper size sets nothing", [](TFakeDsm& d) { d.capabilities.erase(ICAP_SUPPORTEDSIZES); },
       [](TScanSettings& s) { s.paperSize = TPaperSize::Auto; }, ""},
      {"page count changed", [](TFakeDsm& d) { d.changedSets[CAP_XFERCOUNT] = 3; },
       [](TScanSettings& s) { s.maxPages = 5; }, R"("setting":"maxPages","offered":{"min":1,"max":3,"step":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRig rig;
    c.script(rig.dsm);
    TScanSettings s;
    c.ask(s);
    const std::optional<TSettingProblem> problem = NegotiateScanSettings(rig.Open(), s);
    if (!*c.details) {
      EXPECT_EQ(problem, std::nullopt);
      continue;
    }
    ASSERT_TRUE(problem);
    EXPECT_EQ(UnsupportedSettingError(*problem).details, c.details);
  }
}

TEST_F(ScanNegotiation, CapabilitiesAsThePeerReadsThem) {
  const std::string reply = ScannerCapsReply("Scanner", ReadScannerCaps(Open()));
  EXPECT_EQ(reply,
            R"({"POL":"Caps_SCANNER","scanner":"Scanner","capabilities":{)"
            R"("resolution":{"current":300,"default":300,"values":[100,200,300]},)"
            R"("colour":{"current":"colour","default":"colour","values":["bw","grey","colour"]},)"
            R"("duplex":{"current":false,"default":false,"values":[false,true]},)"
            R"("source":{"current":"flatbed","default":"flatbed","values":["feeder","flatbed"],"feederLoaded":true},)"
            R"("paperSize":{"current":"A4","default":"A4","values":["A4","Letter","A5"]},)"
            R"("showScannerUI":{"canHide":true}}})");
}

TEST_F(ScanNegotiation, ASourceThatAnswersNothingIsUnsupportedThroughout) {
  dsm.capabilities.clear();
  EXPECT_EQ(ScannerCapsReply("Scanner", ReadScannerCaps(Open())),
            R"({"POL":"Caps_SCANNER","scanner":"Scanner","capabilities":{"resolution":"UNSUPPORTED",)"
            R"("colour":"UNSUPPORTED","duplex":"UNSUPPORTED","source":"UNSUPPORTED","paperSize":"UNSUPPORTED",)"
            R"("showScannerUI":"UNSUPPORTED"}})");
}

TEST_F(ScanNegotiation, ListsSourcesAndFindsThemByName) {
  TW_IDENTITY second = TFakeDsm::Identity("Second \"one\"");
  dsm.sources.push_back(second);
  dsm.defaultSource = 1;
  manager.SetLibraryLoaded(true);
  manager.SetSourceManagerLoaded(true);
  const std::string reply = ListScannersReply(ListScanners(manager));
  EXPECT_NE(reply.find(R"({"id":"Scanner","name":"Scanner",)"), std::string::npos) << reply;
  EXPECT_NE(reply.find(R"("id":"Second \"one\"")"), std::string::npos) << reply;
  EXPECT_NE(reply.find(R"("isDefault":false},{"id":"Second)"), std::string::npos) << reply;
  EXPECT_EQ(reply.substr(reply.size() - 19), R"("isDefault":true}]})");
  EXPECT_EQ(FindScanner(manager, "Second \"one\""), 1);
  EXPECT_EQ(FindScanner(manager, ""), 1);  // the default
  EXPECT_EQ(FindScanner(manager, "Absent"), -1);
  // Opening a source gives its record a new Id under some source managers:
  // the default is still found, and still listed as the default.
  dsm.newIdOnOpen = true;
  manager.Source(1)->SetLoaded(true);
  ASSERT_TRUE(manager.Source(1)->Loaded());
  EXPECT_EQ(FindScanner(manager, ""), 1);
  EXPECT_TRUE(ListScanners(manager)[1].isDefault);
}

}  // namespace
}  // namespace skan
