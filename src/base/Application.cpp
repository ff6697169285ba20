#include "base/Application.h"

#include <algorithm>
#include <chrono>

#include "platform/messages.h"

namespace evc {

TApplication& Application() {
  static TApplication app;
  return app;
}

bool TApplication::ProcessMessage() {
  MSG msg;
  if (!PeekMessage(&msg, 0, 0, 0, PM_REMOVE)) return false;
  if (msg.message == WM_QUIT) {
    FTerminated = true;
  } else {
    TranslateMessage(&msg);
    DispatchMessage(&msg);
  }
  return true;
}

void TApplication::ProcessMessages() {
  while (ProcessMessage()) {
  }
}

namespace {
// A condition may be changed by another thread, which posts nothing; the
// wait wakes this often to look at it again. Without a condition it sleeps
// until a message, a socket notification or the time limit.
constexpr DWORD kStopRecheckMs = 20;
// Under a flood of messages the time limit is looked at every so many.
constexpr int kMessagesPerClockCheck = 64;
}  // namespace

bool TApplication::ProcessMessagesFor(uint32_t milliseconds, const std::function<bool()>& stop) {
  using Clock = std::chrono::steady_clock;
  const bool forever = milliseconds == INFINITE;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  for (;;) {
    // A handler that keeps posting must not hold the caller past its limit.
    for (int n = 1; ProcessMessage(); ++n)
      if (!forever && n % kMessagesPerClockCheck == 0 && Clock::now() >= deadline) break;
    if (stop && stop()) return true;
    DWORD wait = INFINITE;
    if (!forever) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline) return false;
      wait = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
    }
    if (stop) wait = std::min(wait, kStopRecheckMs);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
  }
}

void TApplication::HandleMessage() {
  if (!ProcessMessage()) {
    WaitMessage();
    ProcessMessages();
  }
}

void TApplication::Run() {
  FRunPoller = &CurrentThreadPoller();
  while (!FTerminated) HandleMessage();
  FRunPoller = nullptr;
}

void TApplication::Terminate() {
  FTerminated = true;
  // Wake the loop wherever it waits; it sees the flag on its next turn.
  if (TPoller* p = FRunPoller.load()) p->Wake();
}

}  // namespace evc
