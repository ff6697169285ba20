#include "base/FormParser.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace evc {

namespace {

constexpr int kMaxDepth = 64;  // deeper nesting is refused rather than recursed into

enum TTokenKind { tkEnd, tkIdent, tkInteger, tkFloat, tkString, tkSymbol };

struct TToken {
  TTokenKind Kind = tkEnd;
  std::string Text;  // identifier, string contents, or the symbol
  int64_t Integer = 0;
  double Float = 0;
  int Line = 1;
};

bool IsIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

class TLexer {
 public:
  explicit TLexer(std::string_view text) : FText(text) {}

  TToken Next() {
    SkipBlanks();
    TToken t;
    t.Line = FLine;
    if (FPos >= FText.size()) return t;
    char c = FText[FPos];
    if (IsIdentStart(c) || (c == '-' && FPos + 1 < FText.size() && IsIdentStart(FText[FPos + 1]))) return Ident(t);
    if (IsDigit(c) || c == '$' || ((c == '-' || c == '+') && FPos + 1 < FText.size() &&
                                   (IsDigit(FText[FPos + 1]) || FText[FPos + 1] == '$')))
      return Number(t);
    if (c == '\'' || c == '#') return String(t);
    t.Kind = tkSymbol;
    t.Text = std::string(1, c);
    ++FPos;
    return t;
  }

  int Line() const { return FLine; }

 private:
  void SkipBlanks() {
    while (FPos < FText.size()) {
      char c = FText[FPos];
      if (c == '\n') {
        ++FLine;
        ++FPos;
      } else if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        ++FPos;
      } else {
        break;
      }
    }
  }

  // Identifiers may be dotted ("AutoBench.Delay"); a leading minus admits -Inf.
  TToken Ident(TToken& t) {
    size_t start = FPos;
    if (FText[FPos] == '-') ++FPos;
    while (FPos < FText.size() && (IsIdentChar(FText[FPos]) ||
                                   (FText[FPos] == '.' && FPos + 1 < FText.size() && IsIdentStart(FText[FPos + 1]))))
      ++FPos;
    t.Kind = tkIdent;
    t.Text = std::string(FText.substr(start, FPos - start));
    return t;
  }

  TToken Number(TToken& t) {
    bool negative = false;
    if (FText[FPos] == '-' || FText[FPos] == '+') negative = FText[FPos++] == '-';
    if (FText[FPos] == '$') {
      ++FPos;
      size_t start = FPos;
      uint64_t v = 0;
      while (FPos < FText.size() && std::isxdigit(static_cast<unsigned char>(FText[FPos]))) {
        if (FPos - start >= 16) throw EFormError(t.Line, "number out of range");
        char d = FText[FPos++];
        v = v * 16 + static_cast<uint64_t>(IsDigit(d) ? d - '0' : std::tolower(d) - 'a' + 10);
      }
      if (FPos == start) throw EFormError(t.Line, "hexadecimal digits expected after $");
      t.Kind = tkInteger;
      t.Integer = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
      return t;
    }
    size_t start = FPos;
    bool isFloat = false;
    while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
    if (FPos < FText.size() && FText[FPos] == '.' && FPos + 1 < FText.size() && IsDigit(FText[FPos + 1])) {
      isFloat = true;
      ++FPos;
      while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
    }
    if (FPos < FText.size() && (FText[FPos] == 'e' || FText[FPos] == 'E')) {
      size_t save = FPos++;
      if (FPos < FText.size() && (FText[FPos] == '+' || FText[FPos] == '-')) ++FPos;
      if (FPos < FText.size() && IsDigit(FText[FPos])) {
        isFloat = true;
        while (FPos < FText.size() && IsDigit(FText[FPos])) ++FPos;
      } else {
        FPos = save;
      }
    }
    if (FPos < FText.size() && IsIdentChar(FText[FPos])) throw EFormError(t.Line, "invalid number");
    std::string digits(FText.substr(start, FPos - start));
    if (isFloat) {
      t.Kind = tkFloat;
      t.Float = std::strtod(digits.c_str(), nullptr);
      if (negative) t.Float = -t.Float;
      return t;
    }
    errno = 0;
    unsigned long long v = std::strtoull(digits.c_str(), nullptr, 10);
    uint64_t limit = negative ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
    if (errno == ERANGE || v > limit) throw EFormError(t.Line, "number out of range");
    t.Kind = tkInteger;
    t.Integer = negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(v)) : static_cast<int64_t>(v);
    return t;
  }

  // Quoted pieces and #NN character codes, adjacent, make one string.
  TToken String(TToken& t) {
    t.Kind = tkString;
    while (FPos < FText.size()) {
      char c = FText[FPos];
      if (c == '\'') {
        ++FPos;
        for (;;) {
          if (FPos >= FText.size() || FText[FPos] == '\n' || FText[FPos] == '\r')
            throw EFormError(FLine, "unterminated string");
          if (FText[FPos] == '\'') {
            if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
              t.Text += '\'';
              FPos += 2;
              continue;
            }
            ++FPos;
            break;
          }
          t.Text += FText[FPos++];
        }
      } else if (c == '#') {
        ++FPos;
        unsigned v = 0;
        size_t start = FPos;
        bool hex = FPos < FText.size() && FText[FPos] == '$';
        if (hex) ++start, ++FPos;
        while (FPos < FText.size() && (hex ? std::isxdigit(static_cast<unsigned char>(FText[FPos])) != 0
                                           : IsDigit(FText[FPos]))) {
          char d = FText[FPos++];
          v = v * (hex ? 16 : 10) + static_cast<unsigned>(IsDigit(d) ? d - '0' : std::tolower(d) - 'a' + 10);
          if (v > 255) throw EFormError(FLine, "character code out of range");
        }
        if (FPos == start) throw EFormError(FLine, "character code expected after #");
        t.Text += static_cast<char>(v);
      } else {
        break;
      }
    }
    return t;
  }

  std::string_view FText;
  size_t FPos = 0;
  int FLine = 1;
};

class TParser {
 public:
  explicit TParser(std::string_view text) : FLexer(text) { Advance(); }

  TFormObject Form() {
    TFormObject root = Object(0);
    if (FTok.Kind != tkEnd) throw EFormError(FTok.Line, "text after the end of the form");
    return root;
  }

 private:
  void Advance() { FTok = FLexer.Next(); }

  bool IsKeyword(const char* word) const {
    if (FTok.Kind != tkIdent || FTok.Text.size() != std::char_traits<char>::length(word)) return false;
    for (size_t i = 0; i < FTok.Text.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(FTok.Text[i])) != word[i]) return false;
    return true;
  }

  [[noreturn]] void Expected(const std::string& what) const {
    if (FTok.Kind == tkEnd) throw EFormError(FTok.Line, "unexpected end of file, " + what + " expected");
    throw EFormError(FTok.Line, what + " expected");
  }

  std::string PlainIdent(const std::string& what) {
    if (FTok.Kind != tkIdent || FTok.Text.find('.') != std::string::npos || FTok.Text[0] == '-') Expected(what);
    std::string s = FTok.Text;
    Advance();
    return s;
  }

  TFormObject Object(int depth) {
    if (depth >= kMaxDepth) throw EFormError(FTok.Line, "objects nested too deeply");
    if (!IsKeyword("object")) Expected("'object'");
    TFormObject obj;
    obj.Line = FTok.Line;
    Advance();
    std::string first = PlainIdent("class name");
    if (FTok.Kind == tkSymbol && FTok.Text == ":") {
      Advance();
      obj.Name = first;
      obj.ClassName = PlainIdent("class name");
    } else {
      obj.ClassName = first;
    }
    for (;;) {
      if (IsKeyword("end")) {
        Advance();
        return obj;
      }
      if (IsKeyword("object")) {
        obj.Children.push_back(Object(depth + 1));
        continue;
      }
      if (FTok.Kind != tkIdent || FTok.Text[0] == '-') Expected("property name or 'end'");
      TFormProperty prop;
      prop.Path = FTok.Text;
      prop.Line = FTok.Line;
      Advance();
      if (!(FTok.Kind == tkSymbol && FTok.Text == "=")) Expected("'='");
      Advance();
      prop.Value = Value();
      obj.Props.push_back(std::move(prop));
    }
  }

  TFormValue Value() {
    TFormValue v;
    switch (FTok.Kind) {
      case tkInteger:
        v.Kind = TFormValue::fvInteger;
        v.Integer = FTok.Integer;
        Advance();
        return v;
      case tkFloat:
        v.Kind = TFormValue::fvFloat;
        v.Float = FTok.Float;
        Advance();
        return v;
      case tkString:
        v.Kind = TFormValue::fvString;
        v.Text = FTok.Text;
        Advance();
        // Long strings continue on the next line after a '+'.
        while (FTok.Kind == tkSymbol && FTok.Text == "+") {
          Advance();
          if (FTok.Kind != tkString) Expected("string");
          v.Text += FTok.Text;
          Advance();
        }
        return v;
      case tkIdent:
        if (FTok.Text.find('.') != std::string::npos) Expected("value");
        v.Kind = TFormValue::fvIdent;
        v.Text = FTok.Text;
        Advance();
        return v;
      case tkSymbol:
        if (FTok.Text == "[") {
          v.Kind = TFormValue::fvSet;
          Advance();
          if (FTok.Kind == tkSymbol && FTok.Text == "]") {
            Advance();
            return v;
          }
          for (;;) {
            v.Elements.push_back(PlainIdent("set element"));
            if (FTok.Kind == tkSymbol && FTok.Text == "]") {
              Advance();
              return v;
            }
            if (!(FTok.Kind == tkSymbol && FTok.Text == ",")) Expected("',' or ']'");
            Advance();
          }
        }
        Expected("value");
      case tkEnd:
        Expected("value");
    }
    Expected("value");
  }

  TLexer FLexer;
  TToken FTok;
};

}  // namespace

TFormObject ParseForm(std::string_view text) { return TParser(text).Form(); }

}  // namespace evc
