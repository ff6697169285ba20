#include "Timer.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/messages.h"

namespace wsock {

TTimer::TTimer() {
  FFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (FFd >= 0) {
    evc::CurrentThreadPoller().Add(FFd, EPOLLIN, [this](uint32_t) {
      uint64_t expirations;
      if (read(FFd, &expirations, sizeof expirations) != sizeof expirations) return;
      if (!FRunning) return;
      FRunning = false;
      if (OnTimer) OnTimer();
    });
  }
}

TTimer::~TTimer() {
  if (FFd >= 0) {
    evc::CurrentThreadPoller().Remove(FFd);
    close(FFd);
  }
}

void TTimer::Start(int milliseconds) {
  if (FFd < 0) return;
  itimerspec setting{};
  // A zero value would disarm the timer; the shortest wait is 1 ns.
  long ns = milliseconds > 0 ? static_cast<long>(milliseconds % 1000) * 1000000L : 1L;
  setting.it_value.tv_sec = milliseconds > 0 ? milliseconds / 1000 : 0;
  setting.it_value.tv_nsec = ns;
  timerfd_settime(FFd, 0, &setting, nullptr);
  FRunning = true;
}

void TTimer::Stop() {
  if (FFd < 0) return;
  itimerspec setting{};
  timerfd_settime(FFd, 0, &setting, nullptr);
  FRunning = false;
}

}  // namespace wsock
