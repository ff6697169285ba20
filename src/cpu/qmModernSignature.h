// Brand string and display signature as current tools show them.
#pragma once
#include <cstdint>
#include <string>

#include "cpu/qmLeafReader.h"

namespace evc {

struct TqmDisplaySignature {
  bool Valid = false;  // false without leaf 1
  uint32_t Family = 0, Model = 0, Stepping = 0;
};

// Family plus extended family when the family field is 15; model plus 16
// times the extended model when the family field is 6 or more, as the
// kernel prints them.
TqmDisplaySignature qmDisplaySignature(uint32_t leaf1Eax);
TqmDisplaySignature qmDisplaySignature(const TqmLeafReader& leaves);

// Leaves 0x80000002-4 whenever the processor has them, cut at the first zero
// byte and without the blanks around it; empty without them.
std::string qmModernBrand(const TqmLeafReader& leaves);

}  // namespace evc
