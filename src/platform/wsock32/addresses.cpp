// Addresses: the Windows layout, byte order and the dotted-quad texts.
#include "platform/wsock32/addresses.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/wsock32/errors.h"

// The system headers may define these as macros; here they are our functions.
#undef htons
#undef ntohs

namespace evc::winsock {

namespace detail {

bool ReadAddress(const sockaddr_w* addr, int len, sockaddr_in& out) {
  if (!addr || len < static_cast<int>(sizeof(sockaddr_in_w))) {
    tLastError = WSAEFAULT;
    return false;
  }
  sockaddr_in_w w;
  std::memcpy(&w, addr, sizeof w);
  if (w.sin_family != AF_INET_W) {
    tLastError = WSAEAFNOSUPPORT;
    return false;
  }
  out = sockaddr_in{};
  out.sin_family = AF_INET;
  out.sin_port = w.sin_port;
  out.sin_addr.s_addr = w.sin_addr.s_addr;
  return true;
}

void WriteAddress(const sockaddr_in& in, sockaddr_w* addr, int* len) {
  sockaddr_in_w w{};
  w.sin_family = AF_INET_W;
  w.sin_port = in.sin_port;
  w.sin_addr.s_addr = in.sin_addr.s_addr;
  std::memcpy(addr, &w, sizeof w);
  *len = sizeof w;
}

bool CheckAddressOut(sockaddr_w* addr, int* len) {
  if (!addr) return true;
  if (!len || *len < static_cast<int>(sizeof(sockaddr_in_w))) {
    tLastError = WSAEFAULT;
    return false;
  }
  return true;
}

}  // namespace detail

u_short htons(u_short v) { return static_cast<u_short>((v << 8) | (v >> 8)); }
u_short ntohs(u_short v) { return static_cast<u_short>((v << 8) | (v >> 8)); }

u_long inet_addr(const char* cp) {
  // The classic forms a.b.c.d, a.b.c, a.b and a, each part decimal, octal
  // (leading 0) or hexadecimal (0x); blanks around the text are allowed,
  // anything else makes it INADDR_NONE. "255.255.255.255" yields the same
  // value as a bad text, which callers must tell apart by the text itself.
  if (!cp) return INADDR_NONE_W;
  const char* p = cp;
  while (*p == ' ' || *p == '\t') ++p;
  uint64_t parts[4];
  int n = 0;
  for (;;) {
    if (!(*p >= '0' && *p <= '9')) return INADDR_NONE_W;
    uint64_t v = 0;
    int base = 10;
    if (*p == '0') {
      ++p;
      base = 8;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return INADDR_NONE_W;
      }
    }
    for (;; ++p) {
      int d;
      if (*p >= '0' && *p <= '9')
        d = *p - '0';
      else if (base == 16 && std::isxdigit(static_cast<unsigned char>(*p)))
        d = std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10;
      else
        break;
      if (d >= base) return INADDR_NONE_W;
      v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
      if (v > 0xFFFFFFFFull) return INADDR_NONE_W;
    }
    parts[n++] = v;
    if (*p == '.') {
      if (n == 4) return INADDR_NONE_W;
      ++p;
      continue;
    }
    break;
  }
  while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
  if (*p != '\0') return INADDR_NONE_W;
  uint64_t host;
  switch (n) {
    case 1: host = parts[0]; break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return INADDR_NONE_W;
      host = (parts[0] << 24) | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return INADDR_NONE_W;
      host = (parts[0] << 24) | (parts[1] << 16) | parts[2];
      break;
    default:
      for (int i = 0; i < 4; ++i)
        if (parts[i] > 0xFF) return INADDR_NONE_W;
      host = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
      break;
  }
  return htonl(static_cast<uint32_t>(host));
}

char* inet_ntoa(in_addr_w in) {
  thread_local char buf[16];  // per thread, as the caller keeps the pointer
  const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return buf;
}

}  // namespace evc::winsock
