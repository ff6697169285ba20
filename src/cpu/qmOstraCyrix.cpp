#include "cpu/qmOstraCyrix.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraCyrix {

std::string VendorIdText() { return "CyrixInstead"; }
std::string ShortName() { return "Cyrix "; }
std::string VendorName() { return "Cyrix Corporation"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  const int32_t f = qmGetFamily(CpuNum);
  const int32_t m = qmGetModel(CpuNum);
  switch (f) {
    case 4:
      switch (m) {
        case 4: return "Media GX";
        case 9: return "Cx5x86";
        default: return "486 class";
      }
    case 5:
      switch (m) {
        case 2: return "6x86";
        case 4: return "GXm";
        default: return "Pentium class";
      }
    case 6:
      switch (m) {
        case 0: return "6x86MX";
        case 5: return "VIA Cyrix III";
        default: return "M2 Class";
      }
    default: return "";
  }
}

}  // namespace evc::qmOstraCyrix
