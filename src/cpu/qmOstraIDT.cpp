#include "cpu/qmOstraIDT.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraIDT {

std::string VendorIdText() { return "CentaurHauls"; }
std::string ShortName() { return "IDT "; }
std::string VendorName() { return "IDT/Centaur"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  if (qmGetFamily(CpuNum) != 5) return "";
  switch (qmGetModel(CpuNum)) {
    case 4: return "C6";
    case 8: return "C2";
    case 9: return "C3";
    default: return "Pentium class";
  }
}

}  // namespace evc::qmOstraIDT
