// TCustomSyncWSocket: the socket layer for synchronous waits.
//
// Code that prefers a blocking style starts an operation and then waits
// while the component keeps handling window messages, so the socket's
// notifications and the handlers they raise go on running; a handler that
// learns of the outcome sets a flag the caller owns. The thread sleeps in
// the kernel between messages: a wait uses no processor time of its own.
#pragma once
#include <functional>

#include "socket/WSocketLine.h"

namespace evc {

// The operation RunAndWait starts before waiting; may be empty.
using TWaitProc = std::function<void()>;

// Result of a wait that ended by its time limit or by termination.
constexpr int32_t kWaitFailed = 12001;

class TCustomSyncWSocket : public TCustomLineWSocket {
  EVC_CLASS(TCustomSyncWSocket)
 public:
  explicit TCustomSyncWSocket(TComponent* owner) : TCustomLineWSocket(owner) {}

  // Clears doneFlag, runs proc (when given), then waits as WaitForFlag.
  virtual int32_t RunAndWait(const TWaitProc& proc, bool& doneFlag);
  // Handles messages until doneFlag is true (0), or until Timeout passes or
  // the application or this component's own loop is told to quit (12001).
  // The flag is looked at before anything else and after every message
  // pass. Waits may nest; each one keeps its own time limit.
  virtual int32_t WaitForFlag(bool& doneFlag);

  // Tick count at which the innermost running wait fails.
  int32_t WaitDeadline() const { return FWaitDeadline; }
};

}  // namespace evc
