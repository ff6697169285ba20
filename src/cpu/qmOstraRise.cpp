#include "cpu/qmOstraRise.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraRise {

std::string VendorIdText() { return "RiseRiseRise"; }
std::string ShortName() { return "Rise "; }
std::string VendorName() { return "Rise Technology"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  if (qmGetFamily(CpuNum) != 5) return "";
  switch (qmGetModel(CpuNum)) {
    case 0: case 2: return "mP6";
    default: return "Pentium class";
  }
}

}  // namespace evc::qmOstraRise
