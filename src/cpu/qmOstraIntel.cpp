#include "cpu/qmOstraIntel.h"

#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"

namespace evc::qmOstraIntel {

std::string VendorIdText() { return "GenuineIntel"; }
std::string ShortName() { return "Intel "; }
std::string VendorName() { return "Intel Corporation"; }

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

std::string ModelName(uint8_t CpuNum) {
  const int32_t f = qmGetFamily(CpuNum);
  const int32_t m = qmGetModel(CpuNum);
  switch (f) {
    case 4:
      switch (m) {
        case 4: return "80486SL";
        case 7: return "80486DX2";
        case 8: return "80486DX4";
        default: return "486 class";
      }
    case 5:
      switch (m) {
        case 0: case 1: return "Pentium (P5)";
        case 2: case 7: return "Pentium (P54C)";
        case 3: return "Pentium 486 OverDrive";
        case 4: return "Pentium MMX";
        default: return "Pentium class";
      }
    case 6: {
      // Family 6 parts of one model differ only in their level-2 cache, so
      // the size is read before the model is looked at, whatever the model.
      const int32_t l2 = qmGetLevel2(CpuNum);
      switch (m) {
        case 0: case 1: return "Pentium Pro";
        case 3: return qmGetType(CpuNum) == 1 ? "Pentium II Overdrive" : "Pentium II (Model 3)";
        case 5:
          if (l2 < 128) return "Celeron (Model 5)";
          if (l2 < 1024) return "Pentium II (Model 5)";
          return "Pentium II Xeon";
        case 6:
          if (l2 > 128) return "Mobile Pentium II";
          return qmHasFeature(CpuNum, 18) ? "Mobile Celeron" : "Celeron";
        case 7: case 8:
          switch (qmGetBrand(CpuNum)) {
            case 0: return l2 < 1024 ? "Pentium III" : "Pentium III Xeon";
            case 1: return "Celeron";
            case 2: return "Pentium III";
            case 3: return "Pentium III Xeon";
            case 8: return "Pentium 4";
            default: return "Pentium III class";
          }
        case 10: return "Pentium III Xeon";
        default: return "Pentium II/III class";  // 2, 4, 9, 11 to 15
      }
    }
    case 15: return m == 0 ? "Pentium 4" : "Pentium 4 class";
    default: return "";
  }
}

}  // namespace evc::qmOstraIntel
