// WSAStartup and WSACleanup, and the module "wsock32.dll" that the socket
// unit binds by name.
#include "platform/wsock32/startup.h"

#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/wsock32/handles.h"
#include "platform/wsock32/lookup_worker.h"
#include "platform/wsock32/spare_descriptor.h"

namespace evc::winsock {

namespace detail {

std::atomic<bool> gStarted{false};  // gStartCount > 0, for the fast check

namespace {
std::mutex gStartLock;
int gStartCount = 0;  // guarded by gStartLock
}  // namespace

}  // namespace detail

using namespace detail;

int WSAStartup(WORD versionRequested, WSADATA* data) {
  BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
  BYTE minor = static_cast<BYTE>(versionRequested >> 8);
  if (major == 0) return WSAVERNOTSUPPORTED;
  if (!data) return WSAEFAULT;
  // We speak 1.1 (and 1.0, its subset); a caller asking for more gets 1.1
  // and decides for itself whether that will do.
  WORD version = (major > 1 || (major == 1 && minor >= 1)) ? WORD(0x0101) : versionRequested;
  std::memset(data, 0, sizeof *data);
  data->wVersion = version;
  data->wHighVersion = 0x0101;
  std::snprintf(data->szDescription, sizeof data->szDescription, "evcomp Windows Sockets 1.1 over POSIX sockets");
  std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
  rlimit rl{};
  unsigned long maxSockets = 32767;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < maxSockets)
    maxSockets = rl.rlim_cur;
  data->iMaxSockets = static_cast<unsigned short>(maxSockets);
  data->iMaxUdpDg = 65467;
  data->lpVendorInfo = nullptr;
  std::lock_guard g(gStartLock);
  if (gStartCount++ == 0) {
    OpenSpare();
    gStarted.store(true, std::memory_order_release);
  }
  return 0;
}

int WSACleanup() {
  std::lock_guard g(gStartLock);
  if (gStartCount == 0) return Fail(WSANOTINITIALISED);
  if (--gStartCount == 0) {
    // As on Windows, the last clean-up resets every socket still open and
    // forgets every request still pending.
    gStarted.store(false, std::memory_order_release);
    CancelAllRequests();
    CloseAllSockets();
    CloseSpare();
  }
  return 0;
}

TModuleExports WinsockExports() {
  auto fp = [](auto f) { return reinterpret_cast<FARPROC>(f); };
  return {
      {"WSAStartup", fp(&WSAStartup)},
      {"WSACleanup", fp(&WSACleanup)},
      {"WSASetLastError", fp(&WSASetLastError)},
      {"WSAGetLastError", fp(&WSAGetLastError)},
      {"WSAAsyncSelect", fp(&WSAAsyncSelect)},
      {"WSAAsyncGetHostByName", fp(&WSAAsyncGetHostByName)},
      {"WSAAsyncGetHostByAddr", fp(&WSAAsyncGetHostByAddr)},
      {"WSACancelAsyncRequest", fp(&WSACancelAsyncRequest)},
      {"gethostbyname", fp(&gethostbyname)},
      {"gethostname", fp(&gethostname)},
      {"getservbyname", fp(&getservbyname)},
      {"getprotobyname", fp(&getprotobyname)},
      {"socket", fp(&socket)},
      {"bind", fp(&bind)},
      {"listen", fp(&listen)},
      {"accept", fp(&accept)},
      {"connect", fp(&connect)},
      {"shutdown", fp(&shutdown)},
      {"closesocket", fp(&closesocket)},
      {"setsockopt", fp(&setsockopt)},
      {"ioctlsocket", fp(&ioctlsocket)},
      {"getsockname", fp(&getsockname)},
      {"getpeername", fp(&getpeername)},
      {"send", fp(&send)},
      {"sendto", fp(&sendto)},
      {"recv", fp(&recv)},
      {"recvfrom", fp(&recvfrom)},
      {"htons", fp(&htons)},
      {"ntohs", fp(&ntohs)},
      {"inet_addr", fp(&inet_addr)},
      {"inet_ntoa", fp(&inet_ntoa)},
  };
}

void RegisterWinsockModule() { RegisterModule(kWinsockModuleName, WinsockExports()); }

namespace {
const bool kRegistered = (RegisterWinsockModule(), true);
}  // namespace

}  // namespace evc::winsock
