// Synchronous waits: the flag, the time limit, termination, nesting and a
// component living in a worker thread that pumps its own queue.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/Application.h"
#include "common/LoopbackPeer.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Processor time this thread has used, in milliseconds.
long ThreadCpuMs() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

// A hidden window of this thread whose message 0x500 runs `onMessage`; a
// helper thread posts it after a delay, as a late event would arrive.
struct TLateEvent {
  std::function<void()> onMessage;
  HWND window = AllocateMethodWindow([this](TMessage& m) {
    if (m.Msg == 0x500 && onMessage) onMessage();
  });
  std::thread poster;
  void After(int ms) {
    poster = std::thread([this, ms] {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      PostMessage(window, 0x500, 0, 0);
    });
  }
  ~TLateEvent() {
    if (poster.joinable()) poster.join();
    Application().ProcessMessages();
    ReleaseMethodWindow(window);
  }
};

// A raw listener on 127.0.0.1 with a port chosen by the system.
struct TListener {
  int port = 0;
  int fd = loopback::ListenLoopback(&port, 4);
  int AcceptOne(int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1 ? ::accept(fd, nullptr, nullptr) : -1;
  }
  ~TListener() { ::close(fd); }
};

TEST(SyncWait, FlagAlreadySetReturnsAtOnce) {
  DAVidavi s(nullptr);
  bool done = true;
  auto t = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), 0);
  s.Timeout = 1;
  EXPECT_EQ(s.WaitForFlag(done), 0);
  EXPECT_LT(MsSince(t), 50);
}

TEST(SyncWait, TimeLimitFailsWith12001AfterALittleMoreThanItWithoutSpinning) {
  DAVidavi s(nullptr);
  s.Timeout = 5000;
  bool done = false;
  long cpu = ThreadCpuMs();
  auto t = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), 12001);
  long took = MsSince(t);
  EXPECT_GE(took, 5000);
  EXPECT_LT(took, 5600);
  // Sleeping in the kernel: a spinning wait would burn the whole 5 s.
  EXPECT_LT(ThreadCpuMs() - cpu, 150);
}

TEST(SyncWait, HandlerSettingTheFlagDuringPumpingEndsTheWait) {
  DAVidavi s(nullptr);
  s.Timeout = 5000;
  bool done = false;
  TLateEvent late;
  late.onMessage = [&] { done = true; };
  late.After(300);
  auto t = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), 0);
  long took = MsSince(t);
  EXPECT_GE(took, 290);
  EXPECT_LT(took, 1500);
}

TEST(SyncWait, RunAndWaitClearsTheFlagAndRunsTheOperation) {
  DAVidavi s(nullptr);
  bool done = true;
  s.Timeout = 100;
  // No operation: the flag is still cleared, so the wait runs into its limit.
  EXPECT_EQ(s.RunAndWait(nullptr, done), 12001);
  EXPECT_FALSE(done);

  // A real connect on loopback, completed by OnSessionConnected.
  TListener l;
  s.Timeout = 5000;
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(l.port));
  s.OnSessionConnected = [&](TObject*, WORD e) { done = (e == 0); };
  EXPECT_EQ(s.RunAndWait([&] { s.Connect(); }, done), 0);
  EXPECT_EQ(s.State(), wsConnected);
  int peer = l.AcceptOne(2000);
  ASSERT_GE(peer, 0);

  // Then a line from the peer, waited for in line mode.
  std::string line;
  s.SetLineMode(true);
  s.OnDataAvailable = [&](TObject*, WORD) {
    line = s.ReceiveText();
    done = true;
  };
  EXPECT_EQ(s.RunAndWait([&] { ASSERT_EQ(::send(peer, "pong\r\n", 6, 0), 6); }, done), 0);
  EXPECT_EQ(line, "pong\r\n");
  ::close(peer);
}

TEST(SyncWait, NestedWaitsKeepTheirOwnLimits) {
  DAVidavi s(nullptr);
  bool outerDone = false, innerDone = false;
  int innerResult = -1;
  int32_t deadlineInside = 0, deadlineAfterInner = 0;
  TLateEvent start, finish;
  // At 100 ms a handler starts a short inner wait that fails after 200 ms;
  // at 900 ms the outer flag is set. The outer limit of 3 s holds throughout.
  start.onMessage = [&] {
    deadlineInside = s.WaitDeadline();
    s.Timeout = 200;
    innerResult = s.WaitForFlag(innerDone);
    deadlineAfterInner = s.WaitDeadline();
  };
  finish.onMessage = [&] { outerDone = true; };
  start.After(100);
  finish.After(900);
  s.Timeout = 3000;
  auto t = Clock::now();
  EXPECT_EQ(s.WaitForFlag(outerDone), 0);
  EXPECT_GE(MsSince(t), 850);
  EXPECT_EQ(innerResult, 12001);
  EXPECT_EQ(deadlineAfterInner, deadlineInside);
}

TEST(SyncWait, QuitMessageInMultiThreadedModeEndsTheWait) {
  std::atomic<int> result{-1};
  std::atomic<bool> terminated{false};
  std::thread worker([&] {
    DAVidavi s(nullptr);
    s.SetMultiThreaded(true);
    bool done = false;
    PostQuitMessage(0);
    result = s.WaitForFlag(done);
    terminated = s.Terminated();
  });
  worker.join();
  EXPECT_EQ(result.load(), 12001);
  EXPECT_TRUE(terminated.load());
}

TEST(SyncWait, ApplicationTerminateEndsTheWait) {
  DAVidavi s(nullptr);
  bool done = false;
  TLateEvent late;
  late.onMessage = [&] { Application().Terminate(); };
  late.After(100);
  auto t = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), 12001);
  EXPECT_LT(MsSince(t), 1000);
  Application().ResetTerminated();
  // Terminate from another thread, with nothing posted to wake this one.
  std::thread other([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Application().Terminate();
  });
  t = Clock::now();
  EXPECT_EQ(s.WaitForFlag(done), 12001);
  EXPECT_LT(MsSince(t), 1000);
  other.join();
  Application().ResetTerminated();
}

TEST(SyncWait, WorkerThreadComponentPumpsItsOwnQueue) {
  TListener l;
  std::atomic<int> connectResult{-1}, lineResult{-1};
  std::string line;
  std::atomic<bool> connected{false};
  std::thread worker([&] {
    DAVidavi s(nullptr);
    s.SetMultiThreaded(true);
    s.Timeout = 5000;
    s.SetLineMode(true);
    bool done = false;
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(l.port));
    s.OnSessionConnected = [&](TObject*, WORD e) { done = (e == 0); };
    connectResult = s.RunAndWait([&] { s.Connect(); }, done);
    connected = true;
    s.OnDataAvailable = [&](TObject*, WORD) {
      line = s.ReceiveText();
      done = true;
    };
    done = false;
    lineResult = s.WaitForFlag(done);
  });
  // This thread handles no messages at all while the worker waits.
  int peer = l.AcceptOne(5000);
  ASSERT_GE(peer, 0);
  for (int i = 0; i < 500 && !connected; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(::send(peer, "from main\r\n", 11, 0), 11);
  worker.join();
  ::close(peer);
  EXPECT_EQ(connectResult.load(), 0);
  EXPECT_EQ(lineResult.load(), 0);
  EXPECT_EQ(line, "from main\r\n");
}

}  // namespace
