// Running this thread's messages until a condition holds or time runs out,
// for tests that wait on components.
#pragma once
#include <functional>

namespace evctest {

// The application's timed wait under the names the tests use: true as soon
// as `cond` holds, false when `milliseconds` pass first; a waiting test
// sleeps in the message wait and costs no processor.
bool PumpUntil(const std::function<bool()>& cond, int milliseconds = 5000);
void PumpFor(int milliseconds);

}  // namespace evctest
