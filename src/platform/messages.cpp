#include "platform/messages.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "platform/kernel.h"

namespace evc {

namespace {

// One queue per thread that uses messaging. Posted messages arrive in
// `posted` under the lock; the owning thread moves them in one swap to
// `taken`, which only it touches, so a busy consumer takes the lock once per
// batch rather than once per message.
struct TQueue {
  std::mutex lock;
  std::vector<MSG> posted;  // guarded by lock
  bool waiting = false;     // guarded by lock: the owner sleeps in its poller

  // Owner thread only: the messages taken so far, consumed from `head`.
  // Swapping vectors hands the emptied one back with its capacity, so a
  // steady stream of messages allocates nothing. A cache line of its own
  // keeps the owner's per-message writes from stalling posting threads.
  alignas(64) std::vector<MSG> taken;
  size_t head = 0;
  // Some taken message has not yet been passed over by a peek that found
  // nothing; only then is it news to a wait (a filtered GetMessage would
  // otherwise spin on the messages it does not want).
  bool unseen = false;
  bool quitPending = false;
  int quitCode = 0;
  int sincePoll = 0;
  std::vector<HWND> windows;
  TPoller poller;

  bool TakenEmpty() const { return head == taken.size(); }

  // Leaves the queue as new for the next thread, keeping its descriptors.
  void Reset() {
    {
      std::lock_guard g(lock);
      posted.clear();
      waiting = false;
    }
    taken.clear();
    head = 0;
    unseen = false;
    quitPending = false;
    quitCode = 0;
    sincePoll = 0;
    windows.clear();
    poller.Clear();
  }

  void Push(const MSG& m) {
    bool wake;
    {
      std::lock_guard g(lock);
      posted.push_back(m);
      wake = waiting;
      waiting = false;  // one wake-up per sleep is enough
    }
    if (wake) poller.Wake();
  }

  void TakePosted() {
    if (TakenEmpty()) {
      taken.clear();
      head = 0;
    }
    std::lock_guard g(lock);
    if (posted.empty()) return;
    unseen = true;
    if (taken.empty()) {
      taken.swap(posted);
    } else {
      taken.insert(taken.end(), posted.begin(), posted.end());
      posted.clear();
    }
  }
};

struct TClass {
  WNDCLASS wc;
  std::string name;
  ATOM atom;
  int windowCount = 0;
};

struct TWindow {
  std::atomic<uint32_t> generation{0};
  std::atomic<bool> alive{false};
  std::atomic<TQueue*> queue{nullptr};  // read by posters without a lock
  TClass* cls = nullptr;
  WNDPROC proc = nullptr;
  LONG_PTR userData = 0;
  std::vector<LONG_PTR> extra;
  std::thread::id owner;
};

// Windows live in chunks that never move, so the owning thread can look its
// own windows up without a lock; the lock orders creation and destruction
// against posters from other threads.
constexpr size_t kChunkBits = 8;
constexpr size_t kChunkSize = size_t(1) << kChunkBits;
constexpr size_t kMaxChunks = 4096;

struct TTable {
  std::shared_mutex lock;
  std::atomic<TWindow*> chunks[kMaxChunks] = {};
  size_t used = 0;
  std::vector<uint32_t> freeSlots;
  std::map<std::string, std::unique_ptr<TClass>> classes;
  ATOM nextAtom = 0xC000;
};

TTable& Table() {
  static TTable* table = new TTable;  // never destroyed: threads may post during exit
  return *table;
}

uint32_t SlotOf(HWND h) { return static_cast<uint32_t>(h & 0xFFFFFFFFu) - 1; }
uint32_t GenerationOf(HWND h) { return static_cast<uint32_t>(h >> 32); }
HWND MakeHandle(uint32_t slot, uint32_t gen) { return (HWND(gen) << 32) | (HWND(slot) + 1); }

// The window a handle names, or nullptr when it is not a live window.
TWindow* Lookup(HWND h) {
  if (h == 0 || (h & 0xFFFFFFFFu) == 0) return nullptr;
  uint32_t slot = SlotOf(h);
  if ((slot >> kChunkBits) >= kMaxChunks) return nullptr;
  TWindow* chunk = Table().chunks[slot >> kChunkBits].load(std::memory_order_acquire);
  if (!chunk) return nullptr;
  TWindow* w = &chunk[slot & (kChunkSize - 1)];
  // Sequentially consistent loads (plain loads on x86) so that a poster's
  // second look at the same fields, in QueueForPost, sees any change made
  // while it read the queue pointer.
  if (!w->alive.load() || w->generation.load() != GenerationOf(h)) return nullptr;
  return w;
}

// The queue a message for h goes to, read without the table lock so that
// posting costs no shared write besides the queue's own. If the window is
// destroyed or its slot reused meanwhile, the second look sees it. A poster
// can still push into a queue just after its window died: queues are never
// freed (see TQueuePool), and such a message is dropped as stale.
TQueue* QueueForPost(HWND h) {
  TWindow* w = Lookup(h);
  if (!w) return nullptr;
  TQueue* q = w->queue.load();
  if (!q || !w->alive.load() || w->generation.load() != GenerationOf(h)) return nullptr;
  return q;
}

// A live window of the calling thread.
TWindow* LookupOwn(HWND h) {
  TWindow* w = Lookup(h);
  return (w && w->owner == std::this_thread::get_id()) ? w : nullptr;
}

std::string ClassKey(HINSTANCE instance, const char* name) {
  std::string key = std::to_string(instance) + ":";
  for (const char* p = name; *p; ++p)
    key += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
  return key;
}

void DestroyWindowLocked(TTable& t, HWND h, TWindow* w);

// Queues of ended threads, kept for the next threads. Never freeing a queue
// is what lets posters use one without holding the table lock; reusing it
// keeps the memory and descriptors bounded by the most threads alive at once.
struct TQueuePool {
  std::mutex lock;
  std::vector<TQueue*> idle;
};

TQueuePool& QueuePool() {
  static TQueuePool* pool = new TQueuePool;  // never destroyed, like the table
  return *pool;
}

TQueue* AcquireQueue() {
  TQueuePool& p = QueuePool();
  {
    std::lock_guard g(p.lock);
    if (!p.idle.empty()) {
      TQueue* q = p.idle.back();
      p.idle.pop_back();
      return q;
    }
  }
  return new TQueue;
}

// Windows die with their thread, as they do on Windows.
struct TQueueHolder {
  TQueue* queue = nullptr;
  ~TQueueHolder() {
    if (!queue) return;
    {
      TTable& t = Table();
      std::unique_lock g(t.lock);
      std::vector<HWND> left = queue->windows;
      for (HWND h : left)
        if (TWindow* w = Lookup(h)) DestroyWindowLocked(t, h, w);
    }
    queue->Reset();
    TQueuePool& p = QueuePool();
    std::lock_guard g(p.lock);
    p.idle.push_back(queue);
  }
};
thread_local TQueueHolder tHolder;

TQueue& CurrentQueue() {
  if (!tHolder.queue) tHolder.queue = AcquireQueue();
  return *tHolder.queue;
}

bool Matches(const MSG& m, HWND hwnd, UINT lo, UINT hi) {
  if (hwnd != 0 && m.hwnd != hwnd) return false;
  if (lo == 0 && hi == 0) return true;
  return m.message >= lo && m.message <= hi;
}

// Messages for windows destroyed since they were posted are discarded here,
// so they never reach a window procedure.
bool Stale(const MSG& m) { return m.hwnd != 0 && !Lookup(m.hwnd); }

bool TakeMatching(TQueue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove) {
  for (size_t i = q.head; i < q.taken.size();) {
    MSG& m = q.taken[i];
    bool stale = Stale(m);
    if (!stale && !Matches(m, hwnd, lo, hi)) {
      ++i;
      continue;
    }
    if (!stale) *out = m;
    if (stale || remove) {
      if (i == q.head)
        ++q.head;
      else
        q.taken.erase(q.taken.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (!stale) return true;
    if (i < q.head) i = q.head;
  }
  return false;
}

// The time stamp of a message, from the coarse clock: Windows stamps
// messages with its tick count, whose resolution is no finer.
DWORD MessageTime() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<DWORD>(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

// How many messages may be taken before ready sources are collected again,
// so a steady stream of posts cannot starve socket notifications.
constexpr int kPollEvery = 64;

LRESULT CALLBACK_UtilWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
constexpr const char* kUtilClass = "TPUtilWindow";

}  // namespace

HINSTANCE HInstance() {
  static char anchor;
  return reinterpret_cast<HINSTANCE>(&anchor);
}

ATOM RegisterClass(const WNDCLASS* wc) {
  if (!wc || !wc->lpszClassName || !wc->lpfnWndProc || wc->cbWndExtra < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TTable& t = Table();
  std::unique_lock g(t.lock);
  std::string key = ClassKey(wc->hInstance, wc->lpszClassName);
  if (t.classes.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  auto cls = std::make_unique<TClass>();
  cls->wc = *wc;
  cls->name = wc->lpszClassName;
  cls->wc.lpszClassName = cls->name.c_str();
  cls->wc.lpszMenuName = nullptr;
  cls->atom = t.nextAtom++;
  ATOM atom = cls->atom;
  t.classes.emplace(key, std::move(cls));
  return atom;
}

BOOL UnregisterClass(const char* className, HINSTANCE instance) {
  if (!className) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TTable& t = Table();
  std::unique_lock g(t.lock);
  auto it = t.classes.find(ClassKey(instance, className));
  if (it == t.classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (it->second->windowCount > 0) {
    SetLastError(ERROR_CLASS_HAS_WINDOWS);
    return FALSE;
  }
  t.classes.erase(it);
  return TRUE;
}

BOOL GetClassInfo(HINSTANCE instance, const char* className, WNDCLASS* wc) {
  if (!className) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  TTable& t = Table();
  std::shared_lock g(t.lock);
  auto it = t.classes.find(ClassKey(instance, className));
  if (it == t.classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  if (wc) *wc = it->second->wc;
  return TRUE;
}

HWND CreateWindowEx(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND,
                    HMENU, HINSTANCE instance, void*) {
  if (!className) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  TQueue& q = CurrentQueue();
  TTable& t = Table();
  std::unique_lock g(t.lock);
  auto it = t.classes.find(ClassKey(instance, className));
  if (it == t.classes.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return 0;
  }
  uint32_t slot;
  if (!t.freeSlots.empty()) {
    slot = t.freeSlots.back();
    t.freeSlots.pop_back();
  } else {
    if (t.used >= kChunkSize * kMaxChunks) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    slot = static_cast<uint32_t>(t.used++);
    auto& chunk = t.chunks[slot >> kChunkBits];
    if (!chunk.load(std::memory_order_relaxed)) chunk.store(new TWindow[kChunkSize], std::memory_order_release);
  }
  TWindow* w = &t.chunks[slot >> kChunkBits].load()[slot & (kChunkSize - 1)];
  TClass* cls = it->second.get();
  uint32_t gen = w->generation.load() + 1;
  if (gen == 0) gen = 1;
  w->cls = cls;
  w->proc = cls->wc.lpfnWndProc;
  w->userData = 0;
  w->extra.assign(static_cast<size_t>((cls->wc.cbWndExtra + 3) / 4), 0);
  w->owner = std::this_thread::get_id();
  w->queue.store(&q);
  w->generation.store(gen);
  w->alive.store(true);
  ++cls->windowCount;
  HWND h = MakeHandle(slot, gen);
  q.windows.push_back(h);
  return h;
}

namespace {
void DestroyWindowLocked(TTable& t, HWND h, TWindow* w) {
  w->alive.store(false);
  if (w->cls && w->cls->name == kUtilClass && w->userData)
    delete reinterpret_cast<TWndMethod*>(w->userData);
  w->userData = 0;
  if (w->cls) --w->cls->windowCount;
  w->cls = nullptr;
  auto& list = w->queue.load()->windows;
  list.erase(std::remove(list.begin(), list.end(), h), list.end());
  w->queue.store(nullptr);
  t.freeSlots.push_back(SlotOf(h));
}
}  // namespace

BOOL DestroyWindow(HWND hwnd) {
  TTable& t = Table();
  std::unique_lock g(t.lock);
  TWindow* w = LookupOwn(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  DestroyWindowLocked(t, hwnd, w);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) { return Lookup(hwnd) ? TRUE : FALSE; }

namespace {
LONG_PTR* WindowLongSlot(TWindow* w, int index) {
  if (index == GWLP_USERDATA) return &w->userData;
  if (index < 0 || index % 4 != 0 || static_cast<size_t>(index / 4) >= w->extra.size()) return nullptr;
  return &w->extra[static_cast<size_t>(index / 4)];
}
}  // namespace

LONG_PTR SetWindowLongPtr(HWND hwnd, int index, LONG_PTR value) {
  TWindow* w = LookupOwn(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index == GWLP_WNDPROC) {
    if (!value) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    LONG_PTR old = reinterpret_cast<LONG_PTR>(w->proc);
    w->proc = reinterpret_cast<WNDPROC>(value);
    return old;
  }
  LONG_PTR* slot = WindowLongSlot(w, index);
  if (!slot) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  LONG_PTR old = *slot;
  *slot = value;
  SetLastError(0);
  return old;
}

LONG_PTR GetWindowLongPtr(HWND hwnd, int index) {
  TWindow* w = LookupOwn(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (index == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(w->proc);
  LONG_PTR* slot = WindowLongSlot(w, index);
  if (!slot) {
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
  }
  return *slot;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  TWindow* w = LookupOwn(hwnd);
  if (!w) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w->proc(hwnd, msg, wParam, lParam);
}

BOOL PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  MSG m{hwnd, msg, wParam, lParam, MessageTime()};
  if (hwnd == 0) {
    CurrentQueue().Push(m);
    return TRUE;
  }
  TQueue* q = QueueForPost(hwnd);
  if (!q) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  q->Push(m);
  return TRUE;
}

namespace {
// Ready sources are collected when the queue runs dry (and every
// kPollEvery messages). GetMessage skips the dry-queue collection because
// the wait it goes into next collects them anyway; that saves a system call
// each time a thread goes to sleep.
bool Peek(MSG* msg, HWND hwnd, UINT lo, UINT hi, bool remove, bool pollWhenDry) {
  TQueue& q = CurrentQueue();
  // Messages already taken are older than anything posted since, so the
  // lock is needed only when they run out (or for a filtered search).
  bool filtered = hwnd != 0 || lo != 0 || hi != 0;
  if (q.TakenEmpty() || filtered) q.TakePosted();
  if ((pollWhenDry && q.TakenEmpty()) || q.sincePoll >= kPollEvery) {
    q.sincePoll = 0;
    if (q.poller.Wait(0) > 0 && (q.TakenEmpty() || filtered)) q.TakePosted();
  }
  if (TakeMatching(q, msg, hwnd, lo, hi, remove)) {
    if (remove) ++q.sincePoll;
    return TRUE;
  }
  if (q.quitPending && Matches(MSG{0, WM_QUIT, 0, 0, 0}, 0, lo, hi)) {
    *msg = MSG{0, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, GetTickCount()};
    if (remove) q.quitPending = false;
    return TRUE;
  }
  q.unseen = false;
  return FALSE;
}
}  // namespace

BOOL PeekMessage(MSG* msg, HWND hwnd, UINT lo, UINT hi, UINT removeFlags) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return Peek(msg, hwnd, lo, hi, (removeFlags & PM_REMOVE) != 0, true) ? TRUE : FALSE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const uintptr_t*, BOOL, DWORD milliseconds, DWORD) {
  if (count != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  TQueue& q = CurrentQueue();
  DWORD start = GetTickCount();
  for (;;) {
    {
      std::lock_guard g(q.lock);
      if (!q.posted.empty() || (q.unseen && !q.TakenEmpty()) || q.quitPending) return WAIT_OBJECT_0;
      q.waiting = true;
    }
    int timeout = -1;
    if (milliseconds != INFINITE) {
      DWORD elapsed = GetTickCount() - start;
      timeout = elapsed >= milliseconds ? 0 : static_cast<int>(milliseconds - elapsed);
    }
    bool woken = false;
    int ran = q.poller.Wait(timeout, &woken);
    bool ready;
    {
      std::lock_guard g(q.lock);
      q.waiting = false;
      ready = !q.posted.empty();
    }
    // A wake-up without a message still ends the wait: whoever woke us wants
    // the loop to look at its state again (Terminate does that).
    if (ready || woken) return WAIT_OBJECT_0;
    if (ran == 0 && timeout == 0) return WAIT_TIMEOUT;
    if (ran == 0 && milliseconds != INFINITE && GetTickCount() - start >= milliseconds) return WAIT_TIMEOUT;
  }
}

BOOL WaitMessage() { return MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0; }

BOOL GetMessage(MSG* msg, HWND hwnd, UINT lo, UINT hi) {
  if (!msg) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  while (!Peek(msg, hwnd, lo, hi, true, false)) WaitMessage();
  return msg->message == WM_QUIT ? 0 : 1;
}

BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard input to translate

LRESULT DispatchMessage(const MSG* msg) {
  if (!msg || msg->hwnd == 0) return 0;
  TWindow* w = LookupOwn(msg->hwnd);
  if (!w) return 0;
  return w->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
  TQueue& q = CurrentQueue();
  q.quitPending = true;
  q.quitCode = exitCode;
}

TPoller& CurrentThreadPoller() { return CurrentQueue().poller; }

TPoller* WindowPoller(HWND hwnd) {
  std::shared_lock g(Table().lock);
  TWindow* w = Lookup(hwnd);
  return w ? &w->queue.load()->poller : nullptr;
}

// --- hidden windows for methods ---
namespace {
LRESULT CALLBACK_UtilWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* method = reinterpret_cast<TWndMethod*>(GetWindowLongPtr(hwnd, GWLP_USERDATA));
  if (!method || !*method) return DefWindowProc(hwnd, msg, wParam, lParam);
  TMessage m{msg, wParam, lParam, 0};
  (*method)(m);
  return m.Result;
}
}  // namespace

HWND AllocateHWnd(TWndMethod method) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    WNDCLASS wc{};
    wc.lpfnWndProc = CALLBACK_UtilWindowProc;
    wc.hInstance = HInstance();
    wc.lpszClassName = kUtilClass;
    RegisterClass(&wc);
  });
  HWND h = CreateWindowEx(WS_EX_TOOLWINDOW, kUtilClass, "", WS_POPUP, 0, 0, 0, 0, 0, 0, HInstance(), nullptr);
  if (h) SetWindowLongPtr(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new TWndMethod(std::move(method))));
  return h;
}

void DeallocateHWnd(HWND hwnd) { DestroyWindow(hwnd); }

}  // namespace evc
