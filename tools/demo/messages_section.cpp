// The message layer: a worker thread posts to a hidden window of the main
// thread, which sleeps until each message arrives and handles them in order.
#include <chrono>
#include <thread>

#include "demo.h"
#include "platform/messages.h"

namespace {

bool RunMessages() {
  using namespace evc;
  constexpr int kCount = 5;
  int handled = 0;
  bool inOrder = true;
  std::thread::id mainThread = std::this_thread::get_id();
  bool onMainThread = true;
  HWND window = AllocateHWnd([&](TMessage& m) {
    if (m.Msg != WM_USER + 1) return;
    inOrder = inOrder && static_cast<int>(m.WParam) == handled;
    onMainThread = onMainThread && std::this_thread::get_id() == mainThread;
    ++handled;
  });
  auto start = std::chrono::steady_clock::now();
  std::thread worker([window] {
    for (int i = 0; i < kCount; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      PostMessage(window, WM_USER + 1, static_cast<WPARAM>(i), 0);
    }
  });
  MSG msg;
  while (handled < kCount && GetMessage(&msg, 0, 0, 0) > 0) DispatchMessage(&msg);
  worker.join();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  DeallocateHWnd(window);
  demo::Say("posted by a worker", std::to_string(kCount) + " messages, one every 20 ms");
  demo::Say("handled", std::to_string(handled) + (inOrder ? " in the order posted" : " OUT OF ORDER") +
                           (onMainThread ? ", on the window's thread" : ", on the WRONG thread") + ", in " +
                           std::to_string(ms) + " ms");
  // A message for a window that is gone is dropped, not delivered.
  HWND gone = AllocateHWnd([](TMessage&) {});
  DeallocateHWnd(gone);
  bool refused = !PostMessage(gone, WM_USER + 1, 0, 0);
  demo::Say("post to a closed window", refused ? "refused" : "ACCEPTED");
  return handled == kCount && inOrder && onMainThread && refused;
}

}  // namespace

EVC_DEMO_SECTION(10, "Messages: a worker thread posts to a hidden window", RunMessages);
