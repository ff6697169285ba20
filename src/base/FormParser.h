// The text form-file syntax, parsed into a tree before anything is created,
// so that a file with a syntax error creates nothing at all.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exception.h"

namespace evc {

// A form file that cannot be read; the message starts with "Line N: ".
class EFormError : public EReadError {
 public:
  EFormError(int line, const std::string& what)
      : EReadError("Line " + std::to_string(line) + ": " + what), FLine(line) {}
  int Line() const { return FLine; }

 private:
  int FLine;
};

struct TFormValue {
  enum TKind { fvInteger, fvFloat, fvString, fvIdent, fvSet };
  TKind Kind = fvInteger;
  int64_t Integer = 0;
  double Float = 0;
  std::string Text;                 // string contents or identifier
  std::vector<std::string> Elements;  // set elements
};

struct TFormProperty {
  std::string Path;  // "Tag" or "AutoBench.Delay"
  TFormValue Value;
  int Line = 0;
};

struct TFormObject {
  std::string Name;  // may be empty
  std::string ClassName;
  int Line = 0;
  std::vector<TFormProperty> Props;
  std::vector<TFormObject> Children;
};

// Raises EFormError for anything but exactly one well-formed object.
TFormObject ParseForm(std::string_view text);

}  // namespace evc
