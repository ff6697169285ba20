// Naming module for AMD processors.
#pragma once
#include <cstdint>
#include <string>

namespace evc::qmOstraAMD {

std::string VendorIdText();  // "AuthenticAMD"
std::string ShortName();     // "AMD "
std::string VendorName();    // "Advanced Micro Devices"
// The model name from family and model; empty for a family this vendor never made.
std::string ModelName(uint8_t CpuNum);
// The measured speed in MHz, -1.0 without a time-stamp counter.
float ClockSpeed(uint8_t CpuNum, int32_t Delay);

}  // namespace evc::qmOstraAMD
