// Running this thread's messages until a condition holds or time runs out,
// for tests that wait on components.
#pragma once
#include <functional>

namespace evctest {

// True as soon as `cond` holds; false when `milliseconds` pass first. Sleeps
// in the message wait between passes, so a waiting test costs no processor.
bool PumpUntil(const std::function<bool()>& cond, int milliseconds = 5000);
void PumpFor(int milliseconds);

}  // namespace evctest
