#include "cpu/qmOstraUMC.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraUMC {

std::string VendorIdText() { return "UMC UMC UMC "; }
std::string ShortName() { return "UMC "; }
std::string VendorName() { return "United Microelectronics Corp"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  if (qmGetFamily(CpuNum) != 4) return "";
  switch (qmGetModel(CpuNum)) {
    case 1: return "U5D";
    case 2: return "U5S";
    default: return "Pentium class";  // sic: UMC's unmatched 486 parts
  }
}

}  // namespace evc::qmOstraUMC
