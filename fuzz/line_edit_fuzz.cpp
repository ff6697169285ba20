// Line editing fed arbitrary bytes in arbitrary pieces: the lines must be
// the same whether the bytes come all at once or in pieces, and match a
// plain model that edits and cuts one byte at a time.
//
// Input: byte 0 picks the terminator, byte 1 seeds the split; the rest is
// the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "socket/DAVidavi.h"

namespace {

using namespace evc;
using Lines = std::vector<std::string>;

const std::string kEnds[] = {"\r\n", "\n", "\t", "  ", std::string(1, '\b'), "\r\n.\r\n"};

struct TModel {
  std::string end;
  std::string held;
  Lines lines;
  void Put(char c) {
    held.push_back(c);
    if (held.size() >= end.size() && held.compare(held.size() - end.size(), end.size(), end) == 0) {
      lines.push_back(held);
      held.clear();
    }
  }
  void Read(const std::string& bytes) {
    for (char c : bytes) {
      if (c == '\b') {
        if (!held.empty()) held.pop_back();
      } else if (c == '\t') {
        do Put(' ');
        while (held.size() % 8 != 0);
      } else {
        Put(c);
      }
    }
  }
  void Close() {
    if (!held.empty()) lines.push_back(held);
  }
};

struct TRun {
  DAVidavi sock{nullptr};
  Lines lines;
  explicit TRun(const std::string& end) {
    sock.SetLineEnd(end);
    sock.SetLineLimit(0);
    sock.SetLineEdit(true);
    sock.SetLineMode(true);
    sock.OnDataAvailable = [this](TObject*, WORD) { lines.push_back(sock.ReceiveText()); };
  }
  void Finish() {
    sock.FireSessionClosed(0);
    if (sock.LineBufferCount() != 0) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 2) return 0;
  const std::string& end = kEnds[bytes[0] % std::size(kEnds)];
  uint32_t seed = bytes[1] | 1u;
  const std::string data(reinterpret_cast<const char*>(bytes + 2), size - 2);

  TRun pieces(end);
  TModel model{end, {}, {}};
  for (size_t off = 0; off < data.size();) {
    seed = seed * 1103515245u + 12345u;
    size_t n = std::min<size_t>(data.size() - off, 1 + (seed >> 16) % 13);
    pieces.sock.DeliverReceivedBytes(data.data() + off, static_cast<int>(n));
    model.Read(data.substr(off, n));
    off += n;
  }
  pieces.Finish();
  model.Close();
  if (pieces.lines != model.lines) std::abort();

  TRun whole(end);
  whole.sock.DeliverReceivedBytes(data.data(), static_cast<int>(data.size()));
  whole.Finish();
  if (whole.lines != pieces.lines) std::abort();
  return 0;
}
