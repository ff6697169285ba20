// Line delivery fed arbitrary bytes in arbitrary pieces: the lines that come
// out (and the last one at close) must not depend on how the bytes were
// split, and must match a plain splitter.
//
// Input: byte 0 picks the terminator, byte 1 the handler's read size (0:
// the whole line at once), byte 2 seeds the split; the rest is the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "socket/DAVidavi.h"

namespace {

using namespace evc;
using Lines = std::vector<std::string>;

const std::string kEnds[] = {"\r\n", "\n", "\r\n.\r\n", "ab", std::string(1, '\0'), "aa", "\r"};

struct TRun {
  DAVidavi sock{nullptr};
  Lines lines;
  std::string current;
  explicit TRun(const std::string& end, int readSize) {
    sock.SetLineEnd(end);
    sock.SetLineLimit(0);
    sock.SetLineMode(true);
    sock.OnDataAvailable = [this, readSize](TObject*, WORD) {
      if (readSize == 0) {
        current += sock.ReceiveText();
      } else {
        char b[256];
        int n = sock.Receive(b, readSize);
        if (n > 0) current.append(b, static_cast<size_t>(n));
      }
      if (sock.RcvdCount() == 0) {
        lines.push_back(current);
        current.clear();
      }
    };
  }
  void Finish() {
    sock.FireSessionClosed(0);  // the close hands out the unterminated rest
    if (!current.empty()) lines.push_back(current);
    if (sock.LineBufferCount() != 0 || sock.LineBufferSize() != 0) std::abort();
  }
};

Lines Reference(const std::string& data, const std::string& end) {
  Lines out;
  size_t start = 0;
  for (;;) {
    size_t at = data.find(end, start);
    if (at == std::string::npos) break;
    out.push_back(data.substr(start, at + end.size() - start));
    start = at + end.size();
  }
  if (start < data.size()) out.push_back(data.substr(start));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 3) return 0;
  const std::string& end = kEnds[bytes[0] % std::size(kEnds)];
  const int readSize = bytes[1] % 8;
  uint32_t seed = bytes[2] | 1u;
  const std::string data(reinterpret_cast<const char*>(bytes + 3), size - 3);

  TRun whole(end, readSize);
  whole.sock.DeliverReceivedBytes(data.data(), static_cast<int>(data.size()));
  whole.Finish();

  TRun pieces(end, readSize);
  for (size_t off = 0; off < data.size();) {
    seed = seed * 1103515245u + 12345u;
    size_t n = std::min<size_t>(data.size() - off, 1 + (seed >> 16) % 17);
    pieces.sock.DeliverReceivedBytes(data.data() + off, static_cast<int>(n));
    off += n;
  }
  pieces.Finish();

  Lines expected = Reference(data, end);
  if (whole.lines != expected || pieces.lines != expected) std::abort();

  // A small limit, with and without clearing, must stay memory-safe.
  TRun limited(end, readSize);
  limited.sock.SetLineLimit(1 + bytes[2] % 40);
  bool keep = bytes[1] & 0x80;
  limited.sock.OnLineLimitExceeded = [keep](TObject*, int32_t, bool& clear) { clear = !keep; };
  for (size_t off = 0; off < data.size(); off += 5)
    limited.sock.DeliverReceivedBytes(data.data() + off, static_cast<int>(std::min<size_t>(5, data.size() - off)));
  limited.Finish();
  return 0;
}
