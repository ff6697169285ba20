// AMD's extended cache leaves 0x80000005 (level 1) and 0x80000006 (levels 2
// and 3), which VIA and Centaur processors use as well.
#include "cpu/qmModernCaches.h"

namespace evc {

namespace {

// The 4-bit associativity code of 0x80000006; -1 for a reserved code or one
// that defers to 0x8000001D, 0 for fully associative.
int WaysOfCode(uint32_t code) {
  static constexpr int kWays[16] = {-1, 1, 2, 3, 4, 6, 8, -1, 16, -1, 32, 48, 64, 96, 128, 0};
  return kWays[code & 0xF];
}

// 0x80000005 gives the ways as a count, 0xFF for fully associative.
int WaysOfCount(uint32_t count) { return count == 0xFF ? 0 : static_cast<int>(count); }

void AddIfPresent(std::vector<TqmCacheLevel>& caches, int level, TqmCacheType type, uint32_t sizeKB, int ways,
                  uint32_t line) {
  if (sizeKB == 0 || ways < 0) return;
  caches.push_back({level, type, sizeKB, ways, static_cast<int>(line), 0});
}

}  // namespace

std::vector<TqmCacheLevel> qmExtendedLeafCaches(const TqmLeafReader& leaves, const TqmDisplaySignature& sig,
                                                bool centaur) {
  std::vector<TqmCacheLevel> caches;
  if (leaves.Has(0x80000005u)) {
    const TqmRegisters l1 = leaves.Leaf(0x80000005u);
    AddIfPresent(caches, 1, TqmCacheType::Data, qmBits(l1.ECX, 24, 31), WaysOfCount(qmBits(l1.ECX, 16, 23)),
                 qmBits(l1.ECX, 0, 7));
    AddIfPresent(caches, 1, TqmCacheType::Instruction, qmBits(l1.EDX, 24, 31),
                 WaysOfCount(qmBits(l1.EDX, 16, 23)), qmBits(l1.EDX, 0, 7));
  }
  if (!leaves.Has(0x80000006u)) return caches;
  const TqmRegisters l2 = leaves.Leaf(0x80000006u);
  if (centaur && sig.Family == 6 && (sig.Model == 7 || sig.Model == 8)) {
    // The VIA C3 Samuel 2 and Ezra report their level-2 cache in the layout
    // of 0x80000005: size in bits 24-31, ways as a count.
    AddIfPresent(caches, 2, TqmCacheType::Unified, qmBits(l2.ECX, 24, 31), WaysOfCount(qmBits(l2.ECX, 16, 23)),
                 qmBits(l2.ECX, 0, 7));
  } else {
    uint32_t size = qmBits(l2.ECX, 16, 31);
    // Early Nehemiah steppings say 65 KB for their 64 KB.
    if (centaur && sig.Family == 6 && sig.Model == 9 && sig.Stepping == 1 && size == 65) size = 64;
    AddIfPresent(caches, 2, TqmCacheType::Unified, size, WaysOfCode(qmBits(l2.ECX, 12, 15)), qmBits(l2.ECX, 0, 7));
  }
  AddIfPresent(caches, 3, TqmCacheType::Unified, qmBits(l2.EDX, 18, 31) * 512, WaysOfCode(qmBits(l2.EDX, 12, 15)),
               qmBits(l2.EDX, 0, 7));
  return caches;
}

}  // namespace evc
