#include "cpu/qmModernSignature.h"

namespace evc {

TqmDisplaySignature qmDisplaySignature(uint32_t eax) {
  TqmDisplaySignature s;
  s.Valid = true;
  const uint32_t family = qmBits(eax, 8, 11), model = qmBits(eax, 4, 7);
  s.Family = family == 15 ? family + qmBits(eax, 20, 27) : family;
  // Intel and AMD define the extended model for families 6 and 15; Zhaoxin
  // uses it with family 7 too, and the kernel adds it from family 6 on.
  s.Model = family >= 6 ? model + (qmBits(eax, 16, 19) << 4) : model;
  s.Stepping = qmBits(eax, 0, 3);
  return s;
}

TqmDisplaySignature qmDisplaySignature(const TqmLeafReader& leaves) {
  if (!leaves.Has(1)) return {};
  return qmDisplaySignature(leaves.Leaf(1).EAX);
}

std::string qmModernBrand(const TqmLeafReader& leaves) {
  if (!leaves.Has(0x80000004u)) return "";
  std::string s;
  for (uint32_t leaf = 0x80000002u; leaf <= 0x80000004u; ++leaf) {
    const TqmRegisters r = leaves.Leaf(leaf);
    s += qmRegisterText({r.EAX, r.EBX, r.ECX, r.EDX});
  }
  s.resize(s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace evc
