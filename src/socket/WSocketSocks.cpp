// The SOCKS layer: proxy settings, Connect through the proxy, and the
// handshake as a small state machine driven by the core's notifications.
//
//   socksData --Connect--> socksNegotiateMethods --TCP up--> (4/4A) socksConnect
//                                                       \--> (5) greeting sent
//   method 0 --> socksConnect;  method 2 --> socksAuthenticate --> socksConnect
//   socksConnect --reply ok--> socksData (session connected)
//   any failure --> socksData, OnSocksError, OnSessionConnected(code), close
#include "socket/WSocketSocks.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/TextUtils.h"
#include "base/TypInfo.h"

namespace evc {

namespace {

// The class name shown with a failed local resolution.
const char* ExceptionClassName(const Exception& e) {
  return dynamic_cast<const ESocketException*>(&e) ? "ESocketException" : "Exception";
}

// Text of a SOCKS 5 reply code other than 0.
std::string Socks5ReplyText(int code) {
  switch (code) {
    case 1: return "general SOCKS server failure";
    case 2: return "connection not allowed by ruleset";
    case 3: return "network unreachable";
    case 4: return "host unreachable";
    case 5: return "connection refused";
    case 6: return "time to live expired";
    case 7: return "command not supported";
    case 8: return "address type not supported";
    default: return "unassigned error #" + std::to_string(code);
  }
}

// How much of each request is fixed bytes, so what is left of the block for
// the variable parts.
constexpr int kSocks5ConnectRoom = kSocksBlockSize - 7;   // 05 01 00 03 len .. port
constexpr int kSocks4ConnectRoom = kSocksBlockSize - 9;   // 04 01 port addr .. 00
constexpr int kSocks4AConnectRoom = kSocksBlockSize - 10;  // .. 00 .. 00
constexpr int kAuthRequestRoom = kSocksBlockSize - 3;     // 01 len .. len ..
// Replies are collected up to this many bytes, so one byte of the block
// always stays free.
constexpr int kReplyLimit = kSocksBlockSize - 1;

const char* const kRequestTooLong = "socks request too long";

}  // namespace

const char* SocksStateName(TSocksState s) {
  switch (s) {
    case socksData: return "socksData";
    case socksNegotiateMethods: return "socksNegotiateMethods";
    case socksAuthenticate: return "socksAuthenticate";
    case socksConnect: return "socksConnect";
  }
  return "?";
}

TCustomSocksWSocket::~TCustomSocksWSocket() {
  // Used on its own (not as a base of DAVidavi), the session still ends
  // while this layer's overrides can take part.
  try {
    CloseBeforeDestruction();
  } catch (...) {
  }
}

// --- settings ---

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomWSocket::ResetToDefaults();
  FSocksState = socksData;
  FSocksServer.clear();
  FSocksPort.clear();
  FSocksLevel = "5";
  FSocksHeldCount = 0;
  FSocksHeldPos = FSocksReplyBuffer;
  FSocksNameSkip = -1;
  FSocksServerAssigned = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& value) {
  if (FState != wsClosed) {
    ReportError("Can't change socks level if not closed");
    return;
  }
  if (value != "4" && value != "5" && value != "4A" && value != "4a") {
    ReportError("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  FSocksLevel = value == "4a" ? "4A" : value;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& value) {
  if (FState != wsClosed) {
    ReportError("Can't change socks port if not closed");
    return;
  }
  FSocksPort = Trim(value);
  // A remote port resolved before belongs to another proxy, or to a direct
  // attempt: the next Connect resolves it again.
  FPortResolved = false;
}

void TCustomSocksWSocket::SetSocksServer(const std::string& value) {
  if (FState != wsClosed) {
    ReportError("Can't change socks server if not closed");
    return;
  }
  FSocksServer = Trim(value);
  FSocksServerAssigned = !FSocksServer.empty();
  // As for the port: the remote address resolved before is not this one's.
  FAddrResolved = false;
  FPortResolved = false;
}

// --- Connect and Listen ---

void TCustomSocksWSocket::Listen() {
  if (FSocksServerAssigned) {
    ReportError("Listening is not supported thru socks server");
    return;
  }
  TCustomWSocket::Listen();
}

bool TCustomSocksWSocket::RefuseOversizedRequest() {
  size_t addr = FAddrAssigned ? FAddrStr.size() : 0;
  size_t user = FSocksUsercode.size();
  if (FSocksLevel == "4") {
    if (user > size_t(kSocks4ConnectRoom)) {
      ReportError("Connect: SocksUsercode too long for a socks 4 request (" + std::to_string(kSocks4ConnectRoom) +
                  " bytes at most)");
      return true;
    }
  } else if (FSocksLevel == "4A") {
    if (user + addr > size_t(kSocks4AConnectRoom)) {
      ReportError("Connect: SocksUsercode and Addr too long for a socks 4A request (" +
                  std::to_string(kSocks4AConnectRoom) + " bytes at most together)");
      return true;
    }
  } else {
    if (addr > size_t(kSocks5ConnectRoom)) {
      ReportError("Connect: Addr too long for a socks 5 request (" + std::to_string(kSocks5ConnectRoom) +
                  " bytes at most)");
      return true;
    }
    if (FSocksAuthentication == socksAuthenticateUsercode &&
        user + FSocksPassword.size() > size_t(kAuthRequestRoom)) {
      ReportError("Connect: SocksUsercode and SocksPassword too long for socks authentication (" +
                  std::to_string(kAuthRequestRoom) + " bytes at most together)");
      return true;
    }
  }
  return false;
}

void TCustomSocksWSocket::Connect() {
  if (!FSocksServerAssigned) {
    TCustomWSocket::Connect();
    return;
  }
  // A Connect on a live session is refused by the core; the handshake
  // phase, the reply buffer and the addresses of that session stay as
  // they are.
  if (FHSocket != winsock::INVALID_SOCKET && FState != wsClosed) {
    TCustomWSocket::Connect();
    return;
  }
  if (LowerCase(FProtoStr) != "tcp") {
    ReportError("tcp is the only protocol supported thru socks server");
    return;
  }
  if (RefuseOversizedRequest()) return;

  bool failed = false;
  bool portSet = false, addrSet = false;
  std::string message;
  try {
    if (!FPortResolved) {
      FSin.sin_port = wsocket::htons(WSocketResolvePort(FSocksPort, FProtoStr));
      FPortResolved = portSet = true;
    }
    if (!FAddrResolved) {
      FSin.sin_addr.s_addr = WSocketResolveHost(FSocksServer);
      FAddrResolved = addrSet = true;
    }
    // The destination port travels in the request; Addr is not resolved
    // here (SOCKS 4 resolves it when building its request).
    FPortNum = WSocketResolvePort(FPortStr, FProtoStr);
  } catch (const Exception& e) {
    failed = true;
    message = e.Message();
  }
  if (failed) {
    // The proxy's half-resolved address must not be taken for the
    // destination's by a later direct Connect.
    if (portSet) FPortResolved = false;
    if (addrSet) FAddrResolved = false;
    ReportError("connect: " + message);
    return;
  }

  FSocksState = socksNegotiateMethods;
  FSocksReplyCount = 0;
  FSocksNameSkip = -1;
  // When the core refuses before anything is opened (no Port, no Addr...),
  // no handshake may wait for a later connection to turn up.
  try {
    TCustomWSocket::Connect();
  } catch (...) {
    if (FState == wsClosed) FSocksState = socksData;
    throw;
  }
  if (FState == wsClosed) FSocksState = socksData;
}

// --- reading ---

int32_t TCustomSocksWSocket::RcvdCount() const {
  if (FSocksHeldCount > 0) return FSocksHeldCount;
  return TCustomWSocket::RcvdCount();
}

int TCustomSocksWSocket::ReadSocket(char* buffer, int size, int flags) {
  if (FSocksHeldCount <= 0 || size <= 0) return TCustomWSocket::ReadSocket(buffer, size, flags);
  int n = std::min(size, FSocksHeldCount);
  std::memcpy(buffer, FSocksHeldPos, static_cast<size_t>(n));
  FSocksHeldPos += n;
  FSocksHeldCount -= n;
  CountLayerRead();
  return n;
}

// --- events ---

void TCustomSocksWSocket::FireSocksConnected(WORD error) { OnSocksConnected(this, error); }
void TCustomSocksWSocket::FireSocksError(int32_t error, const std::string& msg) { OnSocksError(this, error, msg); }
void TCustomSocksWSocket::FireSocksAuthState(TSocksAuthState authState) { OnSocksAuthState(this, authState); }

void TCustomSocksWSocket::FireSessionConnected(WORD error) {
  if (FSocksState != socksNegotiateMethods) {
    TCustomWSocket::FireSessionConnected(error);
    return;
  }
  winsock::SOCKET handle = FHSocket;
  FireSocksConnected(error);
  if (error != 0) {
    // The phase stays until the core's close resets it.
    TCustomWSocket::FireSessionConnected(error);
    return;
  }
  if (FHSocket != handle || FSocksState != socksNegotiateMethods) return;  // the handler closed it
  if (LevelIs4()) {
    SendSocksConnectRequest();
    return;
  }
  FSocksAuthMethod = FSocksAuthentication == socksNoAuthentication ? 0 : 2;
  const uint8_t greeting[3] = {0x05, 0x01, FSocksAuthMethod};
  SendRequest(greeting, sizeof(greeting));
}

void TCustomSocksWSocket::FireSessionClosed(WORD error) {
  if (FSocksState == socksAuthenticate) FireSocksAuthState(socksAuthFailure);
  TCustomWSocket::FireSessionClosed(error);
}

bool TCustomSocksWSocket::FireDataAvailable(WORD error) {
  if (FSocksState == socksData) return TCustomWSocket::FireDataAvailable(error);
  if (error != 0) {
    FailSocksHandshake(error, "data receive error");
    return false;
  }
  switch (FSocksState) {
    case socksNegotiateMethods: return HandleMethodReply();
    case socksAuthenticate: return HandleAuthReply();
    case socksConnect: return LevelIs4() ? HandleSocks4Reply() : HandleSocks5Reply();
    default:
      FailSocksHandshake(kSocksInternalError, "internal error");
      return false;
  }
}

// --- the handshake ---

bool TCustomSocksWSocket::CollectReply(int limit) {
  int room = limit - FSocksReplyCount;
  if (room <= 0) return true;
  int n = Receive(FSocksReplyBuffer + FSocksReplyCount, room);
  if (n < 0) return false;
  FSocksReplyCount += n;
  return true;
}

void TCustomSocksWSocket::SendRequest(const uint8_t* data, int len) {
  try {
    Send(data, len);
  } catch (const Exception&) {
  }
}

void TCustomSocksWSocket::FailSocksHandshake(int error, const std::string& msg) {
  winsock::SOCKET handle = FHSocket;
  FireSocksError(error, msg);
  // Handlers may close the socket, or even start a new connection; what
  // follows belongs to this one only (a close has already reset the phase,
  // and a new connection's phase is its own).
  if (FHSocket != handle) return;
  FSocksState = socksData;
  FireSessionConnected(static_cast<WORD>(error));
  if (FHSocket != handle) return;
  CloseAndNotify(true, static_cast<WORD>(error));
}

bool TCustomSocksWSocket::HandleMethodReply() {
  if (!CollectReply(kReplyLimit)) return true;
  if (LevelIs4()) {
    FailSocksHandshake(kSocksLogicError, "DAVidavi logic error");
    return false;
  }
  if (FSocksReplyCount < 2) return true;
  FSocksReplyCount = 0;
  auto* b = reinterpret_cast<const uint8_t*>(FSocksReplyBuffer);
  if (b[0] != 0x05) {
    FailSocksHandshake(kSocksVersionError, "socks version error");
    return false;
  }
  if (b[1] == 0x00) {
    winsock::SOCKET handle = FHSocket;
    if (FSocksAuthMethod != 0) FireSocksAuthState(socksAuthNotRequired);
    // Not when the handler closed this connection or started another.
    if (FHSocket == handle && FSocksState == socksNegotiateMethods) SendSocksConnectRequest();
  } else if (b[1] == 0x02) {
    // Also when only "no authentication" was offered: the server decides.
    SendSocksAuthRequest();
  } else {
    FailSocksHandshake(kSocksMethodNotAcceptable, "authentification method not acceptable");
    return false;
  }
  return true;
}

bool TCustomSocksWSocket::HandleAuthReply() {
  if (!CollectReply(kReplyLimit)) return true;
  auto* b = reinterpret_cast<const uint8_t*>(FSocksReplyBuffer);
  if (FSocksReplyCount >= 1 && b[0] != 0x01) {
    FailSocksHandshake(kSocksVersionError, "socks version error");
    return false;
  }
  if (FSocksReplyCount > 2) {
    FailSocksHandshake(kSocksLogicError, "too much data availaible");
    return false;
  }
  if (FSocksReplyCount < 2) return true;
  if (b[1] != 0x00) {
    FailSocksHandshake(kSocksAuthFailed, "socks authentication failed");
    return false;
  }
  FSocksReplyCount = 0;
  FireSocksAuthState(socksAuthSuccess);
  if (FSocksState == socksAuthenticate) SendSocksConnectRequest();
  return true;
}

bool TCustomSocksWSocket::HandleSocks4Reply() {
  // Exactly 8 bytes: whatever follows stays in the socket for the host.
  if (!CollectReply(8)) return true;
  if (FSocksReplyCount < 8) return true;
  FSocksReplyCount = 0;
  auto* b = reinterpret_cast<const uint8_t*>(FSocksReplyBuffer);
  if (b[0] != 0x00) {
    FailSocksHandshake(kSocksVersionError, "socks version error");
    return false;
  }
  switch (b[1]) {
    case 90: return CompleteHandshake(8);
    case 91: FailSocksHandshake(kSocksRequestRejected, "request rejected or failed"); break;
    case 92: FailSocksHandshake(kSocksConnectionRefused, "connection refused"); break;
    case 93: FailSocksHandshake(kSocksAuthFailed, "authentification failed"); break;
    default: FailSocksHandshake(kSocksUnassignedError, "unassigned error #" + std::to_string(b[1])); break;
  }
  return false;
}

bool TCustomSocksWSocket::HandleSocks5Reply() {
  if (!CollectReply(kReplyLimit)) return true;
  auto* b = reinterpret_cast<uint8_t*>(FSocksReplyBuffer);
  // A bound name too long for the block is dropped as it arrives (the bound
  // address is never used), so the reply still completes and the bytes
  // behind it are kept.
  auto dropSkippedName = [&] {
    if (FSocksNameSkip <= 0 || FSocksReplyCount <= 5) return;
    int drop = std::min(FSocksNameSkip, FSocksReplyCount - 5);
    std::memmove(b + 5, b + 5 + drop, static_cast<size_t>(FSocksReplyCount - 5 - drop));
    FSocksReplyCount -= drop;
    FSocksNameSkip -= drop;
  };
  dropSkippedName();
  if (FSocksReplyCount >= 1 && b[0] != 0x05) {
    FailSocksHandshake(kSocksVersionError, "socks version error");
    return false;
  }
  if (FSocksReplyCount >= 2 && b[1] != 0x00) {
    int code = b[1];
    FailSocksHandshake(code <= 8 ? kSocksReplyBase + code : kSocksUnassignedError, Socks5ReplyText(code));
    return false;
  }
  if (FSocksReplyCount < 5) return true;
  int need;
  switch (b[3]) {
    case 0x01:
      need = 10;
      break;
    case 0x03:
      if (FSocksNameSkip < 0 && 7 + b[4] > kReplyLimit) {
        FSocksNameSkip = b[4];
        dropSkippedName();
      }
      if (FSocksNameSkip > 0) return true;
      need = FSocksNameSkip == 0 ? 7 : 7 + b[4];
      break;
    default:
      FailSocksHandshake(kSocksAddressTypeNotSupported, "address type not supported");
      return false;
  }
  if (FSocksReplyCount < need) return true;
  return CompleteHandshake(need);
}

bool TCustomSocksWSocket::CompleteHandshake(int replyLength) {
  FSocksState = socksData;
  // The held bytes are in place before the session is reported, so that a
  // host reading from OnSessionConnected gets them first, in order.
  FSocksHeldCount = std::max(0, FSocksReplyCount - replyLength);
  FSocksHeldPos = FSocksReplyBuffer + replyLength;
  // Receive counted them on their way into the reply buffer; they count
  // again when the host takes them, so each byte is counted once.
  FReadCount -= FSocksHeldCount;
  winsock::SOCKET handle = FHSocket;
  FireSessionConnected(0);
  if (FHSocket != handle || FState != wsConnected) return true;
  bool handled = FireDataAvailable(0);
  // Held bytes raise no notification of their own: offer them again while
  // the handler keeps taking some.
  while (handled && FSocksHeldCount > 0 && FHSocket == handle && FState == wsConnected) {
    int32_t before = FSocksHeldCount;
    handled = FireDataAvailable(0);
    if (FSocksHeldCount == before) break;
  }
  return handled;
}

void TCustomSocksWSocket::SendSocksAuthRequest() {
  FSocksState = socksAuthenticate;
  winsock::SOCKET handle = FHSocket;
  FireSocksAuthState(socksAuthStart);
  if (FHSocket != handle || FSocksState != socksAuthenticate) return;
  size_t user = FSocksUsercode.size(), pass = FSocksPassword.size();
  // Also reached when the server asks for a method that was not offered, or
  // after the host changed the credentials: never write past the block.
  if (user + pass > size_t(kAuthRequestRoom)) {
    FailSocksHandshake(kSocksLogicError, kRequestTooLong);
    return;
  }
  uint8_t req[kSocksBlockSize];
  int n = 0;
  req[n++] = 0x01;
  req[n++] = static_cast<uint8_t>(user);
  std::memcpy(req + n, FSocksUsercode.data(), user);
  n += static_cast<int>(user);
  req[n++] = static_cast<uint8_t>(pass);
  std::memcpy(req + n, FSocksPassword.data(), pass);
  n += static_cast<int>(pass);
  SendRequest(req, n);
}

void TCustomSocksWSocket::SendSocksConnectRequest() {
  FSocksState = socksConnect;
  uint8_t req[kSocksBlockSize];
  int n = 0;
  const uint16_t port = static_cast<uint16_t>(FPortNum);
  if (LevelIs4()) {
    bool is4A = FSocksLevel == "4A";
    size_t user = FSocksUsercode.size();
    size_t addr = is4A ? FAddrStr.size() : 0;
    if (user + addr > size_t(is4A ? kSocks4AConnectRoom : kSocks4ConnectRoom)) {
      FailSocksHandshake(kSocksLogicError, kRequestTooLong);
      return;
    }
    uint8_t ip[4] = {0, 0, 0, 1};  // 4A: the proxy resolves the name
    if (!is4A) {
      try {
        winsock::u_long a = WSocketResolveHost(FAddrStr);
        std::memcpy(ip, &a, sizeof(ip));
      } catch (const Exception& e) {
        winsock::SOCKET handle = FHSocket;
        FireSocksError(kSocksResolveFailed, std::string(ExceptionClassName(e)) + " " + e.Message());
        if (FHSocket == handle) CloseAndNotify(true, kSocksResolveFailed);
        return;
      }
    }
    req[n++] = 0x04;
    req[n++] = 0x01;
    req[n++] = static_cast<uint8_t>(port >> 8);
    req[n++] = static_cast<uint8_t>(port & 0xFF);
    std::memcpy(req + n, ip, 4);
    n += 4;
    std::memcpy(req + n, FSocksUsercode.data(), user);
    n += static_cast<int>(user);
    req[n++] = 0x00;
    if (is4A) {
      std::memcpy(req + n, FAddrStr.data(), addr);
      n += static_cast<int>(addr);
      req[n++] = 0x00;
    }
  } else {
    size_t addr = FAddrStr.size();
    if (addr > size_t(kSocks5ConnectRoom)) {
      FailSocksHandshake(kSocksLogicError, kRequestTooLong);
      return;
    }
    req[n++] = 0x05;
    req[n++] = 0x01;  // CONNECT
    req[n++] = 0x00;
    req[n++] = 0x03;  // always a name: the proxy resolves it
    req[n++] = static_cast<uint8_t>(addr);
    std::memcpy(req + n, FAddrStr.data(), addr);
    n += static_cast<int>(addr);
    req[n++] = static_cast<uint8_t>(port >> 8);
    req[n++] = static_cast<uint8_t>(port & 0xFF);
  }
  SendRequest(req, n);
}

const TClassInfo& TCustomSocksWSocket::StaticClassInfo() {
  static const TClassInfo info("TCustomSocksWSocket", &TCustomWSocket::StaticClassInfo(), {});
  return info;
}

}  // namespace evc
