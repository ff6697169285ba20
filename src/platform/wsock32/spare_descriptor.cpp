// The spare descriptor and the listeners held back for want of descriptors.
#include "platform/wsock32/spare_descriptor.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "platform/wsock32/select.h"

namespace evc::winsock::detail {

namespace {

std::mutex gSpareLock;
int gSpareFd = -1;                                  // guarded by gSpareLock
std::vector<std::pair<TSlot*, uint32_t>> gStarved;  // guarded by gSpareLock

void OpenSpareLocked() {
  if (gSpareFd < 0) gSpareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

}  // namespace

void OpenSpare() {
  std::lock_guard g(gSpareLock);
  OpenSpareLocked();
}

void CloseSpare() {
  std::lock_guard g(gSpareLock);
  if (gSpareFd >= 0) close(gSpareFd);
  gSpareFd = -1;
  gStarved.clear();
}

// Gives the spare back for a moment, takes the connection and drops it, so
// that the waiting connection does not keep the listener readable forever.
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

void HoldBackListener(TSlot* k, uint32_t gen) {
  std::lock_guard g(gSpareLock);
  gStarved.emplace_back(k, gen);
}

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

}  // namespace evc::winsock::detail
