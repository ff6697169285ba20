#include "socket/WSocketSync.h"

#include <algorithm>

#include "base/Application.h"
#include "base/TypInfo.h"
#include "platform/kernel.h"
#include "platform/messages.h"

namespace evc {

const TClassInfo& TCustomSyncWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomSyncWSocket", &TCustomLineWSocket::StaticClassInfo(), {});
  return info;
}

namespace {

// Longest sleep between two looks at the termination flags: Terminate may
// come from another thread without a message to wake this one.
constexpr int32_t kLongestSleep = 250;

// Milliseconds from `now` to `deadline` on the wrapping 32-bit tick counter,
// negative once the deadline has passed.
int32_t TicksUntil(uint32_t deadline, uint32_t now) { return static_cast<int32_t>(deadline - now); }

}  // namespace

int32_t TCustomSyncWSocket::RunAndWait(const TWaitProc& proc, bool& doneFlag) {
  doneFlag = false;
  if (proc) proc();
  return WaitForFlag(doneFlag);
}

int32_t TCustomSyncWSocket::WaitForFlag(bool& doneFlag) {
  // The deadline is this wait's own: a wait started by a handler inside it
  // must not shorten or stretch it. The field shows the innermost one.
  const int32_t limit = Timeout;
  const uint32_t deadline = GetTickCount() + static_cast<uint32_t>(limit);
  const int32_t outerDeadline = FWaitDeadline;
  FWaitDeadline = static_cast<int32_t>(deadline);
  struct TRestore {
    int32_t& field;
    int32_t value;
    ~TRestore() { field = value; }
  } restore{FWaitDeadline, outerDeadline};

  while (!doneFlag) {
    int32_t left = limit > 0 ? TicksUntil(deadline, GetTickCount()) : kLongestSleep;
    if (limit > 0 && left < 0) return kWaitFailed;
    if (Application().Terminated() || Terminated()) return kWaitFailed;
    PumpMessages();
    if (doneFlag) break;
    if (Application().Terminated() || Terminated()) return kWaitFailed;
    // Sleep until a message or a socket of this thread has news, or until
    // just past the deadline (the limit is exceeded, not merely reached).
    if (limit > 0) left = TicksUntil(deadline, GetTickCount()) + 1;
    if (left > 0)
      WaitForInput(static_cast<DWORD>(std::min(left, kLongestSleep)));
  }
  return 0;
}

}  // namespace evc
