// The credentials encoder on any bytes: Base64 output decodes back to the
// input and has the padded length; the UU line has its length character
// and four characters from the UU range for every three bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/Base64.h"
#include "http/HttpProt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) return 0;
  int n = static_cast<int>(size);
  std::string b64 = evc::EncodeCredentials(1, data, n);
  if (b64.size() != (size + 2) / 3 * 4) __builtin_trap();
  if (evc::EncodeCredentials(2, data, n) != b64) __builtin_trap();
  evc::TBase64 decoder;
  decoder.FilterInput = false;
  std::string back;
  if (size > 0) {
    if (decoder.Decode(b64, back) != 0) __builtin_trap();
    if (back != std::string(reinterpret_cast<const char*>(data), size)) __builtin_trap();
  }
  std::string viaText = evc::EncodeText(1, std::string(reinterpret_cast<const char*>(data), size));
  if (viaText != b64) __builtin_trap();

  std::string uu = evc::EncodeCredentials(0, data, n);
  if (uu.size() != 1 + (size + 2) / 3 * 4) __builtin_trap();
  if (static_cast<unsigned char>(uu[0]) != static_cast<unsigned>((n - 1) % 64 + 33)) __builtin_trap();
  for (size_t i = 1; i < uu.size(); ++i)
    if (uu[i] < 33 || uu[i] > 96) __builtin_trap();
  return 0;
}
