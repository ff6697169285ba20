// Naming module for NexGen processors.
#pragma once
#include <cstdint>
#include <string>

namespace evc::qmOstraNexGen {

std::string VendorIdText();  // "NexGenDriven"
std::string ShortName();     // "NexGen "
std::string VendorName();    // "NexGen Inc"
// The model name from family and model; empty for a family this vendor never made.
std::string ModelName(uint8_t CpuNum);
// The measured speed in MHz, -1.0 without a time-stamp counter.
float ClockSpeed(uint8_t CpuNum, int32_t Delay);

}  // namespace evc::qmOstraNexGen
