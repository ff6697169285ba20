#include "common/Pump.h"

#include "base/Application.h"

namespace evctest {

bool PumpUntil(const std::function<bool()>& cond, int milliseconds) {
  return evc::Application().ProcessMessagesFor(static_cast<uint32_t>(milliseconds), cond);
}

void PumpFor(int milliseconds) { evc::Application().ProcessMessagesFor(static_cast<uint32_t>(milliseconds)); }

}  // namespace evctest
