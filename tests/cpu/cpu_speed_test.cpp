// Clock measurement, rounding to marketed speeds, and the three processor
// checks (division flaw, OverDrive, serial number).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraDefault.h"
#include "cpu/qmOstraIntf.h"
#include "cpu_helpers.h"

using namespace evc;
using namespace cputest;

TEST(NormalizeSpeed, RoundsToMarketedSpeeds) {
  const std::pair<float, int32_t> cases[] = {
      {449.7f, 450}, {533.2f, 533}, {666.4f, 667}, {233.1f, 233}, {166.0f, 166}, {99.8f, 90},
      {199.5f, 190}, {498.0f, 500}, {83.0f, 82},   {13.0f, 16},   {483.0f, 500}, {-1.0f, 0},
      {432.0f, 433}, {0.4f, 0},     {5.0f, 10},    {4.0f, 0},    {300.0f, 300}, {299.9f, 290},
      {2445.4f, 2450}, {1016.0f, 1000}, {1083.0f, 1100}, {266.0f, 266}, {66.6f, 66}};
  for (auto [speed, expected] : cases) EXPECT_EQ(qmNormalizeSpeed(speed), expected) << speed;
}

TEST(NormalizeSpeed, ValuesOutsideTheIntegerRangeHaveDefinedResults) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  EXPECT_EQ(qmNormalizeSpeed(std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(qmNormalizeSpeed(-std::numeric_limits<float>::quiet_NaN()), 0);
  EXPECT_EQ(qmNormalizeSpeed(-std::numeric_limits<float>::infinity()), 0);
  EXPECT_EQ(qmNormalizeSpeed(-3.0e38f), 0);
  EXPECT_EQ(qmNormalizeSpeed(-250.0f), 0);
  EXPECT_EQ(qmNormalizeSpeed(std::numeric_limits<float>::infinity()), kMax);
  EXPECT_EQ(qmNormalizeSpeed(3.0e38f), kMax);
  EXPECT_EQ(qmNormalizeSpeed(2147483648.0f), kMax);
  // The largest float below 2^31 still rounds normally, and the carry of the
  // high table's 100 cannot overflow.
  EXPECT_EQ(qmNormalizeSpeed(2147483520.0f), 2147483533);
  EXPECT_EQ(qmNormalizeSpeed(std::numeric_limits<float>::denorm_min()), 0);
}

TEST(MeasureSpeed, CyclesPerMicrosecondOverTheDelay) {
  auto clock = std::make_shared<TScriptedClock>();
  clock->CycleScript = {1000, 1000 + 216000000ull};
  TCpuScope scope(MakeCpu("GenuineIntel", 0x672, 0x0183f9ff), clock);
  EXPECT_FLOAT_EQ(qmGetRawSpeed(0, 500), 432.0f);
  auto fresh = std::make_shared<TScriptedClock>();
  fresh->CycleScript = {5, 5 + 216000000ull};
  qmSetClock(fresh);
  EXPECT_EQ(qmGetSpeed(0, 500), 433);
  // Most of the interval is slept away rather than spun.
  EXPECT_GT(fresh->Paused, 400u);
  EXPECT_LE(fresh->Paused, 500u);
}

TEST(MeasureSpeed, RaisesPrioritiesForTheIntervalAndRestoresThem) {
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
  const int nice = CurrentNiceValue();
  auto clock = std::make_shared<TScriptedClock>();
  clock->CycleScript = {0, 100000};
  TCpuScope scope(MakeCpu("GenuineIntel", 0x672), clock);
  EXPECT_GT(qmMeasureSpeed(100), 0.0f);
  ASSERT_EQ(clock->ClassAtCycles.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(clock->ClassAtCycles[i], REALTIME_PRIORITY_CLASS);
    EXPECT_EQ(clock->ThreadAtCycles[i], THREAD_PRIORITY_TIME_CRITICAL);
  }
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(CurrentNiceValue(), nice);

  // A clock that fails in the middle of the interval leaves nothing raised.
  clock->ThrowOnPause = true;
  EXPECT_THROW(qmMeasureSpeed(100), std::runtime_error);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_BELOW_NORMAL);
  EXPECT_EQ(CurrentNiceValue(), nice);
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}

TEST(MeasureSpeed, NothingIsMeasuredWithoutCounterCpuidOrInterval) {
  auto clock = std::make_shared<TScriptedClock>();
  clock->CycleScript = {0, 100000};
  auto noTsc = MakeCpu("NexGenDriven", 0x500, 0x00000001);
  TCpuScope scope(noTsc, clock);
  EXPECT_EQ(qmGetRawSpeed(0, 100), -1.0f);
  EXPECT_EQ(qmGetSpeed(0, 100), 0);
  auto none = MakeCpu("GenuineIntel", 0x672);
  none->SetHasCPUID(false);
  TCpuScope scope2(none);
  EXPECT_EQ(qmMeasureSpeed(100), -1.0f);
  EXPECT_EQ(qmGetSpeed(0, 100), 0);
  TCpuScope scope3(MakeCpu("GenuineIntel", 0x672));
  for (int32_t delay : {0, -1, std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(qmMeasureSpeed(delay), -1.0f) << delay;
    EXPECT_EQ(qmGetSpeed(0, delay), 0);
  }
  EXPECT_TRUE(clock->ClassAtCycles.empty());  // not even a counter reading
}

TEST(MeasureSpeed, TickCounterWrapAroundDoesNotEndTheIntervalEarly) {
  auto clock = std::make_shared<TScriptedClock>();
  clock->SetTick(0xFFFFFF00u);
  clock->CycleScript = {0, 300000000ull};
  TCpuScope scope(MakeCpu("GenuineIntel", 0x672), clock);
  EXPECT_FLOAT_EQ(qmMeasureSpeed(1000), 300.0f);
  EXPECT_GE(clock->Paused, 900u);
}

TEST(ProcessorChecks, DivisionFlawOverDriveAndSerialNumber) {
  auto cpu = MakeCpu("GenuineIntel", 0x1632);
  TCpuScope scope(cpu);
  EXPECT_FALSE(qmFDivBug(0));
  EXPECT_TRUE(qmIsOverDrive(0));
  cpu->SetLeaf(1, {0x632, 0, 0, 0});
  EXPECT_FALSE(qmIsOverDrive(0));
  cpu->SetLeaf(1, {0, 0, 0, 0});
  EXPECT_FALSE(qmIsOverDrive(0));
  cpu->SetHasCPUID(false);
  EXPECT_FALSE(qmFDivBug(0));
  EXPECT_FALSE(qmIsOverDrive(0));
  EXPECT_EQ(qmGetSerial(0), "");
  EXPECT_EQ(qmSerialNumber(), "");
}

TEST(ProcessorChecks, SerialNeedsFeatureBit18AndModel7) {
  auto cpu = std::make_shared<TRecordingCpuid>(LoadDump("intel_pentium_iii.txt")->Leaves());
  TCpuScope scope(cpu);
  EXPECT_EQ(qmGetSerial(0), "0000-0672-0000-1234-ABCD-0000");
  EXPECT_EQ(qmSerialNumber().size(), 29u);
  cpu->SetLeaf(1, {0x00000662, 0, 0, 0x0387fbff});  // model 6
  cpu->Executed.clear();
  EXPECT_EQ(qmGetSerial(0), "");
  EXPECT_EQ(cpu->CountOf(3), 0);
  cpu->SetLeaf(1, {0x00000672, 0, 0, 0x0383fbff});  // bit 18 clear
  EXPECT_EQ(qmGetSerial(0), "");
  EXPECT_EQ(cpu->CountOf(3), 0);
  // Leaf 3 refused by the check: empty, not half a number.
  cpu->SetLeaf(1, {0x00000672, 0, 0, 0x0387fbff});
  cpu->SetLeaf(0, VendorLeaf("GenuineIntel", 2));
  EXPECT_EQ(qmGetSerial(0), "");
}
