#include "platform/poller.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace evc {

TPoller::TPoller() {
  FEpoll = epoll_create1(EPOLL_CLOEXEC);
  FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FEpoll >= 0 && FWakeFd >= 0) {
    // Edge-triggered: every write to the counter reports again, so a
    // wake-up needs no read to clear it, which saves a system call per sleep.
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = 0;
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, FWakeFd, &ev);
  }
}

TPoller::~TPoller() {
  if (FWakeFd >= 0) close(FWakeFd);
  if (FEpoll >= 0) close(FEpoll);
}

int TPoller::Add(int fd, uint32_t events, TCallback callback) {
  std::lock_guard g(FLock);
  auto old = FIdOfFd.find(fd);
  if (old != FIdOfFd.end()) {
    FById.erase(old->second);
    FIdOfFd.erase(old);
    epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
  }
  uint64_t id = FNextId++;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = id;
  if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, fd, &ev) != 0) return errno;
  FById.emplace(id, TSource{fd, id, std::move(callback)});
  FIdOfFd.emplace(fd, id);
  return 0;
}

int TPoller::Modify(int fd, uint32_t events) {
  std::lock_guard g(FLock);
  auto it = FIdOfFd.find(fd);
  if (it == FIdOfFd.end()) return ENOENT;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = it->second;
  return epoll_ctl(FEpoll, EPOLL_CTL_MOD, fd, &ev) == 0 ? 0 : errno;
}

void TPoller::Remove(int fd) {
  std::lock_guard g(FLock);
  auto it = FIdOfFd.find(fd);
  if (it == FIdOfFd.end()) return;
  epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
  FById.erase(it->second);
  FIdOfFd.erase(it);
}

bool TPoller::Watches(int fd) const {
  std::lock_guard g(FLock);
  return FIdOfFd.count(fd) != 0;
}

size_t TPoller::SourceCount() const {
  std::lock_guard g(FLock);
  return FById.size();
}

void TPoller::Clear() {
  std::lock_guard g(FLock);
  for (const auto& [fd, id] : FIdOfFd) epoll_ctl(FEpoll, EPOLL_CTL_DEL, fd, nullptr);
  FById.clear();
  FIdOfFd.clear();
  uint64_t count;  // one read empties the counter
  ssize_t r = read(FWakeFd, &count, sizeof count);
  (void)r;
}

int TPoller::Wait(int timeoutMs, bool* woken) {
  if (woken) *woken = false;
  constexpr int kBatch = 64;
  epoll_event events[kBatch];
  int n;
  do {
    n = epoll_wait(FEpoll, events, kBatch, timeoutMs);
  } while (n < 0 && errno == EINTR);
  int ran = 0;
  for (int i = 0; i < n; ++i) {
    uint64_t id = events[i].data.u64;
    if (id == 0) {
      if (woken) *woken = true;
      continue;
    }
    // Look the source up again for each event: an earlier callback of this
    // batch may have removed it, and its id is never reused.
    TCallback callback;
    {
      std::lock_guard g(FLock);
      auto it = FById.find(id);
      if (it == FById.end()) continue;
      callback = it->second.callback;
    }
    callback(events[i].events);
    ++ran;
  }
  return ran;
}

void TPoller::Wake() {
  uint64_t one = 1;
  ssize_t r = write(FWakeFd, &one, sizeof one);
  (void)r;  // a full counter already means a wake-up is pending
}

}  // namespace evc
