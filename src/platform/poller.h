// Readiness sources a thread's message queue waits on, over epoll.
//
// Each thread with a message queue owns one poller. A source is a file
// descriptor with the readiness it is interested in and a callback run on
// the owning thread when that readiness arrives; the socket layer turns those
// callbacks into posted notification messages. Wake() is the one call meant
// for other threads: it ends a wait so that newly posted messages are seen.
#pragma once
#include <sys/epoll.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

namespace evc {

class TPoller {
 public:
  using TCallback = std::function<void(uint32_t readyEvents)>;

  TPoller();
  ~TPoller();
  TPoller(const TPoller&) = delete;
  TPoller& operator=(const TPoller&) = delete;

  bool Valid() const { return FEpoll >= 0 && FWakeFd >= 0; }

  // Starts watching fd for `events` (EPOLLIN, EPOLLOUT, ...; edge or level as
  // given). Returns 0 or an errno value. A fd already watched is replaced.
  int Add(int fd, uint32_t events, TCallback callback);
  // Changes the readiness watched for; 0 or an errno value.
  int Modify(int fd, uint32_t events);
  // Stops watching fd; its callback will not run again, even for readiness
  // already collected by a wait in progress.
  void Remove(int fd);
  bool Watches(int fd) const;
  size_t SourceCount() const;
  // Stops watching every source and forgets a pending Wake(), leaving the
  // poller as new for its next owner.
  void Clear();

  // Waits up to timeoutMs (-1: no limit) for readiness or Wake(), runs the
  // callbacks of ready sources, and returns how many ran; *woken tells whether
  // Wake() ended it. Work per wake-up is proportional to the sources that are
  // ready, not to the sources watched.
  int Wait(int timeoutMs, bool* woken = nullptr);
  // Ends a Wait() in progress or the next one; callable from any thread.
  void Wake();

 private:
  struct TSource {
    int fd;
    uint64_t id;
    TCallback callback;
  };
  int FEpoll = -1;
  int FWakeFd = -1;
  uint64_t FNextId = 1;  // 0 marks the wake-up descriptor
  mutable std::mutex FLock;
  std::unordered_map<uint64_t, TSource> FById;
  std::unordered_map<int, uint64_t> FIdOfFd;
};

}  // namespace evc
