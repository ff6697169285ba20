// TCustomSocksWSocket: the socket layer for SOCKS 4, 4A and 5 traversal.
//
// With SocksServer set, Connect opens the TCP connection to the proxy
// instead of the destination, runs the client side of the handshake that
// asks the proxy to connect to Addr:Port, and only then reports the session
// as connected. Until then the layer consumes every received byte itself;
// afterwards it is transparent, except for application bytes that arrived
// behind the proxy's final reply, which it hands out before anything else.
// Handshake failures fire OnSocksError, then OnSessionConnected with the
// code, then close the connection with that code.
//
// The proxy settings SocksServer, SocksPort and SocksLevel revert to their
// defaults after every close, so they must be set again before each Connect;
// the user code, password and authentication choice stay.
#pragma once
#include <cstdint>
#include <string>

#include "socket/WSocket.h"

namespace evc {

enum TSocksState : uint8_t {
  socksData = 0,              // no handshake running: all calls pass to the core
  socksNegotiateMethods = 1,  // connecting to the proxy, then awaiting its method choice
  socksAuthenticate = 2,      // username/password sub-negotiation running
  socksConnect = 3,           // connect request sent, reply awaited
};
enum TSocksAuthentication : uint8_t { socksNoAuthentication = 0, socksAuthenticateUsercode = 1 };
enum TSocksAuthState : uint8_t {
  socksAuthStart = 0,
  socksAuthSuccess = 1,
  socksAuthFailure = 2,
  socksAuthNotRequired = 3,
};

const char* SocksStateName(TSocksState s);

using TSocksErrorEvent = TEvent<TObject* /*Sender*/, int32_t /*Error*/, const std::string& /*Msg*/>;
using TSocksAuthStateEvent = TEvent<TObject* /*Sender*/, TSocksAuthState /*AuthState*/>;

// Codes the layer passes to its events, beside the socket library's own.
constexpr int kSocksLogicError = 20001;
constexpr int kSocksVersionError = 20002;
constexpr int kSocksMethodNotAcceptable = 20003;
constexpr int kSocksReplyBase = 20003;  // SOCKS 5 reply code N (1..8) is 20003 + N
constexpr int kSocksConnectionRefused = 20008;
constexpr int kSocksAddressTypeNotSupported = 20011;
constexpr int kSocksUnassignedError = 20012;
constexpr int kSocksInternalError = 20013;
constexpr int kSocksAuthFailed = 20015;
constexpr int kSocksRequestRejected = 20016;
constexpr int kSocksResolveFailed = 20017;

// Largest request and reply the layer builds or collects.
constexpr int kSocksBlockSize = 128;

class TCustomSocksWSocket : public TCustomWSocket {
  EVC_CLASS(TCustomSocksWSocket)
 public:
  explicit TCustomSocksWSocket(TComponent* owner) : TCustomWSocket(owner) {}
  ~TCustomSocksWSocket() override;

  // -- core operations this layer takes part in --
  void ResetToDefaults() override;
  int32_t RcvdCount() const override;
  bool FireDataAvailable(WORD error) override;
  void FireSessionConnected(WORD error) override;
  void FireSessionClosed(WORD error) override;
  int ReadSocket(char* buffer, int size, int flags) override;
  void Connect() override;
  void Listen() override;

  // -- operations of this layer, in slot order --
  virtual void FireSocksConnected(WORD error);
  virtual void SetSocksPort(const std::string& value);
  virtual void SetSocksServer(const std::string& value);
  virtual void FireSocksError(int32_t error, const std::string& msg);

  // -- properties --
  const std::string& SocksLevel() const { return FSocksLevel; }
  void SetSocksLevel(const std::string& value);
  const std::string& SocksServer() const { return FSocksServer; }
  const std::string& SocksPort() const { return FSocksPort; }
  const std::string& SocksUsercode() const { return FSocksUsercode; }
  void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
  const std::string& SocksPassword() const { return FSocksPassword; }
  void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }

  TSocksState SocksState() const { return FSocksState; }
  bool SocksServerAssigned() const { return FSocksServerAssigned; }
  // Application bytes held back from the proxy's final reply.
  int32_t SocksHeldCount() const { return FSocksHeldCount; }

  // -- events --
  TSocksErrorEvent OnSocksError;
  TSessionConnected OnSocksConnected;
  TSocksAuthStateEvent OnSocksAuthState;

 protected:
  // -- fields, in declaration order --
  TSocksState FSocksState = socksData;
  std::string FSocksServer;
  std::string FSocksLevel = "5";
  std::string FSocksPort;
  bool FSocksServerAssigned = false;
  std::string FSocksUsercode;
  std::string FSocksPassword;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
  uint8_t FSocksAuthMethod = 0;
  char FSocksReplyBuffer[kSocksBlockSize] = {};
  int32_t FSocksReplyCount = 0;
  int32_t FSocksHeldCount = 0;
  char* FSocksHeldPos = FSocksReplyBuffer;
  // Bytes of an over-long bound name in a SOCKS 5 reply still to be dropped
  // unread; -1 while the reply is collected whole.
  int32_t FSocksNameSkip = -1;

 private:
  void FireSocksAuthState(TSocksAuthState authState);
  void SendSocksAuthRequest();
  void SendSocksConnectRequest();
  void FailSocksHandshake(int error, const std::string& msg);

  bool LevelIs4() const { return !FSocksLevel.empty() && FSocksLevel[0] == '4'; }
  // Refuses values that do not fit their request block; true when refused.
  bool RefuseOversizedRequest();
  // Receives into the reply buffer, at most up to `limit` collected bytes;
  // false when the read failed (nothing arrived).
  bool CollectReply(int limit);
  // Hands a request to the send queue; a refusal there is not fatal to the
  // handshake, which then waits for the peer or the host to close.
  void SendRequest(const uint8_t* data, int len);
  bool HandleMethodReply();
  bool HandleAuthReply();
  bool HandleSocks4Reply();
  bool HandleSocks5Reply();
  // Ends the handshake successfully: the session is reported connected and
  // the first data pass runs.
  bool CompleteHandshake(int replyLength);
};

}  // namespace evc
