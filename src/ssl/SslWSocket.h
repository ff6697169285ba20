// TSslWSocket: the socket component with TLS, on OpenSSL.
//
// It is a DAVidavi in every respect, and with SslEnable false it behaves
// exactly like one, so code that creates sockets (the HTTP client's socket
// factory, say) can always make this class. With SslEnable true:
//
// - Connect opens the TCP connection (directly or through the SOCKS proxy),
//   then makes the client handshake. OnSessionConnected(0) fires only once
//   the handshake has succeeded, after OnSslHandshakeDone(0).
// - Dup of an accepted handle makes the server handshake; like any Dup it
//   fires no OnSessionConnected, only OnSslHandshakeDone.
// - Everything above the transport (Send, Receive, line mode, the
//   synchronous waits, OnDataAvailable) sees the plaintext. Nothing runs on
//   a thread of its own and nothing blocks: the same socket notifications
//   drive the handshake and the records.
// - Close sends close_notify. A peer that closes the connection without one
//   after the handshake (a truncation) closes the session with
//   OnSessionClosed(30008) and SslTruncated true.
// - A failure (certificate, version, garbage from the peer, a record too
//   large, renegotiation, the peer leaving in the middle of the handshake)
//   goes to the socket's one error channel: LastError holds its code (see
//   SslErrors.h) and the report reads "Error <code> in function <label>",
//   CR LF, the code's text; OpenSSL's own words are in SslErrorDetail.
//   Order: OnSslHandshakeDone(code) when it happened in the handshake, then
//   OnSessionClosed(code), then OnError (or the exception). A failed
//   handshake never reports a connected session.
//
// The certificate is verified by default (trusted authorities from SslCAFile
// or SslCAPath, the system's otherwise; the name from SslServerName, else
// Addr). Only SslVerifyPeer false skips the verdict; OnSslVerifyPeer sees
// every verdict and may overturn it either way. On the server side
// SslVerifyPeer asks for a client certificate and requires one that the
// trusted authorities vouch for; a server that wants none sets it false.
#pragma once
#include <cstdint>
#include <string>

#include "socket/DAVidavi.h"
#include "ssl/SslErrors.h"
#include "ssl/SslSettings.h"

// OpenSSL's types, as its headers declare them.
typedef struct ssl_st SSL;
typedef struct x509_st X509;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace evc {

// Sender, Error (0 or a TLS code).
using TSslHandshakeDone = TEvent<TObject* /*Sender*/, WORD /*Error*/>;
// Sender, VerifyResult (OpenSSL's X509_V_* code, 0 for a good chain), Accept
// (comes in as the verdict; the handler may change it).
using TSslVerifyPeerEvent = TEvent<TObject* /*Sender*/, int32_t /*VerifyResult*/, bool& /*Accept*/>;

// Private messages of the TLS layer on the socket's window.
constexpr UINT WM_SSL_PEER_CLOSED = WM_USER + 40;  // close_notify came in; wParam the socket
constexpr UINT WM_SSL_FAILURE = WM_USER + 41;      // a read found a fatal TLS error; wParam the socket

enum TSslSessionState : uint8_t {
  sslNone = 0,         // no TLS on this session (yet)
  sslHandshaking = 1,  // handshake running
  sslEstablished = 2,  // records flow
  sslClosing = 3,      // close_notify sent or received
  sslFailed = 4,       // a fatal error was reported; the session is over
};

class TSslWSocket : public DAVidavi {
  EVC_CLASS(TSslWSocket)
 public:
  explicit TSslWSocket(TComponent* owner);
  ~TSslWSocket() override;

  // -- operations of the layers this one takes part in --
  void HandleWindowMessage(TMessage& message) override;
  void ResetToDefaults() override;
  void CloseAndNotify(bool shutdown, WORD error) override;
  int TransmitChunk(const char* data, int len) override;
  bool FireDataAvailable(WORD error) override;
  void FireSessionConnected(WORD error) override;
  void FireSessionClosed(WORD error) override;
  void FireDataSent(WORD error) override;
  void Connect() override;
  void Dup(winsock::SOCKET newHandle) override;
  void FlushSendQueue() override;
  int Send(const void* data, int len) override;
  void Shutdown(int how) override;
  int ReceiveTransport(char* buffer, int size, int flags) override;
  int TransportWaiting(winsock::u_long* count) const override;

  // -- operations of this layer --
  // Starts the client handshake on a connection that is already open and
  // has carried plain bytes first (a proxy's CONNECT, a STARTTLS-style
  // upgrade): OnSslHandshakeDone, then OnSessionConnected(0) follow, as
  // after Connect. Needs SslEnable and a connected stream without TLS;
  // otherwise it reports an error.
  virtual void StartSslClient();
  virtual void FireSslHandshakeDone(WORD error);
  virtual void FireSslVerifyPeer(int32_t verifyResult, bool& accept);

  // -- settings (published) --
  bool SslEnable() const { return FSslEnable; }
  void SetSslEnable(bool v) { FSslEnable = v; }
  const std::string& SslCAFile() const { return FSettings.CAFile; }
  void SetSslCAFile(const std::string& v) { FSettings.CAFile = v; }
  const std::string& SslCAPath() const { return FSettings.CAPath; }
  void SetSslCAPath(const std::string& v) { FSettings.CAPath = v; }
  const std::string& SslCertFile() const { return FSettings.CertFile; }
  void SetSslCertFile(const std::string& v) { FSettings.CertFile = v; }
  const std::string& SslKeyFile() const { return FSettings.KeyFile; }
  void SetSslKeyFile(const std::string& v) { FSettings.KeyFile = v; }
  TSslVersion SslMinVersion() const { return FSettings.MinVersion; }
  void SetSslMinVersion(TSslVersion v) { FSettings.MinVersion = v; }
  const std::string& SslCiphers() const { return FSettings.Ciphers; }
  void SetSslCiphers(const std::string& v) { FSettings.Ciphers = v; }
  const std::string& SslCipherSuites() const { return FSettings.CipherSuites; }
  void SetSslCipherSuites(const std::string& v) { FSettings.CipherSuites = v; }
  bool SslVerifyPeer() const { return FSslVerifyPeer; }
  void SetSslVerifyPeer(bool v) { FSslVerifyPeer = v; }
  int32_t SslVerifyDepth() const { return FSslVerifyDepth; }
  void SetSslVerifyDepth(int32_t v) { FSslVerifyDepth = v; }
  // Name sent as SNI and checked against the certificate; empty: Addr.
  const std::string& SslServerName() const { return FSslServerName; }
  void SetSslServerName(const std::string& v) { FSslServerName = v; }

  // -- results of the last handshake (not stored); kept until the next --
  TSslSessionState SslState() const { return FSslState; }
  const std::string& SslProtocol() const { return FSslProtocol; }  // "TLSv1.3"
  const std::string& SslCipher() const { return FSslCipher; }
  const std::string& SslPeerSubject() const { return FPeerSubject; }
  const std::string& SslPeerIssuer() const { return FPeerIssuer; }
  const std::string& SslPeerNotBefore() const { return FPeerNotBefore; }
  const std::string& SslPeerNotAfter() const { return FPeerNotAfter; }
  int32_t SslVerifyResult() const { return FVerifyResult; }
  const std::string& SslVerifyResultText() const { return FVerifyResultText; }
  // OpenSSL's own text of the last failure.
  const std::string& SslErrorDetail() const { return FSslErrorDetail; }
  // The last session ended by the peer without close_notify.
  bool SslTruncated() const { return FSslTruncated; }

  TSslHandshakeDone OnSslHandshakeDone;
  TSslVerifyPeerEvent OnSslVerifyPeer;

 private:
  friend struct TSslTransport;

  // The transport under OpenSSL: a receive straight from the socket, and a
  // send that goes straight out and keeps only what the socket refused.
  int TransportRead(char* buffer, int size);
  void TransportWrite(const char* data, int len);
  // Sends what the socket refused before; true when nothing is left.
  bool FlushCipherText();
  bool CipherTextPending() const { return FOutPos < FOut.size(); }
  // AllSent stays false while cipher text waits here.
  void NoteCipherBacklog();

  static int VerifyChainCallback(X509_STORE_CTX* store, void* arg);
  static void MessageCallback(int writeP, int version, int contentType, const void* buf, size_t len, SSL* ssl,
                              void* arg);
  static void InfoCallback(const SSL* ssl, int where, int ret);
  // OpenSSL's reason for the failure at hand, and its words.
  void CaptureOpenSslError();

  void StartHandshake(bool server);
  void ContinueHandshake();
  void CompleteHandshake();
  int JudgePeer(X509_STORE_CTX* store, bool chainOk);
  void NoteRenegotiation();
  void RecordPeerCertificate(X509* cert);
  int ClassifyFailure(bool inHandshake) const;
  // Reports a fatal TLS error once per session: the events, the close, the
  // error channel.
  void FailSsl(int code, const std::string& label);
  // A fatal error found inside a read is reported once that read's caller
  // is done with it.
  void DeferFailure(int code);
  void RunDeferredFailure();
  void AnnounceBufferedPlainText();
  // Records may still bring plaintext.
  bool Readable() const { return FSslState == sslEstablished || (FSslState == sslClosing && !FCloseNotifyIn); }
  // Records may still be sent: our close_notify has not gone out.
  bool Writable() const;
  // Queues and sends close_notify once per session; false when there is
  // no session to end or it was sent already.
  bool SendCloseNotify();
  // Whether the next record brings plaintext; handles whatever else it
  // brings (the end, a failure, a renegotiation request).
  bool PlainTextReady();
  // What a read that brought nothing means: the peer's close_notify, a bare
  // end (a truncation, which the close reports) or a fatal error, whose
  // code it returns (0 for none).
  int TakeReadEnd(int sslError);
  void ReleaseSsl();
  bool SessionIs(uint64_t session) const { return FSession == session && FHSocket != winsock::INVALID_SOCKET; }

  // -- settings --
  bool FSslEnable = false;
  TSslSettings FSettings;
  bool FSslVerifyPeer = true;
  int32_t FSslVerifyDepth = 10;
  std::string FSslServerName;

  // -- the running session --
  SSL* FSsl = nullptr;
  TSslSessionState FSslState = sslNone;
  bool FServer = false;
  uint64_t FSession = 0;       // changes with every handshake and release
  std::string FOut;            // cipher text the socket has not taken yet
  size_t FOutPos = 0;
  bool FPeerEof = false;        // the socket reported the peer's close
  int FTransportError = 0;     // a send or receive under OpenSSL failed
  bool FCloseNotifyIn = false;  // the peer's close_notify arrived
  bool FRenegotiation = false;  // the peer asked for a new handshake
  bool FRefusedByHost = false;  // OnSslVerifyPeer refused a good chain
  bool FLocalClose = false;     // inside our own CloseAndNotify
  bool FReadAnnounced = false;  // a read notification is on its way
  int FDeferredFailure = 0;
  int FSslReason = 0;           // OpenSSL's reason code of the last failure
  int FInsideOpenSsl = 0;       // a host handler runs inside an OpenSSL call
  SSL* FRetiredSsl = nullptr;   // released inside such a handler, freed after

  // -- results --
  std::string FSslProtocol, FSslCipher;
  std::string FPeerSubject, FPeerIssuer, FPeerNotBefore, FPeerNotAfter;
  int32_t FVerifyResult = 0;
  std::string FVerifyResultText;
  std::string FSslErrorDetail;
  bool FSslTruncated = false;
};

}  // namespace evc
