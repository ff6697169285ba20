// The chunked-body decoder fed bytes as a connection hands them over: the
// document, the trailer lines, the outcome and the count of bytes used must
// be the same for the whole input and for the input cut at every place (in
// two pieces), and one byte at a time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "http/HttpChunked.h"

namespace {

using evc::THttpChunkDecoder;

struct TResult {
  std::string data;
  std::vector<std::string> trailers;
  int status = 0;
  size_t used = 0;
  bool operator==(const TResult&) const = default;
};

struct TSink : THttpChunkDecoder::TSink {
  TResult* r = nullptr;
  bool ChunkData(const char* p, size_t n) override {
    if (n == 0) __builtin_trap();  // an empty run is no data
    r->data.append(p, n);
    return true;
  }
  void TrailerLine(const std::string& l) override {
    if (l.empty() || l.size() > THttpChunkDecoder::kMaxLine) __builtin_trap();
    r->trailers.push_back(l);
  }
};

// Pieces of `step` bytes (after a first piece of `first` bytes).
TResult Run(const char* data, size_t size, size_t first, size_t step) {
  TResult r;
  TSink sink;
  sink.r = &r;
  THttpChunkDecoder d;
  d.Reset();
  size_t off = 0;
  while (off < size) {
    size_t n = off == 0 && first > 0 ? first : step;
    if (n > size - off) n = size - off;
    size_t used = d.Feed(data + off, n, sink);
    if (used > n) __builtin_trap();
    r.used += used;
    if (d.Status() != THttpChunkDecoder::csMore) break;
    if (used != n) __builtin_trap();  // a body in progress takes everything
    off += n;
  }
  r.status = d.Status();
  if (d.DataBytes() != r.data.size()) __builtin_trap();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const char* p = reinterpret_cast<const char*>(data);
  TResult whole = Run(p, size, 0, size > 0 ? size : 1);
  if (!(Run(p, size, 0, 1) == whole)) __builtin_trap();
  for (size_t cut = 1; cut < size; ++cut)
    if (!(Run(p, size, cut, size) == whole)) __builtin_trap();
  return 0;
}
