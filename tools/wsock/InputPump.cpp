#include "InputPump.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace wsock {

namespace {
constexpr evc::UINT kReadMessage = evc::WM_USER + 1;
}

TInputPump::TInputPump(int fd, size_t chunkSize) : FFd(fd), FBuffer(chunkSize ? chunkSize : 1) {
  FWindow = evc::AllocateHWnd([this](evc::TMessage& m) {
    if (m.Msg == kReadMessage) {
      ReadChunk();
    } else {
      m.Result = evc::DefWindowProc(FWindow, m.Msg, m.WParam, m.LParam);
    }
  });
}

TInputPump::~TInputPump() {
  Stop();
  evc::DeallocateHWnd(FWindow);
}

void TInputPump::Stop() {
  if (FPolled) evc::CurrentThreadPoller().Remove(FFd);
  FPolled = false;
}

void TInputPump::Resume() {
  if (FEnded || FPending) return;
  FPending = true;
  if (!FStarted) {
    FStarted = true;
    // One-shot: each readiness report disables the source until the consumer
    // asks again, so unread input never turns into a stream of reports.
    evc::HWND window = FWindow;
    int rc = evc::CurrentThreadPoller().Add(FFd, EPOLLIN | EPOLLONESHOT, [window](uint32_t) {
      evc::PostMessage(window, kReadMessage, 0, 0);
    });
    FPolled = rc == 0;
    if (FPolled) return;
    // EPERM: a regular file or the like, always readable. Any other failure
    // (a closed descriptor) shows up as the read's own error.
  } else if (FPolled) {
    evc::CurrentThreadPoller().Modify(FFd, EPOLLIN | EPOLLONESHOT);
    return;
  }
  evc::PostMessage(FWindow, kReadMessage, 0, 0);
}

void TInputPump::ReadChunk() {
  if (!FPending || FEnded) return;
  FPending = false;
  ssize_t n;
  do {
    n = read(FFd, FBuffer.data(), FBuffer.size());
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    if (OnChunk) OnChunk(FBuffer.data(), static_cast<size_t>(n));
    return;
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && FPolled) {
    // Someone else took the bytes first; wait for the next report.
    Resume();
    return;
  }
  int error = n < 0 ? errno : 0;
  // A descriptor that is not open is no input at all, not a failure.
  if (error == EBADF) error = 0;
  FEnded = true;
  Stop();
  if (OnEnd) OnEnd(error);
}

}  // namespace wsock
