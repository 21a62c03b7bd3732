// Capability negotiation and memory transfer against the fake source manager:
// the exact records and containers sent, how containers received are read and
// freed, failure mapping, and how buffers become a bitmap.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "custom_twain_manager.h"
#include "fake_dsm.h"
#include "twain_source.h"

namespace skan::twain {

namespace {

class TCapsManager : public TCustomTwainManager {
 public:
  TCapsManager() { VirtualWindow_ = HWND(0x1234); }
  ~TCapsManager() override {
    Destroyed_ = true;
    DoDestroy();
  }
  void DoCreate() override {
    TCustomTwainManager::DoCreate();
    VirtualWindow_ = HWND(0x1234);
  }
  bool DoTwainAcquire(TTwainObject*, int, HBITMAP image, bool&) override {
    TTwainBitmap owned(image);  // deleted afterwards, as the window-bound manager does
    acquired.push_back(image);
    return true;
  }
  void DoAcquireProgress(TTwainObject* sender, int, HBITMAP image, int current, int total) override {
    EXPECT_NE(dynamic_cast<TTwainSource*>(sender), nullptr);
    EXPECT_NE(image, nullptr);
    progress.push_back(std::to_string(current) + "/" + std::to_string(total));
    if (throwInProgress) throw std::runtime_error("progress handler failed");
  }
  std::vector<HBITMAP> acquired;
  std::vector<std::string> progress;
  bool throwInProgress = false;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(uint8_t(v));
  return out;
}

template <class T>
T ReadAt(const std::vector<uint8_t>& bytes, size_t at) {
  T v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

uint32_t Fix(int whole, int frac) { return uint32_t(uint16_t(whole)) | uint32_t(frac) << 16; }

// A fake source manager with one source, opened.
struct TRig {
  TRig() {
    platform.folders[dkWindows] = L"C:\\windows";
    platform.filesPresent = {L"C:\\windows\\TWAIN_32.DLL"};
    dsm.sources.push_back(TFakeDsm::Identity("Scanner"));
    manager.SetLibraryLoaded(true);
    manager.SetSourceManagerLoaded(true);
    source = manager.Source(0);
    source->SetLoaded(true);
    EXPECT_TRUE(source->Loaded());
    dsm.Take();
  }
  // Every container received and every block built has been freed.
  void ExpectAllFreed() { EXPECT_EQ(platform.globalsFreed, dsm.containersGiven + platform.globalsAllocated); }

  TFakeTwainPlatform platform;
  TFakeDsm dsm;
  TCapsManager manager;
  TTwainSource* source = nullptr;
};

class TwainCaps : public ::testing::Test, public TRig {};

TEST_F(TwainCaps, FailuresMapFromTheConditionCode) {
  const struct {
    TW_UINT16 condition;
    TCapabilityRet result;
  } cases[] = {
      {TWCC_LOWMEMORY, crLowMemory},         {TWCC_SEQERROR, crInvalidState},
      {TWCC_CAPUNSUPPORTED, crUnsupported},  {TWCC_CAPBADOPERATION, crBadOperation},
      {TWCC_CAPSEQERROR, crDependencyError}, {TWCC_BADVALUE, crBadOperation},
      {TWCC_BUMMER, crBadOperation},         {TWCC_SUCCESS, crBadOperation},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.condition);
    dsm.conditionCode = c.condition;
    dsm.Answer(DAT_CAPABILITY, MSG_GET, {TWRC_FAILURE});
    TW_UINT16 type = 0;
    std::wstring value = L"before";
    EXPECT_EQ(source->GetOneValue(CAP_XFERCOUNT, type, value), c.result);
    EXPECT_EQ(value, L"before");
    EXPECT_EQ(dsm.Take(), "CAPABILITY/GET STATUS/GET");
    dsm.Answer(DAT_IMAGELAYOUT, MSG_SET, {TWRC_CHECKSTATUS});
    EXPECT_EQ(source->SetImagelayoutFrame(0, 0, 1, 1), c.result);
    dsm.Take();
  }
  EXPECT_EQ(source->ResultToCapabilityRec(TWRC_SUCCESS), crSuccess);
  EXPECT_EQ(dsm.Take(), "");  // success needs no status
}

TEST_F(TwainCaps, ClosedSourceAnswersInvalidStateWithoutACall) {
  source->SetLoaded(false);
  dsm.Take();
  TW_HANDLE handle = nullptr;
  TW_UINT16 container = 0, type = 0;
  std::wstring text;
  bool flag = false;
  EXPECT_EQ(source->GetCapabilityRec(ICAP_UNITS, handle, rcGet, container), crInvalidState);
  EXPECT_EQ(source->SetCapabilityRec(ICAP_UNITS, TWON_ONEVALUE, nullptr), crInvalidState);
  EXPECT_EQ(source->GetOneValue(ICAP_UNITS, type, text), crInvalidState);
  EXPECT_EQ(source->SetIndicators(true), crInvalidState);
  EXPECT_EQ(source->GetAutofeed(flag), crInvalidState);
  EXPECT_EQ(source->SetImagelayoutFrame(0, 0, 1, 1), crInvalidState);
  EXPECT_EQ(dsm.Take(), "");
  ExpectAllFreed();  // the block built for SetIndicators too
}

TEST_F(TwainCaps, RawGetSendsTheModesMessageAndHandsOverTheContainer) {
  dsm.capabilities[ICAP_UNITS] = TFakeDsm::OneValue(TWTY_UINT16, 1);
  const std::pair<TRetrieveCap, std::string> modes[] = {
      {rcGet, "CAPABILITY/GET"},
      {rcGetCurrent, "CAPABILITY/GETCURRENT"},
      {rcGetDefault, "CAPABILITY/GETDEFAULT"},
      {rcReset, "CAPABILITY/RESET"},
  };
  for (const auto& [mode, trace] : modes) {
    TW_HANDLE handle = nullptr;
    TW_UINT16 container = 0;
    ASSERT_EQ(source->GetCapabilityRec(ICAP_UNITS, handle, mode, container), crSuccess);
    EXPECT_EQ(dsm.Take(), trace);
    EXPECT_EQ(container, TWON_ONEVALUE);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(platform.globalsFreed, 0);  // the caller owns it
    platform.FreeGlobal(handle);
    platform.globalsFreed = 0;
  }
  for (const TW_CAPABILITY& sent : dsm.capabilityGets) {
    EXPECT_EQ(sent.Cap, ICAP_UNITS);
    EXPECT_EQ(sent.ConType, TWON_DONTCARE16);
    const TW_HANDLE container = sent.hContainer;  // a packed member: read by value
    EXPECT_EQ(container, nullptr);
  }
}

TEST_F(TwainCaps, ItemsReadAsText) {
  const struct {
    TW_UINT16 type;
    uint32_t item;
    const wchar_t* text;
  } cases[] = {
      {TWTY_INT8, 0xFB, L"-5"},
      {TWTY_INT16, 0xFED4, L"-300"},
      {TWTY_INT32, uint32_t(-70000), L"-70000"},
      {TWTY_UINT8, 200, L"200"},
      {TWTY_UINT16, 65535, L"65535"},
      {TWTY_BOOL, 0xFFFF, L"65535"},
      {TWTY_BOOL, 1, L"1"},
      {TWTY_UINT32, 4000000000u, L"4000000000"},
      {43, 4000000000u, L"4000000000"},
      {44, 0xFFFF, L"-1"},
      // TW_FIX32 gives its real value, not Whole and Frac side by side.
      {TWTY_FIX32, Fix(1, 32768), L"1.5"},
      {TWTY_FIX32, Fix(150, 0), L"150"},
      {TWTY_FIX32, Fix(-2, 32768), L"-1.5"},
      {TWTY_FIX32, Fix(0, 1), L"0.0000152587890625"},
      {TWTY_FIX32, Fix(8, 16384), L"8.25"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    dsm.capabilities[ICAP_XRESOLUTION] = TFakeDsm::OneValue(c.type, c.item);
    TW_UINT16 type = 0;
    std::wstring text;
    ASSERT_EQ(source->GetOneValue(ICAP_XRESOLUTION, type, text), crSuccess);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(text, c.text);
  }
  // The user's decimal separator.
  platform.separator = L',';
  dsm.capabilities[ICAP_XRESOLUTION] = TFakeDsm::OneValue(TWTY_FIX32, Fix(1, 32768));
  TW_UINT16 type = 0;
  std::wstring text;
  ASSERT_EQ(source->GetOneValue(ICAP_XRESOLUTION, type, text), crSuccess);
  EXPECT_EQ(text, L"1,5");

  // Strings up to their zero; types without a text keep the previous text.
  TFakeDsm::TContainerBytes str{TWON_ONEVALUE, Bytes({TWTY_STR32, 0})};
  for (char ch : std::string("Flatbed")) str.bytes.push_back(uint8_t(ch));
  str.bytes.resize(2 + 34, 0);
  dsm.capabilities[ICAP_XRESOLUTION] = str;
  ASSERT_EQ(source->GetOneValue(ICAP_XRESOLUTION, type, text), crSuccess);
  EXPECT_EQ(text, L"Flatbed");
  TFakeDsm::TContainerBytes frame{TWON_ONEVALUE, Bytes({TWTY_FRAME, 0})};
  frame.bytes.resize(2 + 16, 7);
  dsm.capabilities[ICAP_XRESOLUTION] = frame;
  ASSERT_EQ(source->GetOneValue(ICAP_XRESOLUTION, type, text), crSuccess);
  EXPECT_EQ(type, TWTY_FRAME);
  EXPECT_EQ(text, L"Flatbed");
  ExpectAllFreed();
}

TEST_F(TwainCaps, EnumerationArrayAndRangeReaders) {
  dsm.capabilities[ICAP_PIXELTYPE] = TFakeDsm::Enumeration(TWTY_UINT16, {0, 1, 2}, 2, 1);
  TW_UINT16 type = 0;
  TGetCapabilityList list{L"stale"};
  int32_t current = -1, def = -1;
  ASSERT_EQ(source->GetEnumerationValue(ICAP_PIXELTYPE, type, list, current, def, rcGetCurrent), crSuccess);
  EXPECT_EQ(dsm.Take(), "CAPABILITY/GETCURRENT");
  EXPECT_EQ(list, (TGetCapabilityList{L"0", L"1", L"2"}));
  EXPECT_EQ(current, 2);
  EXPECT_EQ(def, 1);

  dsm.capabilities[ICAP_PIXELTYPE] = TFakeDsm::Enumeration(TWTY_UINT16, {}, 0, 0);
  ASSERT_EQ(source->GetEnumerationValue(ICAP_PIXELTYPE, type, list, current, def), crSuccess);
  EXPECT_TRUE(list.empty());

  // A source claiming more items than its block holds is read up to the block's end.
  auto claimed = TFakeDsm::Enumeration(TWTY_UINT16, {5, 6}, 0, 0);
  claimed.bytes[2] = 200;
  dsm.capabilities[ICAP_PIXELTYPE] = claimed;
  ASSERT_EQ(source->GetEnumerationValue(ICAP_PIXELTYPE, type, list, current, def), crSuccess);
  EXPECT_EQ(list, (TGetCapabilityList{L"5", L"6"}));

  // Items of a type without a text repeat the text before (empty for the first).
  TFakeDsm::TContainerBytes frames{TWON_ENUMERATION, Bytes({TWTY_FRAME, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})};
  frames.bytes.resize(14 + 32, 1);
  dsm.capabilities[ICAP_PIXELTYPE] = frames;
  ASSERT_EQ(source->GetEnumerationValue(ICAP_PIXELTYPE, type, list, current, def), crSuccess);
  EXPECT_EQ(list, (TGetCapabilityList{L"", L""}));

  dsm.capabilities[ICAP_BITDEPTH] = TFakeDsm::Array(TWTY_INT16, {1, 0xFFF8});
  ASSERT_EQ(source->GetArrayValue(ICAP_BITDEPTH, type, list), crSuccess);
  EXPECT_EQ(list, (TGetCapabilityList{L"1", L"-8"}));

  dsm.capabilities[ICAP_XRESOLUTION] =
      TFakeDsm::Range(TWTY_FIX32, Fix(50, 0), Fix(1200, 0), Fix(0, 32768), Fix(150, 0), Fix(300, 16384));
  std::wstring mn, mx, step, dflt, cur;
  ASSERT_EQ(source->GetRangeValue(ICAP_XRESOLUTION, type, mn, mx, step, dflt, cur), crSuccess);
  EXPECT_EQ(type, TWTY_FIX32);
  EXPECT_EQ(mn + L" " + mx + L" " + step + L" " + dflt + L" " + cur, L"50 1200 0.5 150 300.25");
  EXPECT_EQ(dsm.Take(), "CAPABILITY/GET CAPABILITY/GET CAPABILITY/GET CAPABILITY/GET CAPABILITY/GET");
  ExpectAllFreed();
}

TEST_F(TwainCaps, ContainersOfTheWrongKindAreFreed) {
  dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {0, 1}, 0, 0);
  dsm.capabilities[ICAP_BITDEPTH] = TFakeDsm::OneValue(TWTY_UINT16, 8);
  TW_UINT16 type = 0;
  TGetCapabilityList list;
  std::wstring text, a, b, c, d, e;
  int32_t current = 0, def = 0;
  EXPECT_EQ(source->GetArrayValue(ICAP_UNITS, type, list), crInvalidContainer);
  EXPECT_EQ(source->GetOneValue(ICAP_UNITS, type, text), crInvalidContainer);
  EXPECT_EQ(source->GetRangeValue(ICAP_UNITS, type, a, b, c, d, e), crInvalidContainer);
  EXPECT_EQ(source->GetEnumerationValue(ICAP_BITDEPTH, type, list, current, def), crInvalidContainer);
  // The typed getters that read the raw container answer crUnsupported.
  double value = -1;
  TTwainResolution values;
  dsm.capabilities[ICAP_XRESOLUTION] = TFakeDsm::Range(TWTY_FIX32, 0, 0, 0, 0, 0);
  EXPECT_EQ(source->GetIXResolution(value, values), crUnsupported);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(dsm.containersGiven, 5);
  ExpectAllFreed();
}

TEST_F(TwainCaps, ACallersContainerIsReadWithoutACallAndFreed) {
  const auto bytes = TFakeDsm::Enumeration(TWTY_UINT16, {3, 4}, 1, 0).bytes;
  TW_HANDLE held = platform.AllocGlobal(bytes.size());
  size_t size = 0;
  std::memcpy(platform.LockGlobal(held, size), bytes.data(), bytes.size());
  TW_UINT16 type = 0;
  TGetCapabilityList list;
  int32_t current = 0, def = 0;
  ASSERT_EQ(source->GetEnumerationValue(ICAP_UNITS, type, list, current, def, rcGet, held), crSuccess);
  EXPECT_EQ(list, (TGetCapabilityList{L"3", L"4"}));
  EXPECT_EQ(current, 1);
  EXPECT_EQ(dsm.Take(), "");
  EXPECT_EQ(platform.globalsFreed, 1);
}

TEST_F(TwainCaps, WritersBuildTheStandardContainers) {
  const int16_t count = -1;
  EXPECT_EQ(source->SetOneValue(CAP_XFERCOUNT, TWTY_INT16, &count), crSuccess);
  const uint32_t a = 0x11111111, b = 0x22222222, c = 0x33333333;
  EXPECT_EQ(source->SetRangeValue(ICAP_XRESOLUTION, TWTY_FIX32, a, b, c, 0x44444444), crSuccess);
  const uint16_t u0 = 0, u1 = 1, u5 = 5;
  EXPECT_EQ(source->SetEnumerationValue(ICAP_UNITS, TWTY_UINT16, 2, {&u0, &u1, &u5}), crSuccess);
  EXPECT_EQ(source->SetArrayValue(ICAP_BITDEPTH, TWTY_UINT16, {&u1, &u5}), crSuccess);
  EXPECT_EQ(source->SetArrayValue(ICAP_BITDEPTH, TWTY_UINT16, {}), crSuccess);
  EXPECT_EQ(dsm.Take(), "CAPABILITY/SET CAPABILITY/SET CAPABILITY/SET CAPABILITY/SET CAPABILITY/SET");

  ASSERT_EQ(dsm.capabilitySets.size(), 5u);
  const auto& one = dsm.capabilitySets[0];
  EXPECT_EQ(one.cap, CAP_XFERCOUNT);
  EXPECT_EQ(one.conType, TWON_ONEVALUE);
  EXPECT_EQ(one.bytes, Bytes({TWTY_INT16, 0, 0xFF, 0xFF, 0, 0}));  // 4-byte slot
  const auto& range = dsm.capabilitySets[1];
  EXPECT_EQ(range.conType, TWON_RANGE);
  ASSERT_EQ(range.bytes.size(), 22u);
  EXPECT_EQ(ReadAt<uint16_t>(range.bytes, 0), TWTY_FIX32);
  EXPECT_EQ(ReadAt<uint32_t>(range.bytes, 2), a);
  EXPECT_EQ(ReadAt<uint32_t>(range.bytes, 6), b);
  EXPECT_EQ(ReadAt<uint32_t>(range.bytes, 10), c);
  EXPECT_EQ(ReadAt<uint32_t>(range.bytes, 14), 0u);  // default
  EXPECT_EQ(ReadAt<uint32_t>(range.bytes, 18), 0x44444444u);
  const auto& enumeration = dsm.capabilitySets[2];
  EXPECT_EQ(enumeration.conType, TWON_ENUMERATION);
  EXPECT_EQ(enumeration.bytes, Bytes({TWTY_UINT16, 0, 3, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 5, 0, 0, 0}));
  const auto& array = dsm.capabilitySets[3];
  EXPECT_EQ(array.conType, TWON_ARRAY);
  EXPECT_EQ(array.bytes, Bytes({TWTY_UINT16, 0, 2, 0, 0, 0, 1, 0, 5, 0, 0, 0}));
  EXPECT_EQ(dsm.capabilitySets[4].bytes, Bytes({TWTY_UINT16, 0, 0, 0, 0, 0, 0, 0}));
  ExpectAllFreed();

  // The block is freed when the source refuses it too.
  dsm.Answer(DAT_CAPABILITY, MSG_SET, {TWRC_FAILURE});
  dsm.conditionCode = TWCC_CAPSEQERROR;
  EXPECT_EQ(source->SetOneValue(CAP_XFERCOUNT, TWTY_INT16, &count), crDependencyError);
  ExpectAllFreed();
}

TEST_F(TwainCaps, TypedSettersSendOneValues) {
  const struct {
    const char* name;
    std::function<TCapabilityRet(TTwainSource*)> call;
    TW_UINT16 cap;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"xfer count", [](TTwainSource* s) { return s->SetCapXferCount(3); }, CAP_XFERCOUNT, Bytes({1, 0, 3, 0, 0, 0})},
      {"units", [](TTwainSource* s) { return s->SetICapUnits(tuPixels); }, ICAP_UNITS, Bytes({4, 0, 5, 0, 0, 0})},
      {"unknown unit", [](TTwainSource* s) { return s->SetICapUnits(tuUnknown); }, ICAP_UNITS,
       Bytes({4, 0, 0, 0, 0, 0})},
      {"flavor", [](TTwainSource* s) { return s->SetIPixelFlavor(tpfVanilla); }, ICAP_PIXELFLAVOR,
       Bytes({4, 0, 1, 0, 0, 0})},
      {"pixel type", [](TTwainSource* s) { return s->SetIPixelType(tbdBgr); }, ICAP_PIXELTYPE,
       Bytes({4, 0, 12, 0, 0, 0})},
      {"bit depth", [](TTwainSource* s) { return s->SetIBitDepth(24); }, ICAP_BITDEPTH, Bytes({4, 0, 24, 0, 0, 0})},
      {"x resolution", [](TTwainSource* s) { return s->SetIXResolution(150.5); }, ICAP_XRESOLUTION,
       Bytes({7, 0, 150, 0, 0, 0x80})},
      {"y resolution", [](TTwainSource* s) { return s->SetIYResolution(300); }, ICAP_YRESOLUTION,
       Bytes({7, 0, 0x2C, 1, 0, 0})},
      {"feeder enabled as given", [](TTwainSource* s) { return s->SetFeederEnabled(1); }, CAP_FEEDERENABLED,
       Bytes({6, 0, 1, 0, 0, 0})},
      {"autofeed as given", [](TTwainSource* s) { return s->SetAutoFeed(0xFFFF); }, CAP_AUTOFEED,
       Bytes({6, 0, 0xFF, 0xFF, 0, 0})},
      {"indicators off", [](TTwainSource* s) { return s->SetIndicators(false); }, CAP_INDICATORS,
       Bytes({6, 0, 0, 0, 0, 0})},
      {"indicators on", [](TTwainSource* s) { return s->SetIndicators(true); }, CAP_INDICATORS,
       Bytes({6, 0, 0xFF, 0xFF, 0, 0})},
      {"border detection", [](TTwainSource* s) { return s->SetAutoBorderDetection(true); },
       ICAP_AUTOMATICBORDERDETECTION, Bytes({6, 0, 0xFF, 0xFF, 0, 0})},
      {"deskew", [](TTwainSource* s) { return s->SetAutoDeskew(true); }, ICAP_AUTOMATICDESKEW,
       Bytes({6, 0, 0xFF, 0xFF, 0, 0})},
      {"rotate", [](TTwainSource* s) { return s->SetAutoRotate(false); }, ICAP_AUTOMATICROTATE,
       Bytes({6, 0, 0, 0, 0, 0})},
      {"undefined size", [](TTwainSource* s) { return s->SetUndefinedImageSize(true); }, ICAP_UNDEFINEDIMAGESIZE,
       Bytes({6, 0, 0xFF, 0xFF, 0, 0})},
      {"auto size", [](TTwainSource* s) { return s->SetAutoSize(tasCurrent); }, ICAP_AUTOSIZE,
       Bytes({4, 0, 2, 0, 0, 0})},
      {"orientation", [](TTwainSource* s) { return s->SetOrientation(torLandscape); }, ICAP_ORIENTATION,
       Bytes({4, 0, 3, 0, 0, 0})},
      {"paper size", [](TTwainSource* s) { return s->SetPaperSize(tpsA5); }, ICAP_SUPPORTEDSIZES,
       Bytes({4, 0, 5, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dsm.capabilitySets.clear();
    EXPECT_EQ(c.call(source), crSuccess);
    ASSERT_EQ(dsm.capabilitySets.size(), 1u);
    EXPECT_EQ(dsm.capabilitySets[0].cap, c.cap);
    EXPECT_EQ(dsm.capabilitySets[0].conType, TWON_ONEVALUE);
    EXPECT_EQ(dsm.capabilitySets[0].bytes, c.bytes);
  }
  ExpectAllFreed();
}

TEST_F(TwainCaps, Fix32Conversions) {
  const struct {
    double value;
    int whole, frac;
  } cases[] = {
      {0, 0, 0},           {8.5, 8, 32768},         {11, 11, 0},
      {0.1, 0, 6554},      {32767.5, 32767, 32768}, {0.5 / 65536, 0, 0},  // ties go to the even neighbour
      {1.5 / 65536, 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    const TW_FIX32 f = FloatToFix32(c.value);
    EXPECT_EQ(f.Whole, c.whole);
    EXPECT_EQ(f.Frac, c.frac);
  }
  EXPECT_EQ(Fix32ToFloat(TW_FIX32{-2, 32768}), -1.5);
  for (double bad : {-1.0, -0.0001, 32768.0, 32767.99999999, std::nan("")}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(FloatToFix32(bad), std::range_error);
  }
  // A resolution out of range fails before anything is sent.
  EXPECT_THROW(source->SetIXResolution(-1), std::range_error);
  EXPECT_THROW(source->SetImagelayoutFrame(0, 0, 40000, 1), std::range_error);
  EXPECT_EQ(dsm.Take(), "");
  ExpectAllFreed();
}

TEST_F(TwainCaps, ImageLayoutFrame) {
  EXPECT_EQ(source->SetImagelayoutFrame(0, 0.25, 8.5, 11), crSuccess);
  EXPECT_EQ(dsm.Take(), "IMAGELAYOUT/SET");
  ASSERT_EQ(dsm.layouts.size(), 1u);
  const TW_IMAGELAYOUT& l = dsm.layouts[0];
  EXPECT_EQ(l.Frame.Left.Whole, 0);
  EXPECT_EQ(l.Frame.Left.Frac, 0);
  EXPECT_EQ(l.Frame.Top.Whole, 0);
  EXPECT_EQ(l.Frame.Top.Frac, 16384);
  EXPECT_EQ(l.Frame.Right.Whole, 8);
  EXPECT_EQ(l.Frame.Right.Frac, 32768);
  EXPECT_EQ(l.Frame.Bottom.Whole, 11);
  EXPECT_EQ(l.Frame.Bottom.Frac, 0);
  EXPECT_EQ(l.DocumentNumber, 0u);
  EXPECT_EQ(l.PageNumber, 0u);
  EXPECT_EQ(l.FrameNumber, 0u);
}

TEST_F(TwainCaps, EnumerationGettersAccumulateIntoTheCallersSet) {
  dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {0, 1, 9}, 0, 1);
  TTwainUnit unit = tuPixels;
  TTwainUnitSet units{tuTwips};
  ASSERT_EQ(source->GetICapUnits(unit, units), crSuccess);
  EXPECT_EQ(unit, tuInches);
  EXPECT_EQ(units, (TTwainUnitSet{tuInches, tuCentimeters, tuTwips, tuUnknown}));
  ASSERT_EQ(source->GetICapUnits(unit, units, rcGetDefault), crSuccess);
  EXPECT_EQ(dsm.Take(), "CAPABILITY/GET CAPABILITY/GETDEFAULT");
  EXPECT_EQ(unit, tuCentimeters);

  dsm.capabilities[ICAP_PIXELTYPE] = TFakeDsm::Enumeration(TWTY_UINT16, {0, 3, 8, 9, 12}, 4, 0);
  TTwainPixelType pixelType = tbdBw;
  TTwainPixelTypeSet types;
  ASSERT_EQ(source->GetIPixelType(pixelType, types), crSuccess);
  EXPECT_EQ(pixelType, tbdBgr);
  EXPECT_EQ(types, (TTwainPixelTypeSet{tbdBw, tbdPalette, tbdCieXYZ, tbdUnknown, tbdBgr}));

  dsm.capabilities[ICAP_PIXELFLAVOR] = TFakeDsm::Enumeration(TWTY_UINT16, {1, 7}, 1, 0);
  TTwainPixelFlavor flavor = tpfChocolate;
  TTwainPixelFlavorSet flavors;
  ASSERT_EQ(source->GetIPixelFlavor(flavor, flavors), crSuccess);
  EXPECT_EQ(flavor, tpfUnknown);
  EXPECT_EQ(flavors, (TTwainPixelFlavorSet{tpfVanilla, tpfUnknown}));

  // The bit depth list is replaced, not added to.
  dsm.capabilities[ICAP_BITDEPTH] = TFakeDsm::Enumeration(TWTY_UINT16, {1, 8, 24}, 2, 1);
  uint16_t depth = 0;
  TTwainBitDepth depths{99};
  ASSERT_EQ(source->GetIBitDepth(depth, depths), crSuccess);
  EXPECT_EQ(depth, 24);
  EXPECT_EQ(depths, (TTwainBitDepth{1, 8, 24}));

  // Items of another type: crUnsupported, outputs untouched.
  dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_INT16, {0, 1}, 0, 0);
  unit = tuPoints;
  units = {};
  EXPECT_EQ(source->GetICapUnits(unit, units), crUnsupported);
  EXPECT_EQ(unit, tuPoints);
  EXPECT_TRUE(units.empty());
  // A current index outside the list leaves the result as it was.
  dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {1}, 5, 0);
  ASSERT_EQ(source->GetICapUnits(unit, units), crSuccess);
  EXPECT_EQ(unit, tuPoints);
  ExpectAllFreed();
}

TEST_F(TwainCaps, BooleanGettersTakeAnyNonZeroAsTrue) {
  const struct {
    TW_UINT16 type;
    uint32_t item;
    TCapabilityRet result;
    bool value;
  } cases[] = {
      {TWTY_BOOL, 1, crSuccess, true},
      {TWTY_BOOL, 0xFFFF, crSuccess, true},  // some sources answer true as 0xFFFF
      {TWTY_BOOL, 0, crSuccess, false},
      {TWTY_UINT16, 1, crUnsupported, false},
  };
  using Getter = TCapabilityRet (TTwainSource::*)(bool&);
  const std::pair<TW_UINT16, Getter> getters[] = {
      {CAP_UICONTROLLABLE, &TTwainSource::GetUIControllable},
      {CAP_FEEDERLOADED, &TTwainSource::GetFeederLoaded},
      {CAP_FEEDERENABLED, &TTwainSource::GetFeederEnabled},
      {CAP_AUTOFEED, &TTwainSource::GetAutofeed},
  };
  for (const auto& [cap, getter] : getters) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::to_string(cap) + " " + std::to_string(c.item));
      dsm.capabilities[cap] = TFakeDsm::OneValue(c.type, c.item);
      bool value = false;
      EXPECT_EQ((source->*getter)(value), c.result);
      EXPECT_EQ(value, c.value);
    }
  }
  EXPECT_EQ(dsm.capabilityGets.size(), 16u);
  ExpectAllFreed();
}

TEST_F(TwainCaps, ResolutionPhysicalSizeAndTransferCount) {
  dsm.capabilities[ICAP_XRESOLUTION] =
      TFakeDsm::Enumeration(TWTY_FIX32, {Fix(100, 0), Fix(150, 32768), Fix(300, 0)}, 1, 2);
  double value = 0;
  TTwainResolution values{1, 2, 3, 4};
  ASSERT_EQ(source->GetIXResolution(value, values), crSuccess);
  EXPECT_EQ(value, 150.5);
  EXPECT_EQ(values, (TTwainResolution{100, 150.5, 300}));
  ASSERT_EQ(source->GetIXResolution(value, values, rcGetDefault), crSuccess);
  EXPECT_EQ(value, 300);

  dsm.capabilities[ICAP_YRESOLUTION] = TFakeDsm::Array(TWTY_FIX32, {Fix(75, 0), Fix(600, 0)});
  ASSERT_EQ(source->GetIYResolution(value, values), crSuccess);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(values, (TTwainResolution{75, 600}));
  dsm.capabilities[ICAP_YRESOLUTION] = TFakeDsm::Enumeration(TWTY_UINT16, {75}, 0, 0);
  value = -1;
  EXPECT_EQ(source->GetIYResolution(value, values), crUnsupported);
  EXPECT_EQ(value, -1);

  dsm.capabilities[ICAP_PHYSICALWIDTH] = TFakeDsm::OneValue(TWTY_FIX32, Fix(8, 32768));
  ASSERT_EQ(source->GetIPhysicalWidth(value), crSuccess);
  EXPECT_EQ(value, 8.5);
  // The first item of any container, read as a one value.
  dsm.capabilities[ICAP_PHYSICALHEIGHT] = TFakeDsm::Enumeration(TWTY_FIX32, {Fix(14, 0)}, 0, 0);
  EXPECT_EQ(source->GetIPhysicalHeight(value), crSuccess);
  EXPECT_EQ(value, 1);  // the enumeration's NumItems word, read as a TW_FIX32
  dsm.capabilities[ICAP_PHYSICALHEIGHT] = TFakeDsm::OneValue(TWTY_UINT32, 14);
  EXPECT_EQ(source->GetIPhysicalHeight(value), crUnsupported);

  dsm.capabilities[CAP_XFERCOUNT] = TFakeDsm::OneValue(TWTY_INT16, 0xFFFF);
  int16_t count = 0;
  ASSERT_EQ(source->GetCapXferCount(count), crSuccess);
  EXPECT_EQ(count, -1);
  dsm.capabilities[CAP_XFERCOUNT] = TFakeDsm::OneValue(TWTY_UINT16, 3);
  EXPECT_EQ(source->GetCapXferCount(count), crUnsupported);
  EXPECT_EQ(count, -1);
  ExpectAllFreed();
}

// --- memory transfer ---

// The source in memory mode, with inches as its unit and error and cancel
// events recorded.
struct TMemRig : TRig {
  TMemRig() {
    source->SetTransferMode(ttmMemory);
    dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {0, 1}, 0, 0);
    manager.OnAcquireError = [this](TTwainObject*, int, int code, int additional) {
      events.push_back("error(" + std::to_string(code) + "," + std::to_string(additional) + ")");
    };
    manager.OnAcquireCancel = [this](TTwainObject*, int) { events.push_back("cancel"); };
  }
  void Info(int width, int length, int bits, int pixelType, int dpi = 300) {
    dsm.imageInfo = TW_IMAGEINFO{};
    dsm.imageInfo.XResolution.Whole = dsm.imageInfo.YResolution.Whole = TW_INT16(dpi);
    dsm.imageInfo.ImageWidth = width;
    dsm.imageInfo.ImageLength = length;
    dsm.imageInfo.BitsPerPixel = TW_INT16(bits);
    dsm.imageInfo.PixelType = TW_INT16(pixelType);
  }
  void Buffer(std::vector<uint8_t> bytes, TW_UINT16 rc = TWRC_SUCCESS) {
    dsm.memBuffers.push_back({std::move(bytes), rc});
  }
  // Runs a one-page batch; the section made for it, or null.
  const TFakeTwainPlatform::TSection* Scan() {
    dsm.pages = {TWRC_XFERDONE};
    dsm.events = {MSG_XFERREADY};
    source->SetEnabled(true);
    dsm.Take();
    MSG msg{};
    source->ProcessMessage(&msg);
    return platform.sections.empty() ? nullptr : &platform.sections.back();
  }
  // Row y counted from the top of a bottom-up section.
  static std::vector<uint8_t> Row(const TFakeTwainPlatform::TSection& s, int y) {
    const size_t line = ((size_t(s.bitsPerPixel) * size_t(s.width) + 31) / 32) * 4;
    const auto* p = s.pixels.data() + line * size_t(s.height - 1 - y);
    return {p, p + line};
  }
  static uint32_t Header(const TFakeTwainPlatform::TSection& s, size_t at) { return ReadAt<uint32_t>(s.info, at); }
  static std::vector<uint8_t> Color(const TFakeTwainPlatform::TSection& s, size_t i) {
    const auto* e = s.info.data() + 40 + 4 * i;
    return {e, e + 4};
  }

  std::vector<std::string> events;
};

class TwainMemory : public ::testing::Test, public TMemRig {};

TEST_F(TwainMemory, ThreeRgbRowsInOneBuffer) {
  Info(2, 3, 24, TWPT_RGB);  // rows of 6 bytes padded to 8
  Buffer(Bytes({1, 2, 3, 4, 5, 6, 0, 0, 11, 12, 13, 14, 15, 16, 0, 0, 21, 22, 23, 24, 25, 26, 0, 0}), TWRC_XFERDONE);
  const auto* s = Scan();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(dsm.Take(),
            "EVENT/PROCESSEVENT IMAGEINFO/GET SETUPMEMXFER/GET CAPABILITY/GET SETUPMEMXFER/GET IMAGEMEMXFER/GET "
            "PENDINGXFERS/ENDXFER "
            "USERINTERFACE/DISABLEDS IDENTITY/CLOSEDS PARENT/CLOSEDSM PARENT/OPENDSM");
  EXPECT_EQ(manager.progress, (std::vector<std::string>{"1/2", "2/2", "3/2"}));
  ASSERT_EQ(manager.acquired.size(), 1u);
  EXPECT_EQ(manager.acquired[0], HBITMAP(s));
  EXPECT_TRUE(s->deleted);  // released after the image event
  // Red and blue change places in each pixel; the top row is stored last.
  EXPECT_EQ(Row(*s, 0), Bytes({3, 2, 1, 6, 5, 4, 0, 0}));
  EXPECT_EQ(Row(*s, 1), Bytes({13, 12, 11, 16, 15, 14, 0, 0}));
  EXPECT_EQ(Row(*s, 2), Bytes({23, 22, 21, 26, 25, 24, 0, 0}));
  // Header: 300 dots per inch are 11811 pixels per metre (11811.02 cut).
  EXPECT_EQ(Header(*s, 0), 40u);
  EXPECT_EQ(Header(*s, 4), 2u);
  EXPECT_EQ(Header(*s, 8), 3u);
  EXPECT_EQ(ReadAt<uint16_t>(s->info, 14), 24);
  EXPECT_EQ(Header(*s, 20), 4096u);  // 24 bytes rounded up past the next multiple of 4096
  EXPECT_EQ(Header(*s, 24), 11811u);
  EXPECT_EQ(Header(*s, 28), 11811u);
  EXPECT_EQ(Header(*s, 32), 0u);
  // The buffer record the source received.
  ASSERT_EQ(dsm.memRequests.size(), 1u);
  const TW_IMAGEMEMXFER& r = dsm.memRequests[0];
  // Packed members are read by value.
  const uint32_t flags = r.Memory.Flags, length = r.Memory.Length, perRow = r.BytesPerRow, rows = r.Rows,
                 written = r.BytesWritten;
  const uint16_t compression = r.Compression;
  EXPECT_EQ(flags, TW_UINT32(TWMF_APPOWNS | TWMF_POINTER));
  EXPECT_EQ(length, 4096u);
  EXPECT_EQ(compression, TWON_DONTCARE16);
  EXPECT_EQ(perRow, TWON_DONTCARE32);
  EXPECT_EQ(rows, TWON_DONTCARE32);
  EXPECT_EQ(written, 0u);
}

TEST_F(TwainMemory, ARowSplitAcrossBuffersIsCompletedFirst) {
  Info(3, 2, 24, TWPT_RGB, 100);                                                    // rows of 9 bytes padded to 12
  dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {0, 1}, 1, 0);  // centimetres
  dsm.setupMem.Preferred = 7;
  Buffer(Bytes({1, 2, 3, 4, 5, 6, 7}));
  Buffer(Bytes({8, 9, 0, 0, 0, 11, 12}));
  Buffer(Bytes({13, 14, 15, 16, 17, 18, 19}));
  Buffer(Bytes({0, 0, 0}), TWRC_XFERDONE);
  const auto* s = Scan();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(manager.progress, (std::vector<std::string>{"1/1", "2/1"}));
  EXPECT_EQ(Row(*s, 0), Bytes({3, 2, 1, 6, 5, 4, 9, 8, 7, 0, 0, 0}));
  EXPECT_EQ(Row(*s, 1), Bytes({13, 12, 11, 16, 15, 14, 19, 18, 17, 0, 0, 0}));
  EXPECT_EQ(Header(*s, 24), 10000u);  // 100 per centimetre
  EXPECT_EQ(Header(*s, 20), 28u);     // 24 bytes: the next multiple of 7 above
  EXPECT_EQ(dsm.memRequests.size(), 4u);
  for (const auto& r : dsm.memRequests) {
    const uint32_t length = r.Memory.Length;
    EXPECT_EQ(length, 7u);
  }
  ASSERT_EQ(manager.acquired.size(), 1u);
}

// Rows are as long as the source's BytesPerRow says, whatever the bitmap's
// own 4-byte padding: shorter (no padding), longer (padded further), or split
// across buffers. Reading them as padded rows shears the page.
TEST(TwainMemoryPages, RowsAsLongAsTheSourceSays) {
  const struct {
    const char* name;
    int width, bits, pixelType;
    uint32_t perRow;
    std::vector<std::vector<uint8_t>> buffers;  // the last ends the page
    std::vector<std::vector<uint8_t>> rows;     // the bitmap's rows, top first, without padding
  } cases[] = {
      {"grey, 5-byte rows",
       5,
       8,
       TWPT_GRAY,
       5,
       {Bytes({1, 2, 3, 4, 5, 11, 12, 13, 14, 15, 21, 22, 23, 24, 25})},
       {Bytes({1, 2, 3, 4, 5}), Bytes({11, 12, 13, 14, 15}), Bytes({21, 22, 23, 24, 25})}},
      {"rgb, 9-byte rows over two buffers",
       3,
       24,
       TWPT_RGB,
       9,
       {Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 14}),
        Bytes({15, 16, 17, 18, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29})},
       {Bytes({3, 2, 1, 6, 5, 4, 9, 8, 7}), Bytes({13, 12, 11, 16, 15, 14, 19, 18, 17}),
        Bytes({23, 22, 21, 26, 25, 24, 29, 28, 27})}},
      {"grey, rows padded to 8 bytes",
       3,
       8,
       TWPT_GRAY,
       8,
       {Bytes({1, 2, 3, 0, 9, 9, 9, 9, 11, 12, 13, 0, 9, 9, 9, 9, 21, 22, 23, 0, 9, 9, 9, 9})},
       {Bytes({1, 2, 3}), Bytes({11, 12, 13}), Bytes({21, 22, 23})}},
      {"black and white, 2-byte rows of 9 pixels",
       9,
       1,
       TWPT_BW,
       2,
       {Bytes({0xAA, 0x80, 0x55, 0x00, 0xFF, 0x80})},
       {Bytes({0xAA, 0x80}), Bytes({0x55, 0x00}), Bytes({0xFF, 0x80})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemRig t;
    t.Info(c.width, 3, c.bits, c.pixelType);
    for (size_t i = 0; i < c.buffers.size(); ++i)
      t.dsm.memBuffers.push_back(
          {c.buffers[i], i + 1 == c.buffers.size() ? TW_UINT16(TWRC_XFERDONE) : TW_UINT16(TWRC_SUCCESS), c.perRow});
    const auto* s = t.Scan();
    ASSERT_EQ(t.manager.acquired.size(), 1u);
    EXPECT_EQ(t.manager.progress, (std::vector<std::string>{"1/2", "2/2", "3/2"}));
    for (int y = 0; y < 3; ++y) {
      std::vector<uint8_t> row = TMemRig::Row(*s, y);
      row.resize(c.rows[size_t(y)].size());
      EXPECT_EQ(row, c.rows[size_t(y)]) << "row " << y;
    }
  }
}

TEST(TwainMemoryPages, ColourTables) {
  const std::vector<uint8_t> black{0, 0, 0, 0}, white{255, 255, 255, 0};
  const struct {
    const char* name;
    int pixelType, bits;
    std::function<void(TFakeDsm&)> script;
    uint32_t colors;
    std::vector<std::vector<uint8_t>> first;  // the first entries
  } cases[] = {
      {"bw, vanilla",
       TWPT_BW,
       1,
       [](TFakeDsm& d) { d.capabilities[ICAP_PIXELFLAVOR] = TFakeDsm::Enumeration(TWTY_UINT16, {1}, 0, 0); },
       2,
       {white, black}},
      {"bw, chocolate",
       TWPT_BW,
       1,
       [](TFakeDsm& d) { d.capabilities[ICAP_PIXELFLAVOR] = TFakeDsm::Enumeration(TWTY_UINT16, {0}, 0, 0); },
       2,
       {black, white}},
      {"bw, no readable flavour", TWPT_BW, 1, [](TFakeDsm&) {}, 2, {black, white}},
      {"grey", TWPT_GRAY, 8, [](TFakeDsm&) {}, 256, {black, {1, 1, 1, 0}, {2, 2, 2, 0}}},
      {"palette",
       TWPT_PALETTE,
       8,
       [](TFakeDsm& d) {
         d.hasPalette = true;
         d.palette.NumColors = 3;
         d.palette.Colors[0] = {0, 10, 20, 30};
         d.palette.Colors[1] = {1, 40, 50, 60};
         d.palette.Colors[2] = {2, 70, 80, 90};
       },
       3,
       {{30, 20, 10, 0}, {60, 50, 40, 0}, {90, 80, 70, 0}}},
      {"palette that cannot be read", TWPT_PALETTE, 8, [](TFakeDsm&) {}, 256, {black, {1, 1, 1, 0}, {2, 2, 2, 0}}},
      {"rgb", TWPT_RGB, 24, [](TFakeDsm&) {}, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemRig t;
    t.dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {5}, 0, 0);  // pixels: no resolution
    t.Info(1, 1, c.bits, c.pixelType);
    t.Buffer(Bytes({7, 7, 7, 7}), TWRC_XFERDONE);
    c.script(t.dsm);
    const auto* section = t.Scan();
    ASSERT_EQ(t.manager.acquired.size(), 1u);
    EXPECT_EQ(t.Header(*section, 32), c.colors);
    EXPECT_EQ(t.Header(*section, 24), 0u);
    for (size_t i = 0; i < c.first.size(); ++i) EXPECT_EQ(t.Color(*section, i), c.first[i]) << i;
    if (c.colors == 256) {
      EXPECT_EQ(t.Color(*section, 255), (std::vector<uint8_t>{255, 255, 255, 0}));
    }
  }
}

TEST(TwainMemoryPages, ResolutionInTheHeaderFollowsTheUnit) {
  const struct {
    const char* name;
    int units;  // -1: ICAP_UNITS cannot be read
    int whole, frac;
    uint32_t perMetre;
  } cases[] = {
      {"inches", TWUN_INCHES, 300, 0, 11811},  // 11811.02 cut
      {"inches, a fraction", TWUN_INCHES, 150, 32768, 5925},
      {"centimetres", TWUN_CENTIMETERS, 118, 0, 11800},
      {"points", TWUN_POINTS, 300, 0, 0},
      {"unit not readable", -1, 300, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemRig t;
    if (c.units < 0)
      t.dsm.capabilities.erase(ICAP_UNITS);
    else
      t.dsm.capabilities[ICAP_UNITS] = TFakeDsm::Enumeration(TWTY_UINT16, {uint32_t(c.units)}, 0, 0);
    t.Info(1, 1, 8, TWPT_GRAY, c.whole);
    t.dsm.imageInfo.XResolution.Frac = t.dsm.imageInfo.YResolution.Frac = TW_UINT16(c.frac);
    t.Buffer(Bytes({1, 2, 3, 4}), TWRC_XFERDONE);
    const auto* section = t.Scan();
    ASSERT_EQ(t.manager.acquired.size(), 1u);
    EXPECT_EQ(t.Header(*section, 24), c.perMetre);
    EXPECT_EQ(t.Header(*section, 28), c.perMetre);
  }
}

TEST(TwainMemoryPages, PagesThatFailLeaveNoBitmap) {
  const struct {
    const char* name;
    std::function<void(TMemRig&)> script;
    std::vector<std::string> events;
    size_t sections;
    size_t requests;
  } cases[] = {
      {"image info fails",
       [](TMemRig& t) {
         t.dsm.Answer(DAT_IMAGEINFO, MSG_GET, {TWRC_FAILURE});
         t.dsm.conditionCode = TWCC_OPERATIONERROR;
       },
       {"error(1,5)"},
       0,
       0},
      // A preferred buffer size of 0 fails the page instead of dividing by it.
      {"preferred size 0", [](TMemRig& t) { t.dsm.setupMem.Preferred = 0; }, {"error(1,0)"}, 0, 0},
      {"setup read fails while transferring",
       [](TMemRig& t) {
         t.dsm.Answer(DAT_SETUPMEMXFER, MSG_GET, {TWRC_SUCCESS, TWRC_FAILURE});
       },
       {"error(1,0)"},
       1,
       0},
      {"bitmap cannot be made", [](TMemRig& t) { t.platform.sectionFails = true; }, {"error(1,0)"}, 0, 0},
      {"cancel in the middle",
       [](TMemRig& t) {
         t.Buffer(Bytes({1, 1, 1, 1}));
         t.Buffer({}, TWRC_CANCEL);
       },
       {"cancel"},
       1,
       2},
      {"failure in the middle",
       [](TMemRig& t) {
         t.Buffer(Bytes({1, 1, 1, 1}));
         t.Buffer({}, TWRC_FAILURE);
         t.dsm.conditionCode = TWCC_PAPERJAM;
       },
       {"error(1,20)"},
       1,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TMemRig t;
    t.Info(4, 2, 8, TWPT_GRAY);
    c.script(t);
    t.Scan();
    EXPECT_EQ(t.events, c.events);
    EXPECT_TRUE(t.manager.acquired.empty());
    EXPECT_EQ(t.platform.sections.size(), c.sections);
    for (const auto& s : t.platform.sections) EXPECT_TRUE(s.deleted);
    EXPECT_EQ(t.dsm.memRequests.size(), c.requests);
  }
}

TEST_F(TwainMemory, AShortPageIsDelivered) {
  // Fewer bytes than the bitmap holds: the missing row keeps what the new
  // section held.
  Info(4, 2, 8, TWPT_GRAY);
  Buffer(Bytes({1, 2, 3, 4}), TWRC_XFERDONE);
  const auto* s = Scan();
  ASSERT_EQ(manager.acquired.size(), 1u);
  EXPECT_EQ(Row(*s, 0), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(Row(*s, 1), Bytes({0xCD, 0xCD, 0xCD, 0xCD}));
  EXPECT_EQ(manager.progress, (std::vector<std::string>{"1/1"}));
}

// More bytes than the bitmap holds, or a BytesWritten beyond the buffer:
// nothing is written outside the bitmap (the sanitizers watch).
TEST_F(TwainMemory, BytesBeyondTheImageAreDropped) {
  Info(4, 1, 8, TWPT_GRAY);
  dsm.setupMem.Preferred = 8;
  Buffer(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}), TWRC_XFERDONE);  // says 12, copied 8
  const auto* s = Scan();
  ASSERT_EQ(manager.acquired.size(), 1u);
  EXPECT_EQ(Row(*s, 0), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(manager.progress, (std::vector<std::string>{"1/0"}));
}

TEST_F(TwainMemory, AProgressHandlerThatRaisesLeavesNoBitmap) {
  Info(4, 2, 8, TWPT_GRAY);
  Buffer(Bytes({1, 2, 3, 4, 5, 6, 7, 8}), TWRC_XFERDONE);
  manager.throwInProgress = true;
  EXPECT_THROW(Scan(), std::runtime_error);
  ASSERT_EQ(platform.sections.size(), 1u);
  EXPECT_TRUE(platform.sections.back().deleted);
  EXPECT_TRUE(manager.acquired.empty());
}

}  // namespace

}  // namespace skan::twain
