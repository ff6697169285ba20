#include "http/Base64.h"

namespace evc {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0xFF marks a byte outside the alphabet.
struct TDecodeTable {
  uint8_t value[256];
  constexpr TDecodeTable() : value() {
    for (int i = 0; i < 256; ++i) value[i] = 0xFF;
    for (int i = 0; i < 64; ++i) value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
};
constexpr TDecodeTable kDecode;
}  // namespace

bool TBase64::EncodeValue(uint8_t value, char& ch) const {
  if (value > 63) return false;
  ch = kAlphabet[value];
  return true;
}

bool TBase64::DecodeChar(char ch, uint8_t& value) const {
  uint8_t v = kDecode.value[static_cast<uint8_t>(ch)];
  value = v == 0xFF ? 0 : v;
  return v != 0xFF;
}

void TBase64::Filter(const std::string& input, std::string& output) const {
  std::string out;
  out.reserve(input.size());
  for (char c : input)
    if (c == '=' || kDecode.value[static_cast<uint8_t>(c)] != 0xFF) out += c;
  output = std::move(out);
}

bool TBase64::Encode(const std::string& input, std::string& output) const {
  output.clear();
  output.reserve((input.size() + 2) / 3 * 4);
  const auto* p = reinterpret_cast<const uint8_t*>(input.data());
  size_t n = input.size();
  for (size_t i = 0; i < n; i += 3) {
    size_t left = n - i;
    uint8_t b0 = p[i];
    uint8_t b1 = left > 1 ? p[i + 1] : 0;
    uint8_t b2 = left > 2 ? p[i + 2] : 0;
    char ch = 0;
    EncodeValue(static_cast<uint8_t>(b0 >> 2), ch);
    output += ch;
    EncodeValue(static_cast<uint8_t>(((b0 & 3) << 4) + (b1 >> 4)), ch);
    output += ch;
    if (left == 1) {
      output += '=';
    } else {
      EncodeValue(static_cast<uint8_t>(((b1 & 15) << 2) + (b2 >> 6)), ch);
      output += ch;
    }
    if (left < 3) {
      output += '=';
    } else {
      EncodeValue(static_cast<uint8_t>(b2 & 63), ch);
      output += ch;
    }
  }
  return false;
}

uint8_t TBase64::Decode(const std::string& input, std::string& output) const {
  if (input.empty()) return 0;
  output.clear();
  std::string filtered;
  if (FilterInput) Filter(input, filtered);
  const std::string& in = FilterInput ? filtered : input;
  if (in.size() % 4 != 0) return 3;
  output.reserve(in.size() / 4 * 3);
  size_t n = in.size();
  for (size_t i = 0; i < n; i += 4) {
    uint8_t d1, d2, d3 = 0, d4;
    if (!DecodeChar(in[i], d1) || !DecodeChar(in[i + 1], d2)) return 2;
    output += static_cast<char>((d1 << 2) + (d2 >> 4));
    if (in[i + 2] == '=') {
      if (i + 2 != n - 2) return 4;
      if (in[i + 3] != '=') return 5;
      continue;
    }
    if (!DecodeChar(in[i + 2], d3)) return 2;
    output += static_cast<char>((d2 << 4) + (d3 >> 2));
    if (in[i + 3] == '=') {
      if (i + 3 != n - 1) return 4;
      continue;
    }
    if (!DecodeChar(in[i + 3], d4)) return 2;
    output += static_cast<char>((d3 << 6) + d4);
  }
  return 0;
}

}  // namespace evc
