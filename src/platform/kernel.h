// Kernel services the components call, in their Windows shape: a registry of
// in-process "modules" looked up by name (standing in for DLL loading), the
// per-thread last error, the millisecond tick counter, sleeping, interlocked
// counters, system information and scheduling priorities.
#pragma once
#include <atomic>
#include <map>
#include <string>

#include "platform/wintypes.h"

namespace evc {

// --- last error (per thread) ---
DWORD GetLastError();
void SetLastError(DWORD code);

// --- modules ---
// A module is a named table of entry points. Components find their system
// libraries through it, so tests can register a replacement (one with an entry
// missing, say) under the same name before the first load.
using TModuleExports = std::map<std::string, FARPROC>;

// Registers or replaces the module `name` (compared without letter case).
// Replacing a module that is loaded affects later GetProcAddress calls only.
void RegisterModule(const std::string& name, const TModuleExports& exports);
// Removes a module; handles already returned become invalid.
void UnregisterModule(const std::string& name);

// Loads a registered module and counts the reference; 0 with last error 126
// when no such module is registered.
HMODULE LoadLibrary(const char* name);
// Entry point by name; nullptr with last error 127 when missing, 6 for a bad handle.
FARPROC GetProcAddress(HMODULE module, const char* name);
// Drops one reference; FALSE with last error 6 for a handle not loaded.
BOOL FreeLibrary(HMODULE module);
// Number of outstanding LoadLibrary references of a module (for tests and diagnostics).
int ModuleLoadCount(const std::string& name);

// --- time ---
// Milliseconds since an arbitrary start, from a monotonic clock; wraps at 2^32.
DWORD GetTickCount();
// Sleeps; Sleep(0) yields the processor.
void Sleep(DWORD milliseconds);
// The processor's time-stamp counter.
uint64_t ReadTimeStampCounter();

// --- interlocked counters ---
inline LONG InterlockedIncrement(std::atomic<LONG>& value) { return ++value; }
inline LONG InterlockedDecrement(std::atomic<LONG>& value) { return --value; }

// --- system information ---
constexpr DWORD PROCESSOR_INTEL_386 = 386;
constexpr DWORD PROCESSOR_INTEL_486 = 486;
constexpr DWORD PROCESSOR_INTEL_PENTIUM = 586;
constexpr WORD PROCESSOR_ARCHITECTURE_INTEL = 0;

struct SYSTEM_INFO {
  WORD wProcessorArchitecture = 0;
  DWORD dwPageSize = 0;
  uintptr_t dwActiveProcessorMask = 0;
  DWORD dwNumberOfProcessors = 0;
  DWORD dwProcessorType = 0;  // 586 for family 5 and later, 486 before
  DWORD dwAllocationGranularity = 0;
  WORD wProcessorLevel = 0;
  WORD wProcessorRevision = 0;
};
void GetSystemInfo(SYSTEM_INFO* info);

// --- priorities ---
// The Windows classes and levels map onto nice values. The highest ones stop
// short of real-time scheduling, so a raised measurement can never starve the
// machine; where raising is not permitted the call still succeeds, as a
// Windows process without the privilege silently gets less than it asked for.
constexpr DWORD IDLE_PRIORITY_CLASS = 0x40;
constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;
constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x8000;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x80;
constexpr DWORD REALTIME_PRIORITY_CLASS = 0x100;

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

using HANDLE = uintptr_t;
HANDLE GetCurrentProcess();  // pseudo handle, as on Windows
HANDLE GetCurrentThread();   // pseudo handle for the calling thread
DWORD GetPriorityClass(HANDLE process);
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
int GetThreadPriority(HANDLE thread);
BOOL SetThreadPriority(HANDLE thread, int priority);
// The nice value the calling thread runs at now (for tests and diagnostics).
int CurrentNiceValue();

}  // namespace evc
