// Line mode: cutting received bytes at a terminator and handing them out one
// line at a time, with echo, line editing and a limit on unterminated input.
//
// Handlers run in the middle of this code and may do anything: read part of
// the line, switch modes, close the connection (which releases the buffer),
// or pump messages so that more data arrives. So nothing here keeps a pointer
// or an offset into the buffer across a handler call: positions are taken
// from the head again afterwards, and FBufferEpoch tells whether the buffer
// still exists.
#include "socket/WSocketLine.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "base/TypInfo.h"

namespace evc {

const TClassInfo& TCustomLineWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomLineWSocket", &TCustomSocksWSocket::StaticClassInfo(), {});
  return info;
}

namespace {
constexpr char kBackspace = 8;
constexpr char kTab = 9;
}  // namespace

// The defaults (CR LF, plain mode, 64 KiB) are the members' initialisers.
TCustomLineWSocket::TCustomLineWSocket(TComponent* owner) : TCustomSocksWSocket(owner) {}

TCustomLineWSocket::~TCustomLineWSocket() { ReleaseLineBuffer(); }

bool TCustomLineWSocket::SocksDataPhase() const { return SocksState() == socksData; }

// --- the buffer ---

void TCustomLineWSocket::ReleaseLineBuffer() {
  std::free(FLineBuffer);
  FLineBuffer = nullptr;
  FLineBufferSize = 0;
  FLineBufferCount = 0;
  FLineHead = 0;
  FPendingLineLength = 0;
  FScanFrom = 0;
  FEditFloor = 0;
  FArrivalDeferred = false;
  ++FBufferEpoch;
}

void TCustomLineWSocket::ReserveTail(int32_t more) {
  if (FLineBuffer && FLineHead > 0) {
    // Only what is still held moves, once: consumed bytes are never copied.
    std::memmove(FLineBuffer, FLineBuffer + FLineHead, static_cast<size_t>(FLineBufferCount) + 1);
    FLineHead = 0;
  }
  int64_t need = static_cast<int64_t>(FLineBufferCount) + more + 1;
  if (need > std::numeric_limits<int32_t>::max()) throw std::bad_alloc();
  if (FLineBuffer && need <= FLineBufferSize) return;
  // Doubling keeps a long line collected in small reads linear.
  int64_t size = std::max<int64_t>(need, static_cast<int64_t>(FLineBufferSize) * 2);
  size = std::min<int64_t>(size, std::numeric_limits<int32_t>::max());
  void* grown = std::realloc(FLineBuffer, static_cast<size_t>(size));
  if (!grown) throw std::bad_alloc();
  FLineBuffer = static_cast<char*>(grown);
  FLineBufferSize = static_cast<int32_t>(size);
  if (FLineBufferCount == 0) FLineBuffer[0] = 0;
}

void TCustomLineWSocket::PutTerminatingZero() {
  if (FLineBuffer) FLineBuffer[FLineHead + FLineBufferCount] = 0;
}

void TCustomLineWSocket::ConsumeHead(int32_t n) {
  if (n <= 0) return;
  n = std::min(n, FLineBufferCount);
  FLineHead += n;
  FLineBufferCount -= n;
  FConsumedBytes += static_cast<uint64_t>(n);
  FScanFrom = std::max(0, FScanFrom - n);
  FEditFloor = std::max(0, FEditFloor - n);
  if (FLineBufferCount == 0) FLineHead = 0;
  PutTerminatingZero();
}

int32_t TCustomLineWSocket::FindLineEnd(int32_t from) const {
  const int32_t len = static_cast<int32_t>(FLineEnd.size());
  if (!FLineBuffer || len == 0) return -1;
  const char* base = FLineBuffer + FLineHead;
  const char first = FLineEnd[0];
  int32_t last = FLineBufferCount - len;  // last position a terminator can start at
  int32_t i = std::max(0, from);
  while (i <= last) {
    const void* hit = std::memchr(base + i, first, static_cast<size_t>(last - i + 1));
    if (!hit) return -1;
    i = static_cast<int32_t>(static_cast<const char*>(hit) - base);
    if (std::memcmp(base + i, FLineEnd.data(), static_cast<size_t>(len)) == 0) return i;
    ++i;
  }
  return -1;
}

// --- properties ---

void TCustomLineWSocket::SetLineMode(bool value) {
  if (value == FLineMode) return;
  bool wasProcessing = LineProcessing();
  FLineMode = value;
  // Held bytes were cut (or not) under the other mode: look at them afresh.
  if (LineProcessing() && !wasProcessing) FScanFrom = 0;
  if (FLineBufferCount > 0 || FPendingLineLength > 0)
    PostMessage(FWindowHandle, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::SetLineEnd(const std::string& value) {
  if (value == FLineEnd) return;
  bool wasProcessing = LineProcessing();
  FLineEnd = value;
  FScanFrom = 0;
  if (wasProcessing != LineProcessing() && (FLineBufferCount > 0 || FPendingLineLength > 0))
    PostMessage(FWindowHandle, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::FireLineLimitExceeded(int32_t rcvdLength, bool& clearData) {
  OnLineLimitExceeded(this, rcvdLength, clearData);
}

// --- reading ---

int32_t TCustomLineWSocket::RcvdCount() const {
  if (LineProcessing()) return FPendingLineLength;
  // Held bytes come before the socket's, so they are what waits first.
  if (FLineBufferCount > 0) return FLineBufferCount;
  return TCustomSocksWSocket::RcvdCount();
}

int TCustomLineWSocket::ReadSocket(char* buffer, int size, int flags) {
  size = std::max(size, 0);
  if (LineProcessing() && FPendingLineLength > 0) {
    int32_t n = std::min(FPendingLineLength, size);
    if (n > 0) std::memcpy(buffer, FLineBuffer + FLineHead, static_cast<size_t>(n));
    FPendingLineLength -= n;
    ConsumeHead(n);
    CountLayerRead();
    return n;
  }
  if (!LineProcessing() && FLineBufferCount > 0) {
    int32_t n = std::min(FLineBufferCount, size);
    if (n > 0) std::memcpy(buffer, FLineBuffer + FLineHead, static_cast<size_t>(n));
    // The unread rest of a line cut short by a mode switch is among these.
    FPendingLineLength = std::max(0, FPendingLineLength - n);
    ConsumeHead(n);
    CountLayerRead();
    // Held bytes end a read: the socket's bytes come with the next one. This
    // read did not reach the socket, so it re-armed no read notification;
    // the redelivery message announces what waits there instead.
    if (FLineBufferCount == 0) AnnounceSocketDataLater();
    return n;
  }
  return TCustomSocksWSocket::ReadSocket(buffer, size, flags);
}

// --- data arrival ---

bool TCustomLineWSocket::FireDataAvailable(WORD error) {
  if (!LineProcessing() || !SocksDataPhase()) return TCustomSocksWSocket::FireDataAvailable(error);
  if (FDelivering) {
    // A handler pumped messages in the middle of a line. The bytes stay in
    // the socket until that line is done; the running pass reads them then.
    FArrivalDeferred = true;
    return true;
  }
  for (;;) {
    int32_t count = TCustomSocksWSocket::RcvdCount();
    if (count < 0) return true;
    if (count == 0) count = 255;
    ReserveTail(count);
    // Straight from the layer below: these bytes reach the application (and
    // ReadCount) when it reads the line, not twice.
    int r = TCustomSocksWSocket::ReadSocket(FLineBuffer + FLineHead + FLineBufferCount, count, 0);
    if (r < 0) FLastError = wsocket::WSAGetLastError();
    uint64_t epoch = FBufferEpoch;
    if (r > 0) {
      if (!ProcessArrival(r, true)) return true;
    } else if (FLineBufferCount > 0 &&
               FLineBufferCount - static_cast<int32_t>(FLineEnd.size()) >= FScanFrom) {
      // Nothing new, but held bytes have not been cut under the current
      // terminator yet (line mode switched on again, a line held back).
      DeliverLines(false);
    } else {
      return true;
    }
    if (epoch != FBufferEpoch || !FArrivalDeferred) return true;
    if (!LineProcessing()) {
      // The deferred bytes belong to plain mode now.
      ReannounceDeferredArrival();
      return true;
    }
    FArrivalDeferred = false;
  }
}

void TCustomLineWSocket::ReannounceDeferredArrival() {
  if (!FArrivalDeferred || FDelivering) return;
  FArrivalDeferred = false;
  // Posted, not handled here: the notification comes back through the
  // window once this pass is over.
  if (FHSocket != winsock::INVALID_SOCKET && FState == wsConnected)
    PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), winsock::FD_READ);
}

void TCustomLineWSocket::DeliverReceivedBytes(const void* data, int len) {
  if (!data || len <= 0) return;
  ReserveTail(len);
  std::memcpy(FLineBuffer + FLineHead + FLineBufferCount, data, static_cast<size_t>(len));
  if (!LineProcessing()) {
    FLineBufferCount += len;
    PutTerminatingZero();
    if (!FDelivering) {
      DeliverHeldAsPlainData();
      ReannounceDeferredArrival();
    }
    return;
  }
  // Inside a handler the running pass cuts these bytes after its line;
  // editing must not reach back into the lines it is handing out.
  if (FDelivering) {
    FEditFloor = FLineBufferCount;
    ProcessArrival(len, false);
    return;
  }
  ProcessArrival(len, true);
  ReannounceDeferredArrival();
}

bool TCustomLineWSocket::ProcessArrival(int32_t len, bool deliver) {
  uint64_t epoch = FBufferEpoch;
  if (FLineEdit) {
    if (!EditLine(len)) return false;
  } else if (FLineEcho) {
    // Held before they are echoed: if the echo's send ends the connection,
    // its close delivers these bytes with the rest instead of losing them.
    FLineBufferCount += len;
    PutTerminatingZero();
    Send(FLineBuffer + FLineHead + FLineBufferCount - len, len);
    if (epoch != FBufferEpoch) return false;
    if (deliver) DeliverLines(false);
    return epoch == FBufferEpoch;
  }
  FLineBufferCount += len;
  PutTerminatingZero();
  if (deliver) DeliverLines(false);
  return epoch == FBufferEpoch;
}

bool TCustomLineWSocket::EditLine(int32_t& len) {
  const uint64_t epoch = FBufferEpoch;
  const int32_t start = FLineBufferCount;
  const char* fresh = FLineBuffer + FLineHead + start;
  auto echo = [&](const char* bytes, int n) {
    Send(bytes, n);
    return epoch == FBufferEpoch;
  };
  bool rewrite = std::memchr(fresh, kBackspace, static_cast<size_t>(len)) ||
                 std::memchr(fresh, kTab, static_cast<size_t>(len));
  if (!rewrite) {
    if (!FLineEcho) return true;
    std::string copy(fresh, static_cast<size_t>(len));  // the buffer may go while echoing
    for (char c : copy)
      if (!echo(&c, 1)) return false;
    return true;
  }
  // The result is the held bytes up to `keep`, then `out`. Backspaces eat
  // `out` first and then held bytes, so only what changes is ever copied.
  //
  // Editing works line by line, as if every byte had come in a read of its
  // own: a backspace never takes back a line that is already complete, and
  // tab stops count from the start of the line. So the lines do not depend on
  // how the peer's bytes happened to be split into reads.
  std::string input(fresh, static_cast<size_t>(len));
  std::string out;
  out.reserve(static_cast<size_t>(len) + 256);
  int32_t keep = start;
  int32_t lineStart = std::clamp(FEditFloor, 0, start);
  const std::string& end = FLineEnd;
  const int32_t endLen = static_cast<int32_t>(end.size());
  auto write = [&] { return keep + static_cast<int32_t>(out.size()); };
  auto byteAt = [&](int32_t pos) { return pos < keep ? FLineBuffer[FLineHead + pos] : out[static_cast<size_t>(pos - keep)]; };
  auto push = [&](char c) {
    out.push_back(c);
    int32_t w = write();
    if (c != end.back() || w - lineStart < endLen) return;
    for (int32_t i = 0; i < endLen; ++i)
      if (byteAt(w - endLen + i) != end[static_cast<size_t>(i)]) return;
    lineStart = w;  // a complete line: editing goes on behind it
  };
  for (char c : input) {
    if (c == kBackspace) {
      if (write() > lineStart) {
        if (FLineEcho && !echo("\b \b", 3)) return false;
        if (!out.empty())
          out.pop_back();
        else
          --keep;
      }
    } else if (c == kTab) {
      do {
        if (FLineEcho && !echo(" ", 1)) return false;
        push(' ');
      } while ((write() - lineStart) % 8 != 0);
    } else {
      if (FLineEcho && !echo(&c, 1)) return false;
      push(c);
    }
  }
  FLineBufferCount = keep;
  ReserveTail(static_cast<int32_t>(out.size()));
  if (!out.empty()) std::memcpy(FLineBuffer + FLineHead + keep, out.data(), out.size());
  len = static_cast<int32_t>(out.size());
  FLineBuffer[FLineHead + keep + len] = 0;
  FScanFrom = std::min(FScanFrom, std::max(0, keep - static_cast<int32_t>(FLineEnd.size()) + 1));
  return true;
}

// --- delivery ---

void TCustomLineWSocket::DeliverLines(bool atClose) {
  struct TDeliveryScope {
    TCustomLineWSocket& s;
    bool outer;
    explicit TDeliveryScope(TCustomLineWSocket& sock) : s(sock), outer(sock.FDelivering) {}
    ~TDeliveryScope() {
      // Whatever ended the pass (a return, a handler's exception), no line
      // is being delivered afterwards; a line left half read is looked at
      // again from its unread rest.
      if (s.FPendingLineLength > 0) s.FScanFrom = 0;
      s.FPendingLineLength = 0;
      s.FDelivering = outer;
    }
  } scope(*this);

  const uint64_t epoch = FBufferEpoch;
  bool lastLine = false;
  while (LineProcessing() && FLineBuffer) {
    const int32_t endLen = static_cast<int32_t>(FLineEnd.size());
    int32_t lineLength;
    int32_t at = lastLine ? -1 : FindLineEnd(FScanFrom);
    if (at >= 0) {
      lineLength = at + endLen;
    } else {
      FScanFrom = std::max(0, FLineBufferCount - endLen + 1);
      if (atClose) {
        // What is left at close goes out as one last, unterminated line.
        if (lastLine || FLineBufferCount == 0) return;
        lastLine = true;
        lineLength = FLineBufferCount;
      } else {
        FEditFloor = 0;
        if (FLineLimit > 0 && FLineBufferCount > FLineLimit) {
          FLineClearData = true;
          // Data arriving while the handler pumps waits for its decision.
          FDelivering = true;
          FireLineLimitExceeded(FLineBufferCount, FLineClearData);
          if (epoch != FBufferEpoch) return;
          if (FLineClearData) {
            FPendingLineLength = 0;
            ConsumeHead(FLineBufferCount);
            FScanFrom = 0;
            FLineClearData = false;
          }
        }
        return;
      }
    }

    FPendingLineLength = lineLength;
    FDelivering = true;
    while (LineProcessing() && FPendingLineLength > 0) {
      const int32_t before = FPendingLineLength;
      const uint64_t consumed = FConsumedBytes;
      if (!TCustomSocksWSocket::FireDataAvailable(0)) {
        ConsumeHead(FPendingLineLength);  // nobody listens: the line is dropped
        FPendingLineLength = 0;
        break;
      }
      if (epoch != FBufferEpoch) return;  // closed under us: nothing left to touch
      if (FPendingLineLength == before && FConsumedBytes == consumed && LineProcessing()) {
        // The handler took nothing. Calling it again at once would never
        // end; the line stays first in the buffer for the next arrival.
        FPendingLineLength = 0;
        FScanFrom = 0;
        FEditFloor = FLineBufferCount;
        return;
      }
    }
    // Line mode switched off before the line was read: its unread rest is
    // first in the buffer, and the redelivery posted by the switch hands it
    // out as plain data.
    if (FPendingLineLength > 0) return;
    FScanFrom = 0;
  }
}

void TCustomLineWSocket::DeliverHeldAsPlainData() {
  const uint64_t epoch = FBufferEpoch;
  while (FLineBufferCount > 0) {
    const uint64_t consumed = FConsumedBytes;
    if (!TCustomSocksWSocket::FireDataAvailable(0)) return;
    if (epoch != FBufferEpoch || FConsumedBytes == consumed) return;
  }
}

void TCustomLineWSocket::AnnounceSocketDataLater() {
  // A running redelivery announces waiting bytes when it ends.
  if (FRedelivering || FAnnouncePosted || FHSocket == winsock::INVALID_SOCKET || FState != wsConnected) return;
  FAnnouncePosted = true;
  PostMessage(FWindowHandle, WM_TRIGGER_DATA_AVAILABLE, 0, 0);
}

void TCustomLineWSocket::RedeliverBufferedData() {
  FAnnouncePosted = false;
  struct TRedeliveryScope {
    bool& flag;
    bool outer;
    explicit TRedeliveryScope(bool& f) : flag(f), outer(f) { flag = true; }
    ~TRedeliveryScope() { flag = outer; }
  } scope(FRedelivering);
  const uint64_t epoch = FBufferEpoch;
  while (FLineBufferCount > 0) {
    const uint64_t consumed = FConsumedBytes;
    FireDataAvailable(0);
    // A pass that takes nothing would be repeated forever (no handler, a
    // handler that reads nothing, only a partial line held).
    if (epoch != FBufferEpoch || FConsumedBytes == consumed) break;
  }
  ReannounceDeferredArrival();
  // While the handler took held bytes only, the socket's own read
  // notification was used up without a read: announce waiting bytes again.
  if (!LineProcessing() && FLineBufferCount == 0 && FState == wsConnected &&
      FHSocket != winsock::INVALID_SOCKET) {
    winsock::u_long waiting = 0;
    if (TransportWaiting(&waiting) == 0 && waiting > 0)
      PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), winsock::FD_READ);
  }
}

void TCustomLineWSocket::HandleWindowMessage(TMessage& message) {
  if (message.Msg != WM_TRIGGER_DATA_AVAILABLE) {
    TCustomSocksWSocket::HandleWindowMessage(message);
    return;
  }
  try {
    RedeliverBufferedData();
  } catch (Exception& e) {
    HandleEventException(e);
  }
}

// --- session close ---

void TCustomLineWSocket::FireSessionClosed(WORD error) {
  if (FLineBuffer) {
    if (FLineBufferCount > 0) {
      if (LineProcessing()) {
        // Not while a limit handler runs: it decides about those bytes.
        if (!FLineClearData) DeliverLines(true);
      } else {
        DeliverHeldAsPlainData();
      }
    }
    ReleaseLineBuffer();
  }
  TCustomSocksWSocket::FireSessionClosed(error);
}

}  // namespace evc
