// Start-up and clean-up: until WSAStartup, and after the last WSACleanup,
// every call fails with 10093.
#pragma once
#include <atomic>

#include "platform/wsock32/errors.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

// True while at least one WSAStartup has not been matched by a clean-up.
extern std::atomic<bool> gStarted;

// Whether the library is started; sets 10093 when it is not.
inline bool CheckStarted() {
  if (gStarted.load(std::memory_order_acquire)) return true;
  tLastError = WSANOTINITIALISED;
  return false;
}

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
