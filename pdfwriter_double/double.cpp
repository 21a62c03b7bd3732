// A recording stand-in for pdfwriter.dll: every export records its arguments
// as text and answers as the test scripted it. Built several times with
// different version resources and export lists, each as "pdfwriter.dll".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "base/encoding.h"
#include "double_control.h"
#include "external/pdfwriter.h"

// The context the C interface leaves opaque, so outside the namespace.
struct PdfWriterContextTag {
  int id;
  PdfWriterErrorFunc errorFunc;
  void* userData;
};

namespace skan::pdf {

namespace {

struct TScript {
  uint32_t result;
  int report;
  uint32_t code;
  std::string msg;
  bool hasMsg;
};

struct TText {
  std::wstring text;
  int32_t secondLength;
};

struct TState {
  std::string calls;
  std::string callsCopy;
  std::map<std::string, std::deque<TScript>> scripts;
  std::map<std::string, std::vector<int64_t>> outs;
  std::map<std::string, TText> texts;
  std::set<int> liveContexts;  // numbered from 1, the lowest free number first
};

TState& State() {
  static TState s;
  return s;
}

std::string Hex(const void* p) {
  char b[32];
  std::snprintf(b, sizeof b, "p:%08lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  return b;
}

// Out parameters and text buffers met while formatting, handled afterwards.
struct TArgRef {
  enum Kind { OutU32, OutI64, BufChar, BufWide, Other } kind;
  void* ptr;
};

std::string Format(PdfWriterContext c, std::vector<TArgRef>&) { return c ? "ctx#" + std::to_string(c->id) : "null"; }
std::string Format(uint32_t v, std::vector<TArgRef>&) { return std::to_string(v); }
std::string Format(int32_t v, std::vector<TArgRef>&) { return std::to_string(v); }
std::string Format(uint8_t v, std::vector<TArgRef>&) { return std::to_string(v); }
std::string Format(int64_t v, std::vector<TArgRef>&) { return std::to_string(v); }
std::string Format(const char* s, std::vector<TArgRef>&) { return s ? "\"" + std::string(s) + "\"" : "null"; }
std::string Format(const wchar_t* s, std::vector<TArgRef>&) { return s ? "L\"" + base::Narrow(s) + "\"" : "null"; }
std::string Format(char* s, std::vector<TArgRef>& refs) {
  refs.push_back({TArgRef::BufChar, s});
  return s ? "buf" : "null";
}
std::string Format(wchar_t* s, std::vector<TArgRef>& refs) {
  refs.push_back({TArgRef::BufWide, s});
  return s ? "buf" : "null";
}
std::string Format(uint32_t* p, std::vector<TArgRef>& refs) {
  refs.push_back({TArgRef::OutU32, p});
  return p ? "&" + std::to_string(*p) : "null";  // shows the value passed in
}
std::string Format(int64_t* p, std::vector<TArgRef>& refs) {
  refs.push_back({TArgRef::OutI64, p});
  return p ? "&" + std::to_string(*p) : "null";
}
std::string Format(uint64_t* p, std::vector<TArgRef>&) { return p ? Hex(p) : "null"; }
std::string Format(HDC dc, std::vector<TArgRef>&) { return dc ? Hex(dc) : "null"; }
std::string Format(void* p, std::vector<TArgRef>&) { return p ? Hex(p) : "null"; }
std::string Format(const void* p, std::vector<TArgRef>&) { return p ? Hex(p) : "null"; }
// A word list as ["text" left top width height baseline, ...]; the count is
// the list's length, so a wrong count shows as wrong words.
struct TWordList {
  const PdfWriterWord* words;
  uint32_t count;
};
std::string Format(TWordList list, std::vector<TArgRef>&) {
  if (!list.words) return "null/" + std::to_string(list.count);
  std::string s = "[";
  for (uint32_t i = 0; i < list.count; ++i) {
    const PdfWriterWord& w = list.words[i];
    if (i) s += ", ";
    s += (w.text ? "\"" + std::string(w.text) + "\"" : std::string("null")) + " " + std::to_string(w.left) + " " +
         std::to_string(w.top) + " " + std::to_string(w.width) + " " + std::to_string(w.height) + " " +
         std::to_string(w.baseline);
  }
  return s + "]";
}
template <class F>
requires std::is_function_v<std::remove_pointer_t<F>> std::string Format(F f, std::vector<TArgRef>&) {
  return f ? Hex(reinterpret_cast<const void*>(f)) : "null";
}

template <class R>
R FromResult(uint32_t v) {
  if constexpr (std::is_pointer_v<R>) {
    return reinterpret_cast<R>(static_cast<uintptr_t>(v));
  } else {
    return static_cast<R>(v);
  }
}

template <class R>
uint32_t DefaultResult() {
  if constexpr (std::is_same_v<R, HDC>) return 0x4D2;
  if constexpr (std::is_pointer_v<R>) return 0x5A;
  return 1;
}

void HandleOuts(const std::string& name, std::vector<TArgRef>& refs) {
  TState& s = State();
  auto text = s.texts.find(name);
  std::vector<int64_t> outs;
  if (auto o = s.outs.find(name); o != s.outs.end()) {
    outs = o->second;
    s.outs.erase(o);
  }
  size_t next = 0;
  for (size_t i = 0; i < refs.size(); ++i) {
    const TArgRef& r = refs[i];
    if ((r.kind == TArgRef::BufChar || r.kind == TArgRef::BufWide) && i + 1 < refs.size() && text != s.texts.end()) {
      auto* len = static_cast<uint32_t*>(refs[i + 1].ptr);
      const std::wstring& t = text->second.text;
      if (!r.ptr) {
        *len = static_cast<uint32_t>(t.size());
      } else {
        const size_t n = t.size() < *len ? t.size() : (*len ? *len - 1 : 0);
        for (size_t k = 0; k < n; ++k) {
          if (r.kind == TArgRef::BufChar)
            static_cast<char*>(r.ptr)[k] = static_cast<char>(t[k]);
          else
            static_cast<wchar_t*>(r.ptr)[k] = t[k];
        }
        *len = text->second.secondLength >= 0 ? static_cast<uint32_t>(text->second.secondLength)
                                              : static_cast<uint32_t>(n);
      }
      ++i;
      continue;
    }
    if (next >= outs.size() || !r.ptr) continue;
    if (r.kind == TArgRef::OutU32) *static_cast<uint32_t*>(r.ptr) = static_cast<uint32_t>(outs[next++]);
    if (r.kind == TArgRef::OutI64) *static_cast<int64_t*>(r.ptr) = outs[next++];
  }
}

template <class R, class... A>
R Answer(const char* name, PdfWriterContext ctx, A... args) {
  std::vector<TArgRef> refs;
  std::string line = std::string(name) + "(" + Format(ctx, refs);
  ((line += ", " + Format(args, refs)), ...);
  line += ")\n";
  TState& s = State();
  s.calls += line;
  uint32_t result = DefaultResult<R>();
  auto q = s.scripts.find(name);
  if (q != s.scripts.end() && !q->second.empty()) {
    TScript script = q->second.front();
    q->second.pop_front();
    result = script.result;
    if (script.report && ctx && ctx->errorFunc)
      ctx->errorFunc(script.code, script.hasMsg ? script.msg.c_str() : nullptr, ctx->userData);
  }
  HandleOuts(name, refs);
  if constexpr (!std::is_void_v<R>) return FromResult<R>(result);
}

struct TRecorded {
  static PdfWriterContext CreateContext(PdfWriterErrorFunc error_func, void* user_data) {
    TState& s = State();
    s.calls += "CreateContext(" + std::string(error_func ? "fn" : "null") + ", " + Hex(user_data) + ")\n";
    uint32_t result = 1;
    auto q = s.scripts.find("CreateContext");
    if (q != s.scripts.end() && !q->second.empty()) {
      TScript script = q->second.front();
      q->second.pop_front();
      result = script.result;
      if (script.report && error_func) error_func(script.code, script.hasMsg ? script.msg.c_str() : nullptr, user_data);
    }
    if (!result) return nullptr;
    int id = 1;
    while (s.liveContexts.count(id)) ++id;
    s.liveContexts.insert(id);
    return new PdfWriterContextTag{id, error_func, user_data};
  }
  static PdfWriterStatus AddTextLayer(PdfWriterContext ctx, uint32_t pageIndex, uint32_t width_px, uint32_t height_px,
                                      const PdfWriterWord* words, uint32_t wordCount) {
    return Answer<PdfWriterStatus>("AddTextLayer", ctx, pageIndex, width_px, height_px, TWordList{words, wordCount});
  }
  static void FreeContext(PdfWriterContext ctx) {
    State().calls += "FreeContext(" + (ctx ? "ctx#" + std::to_string(ctx->id) : std::string("null")) + ")\n";
    if (ctx) State().liveContexts.erase(ctx->id);
    delete ctx;
  }
};

#define DOUBLE_EXPORT(result, name, params, args) \
  extern "C" result PDFWRITER_CALL pdfwriter_##name params { return skan::pdf::Dispatch_##name args; }

template <class... A>
struct TDependent {
  using Recorded = TRecorded;  // a dependent name, looked up only when used
};

// CreateContext and FreeContext keep real contexts, AddTextLayer records its
// words; every other export records its arguments as they are.
#define DOUBLE_DISPATCH(result, name, params, args)                                                         \
  template <class... A>                                                                                     \
  static result Dispatch_##name(A... a) {                                                                   \
    if constexpr (std::string_view(#name) == "CreateContext" || std::string_view(#name) == "FreeContext" || \
                  std::string_view(#name) == "AddTextLayer") {                                              \
      return TDependent<A...>::Recorded::name(a...);                                                        \
    } else {                                                                                                \
      return Answer<result>(#name, a...);                                                                   \
    }                                                                                                       \
  }

PDFWRITER_EXPORTS(DOUBLE_DISPATCH)

}  // namespace
}  // namespace skan::pdf

PDFWRITER_EXPORTS(DOUBLE_EXPORT)

using skan::pdf::State;
using skan::pdf::TState;

extern "C" {

__declspec(dllexport) void double_Reset() {
  TState& s = State();
  s.calls.clear();
  s.scripts.clear();
  s.outs.clear();
  s.texts.clear();
}

__declspec(dllexport) void double_Script(const char* name, uint32_t result, int report, uint32_t code,
                                         const char* msg) {
  State().scripts[name].push_back({result, report, code, msg ? msg : "", msg != nullptr});
}

__declspec(dllexport) void double_Outs(const char* name, int64_t first, int64_t second) {
  State().outs[name] = {first, second};
}

__declspec(dllexport) void double_Text(const char* name, const char* utf8, int32_t secondLength) {
  State().texts[name] = {utf8 ? skan::base::Widen(utf8) : std::wstring(), secondLength};
}

__declspec(dllexport) const char* double_Calls() {
  TState& s = State();
  s.callsCopy = s.calls;
  return s.callsCopy.c_str();
}

}  // extern "C"
