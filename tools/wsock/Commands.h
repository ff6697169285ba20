// The commands of wsock. Each runs the message loop until it is done and
// returns the exit status.
#pragma once
#include <string>

#include "Options.h"
#include "Output.h"
#include "base/Exception.h"

namespace wsock {

int RunConnect(const TToolOptions& options);
int RunListen(const TToolOptions& options);
int RunLookup(const TToolOptions& options);
int RunReverse(const TToolOptions& options);

// Runs the message loop until Finish is called.
void RunLoop();

// Runs f; a component failure raised from it ends the run with its message.
// Event handlers use it, since an exception leaving a data handler would be
// swallowed by the component and the failure lost.
template <class F>
void Guarded(F&& f) {
  try {
    f();
  } catch (const evc::Exception& e) {
    Finish(1, MessageLine(e.Message()));
  } catch (const std::exception& e) {
    Finish(1, std::string("wsock: ") + e.what());
  }
}

}  // namespace wsock
