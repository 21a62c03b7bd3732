// TPdfWriter against the recording double of pdfwriter.dll: what reaches the
// library for each operation, each success rule, the text protocol, errors,
// and loading (version refusals, missing entry points, retries).
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "base/encoding.h"
#include "double_control.h"
#include "pdf/pdf_binding.h"

namespace skan::pdf {

namespace {

std::wstring DoubleDir(const char* variant) {
  std::string unix = std::string(SKAN_DOUBLE_DIR) + "/" + variant;
  std::wstring dir = L"Z:";
  for (char c : unix) dir += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return dir;
}

std::string Hex(const void* p) {
  char b[32];
  std::snprintf(b, sizeof b, "p:%08lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return b;
}

// The double chosen by a test, held loaded so its script survives the
// binding's own load and release.
class PdfBinding : public ::testing::Test {
 protected:
  void Use(const char* variant) {
    const std::wstring dir = DoubleDir(variant);
    SetDllDirectoryW(dir.c_str());
    if (std::string(variant) == "empty") return;
    module_ = LoadLibraryW((dir + L"\\pdfwriter.dll").c_str());
    ASSERT_NE(module_, nullptr) << variant;
    reset_ = Get<DoubleResetFunc>("double_Reset");
    script_ = Get<DoubleScriptFunc>("double_Script");
    outs_ = Get<DoubleOutsFunc>("double_Outs");
    text_ = Get<DoubleTextFunc>("double_Text");
    calls_ = Get<DoubleCallsFunc>("double_Calls");
    reset_();
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
    SetDllDirectoryW(nullptr);
  }
  template <class F>
  F Get(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  // Loads the library into `w` and forgets that call.
  void Load(TPdfWriter& w) {
    w.SetUnit(PdfWriterUnit_mm);
    reset_();
  }
  std::string Calls() { return calls_(); }

  HMODULE module_ = nullptr;
  DoubleResetFunc reset_ = nullptr;
  DoubleScriptFunc script_ = nullptr;
  DoubleOutsFunc outs_ = nullptr;
  DoubleTextFunc text_ = nullptr;
  DoubleCallsFunc calls_ = nullptr;
};

// Runs `op` and returns the exception's code and text, or "no exception".
std::string Raised(const std::function<void()>& op) {
  try {
    op();
  } catch (const TPdfWriterException& e) {
    return std::to_string(e.getCode()) + " " + e.what();
  } catch (const std::range_error& e) {
    return std::string("range ") + e.what();
  } catch (const std::overflow_error& e) {
    return std::string("overflow ") + e.what();
  }
  return "no exception";
}

void PDFWRITER_CALL NoAppend(const uint8_t*, uint32_t, void*) {}
void PDFWRITER_CALL NoFinish(uint8_t*, uint32_t*, void*) {}

// Every operation passes its arguments in order with the agreed conversions,
// and turns the library's answer into its result by its success rule.
TEST_F(PdfBinding, OperationsPassArgumentsAndApplyTheirSuccessRule) {
  Use("v20");
  static char buffer[16];
  static const uint8_t bytes[4] = {1, 2, 3, 4};
  static uint64_t ranges[4];
  const std::string fns = Hex(reinterpret_cast<const void*>(&NoAppend)) + ", p:00000011, " +
                          Hex(reinterpret_cast<const void*>(&NoFinish)) + ", p:00000022";
  struct TCase {
    const char* what;
    std::function<void()> script;  // before the operation
    std::function<std::string(TPdfWriter&)> op;
    std::string calls;
    std::string result;
  };
  auto none = [] {};
  const TCase cases[] = {
      {"CreateMemDocument", none,
       [](TPdfWriter& w) {
         w.CreateMemDocument();
         return "";
       },
       "CreateMemDocument(ctx#1)\n", ""},
      {"AddPage", none, [](TPdfWriter& w) { return Hex(w.AddPage(210, 297, 2100, 2970, PdfWriterDrawFlag_None)); },
       "AddPage(ctx#1, 210, 297, 2100, 2970, 0)\n", "p:000004d2"},
      {"FinishPage", none,
       [](TPdfWriter& w) {
         w.FinishPage(reinterpret_cast<HDC>(0x4D2));
         return "";
       },
       "FinishPage(ctx#1, p:000004d2)\n", ""},
      {"SaveToFile with an empty name passes an empty string", none,
       [](TPdfWriter& w) {
         w.SaveToFile("");
         return "";
       },
       "SaveToFile(ctx#1, \"\")\n", ""},
      {"Close ignores a failure", [&] { script_("Close", 0, 1, 9, "no document"); },
       [](TPdfWriter& w) {
         w.Close();
         return "";
       },
       "Close(ctx#1)\n", ""},
      {"PrepareEncryption: empty owner is null, empty user is not", none,
       [](TPdfWriter& w) {
         w.PrepareEncryption("", "", 4, 8);
         return "";
       },
       "PrepareEncryption(ctx#1, \"\", null, 4, 8)\n", ""},
      {"PrepareEncryption with both passwords", none,
       [](TPdfWriter& w) {
         w.PrepareEncryption("u", "o", 3900, 2);
         return "";
       },
       "PrepareEncryption(ctx#1, \"u\", \"o\", 3900, 2)\n", ""},
      {"CreateFileDocument", none,
       [](TPdfWriter& w) {
         w.CreateFileDocument("a.pdf");
         return "";
       },
       "CreateFileDocument(ctx#1, \"a.pdf\")\n", ""},
      {"CreateFileDocumentW", none,
       [](TPdfWriter& w) {
         w.CreateFileDocumentW(L"\u0142.pdf");
         return "";
       },
       "CreateFileDocumentW(ctx#1, L\"\u0142.pdf\")\n", ""},
      {"LoadFromFile: true is all bits set", none,
       [](TPdfWriter& w) {
         w.LoadFromFile("a.pdf", "pw", true, false);
         return "";
       },
       "LoadFromFile(ctx#1, \"a.pdf\", \"pw\", 4294967295, 0)\n", ""},
      {"LoadFromFileW", none,
       [](TPdfWriter& w) {
         w.LoadFromFileW(L"a.pdf", "", false, true);
         return "";
       },
       "LoadFromFileW(ctx#1, L\"a.pdf\", \"\", 0, 4294967295)\n", ""},
      {"LoadFromData", none,
       [](TPdfWriter& w) {
         w.LoadFromData(bytes, 4, "", true);
         return "";
       },
       "LoadFromData(ctx#1, " + Hex(bytes) + ", 4, \"\", 4294967295)\n", ""},
      {"SaveToFileW", none,
       [](TPdfWriter& w) {
         w.SaveToFileW(L"b.pdf");
         return "";
       },
       "SaveToFileW(ctx#1, L\"b.pdf\")\n", ""},
      {"SaveToData: a refusal is only false", [&] { script_("SaveToData", 0, 1, 122, "small"); },
       [](TPdfWriter& w) {
         uint32_t length = 0;
         return std::string(w.SaveToData(nullptr, length) ? "true" : "false");
       },
       "SaveToData(ctx#1, null, &0)\n", "false"},
      {"SaveToData hands data and length over", [&] { outs_("SaveToData", 12, 0); },
       [](TPdfWriter& w) {
         uint32_t length = 16;
         const bool ok = w.SaveToData(buffer, length);
         return std::string(ok ? "true " : "false ") + std::to_string(length);
       },
       "SaveToData(ctx#1, " + Hex(buffer) + ", &16)\n", "true 12"},
      {"GetPageCount", [&] { outs_("GetPageCount", 3, 0); },
       [](TPdfWriter& w) { return std::to_string(w.GetPageCount()); }, "GetPageCount(ctx#1, &0)\n", "3"},
      {"GetPageSize", [&] { outs_("GetPageSize", 210, 297); },
       [](TPdfWriter& w) {
         uint32_t width = 0, height = 0;
         w.GetPageSize(1, width, height);
         return std::to_string(width) + "x" + std::to_string(height);
       },
       "GetPageSize(ctx#1, 1, &0, &0)\n", "210x297"},
      {"InsertPage", none, [](TPdfWriter& w) { return Hex(w.InsertPage(2, 1, 3, 4, 5, 8)); },
       "InsertPage(ctx#1, 2, 1, 3, 4, 5, 8)\n", "p:000004d2"},
      {"UpdatePage", none, [](TPdfWriter& w) { return Hex(w.UpdatePage(2, 4, 5, 1)); },
       "UpdatePage(ctx#1, 2, 4, 5, 1)\n", "p:000004d2"},
      {"DeletePage", none,
       [](TPdfWriter& w) {
         w.DeletePage(3);
         return "";
       },
       "DeletePage(ctx#1, 3)\n", ""},
      {"AddResource", none, [](TPdfWriter& w) { return Hex(w.AddResource(10, 20, 100, 200, 0)); },
       "AddResource(ctx#1, 10, 20, 100, 200, 0)\n", "p:000004d2"},
      {"FinishResource returns the identifier", [&] { script_("FinishResource", 42, 0, 0, nullptr); },
       [](TPdfWriter& w) { return std::to_string(w.FinishResource(reinterpret_cast<HDC>(0x99))); },
       "FinishResource(ctx#1, p:00000099)\n", "42"},
      {"PageToResource", [&] { script_("PageToResource", 5, 0, 0, nullptr); },
       [](TPdfWriter& w) { return std::to_string(w.PageToResource(1)); }, "PageToResource(ctx#1, 1)\n", "5"},
      {"GetResourceSize", [&] { outs_("GetResourceSize", 7, 8); },
       [](TPdfWriter& w) {
         uint32_t width = 1, height = 2;
         w.GetResourceSize(4, width, height);
         return std::to_string(width) + "x" + std::to_string(height);
       },
       "GetResourceSize(ctx#1, 4, &1, &2)\n", "7x8"},
      {"DrawResource: the unit as its ordinal, signed positions", none,
       [](TPdfWriter& w) {
         w.DrawResource(1, 2, PdfWriterUnit_inch, -5, 6, 1000, 500);
         return "";
       },
       "DrawResource(ctx#1, 1, 2, 5, -5, 6, 1000, 500)\n", ""},
      {"DrawResourceWithMatrix: thousandths truncated toward zero", none,
       [](TPdfWriter& w) {
         w.DrawResourceWithMatrix(3, 0, 1.0, 0.0005, -0.0009, 2.5, -1.25, 7);
         return "";
       },
       "DrawResourceWithMatrix(ctx#1, 3, 0, 1000, 0, 0, 2500, -1250, 7000)\n", ""},
      {"AddTextLayer: the words in order, UTF-8 as given, and their count", none,
       [](TPdfWriter& w) {
         w.AddTextLayer(2, 2480, 3508, {{"Zażółć", 10, 20, 300, 40, 55}, {"jaźń", -1, 0, 7, 8, -1}});
         return "";
       },
       "AddTextLayer(ctx#1, 2, 2480, 3508, [\"Zażółć\" 10 20 300 40 55, \"jaźń\" -1 0 7 8 -1])\n", ""},
      {"AddTextLayer without words passes no array", none,
       [](TPdfWriter& w) {
         w.AddTextLayer(0, 1, 1, {});
         return "";
       },
       "AddTextLayer(ctx#1, 0, 1, 1, null/0)\n", ""},
      {"SetDocumentInfo", none,
       [](TPdfWriter& w) {
         w.SetDocumentInfo("Title", L"Skan \u0119");
         return "";
       },
       "SetDocumentInfo(ctx#1, \"Title\", L\"Skan \u0119\")\n", ""},
      {"GetDocumentInfoExists", [&] { outs_("GetDocumentInfoExists", 1, 0); },
       [](TPdfWriter& w) { return std::string(w.GetDocumentInfoExists("Title") ? "true" : "false"); },
       "GetDocumentInfoExists(ctx#1, \"Title\", &0)\n", "true"},
      {"GetDocumentInfo: two calls, the second with room for the terminator",
       [&] { text_("GetDocumentInfo", "Za\u017c\u00f3\u0142\u0107", -1); },
       [](TPdfWriter& w) { return base::Narrow(w.GetDocumentInfo("Title")); },
       "GetDocumentInfo(ctx#1, \"Title\", null, &0)\nGetDocumentInfo(ctx#1, \"Title\", buf, &7)\n",
       "Za\u017c\u00f3\u0142\u0107"},
      {"GetEmbeddedFileName: byte text", [&] { text_("GetEmbeddedFileName", "a.txt", -1); },
       [](TPdfWriter& w) { return w.GetEmbeddedFileName(2); },
       "GetEmbeddedFileName(ctx#1, 2, null, &0)\nGetEmbeddedFileName(ctx#1, 2, buf, &6)\n", "a.txt"},
      {"a text of length 0 is empty after two calls", [&] { text_("GetSignatureReason", "", -1); },
       [](TPdfWriter& w) { return base::Narrow(w.GetSignatureReason(0)); },
       "GetSignatureReason(ctx#1, 0, null, &0)\nGetSignatureReason(ctx#1, 0, buf, &1)\n", ""},
      {"a library claiming more than the buffer holds cannot make the binding overrun it",
       [&] { text_("GetSignatureCreator", "abc", 1000); }, [](TPdfWriter& w) { return w.GetSignatureCreator(1); },
       "GetSignatureCreator(ctx#1, 1, null, &0)\nGetSignatureCreator(ctx#1, 1, buf, &4)\n", "abc"},
      {"EmbedFile", none,
       [](TPdfWriter& w) {
         w.EmbedFile("x.bin");
         return "";
       },
       "EmbedFile(ctx#1, \"x.bin\")\n", ""},
      {"EmbedFileW", none,
       [](TPdfWriter& w) {
         w.EmbedFileW(L"x.bin");
         return "";
       },
       "EmbedFileW(ctx#1, L\"x.bin\")\n", ""},
      {"EmbedData", none,
       [](TPdfWriter& w) {
         w.EmbedData("d", bytes, 4);
         return "";
       },
       "EmbedData(ctx#1, \"d\", " + Hex(bytes) + ", 4)\n", ""},
      {"EmbedDataW", none,
       [](TPdfWriter& w) {
         w.EmbedDataW(L"d", bytes, 3);
         return "";
       },
       "EmbedDataW(ctx#1, L\"d\", " + Hex(bytes) + ", 3)\n", ""},
      {"GetEmbeddedFileCount returns the answer as it is",
       [&] { script_("GetEmbeddedFileCount", 0xFFFFFFFF, 0, 0, nullptr); },
       [](TPdfWriter& w) { return std::to_string(w.GetEmbeddedFileCount()); }, "GetEmbeddedFileCount(ctx#1)\n", "-1"},
      {"GetEmbeddedFileData", none,
       [](TPdfWriter& w) {
         uint32_t length = 16;
         return std::string(w.GetEmbeddedFileData(1, buffer, length) ? "true" : "false");
       },
       "GetEmbeddedFileData(ctx#1, 1, " + Hex(buffer) + ", &16)\n", "true"},
      {"CreateLinkAnnotation: the rectangle as left, top, width, height", none,
       [](TPdfWriter& w) {
         w.CreateLinkAnnotation(0, {10, 20, 110, 70}, PdfWriterAnnotationFlag_Print, 0, 1, 5, 6, L"Go");
         return "";
       },
       "CreateLinkAnnotation(ctx#1, 0, 10, 20, 100, 50, 4, 0, 1, 5, 6, L\"Go\")\n", ""},
      {"CreateBookmarkRoot: the colour as red, green, blue", [&] { script_("CreateBookmarkRoot", 11, 0, 0, nullptr); },
       [](TPdfWriter& w) { return std::to_string(w.CreateBookmarkRoot(L"T", 2, 0x563412, 1, 2, 3)); },
       "CreateBookmarkRoot(ctx#1, L\"T\", 2, 18, 52, 86, 1, 2, 3)\n", "11"},
      {"CreateBookmarkChild", none,
       [](TPdfWriter& w) { return std::to_string(w.CreateBookmarkChild(11, L"C", 0, 0xFF, 0, 0, 0)); },
       "CreateBookmarkChild(ctx#1, 11, L\"C\", 0, 255, 0, 0, 0, 0, 0)\n", "1"},
      {"CreateBookmarkSibling", none,
       [](TPdfWriter& w) { return std::to_string(w.CreateBookmarkSibling(12, L"S", 1, 0xFF0000, 4, 5, 6)); },
       "CreateBookmarkSibling(ctx#1, 12, L\"S\", 1, 0, 0, 255, 4, 5, 6)\n", "1"},
      {"GetNativeDocument", none, [](TPdfWriter& w) { return Hex(w.GetNativeDocument()); },
       "GetNativeDocument(ctx#1)\n", "p:0000005a"},
      {"DrawDebugPage", none,
       [](TPdfWriter& w) {
         w.DrawDebugPage("dbg.txt");
         return "";
       },
       "DrawDebugPage(ctx#1, \"dbg.txt\")\n", ""},
      {"GetDocumentIsSigned", none,
       [](TPdfWriter& w) { return std::string(w.GetDocumentIsSigned() ? "true" : "false"); },
       "GetDocumentIsSigned(ctx#1, &0)\n", "false"},
      {"GetSignatureCount", [&] { outs_("GetSignatureCount", 2, 0); },
       [](TPdfWriter& w) { return std::to_string(w.GetSignatureCount()); }, "GetSignatureCount(ctx#1, &0)\n", "2"},
      {"GetSignatureName", [&] { text_("GetSignatureName", "Sig1", -1); },
       [](TPdfWriter& w) { return w.GetSignatureName(0); },
       "GetSignatureName(ctx#1, 0, null, &0)\nGetSignatureName(ctx#1, 0, buf, &5)\n", "Sig1"},
      {"CreateSignature returns the new index", [&] { outs_("CreateSignature", 4, 0); },
       [](TPdfWriter& w) {
         return std::to_string(w.CreateSignature("S", 1, {5, 5, 15, 25}, 0));
       },
       "CreateSignature(ctx#1, \"S\", 1, 5, 5, 10, 20, 0, &0)\n", "4"},
      {"GetSignatureHasData", [&] { outs_("GetSignatureHasData", 1, 0); },
       [](TPdfWriter& w) { return std::string(w.GetSignatureHasData(3) ? "true" : "false"); },
       "GetSignatureHasData(ctx#1, 3, &0)\n", "true"},
      {"GetSignatureData", [&] { script_("GetSignatureData", 0, 0, 0, nullptr); },
       [](TPdfWriter& w) {
         uint32_t length = 0;
         return std::string(w.GetSignatureData(3, nullptr, length) ? "true" : "false");
       },
       "GetSignatureData(ctx#1, 3, null, &0)\n", "false"},
      {"GetSignatureRanges", none,
       [](TPdfWriter& w) {
         uint32_t length = 4;
         return std::string(w.GetSignatureRanges(0, ranges, length) ? "true" : "false");
       },
       "GetSignatureRanges(ctx#1, 0, " + Hex(ranges) + ", &4)\n", "true"},
      {"SetSignatureDate: seconds since 1970, UTC", none,
       [](TPdfWriter& w) {
         using namespace std::chrono;
         w.SetSignatureDate(0, sys_days(year(2021) / 1 / 2) + hours(3) + minutes(4) + seconds(5));
         return "";
       },
       "SetSignatureDate(ctx#1, 0, 1609556645)\n", ""},
      {"GetSignatureDate", [&] { outs_("GetSignatureDate", 1609556645, 0); },
       [](TPdfWriter& w) { return std::to_string(w.GetSignatureDate(0).time_since_epoch().count()); },
       "GetSignatureDate(ctx#1, 0, &0)\n", "1609556645"},
      {"SetSignatureReason", none,
       [](TPdfWriter& w) {
         w.SetSignatureReason(1, L"ok");
         return "";
       },
       "SetSignatureReason(ctx#1, 1, L\"ok\")\n", ""},
      {"SetSignatureLocation", none,
       [](TPdfWriter& w) {
         w.SetSignatureLocation(1, L"Krak\u00f3w");
         return "";
       },
       "SetSignatureLocation(ctx#1, 1, L\"Krak\u00f3w\")\n", ""},
      {"GetSignatureLocation", [&] { text_("GetSignatureLocation", "Here", -1); },
       [](TPdfWriter& w) { return base::Narrow(w.GetSignatureLocation(1)); },
       "GetSignatureLocation(ctx#1, 1, null, &0)\nGetSignatureLocation(ctx#1, 1, buf, &5)\n", "Here"},
      {"SetSignatureCreator", none,
       [](TPdfWriter& w) {
         w.SetSignatureCreator(1, "me");
         return "";
       },
       "SetSignatureCreator(ctx#1, 1, \"me\")\n", ""},
      {"SetSignatureAppearance: the state as its ordinal", none,
       [](TPdfWriter& w) {
         w.SetSignatureAppearance(1, PdfWriterAppearance_Down, 9, -3, 4);
         return "";
       },
       "SetSignatureAppearance(ctx#1, 1, 2, 9, -3, 4)\n", ""},
      {"SetSignatureSize", none,
       [](TPdfWriter& w) {
         w.SetSignatureSize(8192);
         return "";
       },
       "SetSignatureSize(ctx#1, 8192)\n", ""},
      {"AddSignerPFX", none,
       [](TPdfWriter& w) {
         w.AddSignerPFX(bytes, 4, "pw");
         return "";
       },
       "AddSignerPFX(ctx#1, " + Hex(bytes) + ", 4, \"pw\")\n", ""},
      {"AddSignerPEM", none,
       [](TPdfWriter& w) {
         w.AddSignerPEM(bytes, 4, bytes + 1, 2, "");
         return "";
       },
       "AddSignerPEM(ctx#1, " + Hex(bytes) + ", 4, " + Hex(bytes + 1) + ", 2, \"\")\n", ""},
      {"SaveToFileWithSign", none,
       [](TPdfWriter& w) {
         w.SaveToFileWithSign("s.pdf", 1);
         return "";
       },
       "SaveToFileWithSign(ctx#1, \"s.pdf\", 1)\n", ""},
      {"SaveToFileWithSignW", none,
       [](TPdfWriter& w) {
         w.SaveToFileWithSignW(L"s.pdf", 2);
         return "";
       },
       "SaveToFileWithSignW(ctx#1, L\"s.pdf\", 2)\n", ""},
      {"SaveToDataWithSign", none,
       [](TPdfWriter& w) {
         uint32_t length = 5;
         return std::string(w.SaveToDataWithSign(0, nullptr, length) ? "true" : "false");
       },
       "SaveToDataWithSign(ctx#1, 0, null, &5)\n", "true"},
      {"SaveToFileWithSignManual", none,
       [](TPdfWriter& w) {
         w.SaveToFileWithSignManual("m.pdf", 0, &NoAppend, reinterpret_cast<void*>(0x11), &NoFinish,
                                    reinterpret_cast<void*>(0x22));
         return "";
       },
       "SaveToFileWithSignManual(ctx#1, \"m.pdf\", 0, " + fns + ")\n", ""},
      {"SaveToFileWithSignManualW", none,
       [](TPdfWriter& w) {
         w.SaveToFileWithSignManualW(L"m.pdf", 0, &NoAppend, reinterpret_cast<void*>(0x11), &NoFinish,
                                     reinterpret_cast<void*>(0x22));
         return "";
       },
       "SaveToFileWithSignManualW(ctx#1, L\"m.pdf\", 0, " + fns + ")\n", ""},
      {"SaveToDataWithSignManual", none,
       [](TPdfWriter& w) {
         uint32_t length = 3;
         return std::string(w.SaveToDataWithSignManual(1, &NoAppend, reinterpret_cast<void*>(0x11), &NoFinish,
                                                       reinterpret_cast<void*>(0x22), nullptr, length)
                                ? "true"
                                : "false");
       },
       "SaveToDataWithSignManual(ctx#1, 1, " + fns + ", null, &3)\n", "true"},
      {"MMToUnit asks the library for its unit at every call", [&] { script_("GetUnit", 2, 0, 0, nullptr); },
       [](TPdfWriter& w) { return std::to_string(static_cast<int>(w.MMToUnit(297))); }, "GetUnit(ctx#1)\n", "2970"},
      {"GetUnit judges only the low 8 bits", [&] { script_("GetUnit", 0x101, 0, 0, nullptr); },
       [](TPdfWriter& w) { return std::to_string(static_cast<int>(w.GetUnit())); }, "GetUnit(ctx#1)\n", "1"},
      {"SetUnit passes the ordinal", none,
       [](TPdfWriter& w) {
         w.SetUnit(PdfWriterUnit_1000th_inch);
         return "";
       },
       "SetUnit(ctx#1, 8)\n", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TPdfWriter w;
    Load(w);
    c.script();
    std::string result;
    EXPECT_EQ(Raised([&] { result = c.op(w); }), "no exception");
    EXPECT_EQ(Calls(), c.calls);
    EXPECT_EQ(result, c.result);
  }
}

// Failures: assertions before any library call, the library's own code and
// text, or code 0 and "Failed to call" when it reported nothing.
TEST_F(PdfBinding, FailuresRaiseWithTheirCodeAndText) {
  Use("v20");
  TPdfWriter fresh;  // never used: has no context
  struct TCase {
    const char* what;
    std::function<void()> script;
    std::function<void(TPdfWriter&)> op;
    std::string raised;
    std::string calls;  // what reached the library
  };
  auto none = [] {};
  const TCase cases[] = {
      {"status 0 without a report", [&] { script_("SetUnit", 0, 0, 0, nullptr); },
       [](TPdfWriter& w) { w.SetUnit(PdfWriterUnit_mm); }, "0 Failed to call 'TPdfWriter.SetUnit'",
       "SetUnit(ctx#1, 1)\n"},
      {"status 0 with the library's code and message", [&] { script_("SetUnit", 0, 1, 5, "Unit refused"); },
       [](TPdfWriter& w) { w.SetUnit(PdfWriterUnit_mm); }, "5 Unit refused", "SetUnit(ctx#1, 1)\n"},
      {"a report with a null message keeps the code", [&] { script_("DeletePage", 0, 1, 7, nullptr); },
       [](TPdfWriter& w) { w.DeletePage(1); }, "7 Failed to call 'TPdfWriter.DeletePage'", "DeletePage(ctx#1, 1)\n"},
      {"a null device context from AddPage", [&] { script_("AddPage", 0, 1, 8, "No page for you"); },
       [](TPdfWriter& w) { w.AddPage(210, 297, 2100, 2970, 0); }, "8 No page for you",
       "AddPage(ctx#1, 210, 297, 2100, 2970, 0)\n"},
      {"AddTextLayer refused", [&] { script_("AddTextLayer", 0, 1, 87, "pdfwriter: page index out of range"); },
       [](TPdfWriter& w) {
         w.AddTextLayer(4, 10, 10, {{"x", 0, 0, 1, 1, -1}});
       },
       "87 pdfwriter: page index out of range", "AddTextLayer(ctx#1, 4, 10, 10, [\"x\" 0 0 1 1 -1])\n"},
      {"GetUnit answering 0", [&] { script_("GetUnit", 0, 0, 0, nullptr); }, [](TPdfWriter& w) { w.GetUnit(); },
       "0 Failed to call 'TPdfWriter.GetUnit'", "GetUnit(ctx#1)\n"},
      {"GetUnit answering 9", [&] { script_("GetUnit", 9, 0, 0, nullptr); }, [](TPdfWriter& w) { w.GetUnit(); },
       "0 Failed to call 'TPdfWriter.GetUnit'", "GetUnit(ctx#1)\n"},
      {"FinishPage without a device context", none, [](TPdfWriter& w) { w.FinishPage(nullptr); },
       "87 TPdfWriter.FinishPage: Assertion 'dc <> HDC(0)' failed", ""},
      {"FinishResource without a device context", none, [](TPdfWriter& w) { w.FinishResource(nullptr); },
       "87 TPdfWriter.FinishResource: Assertion 'dc <> HDC(0)' failed", ""},
      {"LoadFromFile with an empty name", none, [](TPdfWriter& w) { w.LoadFromFile("", "", true, true); },
       "87 TPdfWriter.LoadFromFile: Assertion 'Length(fileName) > 0' failed", ""},
      {"LoadFromFileW with an empty name", none, [](TPdfWriter& w) { w.LoadFromFileW(L"", "", true, true); },
       "87 TPdfWriter.LoadFromFileW: Assertion 'Length(fileName) > 0' failed", ""},
      {"LoadFromData without data", none, [](TPdfWriter& w) { w.LoadFromData(nullptr, 3, "", false); },
       "87 TPdfWriter.LoadFromData: Assertion 'data <> nil' failed", ""},
      {"EmbedDataW without data", none, [](TPdfWriter& w) { w.EmbedDataW(L"x", nullptr, 3); },
       "87 TPdfWriter.EmbedDataW: Assertion 'data <> nil' failed", ""},
      {"AddPagesFrom nothing", none, [](TPdfWriter& w) { w.AddPagesFrom(nullptr, 0, 1); },
       "87 TPdfWriter.AddPagesFrom: Assertion 'from <> nil' failed", ""},
      {"AddPagesFrom itself", none, [](TPdfWriter& w) { w.AddPagesFrom(&w, 0, 1); },
       "87 TPdfWriter.AddPagesFrom: Assertion 'from != self' failed", ""},
      {"InsertPageFrom an unused object", none, [&](TPdfWriter& w) { w.InsertPageFrom(0, &fresh, 0); },
       "87 TPdfWriter.InsertPageFrom: Assertion 'from.context <> nil' failed", ""},
      {"AddPageFromAsResource an unused object", none, [&](TPdfWriter& w) { w.AddPageFromAsResource(&fresh, 0, true); },
       "87 TPdfWriter.AddPageFromAsResource: Assertion 'from.context <> nil' failed", ""},
      {"signing without the append callback", none,
       [](TPdfWriter& w) { w.SaveToFileWithSignManual("m.pdf", 0, nullptr, nullptr, &NoFinish, nullptr); },
       "87 TPdfWriter.SaveToFileWithSignManual: Assertion 'Assigned(appendSignatureData)' failed", ""},
      {"signing without the finish callback", none,
       [](TPdfWriter& w) {
         uint32_t length = 0;
         w.SaveToDataWithSignManual(0, &NoAppend, nullptr, nullptr, nullptr, nullptr, length);
       },
       "87 TPdfWriter.SaveToDataWithSignManual: Assertion 'Assigned(finishSignature)' failed", ""},
      {"a matrix component out of range", none,
       [](TPdfWriter& w) { w.DrawResourceWithMatrix(1, 0, 3000000, 0, 0, 1, 0, 0); },
       "range TPdfWriter.DrawResourceWithMatrix: matrix component out of range", ""},
      {"a rectangle whose width overflows", none,
       [](TPdfWriter& w) {
         w.CreateLinkAnnotation(0, {INT32_MIN, 0, INT32_MAX, 0}, 0, 0, 0, 0, 0, L"");
       },
       "overflow Rectangle extent overflows 32 bits", ""},
      {"a text getter whose second call fails",
       [&] {
         text_("GetSignatureReason", "abc", -1);
         script_("GetSignatureReason", 1, 0, 0, nullptr);
         script_("GetSignatureReason", 0, 1, 13, "Gone");
       },
       [](TPdfWriter& w) { w.GetSignatureReason(0); }, "13 Gone",
       "GetSignatureReason(ctx#1, 0, null, &0)\nGetSignatureReason(ctx#1, 0, buf, &4)\n"},
      {"a text getter whose first call fails", [&] { script_("GetSignatureName", 0, 0, 0, nullptr); },
       [](TPdfWriter& w) { w.GetSignatureName(0); }, "0 Failed to call 'TPdfWriter.GetSignatureName'",
       "GetSignatureName(ctx#1, 0, null, &0)\n"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TPdfWriter w;
    Load(w);
    c.script();
    EXPECT_EQ(Raised([&] { c.op(w); }), c.raised);
    EXPECT_EQ(Calls(), c.calls);
  }
}

struct TSeen {
  TPdfWriter* w;
  int calls = 0;
  std::string log;
};

void PDFWRITER_CALL RecordError(uint32_t code, const char* msg, void* user) {
  auto* s = static_cast<TSeen*>(user);
  ++s->calls;
  s->log += std::to_string(code) + ":" + (msg ? msg : "(null)") + " stored " +
            std::to_string(s->w->getLastErrorCode()) + ":" + s->w->getLastErrorMessage() + ";";
}

void PDFWRITER_CALL ThrowingHandler(uint32_t, const char*, void*) { throw std::runtime_error("handler failed"); }

// The last error describes the current call only, and onError hears of each
// report after it is stored.
TEST_F(PdfBinding, ErrorCallbackAndLastError) {
  Use("v20");
  TSeen seen;
  TPdfWriter w;
  seen.w = &w;
  w.setOnError(&RecordError, &seen);
  Load(w);
  script_("DeletePage", 0, 1, 5, "first");
  EXPECT_EQ(Raised([&] { w.DeletePage(0); }), "5 first");
  EXPECT_EQ(w.getLastErrorCode(), 5u);
  EXPECT_EQ(w.getLastErrorMessage(), "first");
  script_("Close", 1, 1, 6, nullptr);  // a report during a call that still succeeds
  w.Close();
  EXPECT_EQ(w.getLastErrorCode(), 6u);
  EXPECT_EQ(w.getLastErrorMessage(), "");
  w.DeletePage(0);  // clean call: the error of the call before is gone
  EXPECT_EQ(w.getLastErrorCode(), 0u);
  EXPECT_EQ(seen.calls, 2);
  EXPECT_EQ(seen.log, "5:first stored 5:first;6:(null) stored 6:;");

  // A handler that throws: the library call completes, then the exception
  // comes out of the operation on this side of the library.
  w.setOnError(&ThrowingHandler, nullptr);
  reset_();
  script_("SetUnit", 1, 1, 3, "noted");
  try {
    w.SetUnit(PdfWriterUnit_mm);
    ADD_FAILURE() << "the handler's exception was lost";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "handler failed");
  }
  EXPECT_EQ(Calls(), "SetUnit(ctx#1, 1)\n");
}

TEST_F(PdfBinding, ExceptionCopiesKeepCodeAndBytes) {
  const TPdfWriterException original(5,
                                     "B\xB3\xB9"
                                     "d");  // "Błąd" in the Central European code page
  const TPdfWriterException copy(original);
  EXPECT_EQ(copy.getCode(), 5u);
  EXPECT_EQ(copy.getMessage(), original.getMessage());
  EXPECT_STREQ(copy.what(), original.what());
}

TEST_F(PdfBinding, LibraryNotFoundRaisesAndTheNextOperationRetries) {
  Use("empty");
  TPdfWriter w;
  EXPECT_EQ(Raised([&] { w.CreateMemDocument(); }), "87 TPdfWriter.CreateMemDocument: Failed to open pdfwriter.dll");
  EXPECT_EQ(Raised([&] { w.CreateMemDocument(); }), "87 TPdfWriter.CreateMemDocument: Failed to open pdfwriter.dll");
  Use("v20");
  EXPECT_EQ(Raised([&] { w.CreateMemDocument(); }), "no exception");
  EXPECT_EQ(Calls().substr(0, 14), "CreateContext(");
  EXPECT_NE(Calls().find("CreateMemDocument(ctx#1)\n"), std::string::npos);
}

TEST_F(PdfBinding, OnlyVersion2Point0IsAccepted) {
  for (const char* variant : {"v21", "v10", "noversion"}) {
    SCOPED_TRACE(variant);
    Use(variant);
    {
      TPdfWriter w;
      EXPECT_EQ(Raised([&] { w.CreateMemDocument(); }),
                "1154 TPdfWriter.CreateMemDocument: This TPdfWriter class is not designed for API version of "
                "pdfwriter.dll");
      EXPECT_EQ(Calls(), "");  // no context was made
    }
    EXPECT_EQ(Calls(), "");  // nothing to free either
    TearDown();
    module_ = nullptr;
  }
}

TEST_F(PdfBinding, MissingEntryPointNamesItWhateverTheOperation) {
  Use("nosetunit");
  TPdfWriter w;
  EXPECT_EQ(Raised([&] { w.SetUnit(PdfWriterUnit_mm); }), "87 TPdfWriter.GetProc: Proc 'pdfwriter_SetUnit' not found");
  EXPECT_EQ(Raised([&] { w.CreateMemDocument(); }), "no exception");  // still loaded and usable
}

TEST_F(PdfBinding, NoContextLeavesTheObjectUnloadedForARetry) {
  Use("v20");
  script_("CreateContext", 0, 1, 8, "no memory for a context");
  TPdfWriter w;
  EXPECT_EQ(Raised([&] { w.GetPageCount(); }), "87 TPdfWriter.GetPageCount: Failed to create context");
  EXPECT_EQ(Raised([&] { w.GetPageCount(); }), "no exception");
}

TEST_F(PdfBinding, DestroyingFreesTheContextOnlyWhenLoaded) {
  Use("v20");
  { TPdfWriter unused; }
  EXPECT_EQ(Calls(), "");
  {
    TPdfWriter a, b;
    Load(a);
    Load(b);  // two objects, two contexts
  }
  EXPECT_EQ(Calls(), "FreeContext(ctx#2)\nFreeContext(ctx#1)\n");
}

// Without "pdfwriter_FreeContext" the context cannot be freed, but the module
// is released all the same and nothing is raised.
TEST_F(PdfBinding, DestroyingReleasesTheModuleWithoutFreeContext) {
  Use("nofreecontext");
  const HMODULE held = module_;
  {
    TPdfWriter w;
    Load(w);
  }
  EXPECT_EQ(Calls(), "");
  // Only the test's own reference is left: one more release unloads it.
  FreeLibrary(held);
  module_ = nullptr;
  EXPECT_EQ(GetModuleHandleW(L"pdfwriter.dll"), nullptr);
}

TEST_F(PdfBinding, CrossDocumentOperationsPassTheOtherContext) {
  Use("v20");
  TPdfWriter a, b;
  Load(a);
  Load(b);
  a.AddPagesFrom(&b, 0, 3);
  a.InsertPageFrom(1, &b, 2);
  outs_("AddPageFromAsResource", 0, 0);
  a.AddPageFromAsResource(&b, 4, false);
  EXPECT_EQ(Calls(),
            "AddPagesFrom(ctx#1, ctx#2, 0, 3)\nInsertPageFrom(ctx#1, 1, ctx#2, 2)\n"
            "AddPageFromAsResource(ctx#1, ctx#2, 4, 0)\n");
}

}  // namespace

}  // namespace skan::pdf
