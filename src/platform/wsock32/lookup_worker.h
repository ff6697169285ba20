// The asynchronous host lookups: WSAAsyncGetHostByName and
// WSAAsyncGetHostByAddr run on a few worker threads and post their reply to
// the caller's window.
#pragma once

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

// Forgets every request still pending; none of them replies (the last
// clean-up).
void CancelAllRequests();

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
