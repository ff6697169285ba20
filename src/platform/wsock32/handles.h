// The handle table: one slot per descriptor, holding what the layer knows of
// the socket behind it.
//
// A SOCKET is the descriptor in its low 22 bits and a 9-bit generation above
// it (never 0, never all bits set). The generation changes every time a
// descriptor number is reused, so a notification still queued for a closed
// socket carries a handle that no later socket has: components filter
// notifications by handle, and a plain descriptor number would let a stale
// close or read notification hit the next connection made on the same
// number.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "platform/poller.h"
#include "platform/wsock32.h"
#include "platform/wsock32/errors.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

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
  bool oobInline = false;  // SO_OOBINLINE: urgent bytes are read as normal data
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

// Slots come in chunks of kChunkSize, made on first use and never freed.
extern std::atomic<TSlot*> gChunks[kMaxChunks];

// The slot of descriptor fd; with `create`, its chunk is made when missing.
TSlot* SlotOfFd(int fd, bool create);

inline uint32_t GenOf(SOCKET s) { return static_cast<uint32_t>(s >> kFdBits); }

// The slot of an open socket of this layer, or nullptr with 10038.
inline TSlot* Find(SOCKET s) {
  if (s == INVALID_SOCKET || (s >> 31) != 0) {
    tLastError = WSAENOTSOCK;
    return nullptr;
  }
  uint32_t gen = GenOf(s);
  TSlot* k = nullptr;
  if (gen) {
    int fd = static_cast<int>(s & kFdMask);
    TSlot* chunk = gChunks[static_cast<size_t>(fd) >> kChunkBits].load(std::memory_order_acquire);
    if (chunk) k = &chunk[static_cast<size_t>(fd) & (kChunkSize - 1)];
  }
  if (!k || k->live.load(std::memory_order_acquire) != gen) {
    tLastError = WSAENOTSOCK;
    return nullptr;
  }
  return k;
}

// Registers a new descriptor as a socket of this layer and returns its
// handle (INVALID_SOCKET with the last error set when it cannot).
SOCKET Adopt(int fd, int type);
// Stops notifications, marks the slot closed and closes the descriptor.
// Caller holds k.lock.
void CloseSlotLocked(TSlot& k);
// Closes every socket still open (the last WSACleanup).
void CloseAllSockets();

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
