// TBase64: Base64 text (RFC 2045 alphabet, "=" padding, no line breaks) to
// bytes and back. A plain object, not a component: create, use, free.
#pragma once
#include <cstdint>
#include <string>

namespace evc {

class TBase64 {
 public:
  TBase64() = default;

  // When true (the default), Decode first drops every character that is
  // neither in the alphabet nor "=" (line breaks, blanks, ...).
  bool FilterInput = true;

  // Ch := the alphabet character of Value; false, Ch untouched, above 63.
  bool EncodeValue(uint8_t value, char& ch) const;
  // Value := the character's position in the alphabet; false, Value 0, when
  // it is not in it.
  bool DecodeChar(char ch, uint8_t& value) const;
  // Output := the characters of Input that are in the alphabet or "=".
  void Filter(const std::string& input, std::string& output) const;
  // Output := the Base64 text of Input. Returns false: encoding cannot fail.
  bool Encode(const std::string& input, std::string& output) const;
  // Output := the bytes of Input. Returns 0 on success (an empty Input also
  // leaves Output as it was), 2 for a character out of place, 3 for a length
  // that is not a multiple of 4, 4 for an "=" before the end, 5 for a third
  // character "=" not followed by another. On an error Output holds the bytes
  // decoded before it.
  uint8_t Decode(const std::string& input, std::string& output) const;
};

}  // namespace evc
