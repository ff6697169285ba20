// Small text helpers of the class library, shared by every component.
#pragma once
#include <string>
#include <string_view>

namespace evc {

// Blanks and control characters (anything up to ' ') go from both ends.
inline std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

// ASCII letters only, whatever the C locale says: names, schemes and header
// fields compare this way.
inline std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

}  // namespace evc
