// Host lookups and the Windows host entry they fill: one block in which the
// entry's lists and strings follow the entry itself.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wsock32.h"

// Internal to the library: not exported from it.
#pragma GCC visibility push(hidden)
namespace evc::winsock::detail {

struct THostResult {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<uint32_t> addrs;  // network order
};

// Whether s is a dotted quad, which needs no resolver; its address in *out.
bool ParseDottedQuad(const char* s, uint32_t* out);
// Blocking name lookup; 0 or a Windows Sockets code.
int LookupName(const char* name, THostResult& r);
// Blocking reverse lookup of an address in network order; 0 or a code.
int LookupAddr(uint32_t addr, THostResult& r);
// The bytes the host entry of r takes when laid out.
size_t EntrySize(const THostResult& r);
// Lays the host entry out in buf, every pointer pointing into buf; buf must
// hold EntrySize(r) bytes.
void LayOut(const THostResult& r, char* buf);

}  // namespace evc::winsock::detail
#pragma GCC visibility pop
