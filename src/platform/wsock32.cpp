// The Windows Sockets 1.1 surface over POSIX sockets.
//
// Handles. A SOCKET is the descriptor in its low 22 bits and a 9-bit
// generation above it (never 0, never all bits set). The generation changes
// every time a descriptor number is reused, so a notification still queued
// for a closed socket carries a handle that no later socket has: components
// filter notifications by handle, and a plain descriptor number would let a
// stale close or read notification hit the next connection made on the same
// number.
//
// Asynchronous select. Each attached socket is an epoll source of the window
// thread's poller, always EPOLLONESHOT and level-triggered: every readiness
// report disables the source, the callback posts the notifications whose
// condition holds and which are still armed, disarms them, and re-enables
// the source only for what is still armed. A re-enabling call (recv, send
// failing with 10035, accept) arms its event again. Work per notification is
// one callback and at most one epoll_ctl, and a condition that stays true
// (end of stream, a hang-up) cannot make the thread spin.
#include "platform/wsock32.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/messages.h"

// The system headers may define these as macros; here they are our functions.
#undef htons
#undef ntohs

namespace evc::winsock {

namespace {

// ---------------------------------------------------------------- errors ---

thread_local int tLastError = 0;

int Fail(int code) {
  tLastError = code;
  return SOCKET_ERROR;
}

}  // namespace

int ErrnoToWinsock(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return WSAEINVAL;  // nothing closer in the Windows Sockets set
  }
}

int ResolverToWinsock(int eai) {
  switch (eai) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

namespace {

int FailErrno(int e) { return Fail(ErrnoToWinsock(e)); }

LPARAM MakeLParam(unsigned low, unsigned high) {
  return static_cast<LPARAM>(static_cast<uint32_t>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16)));
}

// ---------------------------------------------------------------- start-up ---

std::mutex gStartLock;
int gStartCount = 0;                // guarded by gStartLock
std::atomic<bool> gStarted{false};  // gStartCount > 0, for the fast check
int gSpareFd = -1;                  // guarded by gSpareLock
std::mutex gSpareLock;

bool CheckStarted() {
  if (gStarted.load(std::memory_order_acquire)) return true;
  tLastError = WSANOTINITIALISED;
  return false;
}

// --------------------------------------------------------------- sockets ---

constexpr unsigned kFdBits = 22;
constexpr SOCKET kFdMask = (SOCKET(1) << kFdBits) - 1;
constexpr uint32_t kGenLimit = 511;  // 9 bits; bit 31 stays clear
constexpr size_t kChunkBits = 10;
constexpr size_t kChunkSize = size_t(1) << kChunkBits;
constexpr size_t kMaxChunks = (size_t(1) << kFdBits) / kChunkSize;

struct TSlot {
  std::mutex lock;
  std::atomic<uint32_t> live{0};  // generation of the open socket, 0 when closed
  uint32_t gen = 0;               // last generation handed out for this descriptor
  int fd = -1;
  int type = 0;  // SOCK_STREAM, SOCK_DGRAM, SOCK_RAW
  bool nonBlocking = false;
  bool bound = false;
  bool listening = false;
  bool connecting = false;
  bool connected = false;
  bool shutSend = false;
  bool shutRecv = false;
  bool eof = false;   // the peer finished sending
  bool dead = false;  // reset, hung up or failed to connect: nothing more to watch
  bool starved = false;  // accept notifications held back for want of descriptors
  int closeErr = 0;      // errno that ended the connection, kept for a repeated close notification
  // Asynchronous selection, all guarded by lock.
  HWND hwnd = 0;
  UINT msg = 0;
  long mask = 0;
  long armed = 0;
  bool closePosted = false;
  TPoller* poller = nullptr;
  uint32_t interest = 0;  // what the source is enabled for now; 0 when disabled

  SOCKET Handle() const { return (SOCKET(gen) << kFdBits) | SOCKET(fd); }
};

std::atomic<TSlot*> gChunks[kMaxChunks];
std::mutex gChunkLock;
std::atomic<size_t> gChunkCount{0};

TSlot* SlotOfFd(int fd, bool create) {
  if (fd < 0 || static_cast<size_t>(fd) >= (size_t(1) << kFdBits)) return nullptr;
  size_t c = static_cast<size_t>(fd) >> kChunkBits;
  TSlot* chunk = gChunks[c].load(std::memory_order_acquire);
  if (!chunk) {
    if (!create) return nullptr;
    std::lock_guard g(gChunkLock);
    chunk = gChunks[c].load(std::memory_order_acquire);
    if (!chunk) {
      chunk = new TSlot[kChunkSize];  // never freed: handles may be checked at any time
      gChunks[c].store(chunk, std::memory_order_release);
      size_t n = gChunkCount.load();
      while (n < c + 1 && !gChunkCount.compare_exchange_weak(n, c + 1)) {
      }
    }
  }
  return &chunk[static_cast<size_t>(fd) & (kChunkSize - 1)];
}

// The slot of an open socket of this layer, or nullptr with 10038.
TSlot* Find(SOCKET s) {
  if (s == INVALID_SOCKET || (s >> 31) != 0) {
    tLastError = WSAENOTSOCK;
    return nullptr;
  }
  uint32_t gen = static_cast<uint32_t>(s >> kFdBits);
  TSlot* k = gen ? SlotOfFd(static_cast<int>(s & kFdMask), false) : nullptr;
  if (!k || k->live.load(std::memory_order_acquire) != gen) {
    tLastError = WSAENOTSOCK;
    return nullptr;
  }
  return k;
}

int Pending(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

int SocketErrorOf(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

uint32_t PollNow(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLOUT | POLLRDHUP), 0};
  if (poll(&p, 1, 0) <= 0) return 0;
  uint32_t ev = 0;
  if (p.revents & POLLIN) ev |= EPOLLIN;
  if (p.revents & POLLOUT) ev |= EPOLLOUT;
  if (p.revents & POLLERR) ev |= EPOLLERR;
  if (p.revents & POLLHUP) ev |= EPOLLHUP;
  if (p.revents & POLLRDHUP) ev |= EPOLLRDHUP;
  return ev;
}

// How a connection ended, as the close notification reports it.
int CloseCode(int err) {
  if (err == 0) return 0;
  if (err == ETIMEDOUT) return WSAECONNABORTED;
  if (err == ECONNRESET || err == EPIPE) return WSAECONNRESET;
  return ErrnoToWinsock(err);
}

// The epoll readiness the source must be enabled for. Caller holds k.lock.
uint32_t Interest(const TSlot& k) {
  if (!k.poller || k.mask == 0 || k.dead) return 0;
  uint32_t e = 0;
  if (k.type == SOCK_STREAM) {
    if (k.connecting) return EPOLLOUT;
    if (k.listening) return ((k.armed & FD_ACCEPT) && !k.starved) ? uint32_t(EPOLLIN) : 0u;
    if (!k.connected) return 0;
    if (!k.eof && !k.shutRecv) {
      if (k.armed & FD_READ) e |= EPOLLIN;
      if ((k.mask & FD_CLOSE) && !k.closePosted) e |= EPOLLRDHUP;
    }
    if ((k.armed & FD_WRITE) && !k.shutSend) e |= EPOLLOUT;
  } else {
    if (k.armed & FD_READ) e |= EPOLLIN;
    if (k.armed & FD_WRITE) e |= EPOLLOUT;
  }
  return e;
}

void Rearm(TSlot& k) {
  if (!k.poller) return;
  uint32_t want = Interest(k);
  if (want == k.interest) return;
  if (want == 0) {
    // Leave it disabled; at most one stray hang-up report can follow, and
    // that finds nothing armed.
    k.poller->Modify(k.fd, EPOLLONESHOT);
  } else {
    k.poller->Modify(k.fd, want | EPOLLONESHOT);
  }
  k.interest = want;
}

// Posts every armed notification whose condition `ev` shows; returns whether
// anything was posted. Caller holds k.lock.
bool Evaluate(TSlot& k, uint32_t ev) {
  bool posted = false;
  auto post = [&](long bit, int err) {
    k.armed &= ~bit;
    if (!(k.mask & bit)) return;
    PostMessage(k.hwnd, k.msg, k.Handle(), MakeLParam(static_cast<unsigned>(bit), static_cast<unsigned>(err)));
    posted = true;
  };
  if (k.type != SOCK_STREAM) {
    if ((ev & (EPOLLIN | EPOLLERR)) && (k.armed & FD_READ)) post(FD_READ, 0);
    if ((ev & EPOLLOUT) && (k.armed & FD_WRITE)) post(FD_WRITE, 0);
    return posted;
  }
  if (k.connecting) {
    if (!(ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return false;
    int err = SocketErrorOf(k.fd);
    if (err == 0 && !(ev & EPOLLOUT)) err = ECONNREFUSED;
    k.connecting = false;
    if (err != 0) {
      k.dead = true;
      post(FD_CONNECT, ErrnoToWinsock(err));
      return posted;
    }
    k.connected = true;
    post(FD_CONNECT, 0);
    // The first write notification follows a successful connect.
    if ((k.armed & FD_WRITE) && !k.shutSend) post(FD_WRITE, 0);
    ev &= ~EPOLLOUT;
  }
  if (k.listening) {
    if ((ev & (EPOLLIN | EPOLLERR)) && (k.armed & FD_ACCEPT) && !k.starved) post(FD_ACCEPT, 0);
    return posted;
  }
  if (!k.connected || k.dead) return posted;
  if (ev & (EPOLLERR | EPOLLHUP)) {
    int err = SocketErrorOf(k.fd);
    if (err != 0) k.closeErr = err;
    if (err != 0 || (ev & EPOLLHUP)) {
      err = k.closeErr;
      // Both directions are finished. Data may still wait after an orderly
      // close; a reset has discarded it.
      if (err == 0 && (k.armed & FD_READ) && !k.shutRecv && Pending(k.fd) > 0) post(FD_READ, 0);
      k.dead = true;
      k.eof = true;
      if (!k.closePosted && (k.mask & FD_CLOSE)) {
        k.closePosted = true;
        post(FD_CLOSE, CloseCode(err));
      }
      return posted;
    }
  }
  if ((ev & EPOLLIN) && (k.armed & FD_READ) && !k.shutRecv && Pending(k.fd) > 0) post(FD_READ, 0);
  if ((ev & EPOLLOUT) && (k.armed & FD_WRITE) && !k.shutSend) post(FD_WRITE, 0);
  if ((ev & EPOLLRDHUP) && !k.shutRecv) {
    k.eof = true;
    if (!k.closePosted && (k.mask & FD_CLOSE)) {
      k.closePosted = true;
      post(FD_CLOSE, 0);
    }
  }
  return posted;
}

void OnReady(TSlot* k, uint32_t gen, uint32_t ev) {
  std::lock_guard g(k->lock);
  if (k->live.load(std::memory_order_relaxed) != gen || !k->poller) return;
  k->interest = 0;  // one-shot: the report disabled the source
  bool posted = Evaluate(*k, ev);
  // A hang-up or error is reported whatever the interest; when it brought
  // nothing to post, stay disabled until a re-enabling call.
  if (!posted && (ev & (EPOLLERR | EPOLLHUP))) return;
  Rearm(*k);
}

void Attach(TSlot& k, TPoller* p) {
  TSlot* self = &k;
  uint32_t gen = k.gen;
  p->Add(k.fd, EPOLLONESHOT, [self, gen](uint32_t ev) { OnReady(self, gen, ev); });
  k.poller = p;
  k.interest = 0;
}

// Stops notifications. Caller holds k.lock.
void Detach(TSlot& k) {
  // The poller lives as long as its window; when the window is gone the
  // poller may be too, and the descriptor's close drops it from epoll anyway.
  if (k.poller && WindowPoller(k.hwnd) == k.poller) k.poller->Remove(k.fd);
  k.poller = nullptr;
  k.hwnd = 0;
  k.msg = 0;
  k.mask = 0;
  k.armed = 0;
  k.interest = 0;
}

// Arms `bit` again after its re-enabling call. Caller holds k.lock.
void Reenable(TSlot& k, long bit) {
  if (!k.poller || !(k.mask & bit) || (k.armed & bit)) return;
  k.armed |= bit;
  if (bit == FD_READ && k.type == SOCK_STREAM && (k.eof || k.dead)) {
    // Past the end of the stream epoll cannot tell "more data" from "still
    // at the end"; look now instead.
    if (Pending(k.fd) > 0) Evaluate(k, EPOLLIN);
    return;
  }
  Rearm(k);
}

void ReenableLocked(TSlot* k, uint32_t gen, long bit) {
  std::lock_guard g(k->lock);
  if (k->live.load(std::memory_order_relaxed) == gen) Reenable(*k, bit);
}

uint32_t GenOf(SOCKET s) { return static_cast<uint32_t>(s >> kFdBits); }

// Registers a new descriptor as a socket of this layer.
SOCKET Adopt(int fd, int type) {
  if (fd >= 0 && fd <= 2) {
    // Keep the standard descriptors' numbers out of the handle space.
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int e = errno;
    close(fd);
    if (moved < 0) {
      FailErrno(e);
      return INVALID_SOCKET;
    }
    fd = moved;
  }
  TSlot* k = SlotOfFd(fd, true);
  if (!k) {
    close(fd);
    Fail(WSAEMFILE);
    return INVALID_SOCKET;
  }
  std::lock_guard g(k->lock);
  k->gen = k->gen % kGenLimit + 1;
  k->fd = fd;
  k->type = type;
  k->nonBlocking = false;
  k->bound = k->listening = k->connecting = k->connected = false;
  k->shutSend = k->shutRecv = k->eof = k->dead = k->starved = false;
  k->closeErr = 0;
  k->hwnd = 0;
  k->msg = 0;
  k->mask = k->armed = 0;
  k->closePosted = false;
  k->poller = nullptr;
  k->interest = 0;
  k->live.store(k->gen, std::memory_order_release);
  return k->Handle();
}

void CloseSlotLocked(TSlot& k) {
  Detach(k);
  k.live.store(0, std::memory_order_release);
  close(k.fd);
}

bool ReadAddress(const sockaddr_w* addr, int len, sockaddr_in& out) {
  if (!addr || len < static_cast<int>(sizeof(sockaddr_in_w))) {
    tLastError = WSAEFAULT;
    return false;
  }
  sockaddr_in_w w;
  std::memcpy(&w, addr, sizeof w);
  if (w.sin_family != AF_INET_W) {
    tLastError = WSAEAFNOSUPPORT;
    return false;
  }
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = w.sin_port;
  out.sin_addr.s_addr = w.sin_addr.s_addr;
  return true;
}

void WriteAddress(const sockaddr_in& in, sockaddr_w* addr, int* len) {
  sockaddr_in_w w{};
  w.sin_family = AF_INET_W;
  w.sin_port = in.sin_port;
  w.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(addr, &w, sizeof w);
  *len = sizeof w;
}

bool CheckAddressOut(sockaddr_w* addr, int* len) {
  if (!addr) return true;
  if (!len || *len < static_cast<int>(sizeof(sockaddr_in_w))) {
    tLastError = WSAEFAULT;
    return false;
  }
  return true;
}

int TranslateFlags(int flags, bool forSend, int* out) {
  int f = 0;
  if (flags & MSG_OOB_W) f |= MSG_OOB;
  if (flags & MSG_PEEK_W) {
    if (forSend) return WSAEINVAL;
    f |= MSG_PEEK;
  }
  if (flags & MSG_DONTROUTE_W) {
    if (!forSend) return WSAEINVAL;
    f |= MSG_DONTROUTE;
  }
  if (flags & ~(MSG_OOB_W | MSG_PEEK_W | MSG_DONTROUTE_W)) return WSAEINVAL;
  *out = f;
  return 0;
}

// A send failure, in Windows terms: EPIPE means the connection was reset
// unless we shut our own sending side down.
int SendError(TSlot* k, int e) {
  if (e == EPIPE) {
    std::lock_guard g(k->lock);
    if (k->shutSend) return WSAESHUTDOWN;
    return (k->connected || k->connecting) ? WSAECONNRESET : WSAENOTCONN;
  }
  if (e == EDESTADDRREQ) return WSAENOTCONN;
  return ErrnoToWinsock(e);
}

void CloseAllSockets() {
  size_t chunks = gChunkCount.load();
  for (size_t c = 0; c < chunks; ++c) {
    TSlot* chunk = gChunks[c].load(std::memory_order_acquire);
    if (!chunk) continue;
    for (size_t i = 0; i < kChunkSize; ++i) {
      TSlot& k = chunk[i];
      if (k.live.load(std::memory_order_acquire) == 0) continue;
      std::lock_guard g(k.lock);
      if (k.live.load() != 0) CloseSlotLocked(k);
    }
  }
}

// --------------------------------------------------- out of descriptors ---

std::vector<std::pair<TSlot*, uint32_t>> gStarved;  // guarded by gSpareLock

void OpenSpareLocked() {
  if (gSpareFd < 0) gSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// accept ran out of descriptors while a connection waits: give the spare
// back for a moment, take the connection and drop it, so that the waiting
// connection does not keep the listener readable forever. False when no
// spare was there to do it.
bool DropOneConnection(int listenFd) {
  std::lock_guard g(gSpareLock);
  if (gSpareFd < 0) return false;
  close(gSpareFd);
  gSpareFd = -1;
  int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (c >= 0) close(c);
  OpenSpareLocked();
  return true;
}

// A descriptor was freed: listeners held back can accept again.
void WakeStarvedListeners() {
  std::vector<std::pair<TSlot*, uint32_t>> list;
  {
    std::lock_guard g(gSpareLock);
    OpenSpareLocked();
    if (gStarved.empty()) return;
    list.swap(gStarved);
  }
  for (auto [k, gen] : list) {
    std::lock_guard g(k->lock);
    if (k->live.load() != gen) continue;
    k->starved = false;
    k->armed &= ~FD_ACCEPT;
    Reenable(*k, FD_ACCEPT);
  }
}

// --------------------------------------------------------- host entries ---

struct THostResult {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<uint32_t> addrs;  // network order
};

constexpr size_t kMaxAddrs = 35;

bool ParseDottedQuad(const char* s, uint32_t* out) {
  in_addr a;
  if (inet_pton(AF_INET, s, &a) != 1) return false;
  *out = a.s_addr;
  return true;
}

// Blocking name lookup; 0 or a Windows Sockets code.
int LookupName(const char* name, THostResult& r) {
  uint32_t a;
  if (ParseDottedQuad(name, &a)) {
    r.name = name;
    r.addrs.push_back(a);
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0) return ResolverToWinsock(rc);
  r.name = (res && res->ai_canonname) ? res->ai_canonname : name;
  if (r.name != name) r.aliases.push_back(name);
  for (addrinfo* p = res; p && r.addrs.size() < kMaxAddrs; p = p->ai_next) {
    if (p->ai_family != AF_INET || !p->ai_addr) continue;
    uint32_t v = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t x : r.addrs) seen = seen || x == v;
    if (!seen) r.addrs.push_back(v);
  }
  freeaddrinfo(res);
  if (r.addrs.empty()) return WSANO_DATA;
  return 0;
}

int LookupAddr(uint32_t addr, THostResult& r) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) return ResolverToWinsock(rc);
  r.name = host;
  r.addrs.push_back(addr);
  return 0;
}

}  // namespace

static size_t HostEntrySize(size_t nameLen, const std::vector<size_t>& aliasLens, size_t addrCount) {
  size_t n = sizeof(hostent_w);
  n += (aliasLens.size() + 1) * sizeof(char*);
  n += (addrCount + 1) * sizeof(char*);
  n += addrCount * 4;
  n += nameLen + 1;
  for (size_t l : aliasLens) n += l + 1;
  return n;
}

namespace {

size_t EntrySize(const THostResult& r) {
  std::vector<size_t> lens;
  for (auto& a : r.aliases) lens.push_back(a.size());
  return HostEntrySize(r.name.size(), lens, r.addrs.size());
}

// Lays the host entry out in buf, every pointer pointing into buf; buf must
// hold EntrySize(r) bytes. Written with memcpy: the caller's buffer need not
// be aligned for pointers.
void LayOut(const THostResult& r, char* buf) {
  char* aliasList = buf + sizeof(hostent_w);
  char* addrList = aliasList + (r.aliases.size() + 1) * sizeof(char*);
  char* addrs = addrList + (r.addrs.size() + 1) * sizeof(char*);
  char* strings = addrs + r.addrs.size() * 4;
  auto putPtr = [](char* at, const void* p) { std::memcpy(at, &p, sizeof p); };
  char* nameAt = strings;
  std::memcpy(strings, r.name.c_str(), r.name.size() + 1);
  strings += r.name.size() + 1;
  for (size_t i = 0; i < r.aliases.size(); ++i) {
    putPtr(aliasList + i * sizeof(char*), strings);
    std::memcpy(strings, r.aliases[i].c_str(), r.aliases[i].size() + 1);
    strings += r.aliases[i].size() + 1;
  }
  putPtr(aliasList + r.aliases.size() * sizeof(char*), nullptr);
  for (size_t i = 0; i < r.addrs.size(); ++i) {
    std::memcpy(addrs + i * 4, &r.addrs[i], 4);
    putPtr(addrList + i * sizeof(char*), addrs + i * 4);
  }
  putPtr(addrList + r.addrs.size() * sizeof(char*), nullptr);
  hostent_w h{};
  h.h_name = nameAt;
  h.h_aliases = reinterpret_cast<char**>(aliasList);
  h.h_addrtype = AF_INET_W;
  h.h_length = 4;
  h.h_addr_list = reinterpret_cast<char**>(addrList);
  std::memcpy(buf, &h, sizeof h);
}

// ------------------------------------------------- asynchronous lookups ---

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

void CancelAllRequests() {
  TLookups& L = Lookups();
  std::lock_guard g(L.lock);
  for (auto& [id, q] : L.live) q->state = TReqState::Cancelled;
  L.live.clear();
  L.queue.clear();
}

// ------------------------------------------------------ per-thread results ---

struct TThreadResults {
  std::vector<char> host;
  servent_w serv{};
  std::string servName, servProto;
  std::vector<std::string> servAliases;
  std::vector<char*> servAliasPtrs;
  protoent_w proto{};
  std::string protoName;
  std::vector<std::string> protoAliases;
  std::vector<char*> protoAliasPtrs;
  char ntoa[16] = {};
};

TThreadResults& Results() {
  thread_local TThreadResults r;
  return r;
}

void CopyAliases(char** src, std::vector<std::string>& store, std::vector<char*>& ptrs) {
  store.clear();
  ptrs.clear();
  for (char** p = src; p && *p; ++p) store.emplace_back(*p);
  for (auto& s : store) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
}

}  // namespace

// ================================================================ entries ===

int WSAStartup(WORD versionRequested, WSADATA* data) {
  BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
  BYTE minor = static_cast<BYTE>(versionRequested >> 8);
  if (major == 0) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;
  // We speak 1.1 (and 1.0, its subset); a caller asking for more gets 1.1
  // and decides for itself whether that will do.
  WORD version = (major > 1 || (major == 1 && minor >= 1)) ? WORD(0x0101) : versionRequested;
  std::memset(data, 0, sizeof *data);
  data->wVersion = version;
  data->wHighVersion = 0x0101;
  std::snprintf(data->szDescription, sizeof data->szDescription, "evcomp Windows Sockets 1.1 over POSIX sockets");
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  rlimit rl{};
  unsigned long maxSockets = 32767;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < maxSockets)
    maxSockets = rl.rlim_cur;
  data->iMaxSockets = static_cast<unsigned short>(maxSockets);
  data->iMaxUdpDg = 65467;
  data->lpVendorInfo = nullptr;
  std::lock_guard g(gStartLock);
  if (gStartCount++ == 0) {
    std::lock_guard s(gSpareLock);
    OpenSpareLocked();
    gStarted.store(true, std::memory_order_release);
  }
  return 0;
}

int WSACleanup() {
  std::lock_guard g(gStartLock);
  if (gStartCount == 0) return Fail(WSANOTINITIALISED);
  if (--gStartCount == 0) {
    // As on Windows, the last clean-up resets every socket still open and
    // forgets every request still pending.
    gStarted.store(false, std::memory_order_release);
    CancelAllRequests();
    CloseAllSockets();
    std::lock_guard s(gSpareLock);
    if (gSpareFd >= 0) close(gSpareFd);
    gSpareFd = -1;
    gStarved.clear();
  }
  return 0;
}

void WSASetLastError(int error) { tLastError = error; }
int WSAGetLastError() { return tLastError; }

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (events & ~(FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE)) return Fail(WSAEINVAL);
  std::lock_guard g(k->lock);
  if (k->live.load() != GenOf(s)) return Fail(WSAENOTSOCK);
  if (events == 0) {
    Detach(*k);
    return 0;
  }
  TPoller* p = WindowPoller(hwnd);
  if (!p) return Fail(WSAEINVAL);
  int fl = fcntl(k->fd, F_GETFL);
  if (fl < 0 || fcntl(k->fd, F_SETFL, fl | O_NONBLOCK) != 0) return FailErrno(errno);
  k->nonBlocking = true;
  if (k->poller && k->poller != p) Detach(*k);
  k->hwnd = hwnd;
  k->msg = msg;
  k->mask = events;
  k->armed = events & ~FD_OOB;  // out-of-band data is never reported
  k->closePosted = false;
  if (k->connected) k->dead = false;  // a hang-up is reported again to the new selection
  if (!k->poller) Attach(*k, p);
  if (k->type == SOCK_STREAM && !k->listening && !k->connecting && !k->connected) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    k->connected = getpeername(k->fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0;
  }
  // A condition that already holds is reported at once.
  Evaluate(*k, PollNow(k->fd));
  Rearm(*k);
  return 0;
}

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

hostent_w* gethostbyname(const char* name) {
  if (!CheckStarted()) return nullptr;
  if (!name) {
    tLastError = WSAEFAULT;
    return nullptr;
  }
  std::string n = name;
  if (n.empty()) {  // the local host, as on Windows
    char h[256] = {};
    if (::gethostname(h, sizeof h - 1) != 0) {
      FailErrno(errno);
      return nullptr;
    }
    n = h;
  }
  THostResult r;
  int err = LookupName(n.c_str(), r);
  if (err != 0) {
    tLastError = err;
    return nullptr;
  }
  auto& store = Results().host;
  store.assign(EntrySize(r), 0);
  LayOut(r, store.data());
  return reinterpret_cast<hostent_w*>(store.data());
}

int gethostname(char* name, int namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  if (!name || namelen <= 0) return Fail(WSAEFAULT);
  char h[256] = {};
  if (::gethostname(h, sizeof h - 1) != 0) return FailErrno(errno);
  size_t len = std::strlen(h);
  if (len + 1 > static_cast<size_t>(namelen)) return Fail(WSAEFAULT);
  std::memcpy(name, h, len + 1);
  return 0;
}

servent_w* getservbyname(const char* name, const char* proto) {
  if (!CheckStarted()) return nullptr;
  if (!name) {
    tLastError = WSAEFAULT;
    return nullptr;
  }
  if (proto && !*proto) proto = nullptr;  // any protocol
  servent se{};
  servent* res = nullptr;
  char buf[4096];
  if (getservbyname_r(name, proto, &se, buf, sizeof buf, &res) != 0 || !res) {
    tLastError = WSANO_DATA;
    return nullptr;
  }
  auto& R = Results();
  R.servName = res->s_name ? res->s_name : "";
  R.servProto = res->s_proto ? res->s_proto : "";
  CopyAliases(res->s_aliases, R.servAliases, R.servAliasPtrs);
  R.serv.s_name = R.servName.data();
  R.serv.s_aliases = R.servAliasPtrs.data();
  R.serv.s_port = static_cast<short>(res->s_port);  // already network order
  R.serv.s_proto = R.servProto.data();
  return &R.serv;
}

protoent_w* getprotobyname(const char* name) {
  if (!CheckStarted()) return nullptr;
  if (!name) {
    tLastError = WSAEFAULT;
    return nullptr;
  }
  protoent pe{};
  protoent* res = nullptr;
  char buf[4096];
  if (getprotobyname_r(name, &pe, buf, sizeof buf, &res) != 0 || !res) {
    tLastError = WSANO_DATA;
    return nullptr;
  }
  auto& R = Results();
  R.protoName = res->p_name ? res->p_name : "";
  CopyAliases(res->p_aliases, R.protoAliases, R.protoAliasPtrs);
  R.proto.p_name = R.protoName.data();
  R.proto.p_aliases = R.protoAliasPtrs.data();
  R.proto.p_proto = static_cast<short>(res->p_proto);
  return &R.proto;
}

SOCKET socket(int af, int type, int protocol) {
  if (!CheckStarted()) return INVALID_SOCKET;
  if (af != AF_INET_W) {
    tLastError = WSAEAFNOSUPPORT;
    return INVALID_SOCKET;
  }
  int t;
  switch (type) {
    case SOCK_STREAM_W: t = SOCK_STREAM; break;
    case SOCK_DGRAM_W: t = SOCK_DGRAM; break;
    case SOCK_RAW_W: t = SOCK_RAW; break;
    default: tLastError = WSAESOCKTNOSUPPORT; return INVALID_SOCKET;
  }
  int fd = ::socket(AF_INET, t | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    FailErrno(errno);
    return INVALID_SOCKET;
  }
  return Adopt(fd, t);
}

int bind(SOCKET s, const sockaddr_w* addr, int namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sa;
  if (!ReadAddress(addr, namelen, sa)) return SOCKET_ERROR;
  if (::bind(k->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return FailErrno(errno);
  std::lock_guard g(k->lock);
  k->bound = true;
  return 0;
}

int listen(SOCKET s, int backlog) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  std::lock_guard g(k->lock);
  if (k->type != SOCK_STREAM) return Fail(WSAEOPNOTSUPP);
  if (!k->bound) return Fail(WSAEINVAL);  // Windows does not bind implicitly here
  if (k->connected || k->connecting) return Fail(WSAEISCONN);
  if (::listen(k->fd, backlog < 1 ? 1 : backlog) != 0) return FailErrno(errno);
  k->listening = true;
  if (k->poller) {
    Evaluate(*k, PollNow(k->fd));
    Rearm(*k);
  }
  return 0;
}

SOCKET accept(SOCKET s, sockaddr_w* addr, int* addrlen) {
  if (!CheckStarted()) return INVALID_SOCKET;
  TSlot* k = Find(s);
  if (!k) return INVALID_SOCKET;
  if (!CheckAddressOut(addr, addrlen)) return INVALID_SOCKET;
  uint32_t gen = GenOf(s);
  bool nonBlocking;
  {
    std::lock_guard g(k->lock);
    if (!k->listening) {
      tLastError = WSAEINVAL;
      return INVALID_SOCKET;
    }
    nonBlocking = k->nonBlocking;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = accept4(k->fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
  if (fd < 0) {
    int e = errno;
    bool held = false;
    if (e == EMFILE || e == ENFILE) {
      if (!DropOneConnection(k->fd)) {
        // No spare either: hold accept notifications back until a
        // descriptor of this layer is closed.
        std::lock_guard sg(gSpareLock);
        gStarved.emplace_back(k, gen);
        held = true;
      }
    }
    {
      std::lock_guard g(k->lock);
      if (k->live.load() == gen) {
        if (held) k->starved = true;
        Reenable(*k, FD_ACCEPT);
      }
    }
    FailErrno(e);
    return INVALID_SOCKET;
  }
  ReenableLocked(k, gen, FD_ACCEPT);
  SOCKET ns = Adopt(fd, SOCK_STREAM);
  if (ns == INVALID_SOCKET) return INVALID_SOCKET;
  TSlot* n = Find(ns);
  {
    // The new socket has the listener's properties, its selection included.
    HWND hwnd = 0;
    UINT msg = 0;
    long mask = 0;
    {
      std::lock_guard g(k->lock);
      if (k->live.load() == gen && k->poller) {
        hwnd = k->hwnd;
        msg = k->msg;
        mask = k->mask;
      }
    }
    std::lock_guard g(n->lock);
    n->bound = n->connected = true;
    n->nonBlocking = nonBlocking;
    TPoller* p = mask ? WindowPoller(hwnd) : nullptr;
    if (p) {
      n->hwnd = hwnd;
      n->msg = msg;
      n->mask = mask;
      n->armed = mask & ~FD_OOB;
      Attach(*n, p);
      Rearm(*n);
    }
  }
  if (addr) WriteAddress(sa, addr, addrlen);
  return ns;
}

int connect(SOCKET s, const sockaddr_w* name, int namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  sockaddr_in sa;
  if (!ReadAddress(name, namelen, sa)) return SOCKET_ERROR;
  if (sa.sin_addr.s_addr == 0) return Fail(WSAEADDRNOTAVAIL);  // Linux would mean this host
  uint32_t gen = GenOf(s);
  int type;
  {
    std::lock_guard g(k->lock);
    if (k->listening) return Fail(WSAEINVAL);
    type = k->type;
  }
  int rc = ::connect(k->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  int e = rc == 0 ? 0 : errno;
  std::lock_guard g(k->lock);
  if (k->live.load() != gen) return Fail(WSAENOTSOCK);
  k->bound = true;
  if (type != SOCK_STREAM) {
    if (rc != 0) return FailErrno(e);
    return 0;
  }
  if (rc == 0 || e == EINPROGRESS) {
    k->connecting = true;
    k->dead = k->eof = false;
    if (k->poller) {
      Evaluate(*k, rc == 0 ? EPOLLOUT : PollNow(k->fd));
      Rearm(*k);
    } else if (rc == 0) {
      k->connecting = false;
      k->connected = true;
    }
    if (rc == 0) return 0;
    return Fail(WSAEWOULDBLOCK);
  }
  return FailErrno(e);
}

int shutdown(SOCKET s, int how) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  int h;
  switch (how) {
    case 0: h = SHUT_RD; break;
    case 1: h = SHUT_WR; break;
    case 2: h = SHUT_RDWR; break;
    default: return Fail(WSAEINVAL);
  }
  std::lock_guard g(k->lock);
  if (::shutdown(k->fd, h) != 0) return FailErrno(errno);
  if (how != 1) k->shutRecv = true;
  if (how != 0) k->shutSend = true;
  Rearm(*k);
  return 0;
}

int closesocket(SOCKET s) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  {
    std::lock_guard g(k->lock);
    if (k->live.load() != GenOf(s)) return Fail(WSAENOTSOCK);
    CloseSlotLocked(*k);
  }
  WakeStarvedListeners();
  return 0;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!optval || optlen <= 0) return Fail(WSAEFAULT);
  auto intValue = [&](int* v) {
    if (optlen < static_cast<int>(sizeof(int))) return false;
    std::memcpy(v, optval, sizeof *v);
    return true;
  };
  auto set = [&](int lv, int opt, const void* val, socklen_t len) {
    if (::setsockopt(k->fd, lv, opt, val, len) == 0) return 0;
    int e = errno;
    if (e == EOPNOTSUPP) e = ENOPROTOOPT;
    return FailErrno(e);
  };
  int v = 0;
  if (level == SOL_SOCKET_W) {
    int opt;
    switch (optname) {
      case SO_DEBUG_W: opt = SO_DEBUG; break;
      case SO_REUSEADDR_W: opt = SO_REUSEADDR; break;
      case SO_KEEPALIVE_W: opt = SO_KEEPALIVE; break;
      case SO_DONTROUTE_W: opt = SO_DONTROUTE; break;
      case SO_BROADCAST_W: opt = SO_BROADCAST; break;
      case SO_OOBINLINE_W: opt = SO_OOBINLINE; break;
      case SO_SNDBUF_W: opt = SO_SNDBUF; break;
      case SO_RCVBUF_W: opt = SO_RCVBUF; break;
      case SO_LINGER_W: {
        if (k->type != SOCK_STREAM) return Fail(WSAENOPROTOOPT);
        if (optlen < static_cast<int>(sizeof(linger_w))) return Fail(WSAEFAULT);
        linger_w w;
        std::memcpy(&w, optval, sizeof w);
        linger l{w.l_onoff != 0 ? 1 : 0, w.l_linger};
        return set(SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
      case SO_DONTLINGER_W: {
        if (k->type != SOCK_STREAM) return Fail(WSAENOPROTOOPT);
        if (!intValue(&v)) return Fail(WSAEFAULT);
        linger l{};
        socklen_t len = sizeof l;
        ::getsockopt(k->fd, SOL_SOCKET, SO_LINGER, &l, &len);
        l.l_onoff = v ? 0 : 1;  // keeps the timeout set before
        return set(SOL_SOCKET, SO_LINGER, &l, sizeof l);
      }
      default: return Fail(WSAENOPROTOOPT);
    }
    if (!intValue(&v)) return Fail(WSAEFAULT);
    if (opt != SO_SNDBUF && opt != SO_RCVBUF) v = v != 0;
    return set(SOL_SOCKET, opt, &v, sizeof v);
  }
  if (level == IPPROTO_IP_W) {
    switch (optname) {
      case IP_MULTICAST_IF_W: {
        if (optlen < 4) return Fail(WSAEFAULT);
        in_addr a;
        std::memcpy(&a.s_addr, optval, 4);
        return set(IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a);
      }
      case IP_MULTICAST_TTL_W:
      case IP_MULTICAST_LOOP_W: {
        int opt = optname == IP_MULTICAST_TTL_W ? IP_MULTICAST_TTL : IP_MULTICAST_LOOP;
        if (optlen >= 4)
          std::memcpy(&v, optval, 4);
        else
          v = static_cast<unsigned char>(optval[0]);
        return set(IPPROTO_IP, opt, &v, sizeof v);
      }
      case IP_ADD_MEMBERSHIP_W:
      case IP_DROP_MEMBERSHIP_W: {
        if (optlen < static_cast<int>(sizeof(ip_mreq_w))) return Fail(WSAEFAULT);
        ip_mreq_w w;
        std::memcpy(&w, optval, sizeof w);
        ip_mreq m{};
        m.imr_multiaddr.s_addr = w.imr_multiaddr.s_addr;
        m.imr_interface.s_addr = w.imr_interface.s_addr;
        return set(IPPROTO_IP, optname == IP_ADD_MEMBERSHIP_W ? IP_ADD_MEMBERSHIP : IP_DROP_MEMBERSHIP, &m, sizeof m);
      }
      default: return Fail(WSAENOPROTOOPT);
    }
  }
  if (level == IPPROTO_TCP_W) {
    if (optname != TCP_NODELAY_W) return Fail(WSAENOPROTOOPT);
    if (k->type != SOCK_STREAM) return Fail(WSAENOPROTOOPT);
    if (!intValue(&v)) return Fail(WSAEFAULT);
    v = v != 0;
    return set(IPPROTO_TCP, TCP_NODELAY, &v, sizeof v);
  }
  return Fail(WSAEINVAL);
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!argp) return Fail(WSAEFAULT);
  if (cmd == FIONREAD_W) {
    int n = 0;
    if (ioctl(k->fd, FIONREAD, &n) != 0) return FailErrno(errno);
    *argp = static_cast<u_long>(n);
    return 0;
  }
  if (cmd == FIONBIO_W) {
    std::lock_guard g(k->lock);
    // A socket under asynchronous selection stays non-blocking.
    if (*argp == 0 && k->poller) return Fail(WSAEINVAL);
    int fl = fcntl(k->fd, F_GETFL);
    if (fl < 0) return FailErrno(errno);
    fl = *argp ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    if (fcntl(k->fd, F_SETFL, fl) != 0) return FailErrno(errno);
    k->nonBlocking = *argp != 0;
    return 0;
  }
  if (cmd == SIOCATMARK_W) {
    // True while no out-of-band byte waits to be read.
    char c;
    ssize_t r = ::recv(k->fd, &c, 1, MSG_OOB | MSG_PEEK | MSG_DONTWAIT);
    *argp = r >= 0 ? 0 : 1;
    return 0;
  }
  return Fail(WSAEINVAL);
}

int getsockname(SOCKET s, sockaddr_w* name, int* namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!name || !CheckAddressOut(name, namelen)) return Fail(WSAEFAULT);
  {
    std::lock_guard g(k->lock);
    if (!k->bound) return Fail(WSAEINVAL);
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(k->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return FailErrno(errno);
  WriteAddress(sa, name, namelen);
  return 0;
}

int getpeername(SOCKET s, sockaddr_w* name, int* namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (!name || !CheckAddressOut(name, namelen)) return Fail(WSAEFAULT);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(k->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return FailErrno(errno);
  WriteAddress(sa, name, namelen);
  return 0;
}

int send(SOCKET s, const char* buf, int len, int flags) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f;
  if (int err = TranslateFlags(flags, true, &f)) return Fail(err);
  ssize_t n = ::send(k->fd, buf, static_cast<size_t>(len), f | MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  int e = errno;
  if (e == EAGAIN || e == EWOULDBLOCK) {
    ReenableLocked(k, GenOf(s), FD_WRITE);
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(SendError(k, e));
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr_w* to, int tolen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (k->type == SOCK_STREAM || !to) return send(s, buf, len, flags);  // the address is ignored
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f;
  if (int err = TranslateFlags(flags, true, &f)) return Fail(err);
  sockaddr_in sa;
  if (!ReadAddress(to, tolen, sa)) return SOCKET_ERROR;
  if (sa.sin_addr.s_addr == 0) return Fail(WSAEADDRNOTAVAIL);
  ssize_t n = ::sendto(k->fd, buf, static_cast<size_t>(len), f | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (n >= 0) {
    std::lock_guard g(k->lock);
    k->bound = true;  // the first sendto binds implicitly
    return static_cast<int>(n);
  }
  int e = errno;
  if (e == EAGAIN || e == EWOULDBLOCK) {
    ReenableLocked(k, GenOf(s), FD_WRITE);
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(SendError(k, e));
}

namespace {

// One receive with Windows results: a datagram longer than the buffer fills
// it and fails with 10040; a zero-byte read on a stream tells "nothing yet"
// (10035) from "the peer has closed" (0).
int Receive(TSlot* k, char* buf, int len, int f, sockaddr_in* from) {
  if (k->type == SOCK_STREAM && len == 0) {
    if (Pending(k->fd) > 0) return 0;
    char c;
    ssize_t r = ::recv(k->fd, &c, 1, MSG_PEEK | (k->nonBlocking ? MSG_DONTWAIT : 0));
    if (r >= 0) return 0;
    return FailErrno(errno);
  }
  if (k->type == SOCK_STREAM) {
    ssize_t r = ::recv(k->fd, buf, static_cast<size_t>(len), f);
    if (r >= 0) return static_cast<int>(r);
    return FailErrno(errno);
  }
  iovec iov{buf, static_cast<size_t>(len)};
  msghdr mh{};
  sockaddr_in sa{};
  mh.msg_name = &sa;
  mh.msg_namelen = sizeof sa;
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  ssize_t r = ::recvmsg(k->fd, &mh, f);
  if (r < 0) {
    int e = errno;
    // A port-unreachable report on a datagram socket reads as a reset.
    return Fail(e == ECONNREFUSED ? WSAECONNRESET : ErrnoToWinsock(e));
  }
  if (from) *from = sa;
  if (mh.msg_flags & MSG_TRUNC) return Fail(WSAEMSGSIZE);
  return static_cast<int>(r);
}

}  // namespace

int recv(SOCKET s, char* buf, int len, int flags) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  int f;
  if (int err = TranslateFlags(flags, false, &f)) return Fail(err);
  int r = Receive(k, buf, len, f, nullptr);
  int saved = tLastError;
  ReenableLocked(k, GenOf(s), FD_READ);
  tLastError = saved;
  return r;
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr_w* from, int* fromlen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  TSlot* k = Find(s);
  if (!k) return SOCKET_ERROR;
  if (len < 0 || (!buf && len > 0)) return Fail(WSAEFAULT);
  if (!CheckAddressOut(from, fromlen)) return SOCKET_ERROR;
  int f;
  if (int err = TranslateFlags(flags, false, &f)) return Fail(err);
  sockaddr_in sa{};
  int r = Receive(k, buf, len, f, &sa);
  int saved = tLastError;
  ReenableLocked(k, GenOf(s), FD_READ);
  tLastError = saved;
  // A datagram cut short still names its sender; streams leave `from` alone.
  if (from && k->type != SOCK_STREAM && (r >= 0 || saved == WSAEMSGSIZE)) WriteAddress(sa, from, fromlen);
  return r;
}

u_short htons(u_short v) { return static_cast<u_short>((v << 8) | (v >> 8)); }
u_short ntohs(u_short v) { return static_cast<u_short>((v << 8) | (v >> 8)); }

u_long inet_addr(const char* cp) {
  // The classic forms a.b.c.d, a.b.c, a.b and a, each part decimal, octal
  // (leading 0) or hexadecimal (0x); blanks around the text are allowed,
  // anything else makes it INADDR_NONE. "255.255.255.255" yields the same
  // value as a bad text, which callers must tell apart by the text itself.
  if (!cp) return INADDR_NONE_W;
  const char* p = cp;
  while (*p == ' ' || *p == '\t') ++p;
  uint64_t parts[4];
  int n = 0;
  for (;;) {
    if (!(*p >= '0' && *p <= '9')) return INADDR_NONE_W;
    uint64_t v = 0;
    int base = 10;
    if (*p == '0') {
      ++p;
      base = 8;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return INADDR_NONE_W;
      }
    }
    for (;; ++p) {
      int d;
      if (*p >= '0' && *p <= '9')
        d = *p - '0';
      else if (base == 16 && std::isxdigit(static_cast<unsigned char>(*p)))
        d = std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10;
      else
        break;
      if (d >= base) return INADDR_NONE_W;
      v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (v > 0xFFFFFFFFull) return INADDR_NONE_W;
    }
    parts[n++] = v;
    if (*p == '.') {
      if (n == 4) return INADDR_NONE_W;
      ++p;
      continue;
    }
    break;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  if (*p != '\0') return INADDR_NONE_W;
  uint64_t host;
  switch (n) {
    case 1: host = parts[0]; break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return INADDR_NONE_W;
      host = (parts[0] << 24) | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return INADDR_NONE_W;
      host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
      break;
    default:
      for (int i = 0; i < 4; ++i)
        if (parts[i] > 0xFF) return INADDR_NONE_W;
      host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
      break;
  }
  return htonl(static_cast<uint32_t>(host));
}

char* inet_ntoa(in_addr_w in) {
  auto& buf = Results().ntoa;
  const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

int SocketDescriptor(SOCKET s) {
  int saved = tLastError;
  TSlot* k = Find(s);
  tLastError = saved;
  return k ? k->fd : -1;
}

TModuleExports WinsockExports() {
  auto fp = [](auto f) { return reinterpret_cast<FARPROC>(f); };
  return {
      {"WSAStartup", fp(&WSAStartup)},
      {"WSACleanup", fp(&WSACleanup)},
      {"WSASetLastError", fp(&WSASetLastError)},
      {"WSAGetLastError", fp(&WSAGetLastError)},
      {"WSAAsyncSelect", fp(&WSAAsyncSelect)},
      {"WSAAsyncGetHostByName", fp(&WSAAsyncGetHostByName)},
      {"WSAAsyncGetHostByAddr", fp(&WSAAsyncGetHostByAddr)},
      {"WSACancelAsyncRequest", fp(&WSACancelAsyncRequest)},
      {"gethostbyname", fp(&gethostbyname)},
      {"gethostname", fp(&gethostname)},
      {"getservbyname", fp(&getservbyname)},
      {"getprotobyname", fp(&getprotobyname)},
      {"socket", fp(&socket)},
      {"bind", fp(&bind)},
      {"listen", fp(&listen)},
      {"accept", fp(&accept)},
      {"connect", fp(&connect)},
      {"shutdown", fp(&shutdown)},
      {"closesocket", fp(&closesocket)},
      {"setsockopt", fp(&setsockopt)},
      {"ioctlsocket", fp(&ioctlsocket)},
      {"getsockname", fp(&getsockname)},
      {"getpeername", fp(&getpeername)},
      {"send", fp(&send)},
      {"sendto", fp(&sendto)},
      {"recv", fp(&recv)},
      {"recvfrom", fp(&recvfrom)},
      {"htons", fp(&htons)},
      {"ntohs", fp(&ntohs)},
      {"inet_addr", fp(&inet_addr)},
      {"inet_ntoa", fp(&inet_ntoa)},
  };
}

void RegisterWinsockModule() { RegisterModule(kWinsockModuleName, WinsockExports()); }

namespace {
const bool kRegistered = (RegisterWinsockModule(), true);
}  // namespace

}  // namespace evc::winsock
