// A proxy's answer to CONNECT as arbitrary bytes: the verdict, status,
// reason and lines must be the same whether the bytes come whole or in
// pieces of any one size (every size up to 64, then doubling), and a status
// is only ever reported with its three digits. The one allowed difference:
// bytes after a consent that arrive in a later piece are not the reply's
// business (the TLS handshake meets them), so "extra bytes" may read "open".
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>

#include "ssl/HttpsTunnelReply.h"

namespace {

using evc::TTunnelReply;

std::string Summary(const TTunnelReply& r) {
  const int verdict = r.Verdict() == TTunnelReply::trExtraBytes ? TTunnelReply::trOpen : r.Verdict();
  std::string s = std::to_string(verdict) + " " + std::to_string(r.Status()) + " " + r.Reason();
  for (const std::string& line : r.Lines()) s += "\n" + line;
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  TTunnelReply whole;
  whole.Take(bytes, size);
  if (whole.Status() < 0 || whole.Status() > 999) __builtin_trap();
  if ((whole.Verdict() == TTunnelReply::trOpen) != (whole.Status() >= 200 && whole.Status() <= 299 &&
                                                    whole.Verdict() != TTunnelReply::trExtraBytes))
    __builtin_trap();
  const std::string expected = Summary(whole);
  for (size_t piece = 1; piece <= size; piece = piece < 64 ? piece + 1 : piece * 2) {
    TTunnelReply split;
    for (size_t at = 0; at < size; at += piece) split.Take(bytes + at, std::min(piece, size - at));
    if (Summary(split) != expected) __builtin_trap();
  }
  return 0;
}
