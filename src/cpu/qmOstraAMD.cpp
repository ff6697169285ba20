#include "cpu/qmOstraAMD.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraAMD {

std::string VendorIdText() { return "AuthenticAMD"; }
std::string ShortName() { return "AMD "; }
std::string VendorName() { return "Advanced Micro Devices"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  const int32_t f = qmGetFamily(CpuNum);
  const int32_t m = qmGetModel(CpuNum);
  switch (f) {
    case 4:
      switch (m) {
        case 3: case 7: case 8: case 9: return "Am486";
        case 14: case 15: return "Am5x86";
        default: return "486 class";
      }
    case 5:
      switch (m) {
        case 0: return "K5 (Model 0)";
        case 1: return "K5 (Model 1)";
        case 2: return "K5 (Model 2)";
        case 3: return "K5 (Model 3)";
        case 6: return "K6 (Model 6)";
        case 7: return "K6 (Model 7)";
        case 8: return "K6-2";
        case 9: return "K6-III";
        case 13: return "K6-2+/K6-III+";
        default: return "Pentium class";
      }
    case 6:
      switch (m) {
        case 1: case 2: case 4: return "Athlon";
        case 3: return "Duron";
        default: return "Athlon class";
      }
    default: return "";
  }
}

}  // namespace evc::qmOstraAMD
