#include "HexDump.h"

namespace sectors {

namespace {
constexpr char kDigits[] = "0123456789abcdef";

void AppendHex(std::string& out, uint64_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}
}  // namespace

void AppendHexDump(std::string& out, uint64_t offset, const uint8_t* data, size_t size) {
  for (size_t line = 0; line < size; line += 16) {
    const uint64_t at = offset + line;
    // Eight digits cover 4 GiB; a larger drive widens the column rather than
    // printing offsets that wrap.
    int digits = 8;
    while (digits < 16 && (at >> (digits * 4)) != 0) ++digits;
    AppendHex(out, at, digits);
    out += "  ";
    const size_t n = size - line < 16 ? size - line : 16;
    for (size_t i = 0; i < 16; ++i) {
      if (i < n) {
        AppendHex(out, data[line + i], 2);
        out += ' ';
      } else {
        out += "   ";
      }
      if (i == 7) out += ' ';
    }
    out += " |";
    for (size_t i = 0; i < n; ++i) {
      uint8_t c = data[line + i];
      out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    out += "|\n";
  }
}

}  // namespace sectors
