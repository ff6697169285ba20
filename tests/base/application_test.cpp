// The application's timed wait: it handles what arrives, ends at its limit
// or its condition, and sleeps in the kernel in between.
#include <gtest/gtest.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/Application.h"
#include "platform/messages.h"

using namespace evc;

namespace {

constexpr UINT kCount = WM_USER + 1, kFinish = WM_USER + 2, kRepost = WM_USER + 3;
std::atomic<int> gHandled{0};
std::atomic<bool> gByHandler{false}, gByThread{false};  // kFinish sets the first, the other thread the second

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct TCase {
  const char* what;
  uint32_t limit;
  bool (*stop)();                           // nullptr: none
  std::vector<std::pair<int, UINT>> posts;  // (after ms, message) from another thread; -1: before the call
  int flagAfterMs;                          // when the other thread sets gByThread; -1: never
  bool result;
  int atLeastMs, atMostMs, handled;  // handled -1: any number above 0
};

}  // namespace

TEST(ApplicationWait, ProcessMessagesForEndsAtItsLimitOrItsConditionAndSleepsMeanwhile) {
  const std::vector<TCase> cases = {
      {"no condition: every message, then the limit", 150, nullptr, {{20, kCount}, {40, kCount}}, -1, false, 150, 1000,
       2},
      {"set by a handler", 5000, [] { return gByHandler.load(); }, {{30, kFinish}}, -1, true, 30, 1000, 1},
      {"set by another thread, no message", 5000, [] { return gByThread.load(); }, {}, 50, true, 50, 1000, 0},
      {"never holds", 100, [] { return false; }, {}, -1, false, 100, 1000, 0},
      {"holds at once, after what waits", 5000, [] { return true; }, {{-1, kCount}}, -1, true, 0, 200, 1},
      {"a flood cannot hold it past its limit", 50, nullptr, {{-1, kRepost}}, -1, false, 50, 1000, -1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    gHandled = 0;
    gByHandler = gByThread = false;
    HWND h = 0;
    h = AllocateHWnd([&](TMessage& m) {
      ++gHandled;
      if (m.Msg == kFinish) gByHandler = true;
      if (m.Msg == kRepost) PostMessage(h, kRepost, 0, 0);
    });
    for (const auto& [after, msg] : c.posts)
      if (after < 0) PostMessage(h, msg, 0, 0);
    std::thread other([&] {
      auto start = std::chrono::steady_clock::now();
      for (const auto& [after, msg] : c.posts)
        if (after >= 0) {
          std::this_thread::sleep_until(start + std::chrono::milliseconds(after));
          PostMessage(h, msg, 0, 0);
        }
      if (c.flagAfterMs >= 0) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(c.flagAfterMs));
        gByThread = true;
      }
    });
    const double cpu0 = ThreadCpuMs();
    const auto t0 = std::chrono::steady_clock::now();
    const bool result = Application().ProcessMessagesFor(c.limit, c.stop ? std::function<bool()>(c.stop) : nullptr);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    const double cpu = ThreadCpuMs() - cpu0;
    other.join();

    EXPECT_EQ(result, c.result);
    EXPECT_GE(ms.count(), c.atLeastMs);
    EXPECT_LE(ms.count(), c.atMostMs);
    EXPECT_TRUE(c.handled < 0 ? gHandled > 0 : gHandled == c.handled) << gHandled;
    // Waiting costs no processor time: a small part of the time waited.
    EXPECT_TRUE(c.handled < 0 || cpu < 20.0) << cpu << " ms of processor time";
    DeallocateHWnd(h);
    Application().ProcessMessages();  // a flood's last repost goes nowhere
  }
}
