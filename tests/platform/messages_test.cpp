#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "base/Application.h"
#include "platform/kernel.h"
#include "platform/messages.h"

using namespace evc;

namespace {

// Window procedure that records what reaches it, per test.
struct TRecord {
  std::vector<MSG> got;
};
thread_local TRecord* tRecord = nullptr;

LRESULT RecordingProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (tRecord) tRecord->got.push_back(MSG{h, m, w, l, 0});
  return 7;
}

// Registers a class for the test and removes it afterwards.
class TTestClass {
 public:
  explicit TTestClass(const char* name) : FName(name) {
    WNDCLASS wc{};
    wc.lpfnWndProc = RecordingProc;
    wc.cbWndExtra = 4;
    wc.hInstance = HInstance();
    wc.lpszClassName = name;
    EXPECT_NE(RegisterClass(&wc), 0);
  }
  ~TTestClass() { UnregisterClass(FName, HInstance()); }
  HWND Create() {
    return CreateWindowEx(WS_EX_TOOLWINDOW, FName, "", WS_POPUP, 0, 0, 0, 0, 0, 0, HInstance(), nullptr);
  }

 private:
  const char* FName;
};

void PumpAll() {
  MSG m;
  while (PeekMessage(&m, 0, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessage(&m);
  }
}

double ThreadCpuMs() {
  rusage ru{};
  getrusage(RUSAGE_THREAD, &ru);
  return ru.ru_utime.tv_sec * 1e3 + ru.ru_utime.tv_usec / 1e3 + ru.ru_stime.tv_sec * 1e3 + ru.ru_stime.tv_usec / 1e3;
}

}  // namespace

TEST(WindowClass, RegisterQueryUnregister) {
  TTestClass cls("EvcTestClassA");
  WNDCLASS wc{};
  wc.lpfnWndProc = RecordingProc;
  wc.hInstance = HInstance();
  wc.lpszClassName = "evctestclassa";  // class names ignore letter case
  EXPECT_EQ(RegisterClass(&wc), 0);
  EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);
  WNDCLASS found{};
  ASSERT_TRUE(GetClassInfo(HInstance(), "EvcTestClassA", &found));
  EXPECT_EQ(found.cbWndExtra, 4);
  EXPECT_FALSE(GetClassInfo(HInstance(), "EvcNoSuchClass", &found));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
  EXPECT_EQ(CreateWindowEx(0, "EvcNoSuchClass", "", 0, 0, 0, 0, 0, 0, 0, HInstance(), nullptr), 0u);

  HWND h = cls.Create();
  ASSERT_NE(h, 0u);
  EXPECT_FALSE(UnregisterClass("EvcTestClassA", HInstance()));
  EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
  EXPECT_TRUE(DestroyWindow(h));
}

TEST(Window, StorageAtIndexZeroAndStaleHandles) {
  TTestClass cls("EvcTestClassB");
  HWND h = cls.Create();
  ASSERT_TRUE(IsWindow(h));
  int owner = 0;
  EXPECT_EQ(SetWindowLongPtr(h, 0, reinterpret_cast<LONG_PTR>(&owner)), 0);
  EXPECT_EQ(GetWindowLongPtr(h, 0), reinterpret_cast<LONG_PTR>(&owner));
  EXPECT_EQ(GetWindowLongPtr(h, 4), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);
  EXPECT_EQ(SendMessage(h, WM_USER, 1, 2), 7);

  ASSERT_TRUE(DestroyWindow(h));
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(DestroyWindow(h));
  // A new window may reuse the storage, but never the handle.
  HWND h2 = cls.Create();
  EXPECT_NE(h2, h);
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  EXPECT_EQ(GetWindowLongPtr(h2, 0), 0);
  DestroyWindow(h2);
}

TEST(Queue, MessagesToOneWindowArriveInTheOrderPosted) {
  TTestClass cls("EvcTestClassC");
  HWND h = cls.Create();
  TRecord rec;
  tRecord = &rec;
  constexpr int kCount = 20000;
  // One producer thread and this thread post interleaved; each poster's own
  // order must hold.
  std::thread producer([h] {
    for (int i = 0; i < kCount; ++i) PostMessage(h, WM_USER + 1, static_cast<WPARAM>(i), 0);
  });
  for (int i = 0; i < 1000; ++i) PostMessage(h, WM_USER + 2, static_cast<WPARAM>(i), 0);
  producer.join();
  PumpAll();
  tRecord = nullptr;
  ASSERT_EQ(rec.got.size(), static_cast<size_t>(kCount + 1000));
  WPARAM next1 = 0, next2 = 0;
  for (const MSG& m : rec.got) {
    if (m.message == WM_USER + 1) {
      EXPECT_EQ(m.wParam, next1++);
    }
    if (m.message == WM_USER + 2) {
      EXPECT_EQ(m.wParam, next2++);
    }
  }
  DestroyWindow(h);
}

TEST(Queue, MessagesForADestroyedWindowAreDropped) {
  TTestClass cls("EvcTestClassD");
  HWND doomed = cls.Create();
  HWND other = cls.Create();
  PostMessage(doomed, WM_USER + 1, 1, 0);
  PostMessage(other, WM_USER + 1, 2, 0);
  PostMessage(doomed, WM_USER + 1, 3, 0);
  DestroyWindow(doomed);
  HWND reused = cls.Create();  // may take the destroyed window's place
  TRecord rec;
  tRecord = &rec;
  PumpAll();
  tRecord = nullptr;
  ASSERT_EQ(rec.got.size(), 1u);
  EXPECT_EQ(rec.got[0].hwnd, other);
  EXPECT_EQ(rec.got[0].wParam, 2u);
  DestroyWindow(other);
  DestroyWindow(reused);
}

TEST(Queue, PostFromAnotherThreadWakesTheWaitingThread) {
  TTestClass cls("EvcTestClassE");
  HWND h = cls.Create();
  auto start = std::chrono::steady_clock::now();
  std::thread poster([h] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PostMessage(h, WM_USER + 3, 42, 0);
  });
  MSG m;
  ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);
  auto waited = std::chrono::steady_clock::now() - start;
  poster.join();
  EXPECT_EQ(m.message, WM_USER + 3u);
  EXPECT_EQ(m.wParam, 42u);
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  DestroyWindow(h);
}

TEST(Queue, WaitingUsesNoProcessorTime) {
  double before = ThreadCpuMs();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_ALLINPUT), WAIT_TIMEOUT);
  auto waited = std::chrono::steady_clock::now() - start;
  double used = ThreadCpuMs() - before;
  EXPECT_GE(waited, std::chrono::milliseconds(990));
  EXPECT_LT(used, 20.0) << "a 1 s wait used " << used << " ms of processor time";
}

// A filtered GetMessage sleeps past the messages it does not want, and the
// one it wants, posted later from another thread, still wakes it.
TEST(Queue, FilteredGetMessageSleepsPastUnwantedMessages) {
  TTestClass cls("EvcTestClassU");
  HWND unwanted = cls.Create(), wanted = cls.Create();
  PostMessage(unwanted, WM_USER + 1, 0, 0);
  double before = ThreadCpuMs();
  std::thread later([wanted] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PostMessage(wanted, WM_USER + 2, 0, 0);
  });
  MSG m{};
  EXPECT_EQ(GetMessage(&m, wanted, 0, 0), 1);
  double used = ThreadCpuMs() - before;
  later.join();
  EXPECT_EQ(m.hwnd, wanted);
  EXPECT_EQ(m.message, UINT(WM_USER + 2));
  EXPECT_LT(used, 20.0) << "waiting 300 ms used " << used << " ms of processor time";
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.hwnd, unwanted);
  DestroyWindow(unwanted);
  DestroyWindow(wanted);
}

TEST(Queue, QuitEndsTheWaitAfterPostedMessagesAndIsNotDispatched) {
  TTestClass cls("EvcTestClassF");
  HWND h = cls.Create();
  PostMessage(h, WM_USER + 1, 1, 0);
  PostQuitMessage(5);
  TRecord rec;
  tRecord = &rec;
  MSG m;
  ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);  // posted messages come first
  DispatchMessage(&m);
  ASSERT_EQ(GetMessage(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, WM_QUIT);
  EXPECT_EQ(m.wParam, 5u);
  EXPECT_EQ(DispatchMessage(&m), 0);  // a thread message reaches no window
  tRecord = nullptr;
  EXPECT_EQ(rec.got.size(), 1u);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));  // quit is taken once
  DestroyWindow(h);
}

TEST(Queue, PeekFiltersByWindowAndRangeAndCanLeaveTheMessage) {
  TTestClass cls("EvcTestClassG");
  HWND a = cls.Create();
  HWND b = cls.Create();
  PostMessage(a, WM_USER + 1, 1, 0);
  PostMessage(b, WM_USER + 5, 2, 0);
  PostMessage(a, WM_USER + 9, 3, 0);
  MSG m;
  ASSERT_TRUE(PeekMessage(&m, b, 0, 0, PM_NOREMOVE));
  EXPECT_EQ(m.wParam, 2u);
  ASSERT_TRUE(PeekMessage(&m, 0, WM_USER + 8, WM_USER + 10, PM_REMOVE));
  EXPECT_EQ(m.wParam, 3u);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 1u);
  ASSERT_TRUE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  EXPECT_EQ(m.wParam, 2u);
  EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE));
  DestroyWindow(a);
  DestroyWindow(b);
}

TEST(Queue, WindowsDieWithTheirThread) {
  TTestClass cls("EvcTestClassH");
  HWND h = 0;
  std::thread t([&] { h = cls.Create(); });
  t.join();
  ASSERT_NE(h, 0u);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
  // And a window of another thread cannot be destroyed from here.
  std::atomic<HWND> live{0};
  std::atomic<bool> done{false};
  std::thread owner([&] {
    live = cls.Create();
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    DestroyWindow(live);
  });
  while (!live) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(DestroyWindow(live));
  EXPECT_TRUE(IsWindow(live));
  done = true;
  owner.join();
}

// A thread's queue is handed to a later thread; nothing the first left
// behind (messages, a quit, watched descriptors) may reach the second.
TEST(Queue, AQueueLeftByAnEndedThreadStartsEmptyForTheNext) {
  TTestClass cls("EvcTestClassR");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  TPoller* first = nullptr;
  std::thread a([&] {
    HWND h = cls.Create();
    for (int i = 0; i < 3; ++i) PostMessage(h, WM_USER + i, 0, 0);
    PostMessage(0, WM_USER + 9, 0, 0);
    PostQuitMessage(4);
    first = &CurrentThreadPoller();
    first->Add(fds[0], EPOLLIN, [](uint32_t) { ADD_FAILURE() << "a source of the ended thread ran"; });
  });
  a.join();
  std::thread b([&] {
    EXPECT_EQ(&CurrentThreadPoller(), first) << "the queue was not reused, so this test proves nothing";
    EXPECT_EQ(CurrentThreadPoller().SourceCount(), 0u);
    MSG m;
    EXPECT_FALSE(PeekMessage(&m, 0, 0, 0, PM_REMOVE)) << "message " << m.message << " leaked";
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);
  });
  b.join();
  close(fds[0]);
  close(fds[1]);
}

// Posting reads a window's queue without a lock, so it races threads that
// end and hand their queue on. Every message a thread takes must be for its
// own window, and (under the address sanitizer) no poster may touch freed
// memory.
TEST(Queue, PostersRacingEndingThreadsReachOnlyLiveWindows) {
  TTestClass cls("EvcTestClassS");
  std::atomic<HWND> target{0};
  std::atomic<bool> stop{false};
  std::atomic<long> accepted{0}, refused{0};
  auto poster = [&] {
    while (!stop) {
      HWND h = target.load();
      if (!h) continue;
      if (PostMessage(h, WM_USER, 0, 0))
        ++accepted;
      else
        ++refused;
    }
  };
  std::thread p1(poster), p2(poster);
  std::atomic<int> strays{0};
  for (int round = 0; round < 200; ++round) {
    std::thread owner([&] {
      HWND own = cls.Create();
      target = own;
      MSG m;
      for (int i = 0; i < 20;) {
        if (!PeekMessage(&m, 0, 0, 0, PM_REMOVE)) {
          MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
          ++i;
          continue;
        }
        if (m.hwnd != own) ++strays;
        ++i;
      }
      DestroyWindow(own);
    });
    owner.join();
  }
  stop = true;
  p1.join();
  p2.join();
  EXPECT_EQ(strays.load(), 0);
  EXPECT_GT(accepted.load(), 0);
  EXPECT_GT(refused.load(), 0);
}

TEST(Poller, ReadySourceWakesTheQueueAndRunsOnTheOwningThread) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  TTestClass cls("EvcTestClassI");
  HWND h = cls.Create();
  std::thread::id ranOn;
  ASSERT_EQ(CurrentThreadPoller().Add(fds[0], EPOLLIN, [&](uint32_t) {
    char c;
    ssize_t n = read(fds[0], &c, 1);
    (void)n;
    ranOn = std::this_thread::get_id();
    PostMessage(h, WM_USER + 4, static_cast<WPARAM>(c), 0);
  }), 0);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ssize_t n = write(fds[1], "k", 1);
    (void)n;
  });
  MSG m;
  ASSERT_EQ(GetMessage(&m, 0, 0, 0), 1);
  writer.join();
  EXPECT_EQ(m.message, WM_USER + 4u);
  EXPECT_EQ(m.wParam, static_cast<WPARAM>('k'));
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_EQ(WindowPoller(h), &CurrentThreadPoller());
  CurrentThreadPoller().Remove(fds[0]);
  EXPECT_FALSE(CurrentThreadPoller().Watches(fds[0]));
  close(fds[0]);
  close(fds[1]);
  DestroyWindow(h);
}

TEST(MethodWindow, MessagesReachTheMethod) {
  std::vector<UINT> seen;
  HWND h = AllocateHWnd([&](TMessage& m) {
    seen.push_back(m.Msg);
    m.Result = 99;
  });
  ASSERT_NE(h, 0u);
  PostMessage(h, WM_USER + 1, 0, 0);
  PostMessage(h, WM_USER + 2, 0, 0);
  PumpAll();
  EXPECT_EQ(seen, (std::vector<UINT>{WM_USER + 1, WM_USER + 2}));
  EXPECT_EQ(SendMessage(h, WM_USER + 3, 0, 0), 99);
  DeallocateHWnd(h);
  EXPECT_FALSE(IsWindow(h));
}

TEST(ApplicationLoop, ProcessMessagesRunAndTerminate) {
  std::vector<int> seen;
  HWND h = AllocateHWnd([&](TMessage& m) { seen.push_back(static_cast<int>(m.WParam)); });
  PostMessage(h, WM_USER, 1, 0);
  PostMessage(h, WM_USER, 2, 0);
  Application().ProcessMessages();
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));

  // Terminate from another thread ends Run while it sleeps.
  Application().ResetTerminated();
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Application().Terminate();
  });
  auto start = std::chrono::steady_clock::now();
  Application().Run();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(Application().Terminated());

  // A quit message sets Terminated too.
  Application().ResetTerminated();
  PostQuitMessage(0);
  Application().ProcessMessages();
  EXPECT_TRUE(Application().Terminated());
  Application().ResetTerminated();
  DeallocateHWnd(h);
}
