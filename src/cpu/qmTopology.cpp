#include "cpu/qmTopology.h"

#include <algorithm>

namespace evc {

namespace {

constexpr uint32_t kMaxLevels = 8;
constexpr uint32_t kLevelSmt = 1;

// The extended topology leaves: one sub-leaf per level, until type 0. The
// last level's count is the package's; the SMT level's is the core's.
bool FromExtendedLeaf(const TqmLeafReader& leaves, uint32_t leaf, TqmTopology& t) {
  if (!leaves.Has(leaf)) return false;
  uint32_t smt = 1, last = 0;
  for (uint32_t sub = 0; sub < kMaxLevels; ++sub) {
    const TqmRegisters r = leaves.Leaf(leaf, sub);
    const uint32_t type = qmBits(r.ECX, 8, 15), count = qmBits(r.EBX, 0, 15);
    if (type == 0 || count == 0) break;
    if (type == kLevelSmt) smt = count;
    last = count;
  }
  if (last == 0 || smt > last) return false;
  t.Threads = last;
  t.ThreadsPerCore = smt;
  t.Cores = last / smt;
  t.Source = leaf == 0x1F ? "0x1F" : "0xB";
  return true;
}

bool FromAmdLeaves(const TqmLeafReader& leaves, const TqmDisplaySignature& sig, TqmTopology& t) {
  if (!leaves.AmdLike() || !leaves.Has(0x80000008u)) return false;
  const uint32_t threads = qmBits(leaves.Leaf(0x80000008u).ECX, 0, 7) + 1;
  uint32_t perCore = 1;
  // From family 17h on, 0x8000001E EBX bits 8-15 count threads per core;
  // on family 15h the same bits count cores per compute unit, each core
  // being a core of its own.
  const bool topoext = leaves.Has(0x80000001u) && qmBits(leaves.Leaf(0x80000001u).ECX, 22, 22);
  if (sig.Family >= 0x17 && topoext && leaves.Has(0x8000001Eu))
    perCore = qmBits(leaves.Leaf(0x8000001Eu).EBX, 8, 15) + 1;
  if (perCore > threads) return false;
  t.Threads = threads;
  t.ThreadsPerCore = perCore;
  t.Cores = threads / perCore;
  t.Source = "0x80000008";
  return true;
}

// Before the extended leaves: leaf 1 gives the logical processors when HTT
// is set, leaf 4 the cores (Intel), CmpLegacy says each is a core (AMD).
void FromLegacyLeaves(const TqmLeafReader& leaves, TqmTopology& t) {
  if (!leaves.Has(1)) return;
  const TqmRegisters l1 = leaves.Leaf(1);
  const uint32_t threads = qmBits(l1.EDX, 28, 28) ? std::max<uint32_t>(qmBits(l1.EBX, 16, 23), 1) : 1;
  uint32_t cores = 1;
  if (leaves.Has(4) && qmBits(leaves.Leaf(4).EAX, 0, 4) != 0)
    cores = qmBits(leaves.Leaf(4).EAX, 26, 31) + 1;
  else if (leaves.AmdLike() && leaves.Has(0x80000001u) && qmBits(leaves.Leaf(0x80000001u).ECX, 1, 1))
    cores = threads;
  if (cores > threads) cores = threads;
  t.Threads = threads;
  t.Cores = cores;
  t.ThreadsPerCore = threads / cores;
  t.Source = "1";
}

}  // namespace

TqmTopology qmTopology(const TqmLeafReader& leaves, const TqmDisplaySignature& sig) {
  TqmTopology t;
  if (!leaves.HasCPUID()) return t;
  if (!FromExtendedLeaf(leaves, 0x1F, t) && !FromExtendedLeaf(leaves, 0xB, t) && !FromAmdLeaves(leaves, sig, t))
    FromLegacyLeaves(leaves, t);
  // Leaf 7 EDX bit 15 marks a hybrid part; leaf 0x1A then names the type of
  // the core that ran the query.
  t.Hybrid = leaves.Has(7) && qmBits(leaves.Leaf(7).EDX, 15, 15);
  if (t.Hybrid && leaves.Has(0x1A)) {
    const uint32_t type = qmBits(leaves.Leaf(0x1A).EAX, 24, 31);
    t.CoreType = type == 0x40 ? "Core" : type == 0x20 ? "Atom" : "";
  }
  return t;
}

}  // namespace evc
