// The Windows Sockets 1.1 surface, over POSIX sockets, in namespace
// evc::winsock (so the socket unit's own wrappers can take the same names).
//
// The socket component never calls these functions directly: it finds them
// by name in the module "wsock32.dll" (see RegisterWinsockModule) through the
// kernel layer's module registry, exactly as it would bind the system DLL, so
// tests can register a replacement with an entry missing or a failing
// start-up. The declarations are the Windows ones; error codes are the
// Windows Sockets numbers, kept per thread.
//
// The implementation is in platform/wsock32/, a file per concern: errors
// (last error, errno mapping), handles (the handle table), select (the
// asynchronous-select engine), lookup_worker and host_entry (host lookups),
// and the calls themselves (socket_calls, transfer_calls, option_calls,
// databases, addresses, startup).
#pragma once
#include <cstdint>

#include "platform/kernel.h"
#include "platform/wintypes.h"

// glibc may define these as macros; here they are the library's functions.
#undef htons
#undef ntohs

namespace evc::winsock {

using SOCKET = uintptr_t;
using u_char = unsigned char;
using u_short = unsigned short;
using u_int = unsigned int;
using u_long = uint32_t;  // 32 bits, as on Windows

constexpr SOCKET INVALID_SOCKET = ~SOCKET(0);
constexpr int SOCKET_ERROR = -1;

constexpr int AF_UNSPEC_W = 0;
constexpr int AF_INET_W = 2;
constexpr int PF_INET_W = 2;
constexpr int SOCK_STREAM_W = 1;
constexpr int SOCK_DGRAM_W = 2;
constexpr int SOCK_RAW_W = 3;
constexpr int IPPROTO_IP_W = 0;
constexpr int IPPROTO_ICMP_W = 1;
constexpr int IPPROTO_TCP_W = 6;
constexpr int IPPROTO_UDP_W = 17;

constexpr u_long INADDR_ANY_W = 0x00000000;
constexpr u_long INADDR_NONE_W = 0xFFFFFFFF;
constexpr u_long INADDR_BROADCAST_W = 0xFFFFFFFF;

// Socket options with their Windows numbers.
constexpr int SOL_SOCKET_W = 0xFFFF;
constexpr int SO_DEBUG_W = 0x0001;
constexpr int SO_ACCEPTCONN_W = 0x0002;
constexpr int SO_REUSEADDR_W = 0x0004;
constexpr int SO_KEEPALIVE_W = 0x0008;
constexpr int SO_DONTROUTE_W = 0x0010;
constexpr int SO_BROADCAST_W = 0x0020;
constexpr int SO_LINGER_W = 0x0080;
constexpr int SO_OOBINLINE_W = 0x0100;
constexpr int SO_DONTLINGER_W = ~SO_LINGER_W;
constexpr int SO_SNDBUF_W = 0x1001;
constexpr int SO_RCVBUF_W = 0x1002;
constexpr int SO_ERROR_W = 0x1007;
constexpr int SO_TYPE_W = 0x1008;
constexpr int IP_MULTICAST_IF_W = 2;
constexpr int IP_MULTICAST_TTL_W = 3;
constexpr int IP_MULTICAST_LOOP_W = 4;
constexpr int IP_ADD_MEMBERSHIP_W = 5;
constexpr int IP_DROP_MEMBERSHIP_W = 6;
constexpr int TCP_NODELAY_W = 0x0001;

constexpr long FIONREAD_W = 0x4004667F;
constexpr long FIONBIO_W = static_cast<long>(0x8004667Eu);
constexpr long SIOCATMARK_W = 0x40047307;

constexpr int MSG_OOB_W = 0x1;
constexpr int MSG_PEEK_W = 0x2;
constexpr int MSG_DONTROUTE_W = 0x4;

// Notification bits of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr int MAXGETHOSTSTRUCT = 1024;
constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;

// Error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

#pragma pack(push, 1)
// Byte layouts as on the wire and on Windows; the address is in network order.
struct in_addr_w {
  u_long s_addr;
};
struct sockaddr_w {
  u_short sa_family;
  char sa_data[14];
};
struct sockaddr_in_w {
  short sin_family;
  u_short sin_port;  // network order
  in_addr_w sin_addr;
  char sin_zero[8];
};
#pragma pack(pop)

struct linger_w {
  u_short l_onoff;
  u_short l_linger;
};

struct ip_mreq_w {
  in_addr_w imr_multiaddr;
  in_addr_w imr_interface;
};

struct hostent_w {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

struct servent_w {
  char* s_name;
  char** s_aliases;
  short s_port;  // network order
  char* s_proto;
};

struct protoent_w {
  char* p_name;
  char** p_aliases;
  short p_proto;
};

struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[WSADESCRIPTION_LEN + 1];
  char szSystemStatus[WSASYS_STATUS_LEN + 1];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};

using HANDLE_W = uintptr_t;  // asynchronous request handle; 0 is failure

// The 31 entry points of the binding table, with their Windows signatures.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
void WSASetLastError(int error);
int WSAGetLastError();
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);
HANDLE_W WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE_W WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf, int buflen);
int WSACancelAsyncRequest(HANDLE_W asyncTaskHandle);
hostent_w* gethostbyname(const char* name);
int gethostname(char* name, int namelen);
servent_w* getservbyname(const char* name, const char* proto);
protoent_w* getprotobyname(const char* name);
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const sockaddr_w* addr, int namelen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_w* addr, int* addrlen);
int connect(SOCKET s, const sockaddr_w* name, int namelen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int getsockname(SOCKET s, sockaddr_w* name, int* namelen);
int getpeername(SOCKET s, sockaddr_w* name, int* namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr_w* to, int tolen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr_w* from, int* fromlen);
u_short htons(u_short hostshort);
u_short ntohs(u_short netshort);
u_long inet_addr(const char* cp);
char* inet_ntoa(in_addr_w in);

// Function-pointer types of the entries, for binding by name.
using TWSAStartup = int (*)(WORD, WSADATA*);
using TWSACleanup = int (*)();
using TWSASetLastError = void (*)(int);
using TWSAGetLastError = int (*)();
using TWSAAsyncSelect = int (*)(SOCKET, HWND, UINT, long);
using TWSAAsyncGetHostByName = HANDLE_W (*)(HWND, UINT, const char*, char*, int);
using TWSAAsyncGetHostByAddr = HANDLE_W (*)(HWND, UINT, const char*, int, int, char*, int);
using TWSACancelAsyncRequest = int (*)(HANDLE_W);
using Tgethostbyname = hostent_w* (*)(const char*);
using Tgethostname = int (*)(char*, int);
using Tgetservbyname = servent_w* (*)(const char*, const char*);
using Tgetprotobyname = protoent_w* (*)(const char*);
using Tsocket = SOCKET (*)(int, int, int);
using Tbind = int (*)(SOCKET, const sockaddr_w*, int);
using Tlisten = int (*)(SOCKET, int);
using Taccept = SOCKET (*)(SOCKET, sockaddr_w*, int*);
using Tconnect = int (*)(SOCKET, const sockaddr_w*, int);
using Tshutdown = int (*)(SOCKET, int);
using Tclosesocket = int (*)(SOCKET);
using Tsetsockopt = int (*)(SOCKET, int, int, const char*, int);
using Tioctlsocket = int (*)(SOCKET, long, u_long*);
using Tgetsockname = int (*)(SOCKET, sockaddr_w*, int*);
using Tgetpeername = int (*)(SOCKET, sockaddr_w*, int*);
using Tsend = int (*)(SOCKET, const char*, int, int);
using Tsendto = int (*)(SOCKET, const char*, int, int, const sockaddr_w*, int);
using Trecv = int (*)(SOCKET, char*, int, int);
using Trecvfrom = int (*)(SOCKET, char*, int, int, sockaddr_w*, int*);
using Thtons = u_short (*)(u_short);
using Tntohs = u_short (*)(u_short);
using Tinet_addr = u_long (*)(const char*);
using Tinet_ntoa = char* (*)(in_addr_w);

// --- helpers of this layer (not part of the binding table) ---
// The POSIX descriptor behind a socket of this layer, or -1. A SOCKET is not
// a descriptor number: it also carries a generation, so that a handle of a
// closed socket never names a later one that got the same descriptor.
int SocketDescriptor(SOCKET s);
// errno and getaddrinfo results in Windows Sockets codes.
int ErrnoToWinsock(int e);
int ResolverToWinsock(int eai);

// The module name the socket unit binds.
inline constexpr const char* kWinsockModuleName = "wsock32.dll";
// Registers the 31 entries above as the module "wsock32.dll" (done once at
// library start; tests may register a replacement under the same name and
// call this again to restore the real one).
void RegisterWinsockModule();
// The real entries, by name, for tests that build a replacement from them.
TModuleExports WinsockExports();

}  // namespace evc::winsock
