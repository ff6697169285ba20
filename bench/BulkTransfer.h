// The bulk transfers of the socket benchmarks: a repeating source pattern
// and one transfer between two connected components in this thread.
//
// The sender hands the component 64 KiB blocks with Send and refills its
// window each time OnDataSent says the queue has run dry; the component
// passes at most ChunkSize bytes down per call. The receiver reads in
// OnDataAvailable with Receive in blocks of readBlock bytes until nothing
// is left.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "BenchUtil.h"
#include "socket/DAVidavi.h"

namespace bulkbench {

constexpr int kAppBlock = 64 * 1024;  // bytes per Send call
constexpr int kWindowBlocks = 4;      // Send calls per refill
constexpr int kSourceSize = 1 << 20;  // repeating source pattern

// The pattern repeats every kSourceSize bytes, and the tail past that
// repeats its start, so that any offset taken modulo kSourceSize is followed
// by at least one block of the same stream.
inline const std::vector<char>& Source() {
  static const std::vector<char> src = [] {
    std::vector<char> v(kSourceSize + kAppBlock);
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < v.size(); ++i) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      v[i] = i < kSourceSize ? static_cast<char>(x) : v[i - kSourceSize];
    }
    return v;
  }();
  return src;
}

// Sends `total` bytes from tx to rx; whether every byte arrived (with
// `verify`, also byte for byte).
inline bool ComponentTransfer(evc::DAVidavi& tx, evc::DAVidavi& rx, int chunk, int readBlock, int64_t total,
                              bool verify) {
  using namespace evc;
  tx.ChunkSize = chunk;
  const char* src = Source().data();
  int64_t queued = 0, received = 0;
  bool corrupt = false;
  std::vector<char> block(static_cast<size_t>(readBlock));
  auto refill = [&] {
    for (int i = 0; i < kWindowBlocks && queued < total; ++i) {
      int n = static_cast<int>(std::min<int64_t>(kAppBlock, total - queued));
      if (tx.Send(src + queued % kSourceSize, n) != n) evcbench::Fatal("Send refused a block");
      queued += n;
    }
  };
  tx.OnDataSent = [&](TObject*, WORD) { refill(); };
  rx.OnDataAvailable = [&](TObject*, WORD) {
    for (;;) {
      int n = rx.Receive(block.data(), readBlock);
      if (n <= 0) return;
      if (verify && std::memcmp(block.data(), src + received % kSourceSize, static_cast<size_t>(n)) != 0)
        corrupt = true;
      received += n;
    }
  };
  refill();
  bool done = evcbench::PumpUntil([&] { return received >= total; }, 120000);
  tx.OnDataSent.Clear();
  rx.OnDataAvailable.Clear();
  return done && received == total && !corrupt;
}

}  // namespace bulkbench
