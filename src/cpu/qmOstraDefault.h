// Naming module for processors of an unknown vendor and for processors
// without CPUID, named after the processor type the operating system
// reports; and the clock measurement that every naming module uses.
#pragma once
#include <cstdint>
#include <string>

namespace evc {

// Measures the clock against the millisecond tick counter over Delay
// milliseconds with the time-stamp counter, in MHz; -1.0 without a
// time-stamp counter. Raises the process and thread priority for the
// interval and restores both on every way out. A Delay of 0 or below
// measures nothing and answers -1.0.
float qmMeasureSpeed(int32_t Delay);

namespace qmOstraDefault {
std::string ShortName();   // "Unknown "
std::string VendorName();  // "Unknown Vendor"
// "386 class", "486 class", "Pentium class", "Pentium II class", or the
// processor type in decimal followed by " class".
std::string ModelName(uint8_t CpuNum);
float ClockSpeed(uint8_t CpuNum, int32_t Delay);
}  // namespace qmOstraDefault

}  // namespace evc
