// The asynchronous-select engine and WSAAsyncSelect.
#include "platform/wsock32/select.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/messages.h"
#include "platform/wsock32/startup.h"

namespace evc::winsock {

namespace detail {

int Pending(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0) return 0;
  return n;
}

namespace {

int SocketErrorOf(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// How a connection ended, as the close notification reports it.
int CloseCode(int err) {
  if (err == 0) return 0;
  if (err == ETIMEDOUT) return WSAECONNABORTED;
  if (err == ECONNRESET || err == EPIPE) return WSAECONNRESET;
  return ErrnoToWinsock(err);
}

// Posts notification `bit` with `err` when the selection asks for it, and
// disarms it either way; returns whether it was posted. Caller holds k.lock.
bool Post(TSlot& k, long bit, int err) {
  k.armed &= ~bit;
  if (!(k.mask & bit)) return false;
  PostMessage(k.hwnd, k.msg, k.Handle(), MakeLParam(static_cast<unsigned>(bit), static_cast<unsigned>(err)));
  return true;
}

// Whether urgent data is reported on its own (FD_OOB) rather than in the
// stream, where a read notification covers it.
bool WantsOob(const TSlot& k) { return (k.armed & FD_OOB) && !k.oobInline; }

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
    if (WantsOob(k)) e |= EPOLLPRI;
  } else {
    if (k.armed & FD_READ) e |= EPOLLIN;
    if (k.armed & FD_WRITE) e |= EPOLLOUT;
  }
  return e;
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

}  // namespace

uint32_t PollNow(int fd) {
  pollfd p{fd, static_cast<short>(POLLIN | POLLPRI | POLLOUT | POLLRDHUP), 0};
  if (poll(&p, 1, 0) <= 0) return 0;
  uint32_t ev = 0;
  if (p.revents & POLLIN) ev |= EPOLLIN;
  if (p.revents & POLLPRI) ev |= EPOLLPRI;
  if (p.revents & POLLOUT) ev |= EPOLLOUT;
  if (p.revents & POLLERR) ev |= EPOLLERR;
  if (p.revents & POLLHUP) ev |= EPOLLHUP;
  if (p.revents & POLLRDHUP) ev |= EPOLLRDHUP;
  return ev;
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

bool Evaluate(TSlot& k, uint32_t ev) {
  bool posted = false;
  auto post = [&](long bit, int err) { posted = Post(k, bit, err) || posted; };
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
  if ((ev & EPOLLPRI) && WantsOob(k)) post(FD_OOB, 0);
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

void Attach(TSlot& k, TPoller* p) {
  TSlot* self = &k;
  uint32_t gen = k.gen;
  p->Add(k.fd, EPOLLONESHOT, [self, gen](uint32_t ev) { OnReady(self, gen, ev); });
  k.poller = p;
  k.interest = 0;
}

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

void Reenable(TSlot& k, long bits) {
  if (!k.poller) return;
  bits &= k.mask & ~k.armed;
  if (bits == 0) return;
  k.armed |= bits;
  if ((bits & FD_READ) && k.type == SOCK_STREAM && (k.eof || k.dead)) {
    // Past the end of the stream epoll cannot tell "more data" from "still
    // at the end", and after a hang-up the source is not watched at all;
    // look now instead. Bytes left after an orderly close are still the
    // caller's to read; a reset has discarded them.
    if (!k.shutRecv && k.closeErr == 0 && Pending(k.fd) > 0) Post(k, FD_READ, 0);
    if (bits == FD_READ) return;
  }
  Rearm(k);
}

void ReenableLocked(TSlot* k, uint32_t gen, long bits) {
  std::lock_guard g(k->lock);
  if (k->live.load(std::memory_order_relaxed) == gen) Reenable(*k, bits);
}

}  // namespace detail

using namespace detail;

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
  k->armed = events;
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

}  // namespace evc::winsock
