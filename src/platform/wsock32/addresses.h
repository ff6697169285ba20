// Socket addresses between the Windows layout and sockaddr_in.
#pragma once
#include <netinet/in.h>

#include "platform/wsock32.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

// Reads an IPv4 address passed in; false with 10014 or 10047 when it is
// short or of another family.
bool ReadAddress(const sockaddr_w* addr, int len, sockaddr_in& out);
// Writes an address out and sets *len to its size.
void WriteAddress(const sockaddr_in& in, sockaddr_w* addr, int* len);
// Whether an optional output address has room (none is fine); 10014 if not.
bool CheckAddressOut(sockaddr_w* addr, int* len);

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
