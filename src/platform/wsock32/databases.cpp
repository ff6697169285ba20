// The blocking database calls: gethostbyname from the system's resolver,
// getservbyname and getprotobyname from its services and protocols
// databases, and gethostname. Results live in per-thread storage, valid
// until the thread's next call of the same kind, as on Windows.
#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/wsock32/errors.h"
#include "platform/wsock32/host_entry.h"
#include "platform/wsock32/startup.h"

namespace evc::winsock {

namespace {

struct TThreadResults {
  std::vector<char> host;
  servent_w serv{};
  std::string servName, servProto;
  std::vector<std::string> servAliases;
  std::vector<char*> servAliasPtrs;
  protoent_w proto{};
  std::string protoName;
  std::vector<std::string> protoAliases;
  std::vector<char*> protoAliasPtrs;
};

TThreadResults& Results() {
  thread_local TThreadResults r;
  return r;
}

void CopyAliases(char** src, std::vector<std::string>& store, std::vector<char*>& ptrs) {
  store.clear();
  ptrs.clear();
  for (char** p = src; p && *p; ++p) store.emplace_back(*p);
  for (auto& s : store) ptrs.push_back(s.data());
  ptrs.push_back(nullptr);
}

}  // namespace

using namespace detail;

hostent_w* gethostbyname(const char* name) {
  if (!CheckStarted()) return nullptr;
  if (!name) {
    tLastError = WSAEFAULT;
    return nullptr;
  }
  std::string n = name;
  if (n.empty()) {  // the local host, as on Windows
    char h[256] = {};
    if (::gethostname(h, sizeof h - 1) != 0) {
      FailErrno(errno);
      return nullptr;
    }
    n = h;
  }
  THostResult r;
  int err = LookupName(n.c_str(), r);
  if (err != 0) {
    tLastError = err;
    return nullptr;
  }
  auto& store = Results().host;
  store.assign(EntrySize(r), 0);
  LayOut(r, store.data());
  return reinterpret_cast<hostent_w*>(store.data());
}

int gethostname(char* name, int namelen) {
  if (!CheckStarted()) return SOCKET_ERROR;
  if (!name || namelen <= 0) return Fail(WSAEFAULT);
  char h[256] = {};
  if (::gethostname(h, sizeof h - 1) != 0) return FailErrno(errno);
  size_t len = std::strlen(h);
  if (len + 1 > static_cast<size_t>(namelen)) return Fail(WSAEFAULT);
  std::memcpy(name, h, len + 1);
  return 0;
}

servent_w* getservbyname(const char* name, const char* proto) {
  if (!CheckStarted()) return nullptr;
  if (!name) {
    tLastError = WSAEFAULT;
    return nullptr;
  }
  if (proto && !*proto) proto = nullptr;  // any protocol
  servent se{};
  servent* res = nullptr;
  char buf[4096];
  if (getservbyname_r(name, proto, &se, buf, sizeof buf, &res) != 0 || !res) {
    tLastError = WSANO_DATA;
    return nullptr;
  }
  auto& R = Results();
  R.servName = res->s_name ? res->s_name : "";
  R.servProto = res->s_proto ? res->s_proto : "";
  CopyAliases(res->s_aliases, R.servAliases, R.servAliasPtrs);
  R.serv.s_name = R.servName.data();
  R.serv.s_aliases = R.servAliasPtrs.data();
  R.serv.s_port = static_cast<short>(res->s_port);  // already network order
  R.serv.s_proto = R.servProto.data();
  return &R.serv;
}

protoent_w* getprotobyname(const char* name) {
  if (!CheckStarted()) return nullptr;
  if (!name) {
    tLastError = WSAEFAULT;
    return nullptr;
  }
  protoent pe{};
  protoent* res = nullptr;
  char buf[4096];
  if (getprotobyname_r(name, &pe, buf, sizeof buf, &res) != 0 || !res) {
    tLastError = WSANO_DATA;
    return nullptr;
  }
  auto& R = Results();
  R.protoName = res->p_name ? res->p_name : "";
  CopyAliases(res->p_aliases, R.protoAliases, R.protoAliasPtrs);
  R.proto.p_name = R.protoName.data();
  R.proto.p_aliases = R.protoAliasPtrs.data();
  R.proto.p_proto = static_cast<short>(res->p_proto);
  return &R.proto;
}

}  // namespace evc::winsock
