#include "cpu/qmOstraDefault.h"

#include <algorithm>

#include "cpu/qmOstraAPI.h"
#include "cpu/qmOstraIntf.h"
#include "platform/kernel.h"

namespace evc {

namespace {

// Raises the process's priority class and the thread's priority for the
// lifetime of the object and restores both, the thread's first, however the
// scope is left. The kernel layer maps the real-time class to the strongest
// nice value it may use, never to a real-time scheduling class, so a
// measurement cannot starve the rest of the machine.
class TPriorityBoost {
 public:
  TPriorityBoost() {
    FClass = GetPriorityClass(GetCurrentProcess());
    FThread = GetThreadPriority(GetCurrentThread());
    // A refusal goes unnoticed: the measurement runs at whatever results.
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  }
  ~TPriorityBoost() {
    if (FThread != kThreadPriorityError) SetThreadPriority(GetCurrentThread(), FThread);
    if (FClass != 0) SetPriorityClass(GetCurrentProcess(), FClass);
  }
  TPriorityBoost(const TPriorityBoost&) = delete;
  TPriorityBoost& operator=(const TPriorityBoost&) = delete;

 private:
  static constexpr int kThreadPriorityError = 0x7FFFFFFF;
  DWORD FClass = 0;
  int FThread = kThreadPriorityError;
};

int32_t Elapsed(DWORD now, DWORD start) { return static_cast<int32_t>(now - start); }

}  // namespace

float qmMeasureSpeed(int32_t Delay) {
  if (!qmTestBit(qmFeatureWord(), 4)) return -1.0f;
  // The cycle count is divided by Delay; without an interval there is
  // nothing to divide, and a wait of no length measures nothing.
  if (Delay <= 0) return -1.0f;

  TqmClock& clock = qmClock();
  uint64_t c1 = 0, c2 = 0;
  {
    TPriorityBoost boost;
    // Start right after a tick change so the interval begins on a tick edge.
    const DWORD t0 = clock.Ticks();
    while (clock.Ticks() == t0) {
    }
    c1 = clock.Cycles();
    // Sleep through most of the interval instead of spinning on the tick
    // counter; only the last few milliseconds are polled, which keeps the
    // end as tight as a pure busy wait at a fraction of the processor time.
    const int32_t margin = std::clamp<int32_t>(Delay / 20, 1, 10);
    for (;;) {
      const int32_t left = Delay - Elapsed(clock.Ticks(), t0);
      if (left <= 0) break;
      if (left > margin) clock.Pause(static_cast<DWORD>(left - margin));
    }
    c2 = clock.Cycles();
  }
  const double cycles = static_cast<double>(c2 - c1);
  return static_cast<float>(cycles / (1e6 / (1e3 / Delay)));
}

namespace qmOstraDefault {

std::string ShortName() { return "Unknown "; }
std::string VendorName() { return "Unknown Vendor"; }

std::string ModelName(uint8_t CpuNum) {
  const DWORD type = qmCpuidSource().ProcessorType();
  switch (type) {
    case 386: return "386 class";
    case 486: return "486 class";
    case 586: return "Pentium class";
    case 686: return "Pentium II class";
    default: return std::to_string(type) + " class";
  }
}

float ClockSpeed(uint8_t CpuNum, int32_t Delay) {
  return qmHasFeature(CpuNum, 4) ? qmMeasureSpeed(Delay) : -1.0f;
}

}  // namespace qmOstraDefault

}  // namespace evc
