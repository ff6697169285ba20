// Feature flags under the names the Linux kernel prints in /proc/cpuinfo.
#pragma once
#include <string>
#include <vector>

#include "cpu/qmLeafReader.h"

namespace evc {

// The flags the processor reports, in the kernel's order: its words of
// leaf 1 EDX, 0x80000001 EDX, the scattered and derived bits, leaf 1 ECX,
// 0x80000001 ECX, 7.0 EBX, 0xD.1 EAX, 7.1 EAX, 0x80000008 EBX, leaf 6,
// 7.0 ECX, 0x80000007 EBX and 7.0 EDX.
std::vector<std::string> qmKernelFlags(const TqmLeafReader& leaves);

}  // namespace evc
