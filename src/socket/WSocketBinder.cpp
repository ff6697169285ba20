// Lazy binding of the socket library: load and start on first need, one
// entry looked up by name at its first call, everything dropped again when
// the last component goes.
#include <cstring>

#include "socket/WSocket.h"

namespace evc {

std::atomic<LONG> SocketUsers{0};

namespace wsocket {
namespace {

// One slot per wrapped function, filled at the function's first call.
enum TEntry : int {
  eWSAStartup, eWSACleanup, eWSASetLastError, eWSAGetLastError,
  eWSAAsyncSelect, eWSAAsyncGetHostByName, eWSAAsyncGetHostByAddr, eWSACancelAsyncRequest,
  egethostbyname, egethostname, egetservbyname, egetprotobyname,
  esocket, ebind, elisten, eaccept, econnect, eshutdown, eclosesocket, esetsockopt,
  eioctlsocket, egetsockname, egetpeername,
  esend, esendto, erecv, erecvfrom,
  ehtons, entohs, einet_addr, einet_ntoa,
  kEntryCount
};

const char* const kEntryNames[kEntryCount] = {
    "WSAStartup", "WSACleanup", "WSASetLastError", "WSAGetLastError",
    "WSAAsyncSelect", "WSAAsyncGetHostByName", "WSAAsyncGetHostByAddr", "WSACancelAsyncRequest",
    "gethostbyname", "gethostname", "getservbyname", "getprotobyname",
    "socket", "bind", "listen", "accept", "connect", "shutdown", "closesocket", "setsockopt",
    "ioctlsocket", "getsockname", "getpeername",
    "send", "sendto", "recv", "recvfrom",
    "htons", "ntohs", "inet_addr", "inet_ntoa",
};

// Unit-level state, one copy per process. Not locked: two threads making
// their first call together may both resolve an entry, which yields the
// same pointer.
std::atomic<HMODULE> gLibHandle{0};
WSADATA gStartupData;
std::atomic<FARPROC> gTable[kEntryCount];
std::atomic<FARPROC> gDirectSetSockOpt{nullptr};
std::atomic<FARPROC> gDirectInetAddr{nullptr};

template <class F>
F Entry(TEntry e) {
  FARPROC p = gTable[e].load(std::memory_order_acquire);
  if (!p) {
    p = LoadSocketFunction(kEntryNames[e]);
    gTable[e].store(p, std::memory_order_release);
  }
  return reinterpret_cast<F>(p);
}

// Unit shut-down releases the library even when components were never
// destroyed.
struct TUnitFinalizer {
  ~TUnitFinalizer() {
    try {
      UnloadSocketLibrary();
    } catch (...) {
    }
  }
} gFinalizer;

}  // namespace

FARPROC LoadSocketFunction(const std::string& name) {
  if (gLibHandle.load() == 0) {
    HMODULE h = ::evc::LoadLibrary(winsock::kWinsockModuleName);
    if (h == 0)
      throw ESocketException("Unable to load " + std::string(winsock::kWinsockModuleName) +
                             " Error #" + std::to_string(::evc::GetLastError()));
    gLibHandle.store(h);
    // The start-up goes through its own wrapper, which finds the handle set
    // and only looks the entry up. A failed start leaves the module loaded,
    // so later calls do not try to start it again.
    int rc = wsocket::WSAStartup(0x0101, &gStartupData);
    if (rc != 0)
      throw ESocketException(FormatText("%s: WSAStartup error #%d",
                                        {std::string(winsock::kWinsockModuleName), int64_t(rc)}));
  }
  if (name.empty()) return nullptr;
  FARPROC p = ::evc::GetProcAddress(gLibHandle.load(), name.c_str());
  if (!p)
    throw ESocketException("Procedure " + name + " not found in " +
                           std::string(winsock::kWinsockModuleName) + " Error #" +
                           std::to_string(::evc::GetLastError()));
  return p;
}

void UnloadSocketLibrary() {
  HMODULE h = gLibHandle.load();
  if (h != 0) {
    try {
      WSACleanup();
    } catch (const ESocketException&) {
      // A module without a clean-up entry is still unloaded.
    }
    ::evc::FreeLibrary(h);
    gLibHandle.store(0);
    for (auto& e : gTable) e.store(nullptr);
    gDirectSetSockOpt.store(nullptr);
    gDirectInetAddr.store(nullptr);
  }
  SocketUsers.store(0);
}

bool SocketLibraryLoaded() { return gLibHandle.load() != 0; }

int WSAStartup(WORD v, WSADATA* d) { return Entry<winsock::TWSAStartup>(eWSAStartup)(v, d); }
int WSACleanup() { return Entry<winsock::TWSACleanup>(eWSACleanup)(); }
void WSASetLastError(int e) { Entry<winsock::TWSASetLastError>(eWSASetLastError)(e); }
int WSAGetLastError() { return Entry<winsock::TWSAGetLastError>(eWSAGetLastError)(); }
int WSAAsyncSelect(SOCKET s, HWND w, UINT m, long ev) {
  return Entry<winsock::TWSAAsyncSelect>(eWSAAsyncSelect)(s, w, m, ev);
}
HANDLE_W WSAAsyncGetHostByName(HWND w, UINT m, const char* n, char* b, int l) {
  return Entry<winsock::TWSAAsyncGetHostByName>(eWSAAsyncGetHostByName)(w, m, n, b, l);
}
HANDLE_W WSAAsyncGetHostByAddr(HWND w, UINT m, const char* a, int len, int t, char* b, int l) {
  return Entry<winsock::TWSAAsyncGetHostByAddr>(eWSAAsyncGetHostByAddr)(w, m, a, len, t, b, l);
}
int WSACancelAsyncRequest(HANDLE_W h) {
  return Entry<winsock::TWSACancelAsyncRequest>(eWSACancelAsyncRequest)(h);
}
hostent_w* gethostbyname(const char* n) { return Entry<winsock::Tgethostbyname>(egethostbyname)(n); }
int gethostname(char* n, int l) { return Entry<winsock::Tgethostname>(egethostname)(n, l); }
servent_w* getservbyname(const char* n, const char* p) {
  return Entry<winsock::Tgetservbyname>(egetservbyname)(n, p);
}
protoent_w* getprotobyname(const char* n) { return Entry<winsock::Tgetprotobyname>(egetprotobyname)(n); }
SOCKET socket(int af, int type, int proto) { return Entry<winsock::Tsocket>(esocket)(af, type, proto); }
int bind(SOCKET s, const sockaddr_w* a, int l) { return Entry<winsock::Tbind>(ebind)(s, a, l); }
int listen(SOCKET s, int b) { return Entry<winsock::Tlisten>(elisten)(s, b); }
SOCKET accept(SOCKET s, sockaddr_w* a, int* l) { return Entry<winsock::Taccept>(eaccept)(s, a, l); }
int connect(SOCKET s, const sockaddr_w* a, int l) { return Entry<winsock::Tconnect>(econnect)(s, a, l); }
int shutdown(SOCKET s, int how) { return Entry<winsock::Tshutdown>(eshutdown)(s, how); }
int closesocket(SOCKET s) { return Entry<winsock::Tclosesocket>(eclosesocket)(s); }
int setsockopt(SOCKET s, int lv, int o, const char* v, int l) {
  return Entry<winsock::Tsetsockopt>(esetsockopt)(s, lv, o, v, l);
}
int ioctlsocket(SOCKET s, long c, u_long* a) { return Entry<winsock::Tioctlsocket>(eioctlsocket)(s, c, a); }
int getsockname(SOCKET s, sockaddr_w* a, int* l) {
  return Entry<winsock::Tgetsockname>(egetsockname)(s, a, l);
}
int getpeername(SOCKET s, sockaddr_w* a, int* l) {
  return Entry<winsock::Tgetpeername>(egetpeername)(s, a, l);
}
int send(SOCKET s, const char* b, int l, int f) { return Entry<winsock::Tsend>(esend)(s, b, l, f); }
int sendto(SOCKET s, const char* b, int l, int f, const sockaddr_w* t, int tl) {
  return Entry<winsock::Tsendto>(esendto)(s, b, l, f, t, tl);
}
int recv(SOCKET s, char* b, int l, int f) { return Entry<winsock::Trecv>(erecv)(s, b, l, f); }
int recvfrom(SOCKET s, char* b, int l, int f, sockaddr_w* a, int* al) {
  return Entry<winsock::Trecvfrom>(erecvfrom)(s, b, l, f, a, al);
}
u_short htons(u_short v) { return Entry<winsock::Thtons>(ehtons)(v); }
u_short ntohs(u_short v) { return Entry<winsock::Tntohs>(entohs)(v); }
u_long inet_addr(const char* cp) { return Entry<winsock::Tinet_addr>(einet_addr)(cp); }
char* inet_ntoa(in_addr_w in) { return Entry<winsock::Tinet_ntoa>(einet_ntoa)(in); }

namespace {
// The load-time imports: taken from the loaded module when it has them,
// from the real library otherwise (a load-time import cannot be missing).
template <class F>
F DirectEntry(std::atomic<FARPROC>& slot, const char* name, F fallback) {
  FARPROC p = slot.load(std::memory_order_acquire);
  if (p) return reinterpret_cast<F>(p);
  HMODULE h = gLibHandle.load();
  if (h == 0) return fallback;
  DWORD saved = ::evc::GetLastError();
  p = ::evc::GetProcAddress(h, name);
  ::evc::SetLastError(saved);
  if (!p) return fallback;
  slot.store(p, std::memory_order_release);
  return reinterpret_cast<F>(p);
}
}  // namespace

int DirectSetSockOpt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  auto f = DirectEntry<winsock::Tsetsockopt>(gDirectSetSockOpt, "setsockopt", &winsock::setsockopt);
  return f(s, level, optname, optval, optlen);
}

u_long DirectInetAddr(const char* cp) {
  auto f = DirectEntry<winsock::Tinet_addr>(gDirectInetAddr, "inet_addr", &winsock::inet_addr);
  return f(cp);
}

}  // namespace wsocket
}  // namespace evc
