#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/kernel.h"

using namespace evc;

namespace {
int Answer() { return 42; }
}  // namespace

TEST(Modules, LoadLookUpAndFreeByName) {
  RegisterModule("evctest.dll", {{"Answer", reinterpret_cast<FARPROC>(&Answer)}});
  EXPECT_EQ(LoadLibrary("nosuch.dll"), 0u);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  HMODULE m = LoadLibrary("EVCTEST.DLL");
  ASSERT_NE(m, 0u);
  EXPECT_EQ(ModuleLoadCount("evctest.dll"), 1);
  auto fn = reinterpret_cast<int (*)()>(GetProcAddress(m, "Answer"));
  ASSERT_NE(fn, nullptr);
  EXPECT_EQ(fn(), 42);
  EXPECT_EQ(GetProcAddress(m, "Missing"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(FreeLibrary(m));
  EXPECT_EQ(ModuleLoadCount("evctest.dll"), 0);
  EXPECT_FALSE(FreeLibrary(m));  // not loaded any more
  EXPECT_EQ(GetProcAddress(m, "Answer"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  // A replacement registered under the same name is what the next load sees.
  RegisterModule("evctest.dll", {});
  m = LoadLibrary("evctest.dll");
  EXPECT_EQ(GetProcAddress(m, "Answer"), nullptr);
  FreeLibrary(m);
  UnregisterModule("evctest.dll");
  EXPECT_EQ(LoadLibrary("evctest.dll"), 0u);
}

TEST(Kernel, LastErrorIsPerThread) {
  SetLastError(1234);
  std::thread t([] {
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(5);
  });
  t.join();
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST(Kernel, TickCounterCountsMilliseconds) {
  DWORD a = GetTickCount();
  Sleep(50);
  DWORD b = GetTickCount();
  EXPECT_GE(b - a, 49u);
  EXPECT_LT(b - a, 1000u);
  uint64_t t1 = ReadTimeStampCounter();
  uint64_t t2 = ReadTimeStampCounter();
  EXPECT_GT(t2, t1);
}

TEST(Kernel, SystemInformation) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  EXPECT_EQ(si.dwNumberOfProcessors, static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN)));
  EXPECT_EQ(si.dwProcessorType, PROCESSOR_INTEL_PENTIUM);  // every x86-64 is family 6 or later
  std::atomic<LONG> users{0};
  EXPECT_EQ(InterlockedIncrement(users), 1);
  EXPECT_EQ(InterlockedDecrement(users), 0);
}

TEST(Kernel, PrioritiesRiseAndAreRestored) {
  int start = CurrentNiceValue();
  DWORD oldClass = GetPriorityClass(GetCurrentProcess());
  int oldLevel = GetThreadPriority(GetCurrentThread());
  EXPECT_EQ(oldClass, NORMAL_PRIORITY_CLASS);
  EXPECT_EQ(oldLevel, THREAD_PRIORITY_NORMAL);
  ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS));
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL));
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), REALTIME_PRIORITY_CLASS);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_TIME_CRITICAL);
  if (geteuid() == 0) {
    EXPECT_LT(CurrentNiceValue(), start);  // only a privileged process may raise
  }
  EXPECT_GE(CurrentNiceValue(), -20);
  SetThreadPriority(GetCurrentThread(), oldLevel);
  SetPriorityClass(GetCurrentProcess(), oldClass);
  EXPECT_EQ(CurrentNiceValue(), start);

  EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x1234));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 7));
  EXPECT_FALSE(SetThreadPriority(static_cast<HANDLE>(12345), 0));
}
