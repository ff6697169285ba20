// The calling thread's last error, and failing a call the way Windows
// Sockets does: set the code, return SOCKET_ERROR.
#pragma once
#include <cstdint>

#include "platform/wsock32.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

// The code WSAGetLastError returns on this thread.
extern thread_local constinit int tLastError;

// Sets the last error to `code` and returns SOCKET_ERROR.
int Fail(int code);
// The same for an errno value, mapped to its Windows Sockets code.
int FailErrno(int e);

// The lParam of a notification or lookup reply: the event bit or the size in
// the low word, the error code in the high word.
inline LPARAM MakeLParam(unsigned low, unsigned high) {
  return static_cast<LPARAM>(static_cast<uint32_t>((low & 0xFFFFu) | ((high & 0xFFFFu) << 16)));
}

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
