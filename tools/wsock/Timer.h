// A one-shot timer on the thread's poller (a timerfd), so that waiting for
// it costs nothing while the loop sleeps in the kernel.
#pragma once
#include <functional>

namespace wsock {

class TTimer {
 public:
  std::function<void()> OnTimer;

  TTimer();
  ~TTimer();
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  // (Re)starts the timer: OnTimer runs once, `milliseconds` from now.
  void Start(int milliseconds);
  void Stop();
  bool Running() const { return FRunning; }

 private:
  int FFd = -1;
  bool FRunning = false;
};

}  // namespace wsock
