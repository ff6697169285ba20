// Leaf numbers of the CPUID instruction as the processor library uses them,
// and the tables of marketed clock speeds that measurements are rounded to.
#pragma once
#include <array>
#include <cstdint>

namespace evc {

// One named constant per use, even where two uses share a leaf, so that a
// reader of the query code sees what each execution is for.
constexpr uint32_t qmLeafMaxLevel = 0x00000000;        // highest standard leaf
constexpr uint32_t qmLeafVendorID = 0x00000000;        // vendor id in EBX, EDX, ECX
constexpr uint32_t qmLeafSignature = 0x00000001;       // signature and brand index
constexpr uint32_t qmLeafFeatures = 0x00000001;        // standard feature word (EDX)
constexpr uint32_t qmLeafCacheDescriptors = 0x00000002;
constexpr uint32_t qmLeafSerialNumber = 0x00000003;
constexpr uint32_t qmLeafMaxLevelEx = 0x80000000;      // highest extended leaf
constexpr uint32_t qmLeafFeaturesEx = 0x80000001;      // extended feature word (EDX)
constexpr uint32_t qmLeafBrand1 = 0x80000002;
constexpr uint32_t qmLeafBrand2 = 0x80000003;
constexpr uint32_t qmLeafBrand3 = 0x80000004;
constexpr uint32_t qmLeafLevel1Cache = 0x80000005;
constexpr uint32_t qmLeafLevel2Cache = 0x80000006;

// Marketed speeds within one hundred MHz. Below 300 MHz parts were sold in
// the finer steps of the low table; from 300 MHz in thirds of a hundred.
constexpr std::array<int32_t, 15> qmLowSpeeds = {0, 10, 16, 20, 25, 33, 40, 50, 60, 66, 75, 80, 82, 88, 90};
constexpr std::array<int32_t, 5> qmHighSpeeds = {0, 33, 50, 66, 100};

}  // namespace evc
