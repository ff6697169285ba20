// The application object: runs the calling thread's message loop.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

namespace evc {

class TPoller;

class TApplication {
 public:
  // Handles every message waiting for the calling thread, then returns. A
  // quit message sets Terminated and is not dispatched.
  void ProcessMessages();
  // Waits for one message (using no processor time while waiting) and
  // handles it, with whatever else is waiting.
  void HandleMessage();
  // Handles messages as they arrive for up to `milliseconds` (0xFFFFFFFF,
  // INFINITE: no limit), sleeping in the message wait whenever none is
  // there. With a condition it returns true as soon as `stop` holds, looked
  // at first and after each round of messages; it returns false when the
  // time is up first, and always without a condition. A quit message sets
  // Terminated, as in ProcessMessages, and the wait goes on.
  bool ProcessMessagesFor(uint32_t milliseconds, const std::function<bool()>& stop = nullptr);
  // Handles messages until Terminate is called or a quit message arrives.
  void Run();
  // Ends Run; may be called from any thread.
  void Terminate();
  bool Terminated() const { return FTerminated; }
  // Lets Run be used again after Terminate.
  void ResetTerminated() { FTerminated = false; }

 private:
  bool ProcessMessage();
  std::atomic<bool> FTerminated{false};
  std::atomic<TPoller*> FRunPoller{nullptr};
};

TApplication& Application();

}  // namespace evc
