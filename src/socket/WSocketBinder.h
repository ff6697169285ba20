// The binding to the Windows Sockets library.
//
// The socket unit never links the socket library for its ordinary calls: it
// loads the module "wsock32.dll" at the first call that needs it, starts it
// up at version 1.1, and looks each entry up by name the first time that
// entry is called. Every call of the socket components goes through the
// wrappers below (same names and signatures as the library's), so nothing
// touches the network until a component is really used, and a module that
// cannot be loaded, started or searched turns into an ESocketException with
// a readable text instead of a failure at load time.
//
// The wrappers live in namespace evc::wsocket so that they never clash with
// the C library's functions of the same names.
#pragma once
#include <atomic>
#include <string>

#include "platform/wsock32.h"

namespace evc {

// Number of live socket components in the process. Construction increments
// it, destruction decrements it and unloads the library when it reaches 0.
extern std::atomic<LONG> SocketUsers;

namespace wsocket {

using winsock::HANDLE_W;
using winsock::hostent_w;
using winsock::in_addr_w;
using winsock::protoent_w;
using winsock::servent_w;
using winsock::sockaddr_in_w;
using winsock::sockaddr_w;
using winsock::SOCKET;
using winsock::u_long;
using winsock::u_short;
using winsock::WSADATA;

// Ensures the library is loaded and started, then returns the entry called
// `name` (nothing for an empty name). Raises ESocketException with the
// binder's texts when the module cannot be loaded, its start-up fails or the
// entry is missing.
FARPROC LoadSocketFunction(const std::string& name);
// Cleans up and unloads the library (when loaded), empties the entry table
// and sets SocketUsers to 0.
void UnloadSocketLibrary();
// Whether the library is loaded now (for tests and diagnostics).
bool SocketLibraryLoaded();

int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
void WSASetLastError(int error);
int WSAGetLastError();
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);
HANDLE_W WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE_W WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                               int buflen);
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

// The two calls bound when the library module is loaded rather than through
// the table (the multicast and address-reuse options, the multicast group
// address). They never raise "not found": a module that lacks them falls
// back to the real library's entries.
int DirectSetSockOpt(SOCKET s, int level, int optname, const char* optval, int optlen);
u_long DirectInetAddr(const char* cp);

}  // namespace wsocket
}  // namespace evc
