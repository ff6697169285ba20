// Decoding arbitrary text never reads out of bounds, and whatever decodes
// cleanly encodes back to the same canonical text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/Base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  evc::TBase64 b;
  b.FilterInput = size > 0 && (data[0] & 1);
  std::string out;
  if (b.Decode(text, out) == 0 && !text.empty()) {
    std::string filtered = text, again, back;
    if (b.FilterInput) b.Filter(text, filtered);
    b.Encode(out, again);
    b.FilterInput = false;
    // Canonical text (no stray bits in the last character) comes back unchanged.
    if (b.Decode(again, back) != 0 || back != out) __builtin_trap();
  }
  return 0;
}
