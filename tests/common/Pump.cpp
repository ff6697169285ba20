#include "common/Pump.h"

#include <algorithm>
#include <chrono>

#include "base/Application.h"
#include "platform/messages.h"

namespace evctest {

bool PumpUntil(const std::function<bool()>& cond, int milliseconds) {
  using namespace evc;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    Application().ProcessMessages();
    if (cond()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return cond();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<long long>(left, 20)), QS_ALLINPUT);
  }
}

void PumpFor(int milliseconds) { PumpUntil([] { return false; }, milliseconds); }

}  // namespace evctest
