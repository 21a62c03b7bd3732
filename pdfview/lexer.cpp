#include "lexer.h"

#include <cmath>

#include "error.h"
#include "pdf_limits.h"

namespace skan::pdfview {

namespace {

int HexValue(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void CheckLength(const std::string& s) {
  if (s.size() > limits::kMaxStringBytes) Damaged("a string or name is too long");
}

}  // namespace

TLexer::TLexer(TInput& input, uint64_t pos, uint64_t end)
    : input_(input), pos_(pos), end_(end < input.Size() ? end : input.Size()) {}

void TLexer::SkipSpace() {
  for (;;) {
    int c = Get();
    if (IsSpace(c)) {
      ++pos_;
    } else if (c == '%') {
      while (c != -1 && c != '\n' && c != '\r') {
        ++pos_;
        c = Get();
      }
    } else {
      return;
    }
  }
}

TToken TLexer::Next() {
  SkipSpace();
  TToken t;
  int c = Get();
  if (c == -1) return t;
  switch (c) {
    case '[':
      ++pos_;
      t.type = TToken::ArrayOpen;
      return t;
    case ']':
      ++pos_;
      t.type = TToken::ArrayClose;
      return t;
    case '(':
      ++pos_;
      LiteralString(t);
      return t;
    case '<':
      ++pos_;
      if (Get() == '<') {
        ++pos_;
        t.type = TToken::DictOpen;
      } else {
        HexString(t);
      }
      return t;
    case '>':
      ++pos_;
      if (Get() == '>') ++pos_;
      t.type = TToken::DictClose;  // a lone '>' is taken as the same: lenient
      return t;
    case '/':
      ++pos_;
      NameToken(t);
      return t;
    default: break;
  }
  if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.') {
    Number(t);
    return t;
  }
  // A keyword: regular characters up to a delimiter or white space. A stray
  // delimiter (')', '{', '}') is a keyword of its own so the reader moves on.
  t.type = TToken::Keyword;
  if (IsDelimiter(c)) {
    ++pos_;
    t.text = static_cast<char>(c);
    return t;
  }
  while (c != -1 && !IsSpace(c) && !IsDelimiter(c)) {
    t.text += static_cast<char>(c);
    ++pos_;
    if (t.text.size() > 256) Damaged("a keyword is too long");
    c = Get();
  }
  return t;
}

void TLexer::Number(TToken& t) {
  std::string s;
  int c = Get();
  while (c != -1 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')) {
    s += static_cast<char>(c);
    ++pos_;
    if (s.size() > 64) Damaged("a number is too long");
    c = Get();
  }
  // Sign (only the first counts, as readers commonly do), digits, one point.
  size_t i = 0;
  bool negative = false;
  while (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    if (i == 0) negative = s[i] == '-';
    ++i;
  }
  bool point = false, digits = false, overflow = false;
  int64_t whole = 0;
  double value = 0, scale = 1;
  for (; i < s.size(); ++i) {
    char d = s[i];
    if (d == '.') {
      if (point) break;
      point = true;
    } else if (d >= '0' && d <= '9') {
      digits = true;
      if (point) {
        scale /= 10;
        value += (d - '0') * scale;
      } else {
        value = value * 10 + (d - '0');
        if (whole > (INT64_MAX - 9) / 10)
          overflow = true;
        else
          whole = whole * 10 + (d - '0');
      }
    } else {
      break;
    }
  }
  if (!digits) {
    t.type = TToken::Int;  // "-" or "." alone: zero, as readers commonly do
    return;
  }
  if (point || overflow) {
    t.type = TToken::Real;
    t.r = negative ? -value : value;
  } else {
    t.type = TToken::Int;
    t.i = negative ? -whole : whole;
  }
}

void TLexer::LiteralString(TToken& t) {
  t.type = TToken::String;
  int depth = 1;
  for (;;) {
    int c = Get();
    if (c == -1) Damaged("a string does not end");
    ++pos_;
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) return;
    } else if (c == '\\') {
      c = Get();
      if (c == -1) Damaged("a string does not end");
      ++pos_;
      switch (c) {
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case '\r':
          if (Get() == '\n') ++pos_;
          continue;
        case '\n': continue;
        default:
          if (c >= '0' && c <= '7') {
            int v = c - '0';
            for (int k = 0; k < 2; ++k) {
              int d = Get();
              if (d < '0' || d > '7') break;
              v = v * 8 + (d - '0');
              ++pos_;
            }
            c = v & 0xFF;
          }
          break;
      }
    }
    t.text += static_cast<char>(c);
    CheckLength(t.text);
  }
}

void TLexer::HexString(TToken& t) {
  t.type = TToken::String;
  int high = -1;
  for (;;) {
    int c = Get();
    if (c == -1) Damaged("a string does not end");
    ++pos_;
    if (c == '>') break;
    if (IsSpace(c)) continue;
    int v = HexValue(c);
    if (v < 0) Damaged("a hexadecimal string holds another character");
    if (high < 0) {
      high = v;
    } else {
      t.text += static_cast<char>(high * 16 + v);
      high = -1;
      CheckLength(t.text);
    }
  }
  if (high >= 0) t.text += static_cast<char>(high * 16);
}

void TLexer::NameToken(TToken& t) {
  t.type = TToken::Name;
  int c = Get();
  while (c != -1 && !IsSpace(c) && !IsDelimiter(c)) {
    ++pos_;
    if (c == '#') {
      int h = HexValue(Get()), l = h >= 0 ? HexValue(input_.At(pos_ + 1)) : -1;
      if (h >= 0 && l >= 0 && pos_ + 1 < end_) {
        c = h * 16 + l;
        pos_ += 2;
      }
    }
    t.text += static_cast<char>(c);
    CheckLength(t.text);
    c = Get();
  }
}

// --- Parser ------------------------------------------------------------------

bool TParser::Item(TObject& object, std::string& keyword) {
  keyword.clear();
  object = TObject();
  TToken t = lexer_.Next();
  if (t.type == TToken::Eof) return false;
  if (t.type == TToken::Keyword && t.text != "true" && t.text != "false" && t.text != "null") {
    keyword = std::move(t.text);
    return true;
  }
  object = FromToken(t, 0);
  return true;
}

TObject TParser::Object() {
  TToken t = lexer_.Next();
  if (t.type == TToken::Eof) Damaged("an object is missing at the end of the data");
  return FromToken(t, 0);
}

TObject TParser::FromToken(TToken& t, int depth) {
  switch (t.type) {
    case TToken::Int: {
      // "num gen R" is a reference: look two tokens ahead.
      uint64_t after = lexer_.Pos();
      if (t.i >= 0 && t.i <= UINT32_MAX) {
        TToken gen = lexer_.Next();
        if (gen.type == TToken::Int && gen.i >= 0 && gen.i <= 65535) {
          TToken r = lexer_.Next();
          if (r.type == TToken::Keyword && r.text == "R")
            return TObject::Ref({static_cast<uint32_t>(t.i), static_cast<uint32_t>(gen.i)});
        }
      }
      lexer_.Seek(after);
      return TObject::Int(t.i);
    }
    case TToken::Real: return TObject::Real(t.r);
    case TToken::String: return TObject::String(std::move(t.text));
    case TToken::Name: return TObject::Name(std::move(t.text));
    case TToken::ArrayOpen: return Container(TToken::ArrayClose, depth + 1);
    case TToken::DictOpen: return Container(TToken::DictClose, depth + 1);
    case TToken::Keyword:
      if (t.text == "true") return TObject::Bool(true);
      if (t.text == "false") return TObject::Bool(false);
      if (t.text == "null") return TObject();
      Damaged("unexpected keyword '" + t.text + "'");
    case TToken::ArrayClose:
    case TToken::DictClose: Damaged("unexpected end of an array or dictionary");
    case TToken::Eof: break;
  }
  Damaged("an object is missing at the end of the data");
}

TObject TParser::Container(TToken::Type close, int depth) {
  if (depth > limits::kMaxNesting) Damaged("arrays or dictionaries nested too deeply");
  const uint64_t start = lexer_.Pos();
  TArray items;
  for (;;) {
    if (lexer_.Pos() - start > limits::kMaxObjectBytes) Fail(TErrorKind::TooLarge, "an object is too large");
    TToken t = lexer_.Next();
    if (t.type == TToken::Eof) Damaged("an array or dictionary does not end");
    if (t.type == close) break;
    if (t.type == TToken::ArrayClose || t.type == TToken::DictClose) Damaged("mismatched brackets");
    // Inside a dictionary a stray keyword (such as a missing value before
    // "endobj") ends the damage check here: it is an error.
    items.push_back(FromToken(t, depth));
  }
  if (close == TToken::ArrayClose) return TObject::Array(std::move(items));
  TDict dict;
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    if (!items[i].IsName()) Damaged("a dictionary key is not a name");
    // A null value is the same as a missing entry.
    if (!items[i + 1].IsNull()) dict.Set(items[i].Name(), std::move(items[i + 1]));
  }
  if (items.size() % 2) Damaged("a dictionary key has no value");
  return TObject::Dict(std::move(dict));
}

TObject ParseIndirectObject(TInput& input, uint64_t pos, TRef expected) {
  TLexer lexer(input, pos);
  TToken num = lexer.Next(), gen = lexer.Next(), obj = lexer.Next();
  if (num.type != TToken::Int || gen.type != TToken::Int || obj.type != TToken::Keyword || obj.text != "obj")
    Damaged("no object at the offset the cross-reference gives");
  if (expected.num != 0 && num.i != expected.num) Damaged("the cross-reference points at another object");
  TParser parser(lexer);
  TObject object;
  std::string keyword;
  if (!parser.Item(object, keyword)) Damaged("an object is cut off");
  if (!keyword.empty()) {
    if (keyword == "endobj") return TObject();  // empty object: null
    Damaged("unexpected keyword '" + keyword + "' in an object");
  }
  if (object.IsDict()) {
    uint64_t after = lexer.Pos();
    TToken t = lexer.Next();
    if (t.type == TToken::Keyword && t.text == "stream") {
      // The data begins after the end of line that follows the keyword.
      uint64_t p = lexer.Pos();
      if (input.At(p) == '\r') ++p;
      if (input.At(p) == '\n') ++p;
      auto dict = std::make_shared<const TDict>(object.DictValue());
      return TObject::Stream(TStream{dict, p});
    }
    lexer.Seek(after);
  }
  return object;
}

}  // namespace skan::pdfview
