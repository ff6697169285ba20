// Intel's leaf 2: up to fifteen one-byte descriptors, each naming a cache
// of fixed geometry. Processors before the deterministic leaf 4 report only
// this way. TLB and prefetch descriptors are not caches and are skipped.
#include "cpu/qmModernCaches.h"

namespace evc {

namespace {

struct Descriptor {
  uint8_t Code;
  uint8_t Level;
  TqmCacheType Type;
  uint16_t SizeKB;
  uint8_t Ways;
  uint8_t Line;
};

constexpr TqmCacheType D = TqmCacheType::Data, I = TqmCacheType::Instruction, U = TqmCacheType::Unified;

constexpr Descriptor kDescriptors[] = {
    {0x06, 1, I, 8, 4, 32},      {0x08, 1, I, 16, 4, 32},     {0x09, 1, I, 32, 4, 64},
    {0x0A, 1, D, 8, 2, 32},      {0x0C, 1, D, 16, 4, 32},     {0x0D, 1, D, 16, 4, 64},
    {0x0E, 1, D, 24, 6, 64},     {0x1D, 2, U, 128, 2, 64},    {0x21, 2, U, 256, 8, 64},
    {0x22, 3, U, 512, 4, 64},    {0x23, 3, U, 1024, 8, 64},   {0x24, 2, U, 1024, 16, 64},
    {0x25, 3, U, 2048, 8, 64},   {0x29, 3, U, 4096, 8, 64},   {0x2C, 1, D, 32, 8, 64},
    {0x30, 1, I, 32, 8, 64},     {0x39, 2, U, 128, 4, 64},    {0x3A, 2, U, 192, 6, 64},
    {0x3B, 2, U, 128, 2, 64},    {0x3C, 2, U, 256, 4, 64},    {0x3D, 2, U, 384, 6, 64},
    {0x3E, 2, U, 512, 4, 64},    {0x41, 2, U, 128, 4, 32},    {0x42, 2, U, 256, 4, 32},
    {0x43, 2, U, 512, 4, 32},    {0x44, 2, U, 1024, 4, 32},   {0x45, 2, U, 2048, 4, 32},
    {0x46, 3, U, 4096, 4, 64},   {0x47, 3, U, 8192, 8, 64},   {0x48, 2, U, 3072, 12, 64},
    {0x49, 2, U, 4096, 16, 64},  {0x4A, 3, U, 6144, 12, 64},  {0x4B, 3, U, 8192, 16, 64},
    {0x4C, 3, U, 12288, 12, 64}, {0x4D, 3, U, 16384, 16, 64}, {0x4E, 2, U, 6144, 24, 64},
    {0x60, 1, D, 16, 8, 64},     {0x66, 1, D, 8, 4, 64},      {0x67, 1, D, 16, 4, 64},
    {0x68, 1, D, 32, 4, 64},     {0x78, 2, U, 1024, 4, 64},   {0x79, 2, U, 128, 8, 64},
    {0x7A, 2, U, 256, 8, 64},    {0x7B, 2, U, 512, 8, 64},    {0x7C, 2, U, 1024, 8, 64},
    {0x7D, 2, U, 2048, 8, 64},   {0x7F, 2, U, 512, 2, 64},    {0x80, 2, U, 512, 8, 64},
    {0x82, 2, U, 256, 8, 32},    {0x83, 2, U, 512, 8, 32},    {0x84, 2, U, 1024, 8, 32},
    {0x85, 2, U, 2048, 8, 32},   {0x86, 2, U, 512, 4, 64},    {0x87, 2, U, 1024, 8, 64},
    {0xD0, 3, U, 512, 4, 64},    {0xD1, 3, U, 1024, 4, 64},   {0xD2, 3, U, 2048, 4, 64},
    {0xD6, 3, U, 1024, 8, 64},   {0xD7, 3, U, 2048, 8, 64},   {0xD8, 3, U, 4096, 8, 64},
    {0xDC, 3, U, 1536, 12, 64},  {0xDD, 3, U, 3072, 12, 64},  {0xDE, 3, U, 6144, 12, 64},
    {0xE2, 3, U, 2048, 16, 64},  {0xE3, 3, U, 4096, 16, 64},  {0xE4, 3, U, 8192, 16, 64},
    {0xEA, 3, U, 12288, 24, 64}, {0xEB, 3, U, 18432, 24, 64}, {0xEC, 3, U, 24576, 24, 64},
};

const Descriptor* Find(uint8_t code) {
  for (const Descriptor& d : kDescriptors)
    if (d.Code == code) return &d;
  return nullptr;
}

}  // namespace

std::vector<TqmCacheLevel> qmDescriptorCaches(const TqmLeafReader& leaves, const TqmDisplaySignature& sig) {
  std::vector<TqmCacheLevel> caches;
  if (!leaves.Has(2)) return caches;
  // The low byte says how often to run the leaf for the full list; every
  // processor so far says 1, and the last answer is the one that counts.
  TqmRegisters r = leaves.Leaf(2);
  for (uint32_t n = qmBits(r.EAX, 0, 7); n > 1; --n) r = leaves.Leaf(2);
  const uint32_t words[4] = {r.EAX & 0xFFFFFF00u, r.EBX, r.ECX, r.EDX};
  for (uint32_t w : words) {
    if (w >> 31) continue;  // bit 31 set: this register holds no descriptors
    for (int b = 0; b < 4; ++b) {
      const uint8_t code = static_cast<uint8_t>(w >> (8 * b));
      const Descriptor* d = Find(code);
      if (!d) continue;
      TqmCacheLevel c{d->Level, d->Type, d->SizeKB, d->Ways, d->Line, 0};
      // 0x49 is the level-3 cache of the Xeon MP of family 15 model 6 and a
      // level-2 cache everywhere else.
      if (code == 0x49 && sig.Family == 15 && sig.Model == 6) c.Level = 3;
      bool duplicate = false;
      for (const TqmCacheLevel& seen : caches) duplicate = duplicate || seen == c;
      if (!duplicate) caches.push_back(c);
    }
  }
  return caches;
}

}  // namespace evc
