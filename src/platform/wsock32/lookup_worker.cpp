// Asynchronous host lookups on worker threads.
//
// A reply to a window of the requesting thread passes through that thread's
// relay window, so that WSACancelAsyncRequest can still withdraw a reply
// that is already queued: no reply is ever dispatched after a successful
// cancel.
#include "platform/wsock32/lookup_worker.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/messages.h"
#include "platform/wsock32/errors.h"
#include "platform/wsock32/host_entry.h"
#include "platform/wsock32/startup.h"

namespace evc::winsock {

namespace detail {

namespace {

constexpr UINT kRelayMessage = WM_USER + 0x7E57;
constexpr int kMaxWorkers = 4;
constexpr auto kWorkerIdle = std::chrono::seconds(2);

enum class TReqState { Queued, Running, Relayed, Cancelled };

struct TRequest {
  HANDLE_W id = 0;
  HWND hwnd = 0;
  UINT msg = 0;
  HWND relay = 0;  // hidden window on hwnd's thread, or 0 to post directly
  bool reverse = false;
  std::string name;
  uint32_t addr = 0;
  char* buf = nullptr;
  int buflen = 0;
  LPARAM reply = 0;
  TReqState state = TReqState::Queued;
};

struct TLookups {
  std::mutex lock;
  std::condition_variable work;
  std::unordered_map<HANDLE_W, std::shared_ptr<TRequest>> live;
  std::deque<std::shared_ptr<TRequest>> queue;
  int workers = 0;
  int idle = 0;
  uint32_t nextId = 0;
};

TLookups& Lookups() {
  static TLookups* l = new TLookups;  // never destroyed: detached workers may outlive main
  return *l;
}

// Completes a request whose result is known: lays the entry out and sends
// the reply on its way. Caller holds the lookups lock.
void Complete(TLookups& L, const std::shared_ptr<TRequest>& q, int err, const THostResult& r) {
  unsigned low = 0;
  if (err == 0) {
    size_t need = EntrySize(r);
    low = static_cast<unsigned>(need);
    if (need > static_cast<size_t>(q->buflen))
      err = WSAENOBUFS;
    else
      LayOut(r, q->buf);
  }
  q->reply = MakeLParam(low, static_cast<unsigned>(err));
  if (q->relay && PostMessage(q->relay, kRelayMessage, q->id, 0)) {
    q->state = TReqState::Relayed;  // still cancellable until dispatched
    return;
  }
  PostMessage(q->hwnd, q->msg, q->id, q->reply);
  L.live.erase(q->id);
}

void Worker() {
  TLookups& L = Lookups();
  std::unique_lock g(L.lock);
  for (;;) {
    while (L.queue.empty()) {
      ++L.idle;
      bool got = L.work.wait_for(g, kWorkerIdle, [&] { return !L.queue.empty(); });
      --L.idle;
      if (!got) {
        --L.workers;
        return;
      }
    }
    std::shared_ptr<TRequest> q = L.queue.front();
    L.queue.pop_front();
    if (q->state == TReqState::Cancelled) continue;
    q->state = TReqState::Running;
    bool reverse = q->reverse;
    std::string name = q->name;
    uint32_t addr = q->addr;
    g.unlock();
    THostResult r;
    int err = reverse ? LookupAddr(addr, r) : LookupName(name.c_str(), r);
    g.lock();
    if (q->state == TReqState::Cancelled) continue;  // already forgotten by the table
    Complete(L, q, err, r);
  }
}

// The calling thread's relay window: replies pass through it so that a
// cancel can still withdraw a reply that is already queued.
HWND RelayWindow() {
  thread_local HWND relay = 0;
  if (relay && IsWindow(relay)) return relay;
  relay = AllocateHWnd([](TMessage& m) {
    if (m.Msg != kRelayMessage) return;
    TLookups& L = Lookups();
    std::shared_ptr<TRequest> q;
    {
      std::lock_guard g(L.lock);
      auto it = L.live.find(static_cast<HANDLE_W>(m.WParam));
      if (it == L.live.end() || it->second->state != TReqState::Relayed) return;
      q = it->second;
      L.live.erase(it);
    }
    SendMessage(q->hwnd, q->msg, q->id, q->reply);
  });
  return relay;
}

HANDLE_W StartRequest(std::shared_ptr<TRequest> q, bool immediate, int immediateErr, const THostResult& r) {
  if (WindowPoller(q->hwnd) == &CurrentThreadPoller()) q->relay = RelayWindow();
  TLookups& L = Lookups();
  std::lock_guard g(L.lock);
  do {
    L.nextId = (L.nextId + 1) & 0x7FFFFFFFu;
  } while (L.nextId == 0 || L.live.count(L.nextId));
  q->id = L.nextId;
  L.live.emplace(q->id, q);
  if (immediate) {
    Complete(L, q, immediateErr, r);
    return q->id;
  }
  L.queue.push_back(q);
  if (L.idle > 0) {
    L.work.notify_one();
  } else if (L.workers < kMaxWorkers) {
    ++L.workers;
    std::thread(Worker).detach();
  }
  return q->id;
}

}  // namespace

void CancelAllRequests() {
  TLookups& L = Lookups();
  std::lock_guard g(L.lock);
  for (auto& [id, q] : L.live) q->state = TReqState::Cancelled;
  L.live.clear();
  L.queue.clear();
}

}  // namespace detail

using namespace detail;

HANDLE_W WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  if (!CheckStarted()) return 0;
  if (!name || !buf || buflen <= 0) {
    tLastError = WSAEFAULT;
    return 0;
  }
  if (!IsWindow(hwnd)) {
    tLastError = WSAEINVAL;
    return 0;
  }
  auto q = std::make_shared<TRequest>();
  q->hwnd = hwnd;
  q->msg = msg;
  q->name = name;
  q->buf = buf;
  q->buflen = buflen;
  THostResult r;
  uint32_t a;
  if (ParseDottedQuad(name, &a)) {  // needs no resolver
    r.name = name;
    r.addrs.push_back(a);
    return StartRequest(q, true, 0, r);
  }
  return StartRequest(q, false, 0, r);
}

HANDLE_W WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen) {
  if (!CheckStarted()) return 0;
  if (!addr || !buf || buflen <= 0) {
    tLastError = WSAEFAULT;
    return 0;
  }
  if (type != AF_INET_W) {
    tLastError = WSAEAFNOSUPPORT;
    return 0;
  }
  if (len != 4) {
    tLastError = WSAEFAULT;
    return 0;
  }
  if (!IsWindow(hwnd)) {
    tLastError = WSAEINVAL;
    return 0;
  }
  auto q = std::make_shared<TRequest>();
  q->hwnd = hwnd;
  q->msg = msg;
  q->reverse = true;
  std::memcpy(&q->addr, addr, 4);
  q->buf = buf;
  q->buflen = buflen;
  return StartRequest(q, false, 0, THostResult{});
}

int WSACancelAsyncRequest(HANDLE_W handle) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TLookups& L = Lookups();
  std::lock_guard g(L.lock);
  auto it = L.live.find(handle);
  if (it == L.live.end()) return Fail(WSAEINVAL);
  // Queued, running or relayed but not yet dispatched: in every case the
  // reply will now never reach the window.
  it->second->state = TReqState::Cancelled;
  L.live.erase(it);
  return 0;
}

}  // namespace evc::winsock
