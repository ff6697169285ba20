// Running out of descriptors. When accept fails with EMFILE or ENFILE while a
// connection waits, the listener stays readable; reporting that again and
// again would spin the thread. As libuv does, the layer keeps one spare
// descriptor: it is closed for a moment so that the waiting connection can
// be taken and dropped. With no spare either, the listener's accept
// notifications are held back until a socket of this layer is closed.
#pragma once
#include <cstdint>

#include "platform/wsock32/handles.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

// Opens the spare if it is not open (start-up, and after each use).
void OpenSpare();
// Closes the spare and forgets the listeners held back (the last clean-up).
void CloseSpare();
// Takes one waiting connection of listenFd and drops it, with the spare's
// descriptor; false when there was no spare to do it.
bool DropOneConnection(int listenFd);
// Holds the listener's accept notifications back until a descriptor is freed.
void HoldBackListener(TSlot* k, uint32_t gen);
// A descriptor was freed: listeners held back can accept again.
void WakeStarvedListeners();

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
