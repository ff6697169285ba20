// The handle table: slots by descriptor, handles with generations.
#include "platform/wsock32/handles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/wsock32/select.h"

namespace evc::winsock {

namespace detail {

std::atomic<TSlot*> gChunks[kMaxChunks];

namespace {
std::mutex gChunkLock;
std::atomic<size_t> gChunkCount{0};
}  // namespace

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
  k->shutSend = k->shutRecv = k->eof = k->dead = k->starved = k->oobInline = false;
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

}  // namespace detail

int SocketDescriptor(SOCKET s) {
  int saved = detail::tLastError;
  detail::TSlot* k = detail::Find(s);
  detail::tLastError = saved;
  return k ? k->fd : -1;
}

}  // namespace evc::winsock
