// The asynchronous-select engine: turns epoll readiness into the posted
// notifications of WSAAsyncSelect, each posted once and then held back until
// its re-enabling call.
//
// Each attached socket is an epoll source of the window thread's poller,
// always EPOLLONESHOT and level-triggered: every readiness report disables
// the source, the callback posts the notifications whose condition holds and
// which are still armed, disarms them, and re-enables the source only for
// what is still armed. A re-enabling call (recv, send failing with 10035,
// accept) arms its event again. Work per notification is one callback and at
// most one epoll_ctl, and a condition that stays true (end of stream, a
// hang-up) cannot make the thread spin.
//
// The re-enabling calls, as Windows Sockets has them: recv and recvfrom arm
// read and out-of-band data again; accept arms accept; a send arms write
// when the kernel did not take all of it, whether it took nothing (10035) or
// only a part: either way the buffer is full and the caller waits for the
// write notification before it sends again. Re-arming only enables the epoll
// source; the notification itself comes from epoll's readiness report, so
// nothing here polls.
#pragma once
#include <cstdint>

#include "platform/wsock32/handles.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

// Bytes waiting to be read on fd (0 when the query fails).
int Pending(int fd);
// The readiness of fd right now, in epoll bits, without waiting.
uint32_t PollNow(int fd);

// Posts every armed notification whose condition `ev` shows; returns whether
// anything was posted. Caller holds k.lock.
bool Evaluate(TSlot& k, uint32_t ev);
// Enables the source for what is still armed. Caller holds k.lock.
void Rearm(TSlot& k);
// Makes the socket a source of poller p. Caller holds k.lock.
void Attach(TSlot& k, TPoller* p);
// Stops notifications. Caller holds k.lock.
void Detach(TSlot& k);
// Arms the notification bits `bits` again after their re-enabling call.
// Caller holds k.lock.
void Reenable(TSlot& k, long bits);
// The same, taking the lock, for the socket of generation gen.
void ReenableLocked(TSlot* k, uint32_t gen, long bits);

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
