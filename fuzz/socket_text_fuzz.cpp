// The socket unit's text readers against independent readings of the same
// rules: dotted quads, decimal numbers, and the host, port and protocol
// resolvers' argument checks. The input is "A\nB": A is tried as a host and
// a port, B as a protocol; the whole text goes to the plain readers too.
//
// The resolvers are called only for texts that they settle without asking
// the system: a dotted quad (or a host text rejected by its length), a port
// that starts with a digit, a protocol that does. Anything else would be a
// name to look up, and a fuzzer must never reach the network.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "socket/WSocket.h"

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

// Blanks, digit groups separated by three dots, blanks; each group at most 255.
bool ReferenceDottedQuad(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n && s[i] == ' ') ++i;
  for (int group = 0; group < 4; ++group) {
    if (group > 0) {
      if (i >= n || s[i] != '.') return false;
      ++i;
    }
    if (i >= n || !Digit(s[i])) return false;
    unsigned value = 0;
    while (i < n && Digit(s[i])) {
      value = value * 10 + static_cast<unsigned>(s[i] - '0');
      if (value > 1000) value = 1000;
      ++i;
    }
    if (value > 255) return false;
  }
  while (i < n && s[i] == ' ') ++i;
  return i == n;
}

int ReferenceDecimal(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  uint32_t v = 0;
  for (; i < s.size() && Digit(s[i]); ++i) v = v * 10u + static_cast<uint32_t>(s[i] - '0');
  return static_cast<int>(v);
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Runs f, which must either return normally or raise ESocketException with
// exactly `expected` (any raise when `expected` is null).
template <class F>
bool Raises(F&& f, const std::string* expected) {
  try {
    f();
  } catch (const evc::ESocketException& e) {
    if (expected && e.Message() != *expected) __builtin_trap();
    return true;
  }
  return false;
}

void CheckHost(const std::string& host) {
  const bool badLength = host.empty() || host.size() > 256;
  const bool quad = evc::IsDottedQuad(host);
  if (!badLength && !quad) return;  // a name: the resolver would ask the system
  if (badLength) {
    std::string msg = "WSocketResolveHost: '" + host + "' Invalid Hostname.";
    if (!Raises([&] { evc::WSocketResolveHost(host); }, &msg)) __builtin_trap();
    return;
  }
  // Plain decimal groups (no leading zero, which would read as octal) give
  // exactly those four bytes, first group first.
  std::string t = Trim(host);
  uint8_t bytes[4] = {};
  bool plain = true;
  size_t i = 0;
  for (int g = 0; g < 4; ++g, ++i) {
    size_t start = i;
    unsigned v = 0;
    while (i < t.size() && Digit(t[i])) v = v * 10 + static_cast<unsigned>(t[i++] - '0');
    if (i - start > 1 && t[start] == '0') plain = false;
    bytes[g] = static_cast<uint8_t>(v);
  }
  std::string msg = "WSocketResolveHost: '" + host + "' Invalid IP address.";
  evc::winsock::u_long got = 0;
  bool raised = Raises([&] { got = evc::WSocketResolveHost(host); }, &msg);
  if (plain) {
    uint32_t want;
    std::memcpy(&want, bytes, 4);
    if (raised || got != want) __builtin_trap();
  }
}

void CheckPort(const std::string& port, const std::string& proto) {
  const bool badPort = port.empty() || port.size() >= 32;
  const bool badProto = proto.empty() || proto.size() >= 32;
  if (!badPort && !badProto && !Digit(port[0])) return;  // a service name to look up
  std::string msg = badPort ? "WSocketResolvePort: Invalid Port." : "WSocketResolvePort: Invalid Proto.";
  uint16_t got = 0;
  bool raised = Raises([&] { got = evc::WSocketResolvePort(port, proto); }, &msg);
  if (raised != (badPort || badProto)) __builtin_trap();
  if (!raised && got != static_cast<uint16_t>(ReferenceDecimal(port) & 0xFFFF)) __builtin_trap();
}

void CheckProto(const std::string& proto) {
  const bool bad = proto.empty() || proto.size() >= 32;
  std::string t = Trim(proto);
  if (!bad && (t.empty() || !Digit(t[0]))) return;  // a protocol name to look up
  std::string msg = "WSocketResolveProto: Invalid Protocol.";
  int got = 0;
  bool raised = Raises([&] { got = evc::WSocketResolveProto(proto); }, &msg);
  if (raised != bad) __builtin_trap();
  if (!raised && got != ReferenceDecimal(t)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  if (evc::IsDottedQuad(text) != ReferenceDottedQuad(text)) __builtin_trap();
  if (evc::ParseDecimal(text) != ReferenceDecimal(text)) __builtin_trap();

  size_t nl = text.find('\n');
  std::string a = text.substr(0, nl);
  std::string b = nl == std::string::npos ? "tcp" : text.substr(nl + 1);
  if (evc::IsDottedQuad(a) != ReferenceDottedQuad(a)) __builtin_trap();
  CheckHost(a);
  CheckPort(a, b);
  CheckProto(b);
  return 0;
}
