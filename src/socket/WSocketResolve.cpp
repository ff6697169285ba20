// Name, port and protocol resolution: the blocking unit functions and the
// component's asynchronous lookups.
#include <cstring>

#include "socket/WSocket.h"
#include "base/TextUtils.h"

namespace evc {

namespace {

bool IsBlank(char c) { return c == ' '; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr size_t kMaxHostText = 256;
constexpr size_t kMaxPortText = 31;

}  // namespace

bool IsDottedQuad(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  if (i < n && s[i] == '.') return false;
  // The group value is capped: past 255 it only has to stay "too big".
  unsigned group = 0;
  int dots = 0;
  for (; i < n; ++i) {
    char c = s[i];
    if (c == '.') {
      ++dots;
      if (dots > 3 || group > 255 || i + 1 >= n || !IsDigit(s[i + 1])) return false;
      group = 0;
    } else if (IsDigit(c)) {
      group = group * 10 + static_cast<unsigned>(c - '0');
      if (group > 100000) group = 100000;
    } else {
      while (i < n && IsBlank(s[i])) ++i;
      if (i < n) return false;
      break;
    }
  }
  return dots == 3 && group <= 255;
}

int ParseDecimal(const std::string& s) {
  size_t i = 0, n = s.size();
  while (i < n && IsBlank(s[i])) ++i;
  // Unsigned arithmetic wraps like the 32-bit integer of the original
  // without undefined behaviour on long digit runs.
  uint32_t value = 0;
  for (; i < n && IsDigit(s[i]); ++i) value = value * 10u + static_cast<uint32_t>(s[i] - '0');
  return static_cast<int>(value);
}

winsock::u_long WSocketResolveHost(const std::string& inAddr) {
  if (inAddr.empty() || inAddr.size() > kMaxHostText)
    throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid Hostname.");
  std::string name = Trim(inAddr);
  if (IsDottedQuad(inAddr)) {
    winsock::u_long a = wsocket::inet_addr(name.c_str());
    if (a == winsock::INADDR_NONE_W && name != "255.255.255.255")
      throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid IP address.");
    return a;
  }
  winsock::hostent_w* he = wsocket::gethostbyname(name.c_str());
  if (!he || !he->h_addr_list || !he->h_addr_list[0])
    throw ESocketException(FormatText("WSocketResolveHost: Cannot convert host address '%s', Error #%d",
                                      {inAddr, int64_t(wsocket::WSAGetLastError())}));
  winsock::u_long a;
  std::memcpy(&a, he->h_addr_list[0], sizeof(a));
  return a;
}

uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
  if (port.empty() || port.size() > kMaxPortText) throw ESocketException("WSocketResolvePort: Invalid Port.");
  if (proto.empty() || proto.size() > kMaxPortText)
    throw ESocketException("WSocketResolvePort: Invalid Proto.");
  if (IsDigit(port[0])) return static_cast<uint16_t>(ParseDecimal(port) & 0xFFFF);
  std::string name = Trim(port);
  std::string p = Trim(proto);
  winsock::servent_w* se = wsocket::getservbyname(name.c_str(), p.empty() ? nullptr : p.c_str());
  if (!se)
    throw ESocketException(FormatText("WSocketResolvePort: Cannot convert port '%s', Error #%d",
                                      {port, int64_t(wsocket::WSAGetLastError())}));
  return wsocket::ntohs(static_cast<winsock::u_short>(se->s_port));
}

int WSocketResolveProto(const std::string& proto) {
  if (proto.empty() || proto.size() > kMaxPortText)
    throw ESocketException("WSocketResolveProto: Invalid Protocol.");
  std::string p = Trim(proto);
  if (!p.empty() && IsDigit(p[0])) return ParseDecimal(p);
  winsock::protoent_w* pe = wsocket::getprotobyname(p.c_str());
  if (!pe)
    throw ESocketException(FormatText("WSocketResolveProto: Cannot convert protocol '%s', Error #%d",
                                      {p, int64_t(wsocket::WSAGetLastError())}));
  return pe->p_proto;
}

winsock::hostent_w* WSocketGetHostByName(const std::string& name) {
  if (name.empty() || name.size() > kMaxHostText)
    throw ESocketException("WSocketGetHostByName: Invalid Hostname.");
  return wsocket::gethostbyname(name.c_str());
}

void CollectAddresses(const winsock::hostent_w* he, TStrings& list) {
  if (!he || !he->h_addr_list) return;
  for (char** p = he->h_addr_list; *p; ++p) {
    winsock::in_addr_w a;
    std::memcpy(&a.s_addr, *p, sizeof(a.s_addr));
    list.Add(wsocket::inet_ntoa(a));
  }
}

std::string MachineHostName() {
  char buf[64] = {};
  if (wsocket::gethostname(buf, sizeof(buf)) != 0) throw ESocketException("Winsock.GetHostName failed");
  buf[sizeof(buf) - 1] = '\0';
  return buf;
}

TStrings& LocalAddressList() {
  // Made at unit start-up, shared by every caller, never locked.
  static TStringList* list = new TStringList;
  list->Clear();
  if (winsock::hostent_w* he = WSocketGetHostByName(MachineHostName())) CollectAddresses(he, *list);
  return *list;
}

// --- the component's lookups ---

void TCustomWSocket::DnsLookup(const std::string& hostName) {
  using namespace winsock;
  if (hostName.empty()) {
    ReportError("DNS lookup: invalid host name.");
    FireDnsLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsLookupHandle != 0) {
    wsocket::WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList->Clear();
  if (IsDottedQuad(hostName)) {
    u_long a = wsocket::inet_addr(hostName.c_str());
    if (a != INADDR_NONE_W) {
      in_addr_w ia;
      ia.s_addr = a;
      FDnsResult = wsocket::inet_ntoa(ia);
      FDnsResultList->Add(FDnsResult);
      FireDnsLookupDone(0);
      return;
    }
  }
  if (FWindowHandle == 0) {
    ReportError("DnsLookup: Window not assigned");
    return;
  }
  FEarlyReplyPending = false;
  FDnsLookupHandle = wsocket::WSAAsyncGetHostByName(FWindowHandle, WM_ASYNCGETHOSTBYNAME, hostName.c_str(),
                                                    FDnsLookupBuffer, sizeof(FDnsLookupBuffer));
  if (FDnsLookupHandle == 0) {
    ReportErrorFmt("%s: can't start DNS lookup, error #%d", {hostName, int64_t(wsocket::WSAGetLastError())});
    return;
  }
  if (FEarlyReplyPending) {
    FEarlyReplyPending = false;
    HandleNameLookupDone(FEarlyReply);
  }
}

void TCustomWSocket::HandleNameLookupDone(TMessage& msg) {
  if (FDnsLookupHandle == 0) {
    FEarlyReply = msg;
    FEarlyReplyPending = true;
    return;
  }
  if (msg.WParam != FDnsLookupHandle) return;
  FDnsLookupHandle = 0;
  WORD error = static_cast<WORD>((static_cast<uintptr_t>(msg.LParam) >> 16) & 0xFFFF);
  if (error == 0) {
    CollectAddresses(reinterpret_cast<const winsock::hostent_w*>(FDnsLookupBuffer), *FDnsResultList);
    FDnsResult = FDnsResultList->Count() > 0 ? FDnsResultList->Strings(0) : std::string();
  }
  FireDnsLookupDone(error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& hostAddr) {
  using namespace winsock;
  if (hostAddr.empty() || hostAddr.size() > kMaxHostText) {
    ReportError("ReverseDnsLookup: Invalid host name.");
    FireDnsLookupDone(WSAEINVAL);
    return;
  }
  if (FDnsLookupHandle != 0) {
    wsocket::WSACancelAsyncRequest(FDnsLookupHandle);
    FDnsLookupHandle = 0;
  }
  FDnsResult.clear();
  FDnsResultList->Clear();
  u_long address = wsocket::inet_addr(hostAddr.c_str());
  if (FWindowHandle == 0) {
    ReportError("ReverseDnsLookup: Window not assigned");
    return;
  }
  FDnsLookupHandle =
      wsocket::WSAAsyncGetHostByAddr(FWindowHandle, WM_ASYNCGETHOSTBYADDR, reinterpret_cast<const char*>(&address),
                                     4, AF_INET_W, FDnsLookupBuffer, sizeof(FDnsLookupBuffer));
  if (FDnsLookupHandle == 0)
    ReportErrorFmt("%s: can't start DNS lookup, error #%d", {hostAddr, int64_t(wsocket::WSAGetLastError())});
}

void TCustomWSocket::HandleAddrLookupDone(TMessage& msg) {
  if (FDnsLookupHandle == 0 || msg.WParam != FDnsLookupHandle) return;
  FDnsLookupHandle = 0;
  WORD error = static_cast<WORD>((static_cast<uintptr_t>(msg.LParam) >> 16) & 0xFFFF);
  if (error == 0) {
    auto* he = reinterpret_cast<const winsock::hostent_w*>(FDnsLookupBuffer);
    FDnsResult = (he->h_name) ? he->h_name : "";
    FDnsResultList->Clear();
    FDnsResultList->Add(FDnsResult);
  }
  FireDnsLookupDone(error);
}

void TCustomWSocket::CancelLookup() {
  if (FDnsLookupHandle == 0) return;
  if (wsocket::WSACancelAsyncRequest(FDnsLookupHandle) != 0) {
    FDnsLookupHandle = 0;
    FailCall("WSACancelAsyncRequest");
    return;
  }
  FDnsLookupHandle = 0;
  if (!ComponentState().Contains(csDestroying)) FireDnsLookupDone(winsock::WSAEINTR);
}

}  // namespace evc
