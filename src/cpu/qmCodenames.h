// Microarchitecture and codename of common processor families, from a
// table of display family and model ranges.
#pragma once
#include <string>

#include "cpu/qmLeafReader.h"
#include "cpu/qmModernSignature.h"

namespace evc {

// Empty when the table does not know the processor: a neighbouring model
// number is not evidence of the same design.
std::string qmCodename(TqmVendorKind vendor, const TqmDisplaySignature& sig);

}  // namespace evc
