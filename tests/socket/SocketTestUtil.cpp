#include "SocketTestUtil.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "base/Application.h"
#include "common/LoopbackPeer.h"
#include "platform/kernel.h"
#include "platform/messages.h"

namespace sockt {

namespace ws = evc::winsock;

void TRecorder::Attach(TCustomWSocket& s, bool withData) {
  auto log = store;
  s.OnChangeState = [log](TObject*, TSocketState o, TSocketState n) {
    log->push_back(std::string("state ") + SocketStateName(o) + ">" + SocketStateName(n));
  };
  s.OnSessionConnected = [log](TObject*, WORD e) { log->push_back("connected " + std::to_string(e)); };
  s.OnSessionClosed = [log](TObject*, WORD e) { log->push_back("closed " + std::to_string(e)); };
  s.OnSessionAvailable = [log](TObject*, WORD e) { log->push_back("available " + std::to_string(e)); };
  s.OnDataSent = [log](TObject*, WORD e) { log->push_back("sent " + std::to_string(e)); };
  s.OnDnsLookupDone = [log](TObject*, WORD e) { log->push_back("dns " + std::to_string(e)); };
  if (withData) s.OnDataAvailable = [log](TObject*, WORD e) { log->push_back("data " + std::to_string(e)); };
}

bool TRecorder::Has(const std::string& entry) const { return Count(entry) > 0; }
int TRecorder::Count(const std::string& entry) const {
  int n = 0;
  for (const auto& l : log) n += (l == entry);
  return n;
}
std::string TRecorder::Joined() const {
  std::string s;
  for (const auto& l : log) s += (s.empty() ? "" : ", ") + l;
  return s;
}

TPrivateLoopback::TPrivateLoopback(int mtu) {
  FHome = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (FHome < 0 || ::unshare(CLONE_NEWNET) != 0) {
    FWhy = std::string("no network namespace of its own: ") + std::strerror(errno);
    if (FHome >= 0) ::close(FHome);
    FHome = -1;
    return;
  }
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
  ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
  ok = ok && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  ifr.ifr_mtu = mtu;
  ok = ok && ::ioctl(s, SIOCSIFMTU, &ifr) == 0;
  if (!ok) FWhy = std::string("cannot set up loopback: ") + std::strerror(errno);
  if (s >= 0) ::close(s);
}

TPrivateLoopback::~TPrivateLoopback() {
  if (FHome < 0) return;
  if (::setns(FHome, CLONE_NEWNET) != 0) std::abort();  // later tests must not run in here
  ::close(FHome);
}

TRawListener::TRawListener() {
  fd = loopback::ListenLoopback(&port);
}
TRawListener::~TRawListener() {
  if (fd >= 0) ::close(fd);
}
int TRawListener::AcceptOne(int milliseconds) {
  // The component's connect completes through the message queue, so keep
  // pumping while waiting for the connection.
  int got = -1;
  PumpUntil(
      [&] {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) got = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        return got >= 0;
      },
      milliseconds);
  return got;
}

int ClosedPort() { return loopback::FreePort(); }

int RawConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void RawReset(int fd) {
  linger l{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
  ::close(fd);
}

std::string RawReadAll(int fd, int milliseconds) {
  std::string out;
  PumpUntil(
      [&] {
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0) {
          char buf[4096];
          ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
          if (n <= 0) return n == 0 || (errno != EAGAIN && errno != EINTR);
          out.append(buf, static_cast<size_t>(n));
        }
        return false;
      },
      milliseconds);
  return out;
}

void RawClose(int fd) {
  if (fd >= 0) ::close(fd);
}

int OpenDescriptorCount() {
  int n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    --n;  // the directory's own descriptor
  }
  return n;
}

long ResidentKiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// --- the replacement module ---
namespace {

std::map<std::string, int> gFail;
std::set<std::string> gRemoved;
std::map<std::pair<int, int>, int> gFailOption;
int gStartupResult = 0;

bool Failing(const char* name) {
  auto it = gFail.find(name);
  if (it == gFail.end()) return false;
  ws::WSASetLastError(it->second);
  return true;
}

int FStartup(WORD v, ws::WSADATA* d) {
  if (gStartupResult != 0) return gStartupResult;
  return ws::WSAStartup(v, d);
}
int FAsyncSelect(ws::SOCKET s, HWND h, UINT m, long e) {
  return Failing("WSAAsyncSelect") ? -1 : ws::WSAAsyncSelect(s, h, m, e);
}
ws::HANDLE_W FByName(HWND h, UINT m, const char* n, char* b, int l) {
  return Failing("WSAAsyncGetHostByName") ? 0 : ws::WSAAsyncGetHostByName(h, m, n, b, l);
}
ws::HANDLE_W FByAddr(HWND h, UINT m, const char* a, int len, int t, char* b, int l) {
  return Failing("WSAAsyncGetHostByAddr") ? 0 : ws::WSAAsyncGetHostByAddr(h, m, a, len, t, b, l);
}
int FCancel(ws::HANDLE_W h) {
  if (Failing("WSACancelAsyncRequest")) return -1;
  return ws::WSACancelAsyncRequest(h);
}
int FGetHostName(char* n, int l) { return Failing("gethostname") ? -1 : ws::gethostname(n, l); }
ws::SOCKET FSocket(int a, int t, int p) { return Failing("socket") ? ws::INVALID_SOCKET : ws::socket(a, t, p); }
int FBind(ws::SOCKET s, const ws::sockaddr_w* a, int l) { return Failing("bind") ? -1 : ws::bind(s, a, l); }
int FListen(ws::SOCKET s, int b) { return Failing("listen") ? -1 : ws::listen(s, b); }
ws::SOCKET FAccept(ws::SOCKET s, ws::sockaddr_w* a, int* l) {
  return Failing("accept") ? ws::INVALID_SOCKET : ws::accept(s, a, l);
}
int FConnect(ws::SOCKET s, const ws::sockaddr_w* a, int l) { return Failing("connect") ? -1 : ws::connect(s, a, l); }
int FCloseSocket(ws::SOCKET s) {
  if (Failing("closesocket")) {
    // The handle must not leak in the test process: really close it, but
    // report the failure.
    int saved = ws::WSAGetLastError();
    ws::closesocket(s);
    ws::WSASetLastError(saved);
    return -1;
  }
  return ws::closesocket(s);
}
int FSetSockOpt(ws::SOCKET s, int lv, int o, const char* v, int l) {
  auto it = gFailOption.find({lv, o});
  if (it != gFailOption.end()) {
    ws::WSASetLastError(it->second);
    return -1;
  }
  return Failing("setsockopt") ? -1 : ws::setsockopt(s, lv, o, v, l);
}
int FIoctl(ws::SOCKET s, long c, ws::u_long* a) { return Failing("ioctlsocket") ? -1 : ws::ioctlsocket(s, c, a); }
int FGetSockName(ws::SOCKET s, ws::sockaddr_w* a, int* l) {
  return Failing("getsockname") ? -1 : ws::getsockname(s, a, l);
}
int FGetPeerName(ws::SOCKET s, ws::sockaddr_w* a, int* l) {
  return Failing("getpeername") ? -1 : ws::getpeername(s, a, l);
}
int FSend(ws::SOCKET s, const char* b, int l, int f) { return Failing("send") ? -1 : ws::send(s, b, l, f); }
int FSendTo(ws::SOCKET s, const char* b, int l, int f, const ws::sockaddr_w* t, int tl) {
  return Failing("sendto") ? -1 : ws::sendto(s, b, l, f, t, tl);
}

}  // namespace

TFaultModule::TFaultModule() {
  gFail.clear();
  gRemoved.clear();
  gFailOption.clear();
  gStartupResult = 0;
  evc::wsocket::UnloadSocketLibrary();
  Install();
}

TFaultModule::~TFaultModule() {
  evc::wsocket::UnloadSocketLibrary();
  gFail.clear();
  gRemoved.clear();
  gFailOption.clear();
  gStartupResult = 0;
  ws::RegisterWinsockModule();
}

void TFaultModule::Fail(const std::string& entry, int code) {
  if (code == 0)
    gFail.erase(entry);
  else
    gFail[entry] = code;
}
void TFaultModule::FailOption(int level, int option, int code) { gFailOption[{level, option}] = code; }
void TFaultModule::Remove(const std::string& entry) {
  gRemoved.insert(entry);
  Install();
}
void TFaultModule::FailStartup(int code) { gStartupResult = code; }

void TFaultModule::Install() {
  evc::TModuleExports e = ws::WinsockExports();
  auto put = [&](const char* name, FARPROC p) { e[name] = p; };
  put("WSAStartup", reinterpret_cast<FARPROC>(&FStartup));
  put("WSAAsyncSelect", reinterpret_cast<FARPROC>(&FAsyncSelect));
  put("WSAAsyncGetHostByName", reinterpret_cast<FARPROC>(&FByName));
  put("WSAAsyncGetHostByAddr", reinterpret_cast<FARPROC>(&FByAddr));
  put("WSACancelAsyncRequest", reinterpret_cast<FARPROC>(&FCancel));
  put("gethostname", reinterpret_cast<FARPROC>(&FGetHostName));
  put("socket", reinterpret_cast<FARPROC>(&FSocket));
  put("bind", reinterpret_cast<FARPROC>(&FBind));
  put("listen", reinterpret_cast<FARPROC>(&FListen));
  put("accept", reinterpret_cast<FARPROC>(&FAccept));
  put("connect", reinterpret_cast<FARPROC>(&FConnect));
  put("closesocket", reinterpret_cast<FARPROC>(&FCloseSocket));
  put("setsockopt", reinterpret_cast<FARPROC>(&FSetSockOpt));
  put("ioctlsocket", reinterpret_cast<FARPROC>(&FIoctl));
  put("getsockname", reinterpret_cast<FARPROC>(&FGetSockName));
  put("getpeername", reinterpret_cast<FARPROC>(&FGetPeerName));
  put("send", reinterpret_cast<FARPROC>(&FSend));
  put("sendto", reinterpret_cast<FARPROC>(&FSendTo));
  for (const auto& r : gRemoved) e.erase(r);
  evc::RegisterModule(ws::kWinsockModuleName, e);
}

}  // namespace sockt
