#include "platform/kernel.h"

#include <cpuid.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <x86intrin.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

namespace evc {

namespace {
thread_local DWORD tLastError = 0;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

struct TModule {
  TModuleExports exports;
  int loadCount = 0;
  HMODULE handle = 0;
};

// Modules are few and loaded rarely; one lock keeps it simple.
struct TModuleRegistry {
  std::mutex lock;
  std::map<std::string, TModule> byName;
  HMODULE nextHandle = 0x10000;
};

TModuleRegistry& Registry() {
  static TModuleRegistry* registry = new TModuleRegistry;  // never destroyed: used at exit
  return *registry;
}

TModule* FindByHandle(TModuleRegistry& r, HMODULE h) {
  for (auto& [name, m] : r.byName)
    if (m.handle == h && m.loadCount > 0) return &m;
  return nullptr;
}
}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD code) { tLastError = code; }

void RegisterModule(const std::string& name, const TModuleExports& exports) {
  auto& r = Registry();
  std::lock_guard g(r.lock);
  TModule& m = r.byName[Lower(name)];
  m.exports = exports;
  if (m.handle == 0) m.handle = r.nextHandle++;
}

void UnregisterModule(const std::string& name) {
  auto& r = Registry();
  std::lock_guard g(r.lock);
  r.byName.erase(Lower(name));
}

HMODULE LoadLibrary(const char* name) {
  auto& r = Registry();
  std::lock_guard g(r.lock);
  auto it = name ? r.byName.find(Lower(name)) : r.byName.end();
  if (it == r.byName.end()) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  ++it->second.loadCount;
  return it->second.handle;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  auto& r = Registry();
  std::lock_guard g(r.lock);
  TModule* m = FindByHandle(r, module);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  auto it = name ? m->exports.find(name) : m->exports.end();
  if (it == m->exports.end() || it->second == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return it->second;
}

BOOL FreeLibrary(HMODULE module) {
  auto& r = Registry();
  std::lock_guard g(r.lock);
  TModule* m = FindByHandle(r, module);
  if (!m) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  --m->loadCount;
  return TRUE;
}

int ModuleLoadCount(const std::string& name) {
  auto& r = Registry();
  std::lock_guard g(r.lock);
  auto it = r.byName.find(Lower(name));
  return it == r.byName.end() ? 0 : it->second.loadCount;
}

DWORD GetTickCount() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<DWORD>(ms);
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t ReadTimeStampCounter() { return __rdtsc(); }

void GetSystemInfo(SYSTEM_INFO* info) {
  if (!info) return;
  *info = SYSTEM_INFO{};
  info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
  info->dwPageSize = static_cast<DWORD>(sysconf(_SC_PAGESIZE));
  info->dwAllocationGranularity = 65536;
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = n > 0 ? static_cast<DWORD>(n) : 1;
  for (DWORD i = 0; i < info->dwNumberOfProcessors && i < sizeof(uintptr_t) * 8; ++i)
    info->dwActiveProcessorMask |= uintptr_t(1) << i;
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  unsigned family = 0, model = 0, stepping = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    family = (eax >> 8) & 0xF;
    model = (eax >> 4) & 0xF;
    stepping = eax & 0xF;
  }
  info->dwProcessorType = family >= 5 ? PROCESSOR_INTEL_PENTIUM : PROCESSOR_INTEL_486;
  info->wProcessorLevel = static_cast<WORD>(family);
  info->wProcessorRevision = static_cast<WORD>((model << 8) | stepping);
}

// --- priorities ---
namespace {
constexpr HANDLE kCurrentProcess = static_cast<HANDLE>(-1);
constexpr HANDLE kCurrentThread = static_cast<HANDLE>(-2);

std::atomic<DWORD> gPriorityClass{NORMAL_PRIORITY_CLASS};
// The nice value each thread had before this layer first changed it, so that
// "normal" means what the thread was started with, not nice 0.
thread_local int tBaseNice = 0;
thread_local bool tBaseKnown = false;
thread_local int tThreadPriority = THREAD_PRIORITY_NORMAL;

int ClassOffset(DWORD cls) {
  switch (cls) {
    case IDLE_PRIORITY_CLASS: return 19;
    case BELOW_NORMAL_PRIORITY_CLASS: return 5;
    case ABOVE_NORMAL_PRIORITY_CLASS: return -3;
    case HIGH_PRIORITY_CLASS: return -6;
    case REALTIME_PRIORITY_CLASS: return -10;
    default: return 0;
  }
}

int ThreadOffset(int level) {
  if (level == THREAD_PRIORITY_TIME_CRITICAL) return -5;
  if (level == THREAD_PRIORITY_IDLE) return 19;
  return -2 * level;
}

bool ValidClass(DWORD cls) {
  switch (cls) {
    case IDLE_PRIORITY_CLASS: case BELOW_NORMAL_PRIORITY_CLASS: case NORMAL_PRIORITY_CLASS:
    case ABOVE_NORMAL_PRIORITY_CLASS: case HIGH_PRIORITY_CLASS: case REALTIME_PRIORITY_CLASS:
      return true;
    default:
      return false;
  }
}

pid_t ThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void RememberBase() {
  if (tBaseKnown) return;
  errno = 0;
  int n = getpriority(PRIO_PROCESS, static_cast<id_t>(ThreadId()));
  tBaseNice = errno ? 0 : n;
  tBaseKnown = true;
}

// On Linux a nice value belongs to a thread; the calling thread is the one
// the component raises around its measurement.
void ApplyNice() {
  RememberBase();
  int nice = std::clamp(tBaseNice + ClassOffset(gPriorityClass) + ThreadOffset(tThreadPriority), -20, 19);
  setpriority(PRIO_PROCESS, static_cast<id_t>(ThreadId()), nice);  // EPERM: keep what we have
}
}  // namespace

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }

DWORD GetPriorityClass(HANDLE process) {
  if (process != kCurrentProcess && process != static_cast<HANDLE>(getpid())) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return gPriorityClass;
}

BOOL SetPriorityClass(HANDLE process, DWORD priorityClass) {
  if (process != kCurrentProcess && process != static_cast<HANDLE>(getpid())) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!ValidClass(priorityClass)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  gPriorityClass = priorityClass;
  ApplyNice();
  return TRUE;
}

int GetThreadPriority(HANDLE thread) {
  if (thread != kCurrentThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0x7FFFFFFF;  // THREAD_PRIORITY_ERROR_RETURN
  }
  return tThreadPriority;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
  if (thread != kCurrentThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  bool valid = (priority >= -2 && priority <= 2) || priority == THREAD_PRIORITY_IDLE ||
               priority == THREAD_PRIORITY_TIME_CRITICAL;
  if (!valid) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  tThreadPriority = priority;
  ApplyNice();
  return TRUE;
}

int CurrentNiceValue() {
  errno = 0;
  int n = getpriority(PRIO_PROCESS, static_cast<id_t>(ThreadId()));
  return errno ? 0 : n;
}

}  // namespace evc
