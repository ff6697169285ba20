#include "cpu/qmOstraNexGen.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraNexGen {

std::string VendorIdText() { return "NexGenDriven"; }
std::string ShortName() { return "NexGen "; }
std::string VendorName() { return "NexGen Inc"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  if (qmGetFamily(CpuNum) != 5) return "";
  return qmGetModel(CpuNum) == 0 ? "Nx586" : "Pentium class";
}

}  // namespace evc::qmOstraNexGen
