// Reproducible bytes without a pattern, for tests whose data must not line
// up with sector or block boundaries by accident.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testdata {

inline std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (auto& b : v) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return v;
}

}  // namespace testdata
