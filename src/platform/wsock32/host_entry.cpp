// Host lookups over getaddrinfo and getnameinfo (IPv4), and the layout of the
// host entry that gethostbyname and the asynchronous lookups return.
#include "platform/wsock32/host_entry.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace evc::winsock::detail {

namespace {
constexpr size_t kMaxAddrs = 35;
}  // namespace

bool ParseDottedQuad(const char* s, uint32_t* out) {
  in_addr a;
  if (inet_pton(AF_INET, s, &a) != 1) return false;
  *out = a.s_addr;
  return true;
}

int LookupName(const char* name, THostResult& r) {
  uint32_t a;
  if (ParseDottedQuad(name, &a)) {
    r.name = name;
    r.addrs.push_back(a);
    return 0;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0) return ResolverToWinsock(rc);
  r.name = (res && res->ai_canonname) ? res->ai_canonname : name;
  if (r.name != name) r.aliases.push_back(name);
  for (addrinfo* p = res; p && r.addrs.size() < kMaxAddrs; p = p->ai_next) {
    if (p->ai_family != AF_INET || !p->ai_addr) continue;
    uint32_t v = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (uint32_t x : r.addrs) seen = seen || x == v;
    if (!seen) r.addrs.push_back(v);
  }
  freeaddrinfo(res);
  if (r.addrs.empty()) return WSANO_DATA;
  return 0;
}

int LookupAddr(uint32_t addr, THostResult& r) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  char host[NI_MAXHOST];
  int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) return ResolverToWinsock(rc);
  r.name = host;
  r.addrs.push_back(addr);
  return 0;
}

size_t EntrySize(const THostResult& r) {
  size_t n = sizeof(hostent_w);
  n += (r.aliases.size() + 1) * sizeof(char*);
  n += (r.addrs.size() + 1) * sizeof(char*);
  n += r.addrs.size() * 4;
  n += r.name.size() + 1;
  for (const auto& a : r.aliases) n += a.size() + 1;
  return n;
}

// Written with memcpy: the caller's buffer need not be aligned for pointers.
void LayOut(const THostResult& r, char* buf) {
  char* aliasList = buf + sizeof(hostent_w);
  char* addrList = aliasList + (r.aliases.size() + 1) * sizeof(char*);
  char* addrs = addrList + (r.addrs.size() + 1) * sizeof(char*);
  char* strings = addrs + r.addrs.size() * 4;
  auto putPtr = [](char* at, const void* p) { std::memcpy(at, &p, sizeof p); };
  char* nameAt = strings;
  std::memcpy(strings, r.name.c_str(), r.name.size() + 1);
  strings += r.name.size() + 1;
  for (size_t i = 0; i < r.aliases.size(); ++i) {
    putPtr(aliasList + i * sizeof(char*), strings);
    std::memcpy(strings, r.aliases[i].c_str(), r.aliases[i].size() + 1);
    strings += r.aliases[i].size() + 1;
  }
  putPtr(aliasList + r.aliases.size() * sizeof(char*), nullptr);
  for (size_t i = 0; i < r.addrs.size(); ++i) {
    std::memcpy(addrs + i * 4, &r.addrs[i], 4);
    putPtr(addrList + i * sizeof(char*), addrs + i * 4);
  }
  putPtr(addrList + r.addrs.size() * sizeof(char*), nullptr);
  hostent_w h{};
  h.h_name = nameAt;
  h.h_aliases = reinterpret_cast<char**>(aliasList);
  h.h_addrtype = AF_INET_W;
  h.h_length = 4;
  h.h_addr_list = reinterpret_cast<char**>(addrList);
  std::memcpy(buf, &h, sizeof h);
}

}  // namespace evc::winsock::detail
