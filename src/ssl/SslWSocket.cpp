// The TLS socket: handshake, records, close_notify and failures on top of
// whatever the core and the SOCKS layer connected.
#include "ssl/SslWSocket.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include "base/TextUtils.h"
#include "base/TypInfo.h"
#include "ssl/SslContext.h"

namespace evc {

BIO* NewSslTransport(TSslWSocket* socket);

namespace {

// The socket behind an SSL object of ours.
TSslWSocket* SocketOf(const SSL* ssl) { return static_cast<TSslWSocket*>(SSL_get_app_data(ssl)); }

int ReasonOf(unsigned long e) { return ERR_GET_LIB(e) == ERR_LIB_SSL ? ERR_GET_REASON(e) : 0; }

bool IsAddressLiteral(const std::string& host) { return IsDottedQuad(host) || host.find(':') != std::string::npos; }

constexpr int kMaxReadLoop = 64;  // records taken per receive call at most

}  // namespace

TSslWSocket::TSslWSocket(TComponent* owner) : DAVidavi(owner) {}

TSslWSocket::~TSslWSocket() {
  try {
    CloseBeforeDestruction();
  } catch (...) {
  }
  ReleaseSsl();
  if (FRetiredSsl) SSL_free(FRetiredSsl);
}

// --- the transport under OpenSSL ---

int TSslWSocket::TransportRead(char* buffer, int size) {
  int r = wsocket::recv(FHSocket, buffer, size, 0);
  if (r > 0) return r;
  if (r == 0) {
    FPeerEof = true;
    return 0;
  }
  int e = wsocket::WSAGetLastError();
  if (e != winsock::WSAEWOULDBLOCK) {
    FTransportError = e;
    if (e == winsock::WSAECONNRESET || e == winsock::WSAECONNABORTED) FPeerEof = true;
  }
  return -1;
}

void TSslWSocket::TransportWrite(const char* data, int len) {
  if (FTransportError != 0 || FHSocket == winsock::INVALID_SOCKET) return;
  if (CipherTextPending()) {
    // Behind bytes that wait already: order matters more than one call.
    FOut.append(data, static_cast<size_t>(len));
    return;
  }
  while (len > 0) {
    int r = wsocket::send(FHSocket, data, len, 0);
    if (r > 0) {
      data += r;
      len -= r;
      continue;
    }
    int e = wsocket::WSAGetLastError();
    if (e != winsock::WSAEWOULDBLOCK) {
      FTransportError = e;
      return;
    }
    break;  // the refusal re-arms the write notification, which flushes the rest
  }
  if (len > 0) {
    FOut.assign(data, static_cast<size_t>(len));
    FOutPos = 0;
  }
}

bool TSslWSocket::FlushCipherText() {
  while (CipherTextPending()) {
    if (FHSocket == winsock::INVALID_SOCKET || FTransportError != 0) {
      FOut.clear();
      FOutPos = 0;
      return true;
    }
    size_t left = FOut.size() - FOutPos;
    int r = wsocket::send(FHSocket, FOut.data() + FOutPos, static_cast<int>(std::min<size_t>(left, 1 << 30)), 0);
    if (r > 0) {
      FOutPos += static_cast<size_t>(r);
      continue;
    }
    int e = wsocket::WSAGetLastError();
    if (e == winsock::WSAEWOULDBLOCK) return false;
    FTransportError = e;
  }
  FOut.clear();
  FOutPos = 0;
  return true;
}

// --- the session ---

void TSslWSocket::ReleaseSsl() {
  // A handler called from inside OpenSSL that closes the connection must
  // not free the object OpenSSL is working on: it goes once OpenSSL returns.
  if (FSsl && FInsideOpenSsl > 0)
    FRetiredSsl = FSsl;
  else if (FSsl)
    SSL_free(FSsl);
  FSsl = nullptr;
  FSslState = sslNone;
  FOut.clear();
  FOutPos = 0;
  FPeerEof = false;
  FTransportError = 0;
  FCloseNotifyIn = false;
  FRenegotiation = false;
  FRefusedByHost = false;
  FReadAnnounced = false;
  FDeferredFailure = 0;
  ++FSession;
}

void TSslWSocket::ResetToDefaults() {
  DAVidavi::ResetToDefaults();
  ReleaseSsl();
}

void TSslWSocket::Connect() {
  if (FSslEnable && LowerCase(Trim(FProtoStr)) != "tcp" && Trim(FProtoStr) != "6") {
    ReportError("TLS needs a tcp connection");
    return;
  }
  DAVidavi::Connect();
}

void TSslWSocket::Dup(winsock::SOCKET newHandle) {
  // A connection replaced here ends without a word to its peer.
  ReleaseSsl();
  DAVidavi::Dup(newHandle);
  if (FSslEnable && FState == wsConnected && FHSocket == newHandle && newHandle != winsock::INVALID_SOCKET)
    StartHandshake(true);
}

void TSslWSocket::FireSessionConnected(WORD error) {
  // The proxy's TCP connection, a failure, a datagram socket or a session
  // that has its TLS already are none of this layer's business.
  if (!FSslEnable || FSsl || error != 0 || SocksState() != socksData || FType != winsock::SOCK_STREAM_W) {
    DAVidavi::FireSessionConnected(error);
    return;
  }
  StartHandshake(false);
}

void TSslWSocket::StartSslClient() {
  if (!FSslEnable || FSsl || FState != wsConnected || FType != winsock::SOCK_STREAM_W) {
    ReportError("TLS cannot start on this connection");
    return;
  }
  StartHandshake(false);
}

int TSslWSocket::VerifyChainCallback(X509_STORE_CTX* store, void*) {
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  TSslWSocket* sock = ssl ? SocketOf(ssl) : nullptr;
  bool ok = X509_verify_cert(store) == 1;
  if (!sock) return ok ? 1 : 0;
  return sock->JudgePeer(store, ok);
}

void TSslWSocket::MessageCallback(int writeP, int, int contentType, const void* buf, size_t len, SSL* ssl, void*) {
  // A hello that asks for a new handshake once the first is done.
  if (writeP || contentType != SSL3_RT_HANDSHAKE || len < 1) return;
  auto type = static_cast<const unsigned char*>(buf)[0];
  TSslWSocket* s = SocketOf(ssl);
  bool server = SSL_is_server(ssl);
  if (s && ((type == SSL3_MT_HELLO_REQUEST && !server) || (type == SSL3_MT_CLIENT_HELLO && server)))
    s->NoteRenegotiation();
}

void TSslWSocket::InfoCallback(const SSL* ssl, int where, int) {
  // TLS 1.3 announces its post-handshake messages this way too; only older
  // versions start real second handshakes.
  if ((where & SSL_CB_HANDSHAKE_START) && SSL_version(ssl) < TLS1_3_VERSION)
    if (TSslWSocket* s = SocketOf(ssl)) s->NoteRenegotiation();
}

void TSslWSocket::CaptureOpenSslError() {
  FSslReason = ReasonOf(ERR_peek_error());
  FSslErrorDetail = TakeOpenSslErrors();
}

void TSslWSocket::StartHandshake(bool server) {
  FSslProtocol.clear();
  FSslCipher.clear();
  FPeerSubject.clear();
  FPeerIssuer.clear();
  FPeerNotBefore.clear();
  FPeerNotAfter.clear();
  FVerifyResult = 0;
  FVerifyResultText.clear();
  FSslErrorDetail.clear();
  FSslReason = 0;
  FSslTruncated = false;
  ReleaseSsl();
  FServer = server;
  FSslState = sslHandshaking;
  if (SocksHeldCount() > 0) {
    // Bytes from before our first message cannot be the peer's TLS; they
    // must not reach the application as if they had been protected.
    FSslErrorDetail = "data arrived before the TLS handshake began";
    FailSsl(kSslHandshakeFailed, "SSL handshake");
    return;
  }
  TSslSettings settings = FSettings;
  settings.Server = server;
  std::string why;
  ERR_clear_error();
  SSL_CTX* ctx = SslContextFor(settings, &why);
  if (ctx) {
    SSL_CTX_set_cert_verify_callback(ctx, &VerifyChainCallback, nullptr);
    FSsl = SSL_new(ctx);
  }
  BIO* bio = FSsl ? NewSslTransport(this) : nullptr;
  if (!ctx || !FSsl || !bio) {
    if (why.empty()) why = TakeOpenSslErrors();
    FSslErrorDetail = why;
    FailSsl(kSslSetupFailed, "SSL setup");
    return;
  }
  SSL_set_app_data(FSsl, this);
  SSL_set_bio(FSsl, bio, bio);
  SSL_set_msg_callback(FSsl, &MessageCallback);
  SSL_set_info_callback(FSsl, &InfoCallback);
  SSL_set_verify_depth(FSsl, std::max(0, FSslVerifyDepth));
  if (server) {
    SSL_set_verify(FSsl, FSslVerifyPeer ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_NONE,
                   nullptr);
    SSL_set_accept_state(FSsl);
  } else {
    std::string host = Trim(FSslServerName.empty() ? FAddrStr : FSslServerName);
    if (!host.empty()) {
      if (IsAddressLiteral(host)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FSsl), host.c_str());
      } else {
        SSL_set_tlsext_host_name(FSsl, host.c_str());
        SSL_set1_host(FSsl, host.c_str());
      }
    }
    SSL_set_verify(FSsl, FSslVerifyPeer ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
    SSL_set_connect_state(FSsl);
  }
  ContinueHandshake();
}

void TSslWSocket::NoteRenegotiation() {
  if (FSslState == sslEstablished) FRenegotiation = true;
}

int TSslWSocket::JudgePeer(X509_STORE_CTX* store, bool chainOk) {
  int err = X509_STORE_CTX_get_error(store);
  if (chainOk) err = X509_V_OK;
  RecordPeerCertificate(X509_STORE_CTX_get0_cert(store));
  FVerifyResult = err;
  FVerifyResultText = X509_verify_cert_error_string(err);
  // With verification off the verdict is only recorded.
  if (!FSslVerifyPeer) return 1;
  bool accept = chainOk;
  ++FInsideOpenSsl;
  try {
    FireSslVerifyPeer(err, accept);
  } catch (...) {
    accept = false;  // a handler that fails has not said yes
  }
  --FInsideOpenSsl;
  if (!FSsl) return 0;  // the handler closed the connection
  if (accept) return 1;
  if (err == X509_V_OK) {
    FRefusedByHost = true;
    X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    FVerifyResult = X509_V_ERR_APPLICATION_VERIFICATION;
    FVerifyResultText = X509_verify_cert_error_string(FVerifyResult);
  }
  return 0;
}

void TSslWSocket::RecordPeerCertificate(X509* cert) {
  if (!cert) return;
  FPeerSubject = SslNameText(X509_get_subject_name(cert));
  FPeerIssuer = SslNameText(X509_get_issuer_name(cert));
  FPeerNotBefore = SslTimeText(X509_get0_notBefore(cert));
  FPeerNotAfter = SslTimeText(X509_get0_notAfter(cert));
}

void TSslWSocket::ContinueHandshake() {
  ERR_clear_error();
  SSL* ssl = FSsl;
  int r = SSL_do_handshake(ssl);
  if (FRetiredSsl == ssl) {
    // Closed by a handler in the middle; nothing of the session is left.
    SSL_free(FRetiredSsl);
    FRetiredSsl = nullptr;
    return;
  }
  FlushCipherText();
  if (r == 1) {
    CompleteHandshake();
    return;
  }
  int e = SSL_get_error(FSsl, r);
  if ((e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) && !FPeerEof && FTransportError == 0) return;
  CaptureOpenSslError();
  FailSsl(ClassifyFailure(true), "SSL handshake");
}

int TSslWSocket::ClassifyFailure(bool inHandshake) const {
  if (FRefusedByHost) return kSslCertRefused;
  long verify = FSsl ? SSL_get_verify_result(FSsl) : X509_V_OK;
  if (inHandshake && FSslVerifyPeer && verify != X509_V_OK) {
    switch (verify) {
      case X509_V_ERR_CERT_HAS_EXPIRED: return kSslCertExpired;
      case X509_V_ERR_HOSTNAME_MISMATCH:
      case X509_V_ERR_IP_ADDRESS_MISMATCH: return kSslHostMismatch;
      case X509_V_ERR_APPLICATION_VERIFICATION: return kSslCertRefused;
      default: return kSslCertNotTrusted;
    }
  }
  if (FRenegotiation) return kSslRenegotiation;
  switch (FSslReason) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_VERSION_TOO_LOW:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
      return kSslVersionTooOld;
    case SSL_R_PACKET_LENGTH_TOO_LONG:
    case SSL_R_ENCRYPTED_LENGTH_TOO_LONG:
    case SSL_R_DATA_LENGTH_TOO_LONG:
    case SSL_R_EXCESSIVE_MESSAGE_SIZE:
    case SSL_R_TLSV1_ALERT_RECORD_OVERFLOW:
      return kSslRecordTooLarge;
    case SSL_R_NO_RENEGOTIATION:
      return kSslRenegotiation;
    case SSL_R_PEER_DID_NOT_RETURN_A_CERTIFICATE:
      return kSslCertNotTrusted;
    default:
      break;
  }
  if (inHandshake && FPeerEof) return kSslClosedInHandshake;
  return inHandshake ? kSslHandshakeFailed : kSslProtocolError;
}

void TSslWSocket::CompleteHandshake() {
  FSslState = sslEstablished;
  FSslProtocol = SSL_get_version(FSsl);
  FSslCipher = SSL_get_cipher_name(FSsl);
  if (X509* peer = SSL_get1_peer_certificate(FSsl)) {
    RecordPeerCertificate(peer);
    X509_free(peer);
  }
  FVerifyResult = static_cast<int32_t>(SSL_get_verify_result(FSsl));
  FVerifyResultText = X509_verify_cert_error_string(FVerifyResult);
  const uint64_t session = FSession;
  FireSslHandshakeDone(0);
  if (!SessionIs(session)) return;
  if (!FServer) {
    DAVidavi::FireSessionConnected(0);
    if (!SessionIs(session)) return;
  }
  // What the application queued meanwhile goes out, and it hears that the
  // queue is empty, as after a plain connect.
  PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), winsock::FD_WRITE);
  AnnounceBufferedPlainText();
}

// --- failures ---

void TSslWSocket::FailSsl(int code, const std::string& label) {
  if (FSslState == sslFailed) return;
  const bool inHandshake = FSslState == sslHandshaking;
  FSslState = sslFailed;
  FDeferredFailure = 0;
  FLastError = code;
  if (FSslErrorDetail.empty()) FSslErrorDetail = SslErrorText(code);
  FlushCipherText();  // the alert OpenSSL prepared, if the socket takes it
  const uint64_t session = FSession;
  if (inHandshake) FireSslHandshakeDone(static_cast<WORD>(code));
  // Unless the handler closed or replaced the session already.
  if (SessionIs(session) && FState != wsClosed) CloseAndNotify(true, static_cast<WORD>(code));
  FLastError = code;
  ReportError("Error " + std::to_string(code) + " in function " + label + "\r\n" + SslErrorText(code));
}

void TSslWSocket::DeferFailure(int code) {
  if (FDeferredFailure != 0 || FSslState == sslFailed) return;
  FDeferredFailure = code;
  PostMessage(FWindowHandle, WM_SSL_FAILURE, static_cast<WPARAM>(FHSocket), 0);
}

void TSslWSocket::RunDeferredFailure() {
  if (FDeferredFailure == 0 || FSslState == sslFailed) return;
  int code = FDeferredFailure;
  FailSsl(code, "SSL read");
}

// --- reading ---

int TSslWSocket::ReceiveTransport(char* buffer, int size, int flags) {
  if (!FSsl) return DAVidavi::ReceiveTransport(buffer, size, flags);
  if (size <= 0) return 0;
  if (FSslState == sslHandshaking) {
    wsocket::WSASetLastError(winsock::WSAEWOULDBLOCK);
    return -1;
  }
  if (FSslState == sslFailed || FDeferredFailure != 0) {
    wsocket::WSASetLastError(FDeferredFailure ? FDeferredFailure : FLastError);
    return -1;
  }
  if (FCloseNotifyIn || FPeerEof) {
    // Nothing may follow the end of the stream; whatever does is dropped,
    // so that it cannot keep the read loop going.
    char scratch[4096];
    while (wsocket::recv(FHSocket, scratch, sizeof(scratch), 0) > 0) {
    }
    return 0;
  }
  int total = 0;
  for (int pass = 0; pass < kMaxReadLoop && total < size; ++pass) {
    size_t n = 0;
    ERR_clear_error();
    if (SSL_read_ex(FSsl, buffer + total, static_cast<size_t>(size - total), &n) == 1) {
      total += static_cast<int>(n);
      if (FRenegotiation) break;
      continue;
    }
    if (int code = TakeReadEnd(SSL_get_error(FSsl, 0))) DeferFailure(code);
    break;
  }
  if (FRenegotiation) DeferFailure(kSslRenegotiation);
  FlushCipherText();  // alerts or key updates the read produced
  AnnounceBufferedPlainText();
  if (total > 0) return total;
  if (FDeferredFailure != 0) {
    wsocket::WSASetLastError(FDeferredFailure);
    return -1;
  }
  if (FCloseNotifyIn || FPeerEof) return 0;
  wsocket::WSASetLastError(winsock::WSAEWOULDBLOCK);
  return -1;
}

void TSslWSocket::AnnounceBufferedPlainText() {
  // The socket's own notification only knows about bytes in the socket;
  // plaintext that OpenSSL decrypted and still holds needs one of ours.
  if (!FSsl || FReadAnnounced || !Readable() || SSL_pending(FSsl) <= 0) return;
  FReadAnnounced = true;
  PostMessage(FWindowHandle, WM_ASYNCSELECT, static_cast<WPARAM>(FHSocket), winsock::FD_READ);
}

int TSslWSocket::TransportWaiting(winsock::u_long* count) const {
  if (!FSsl) return DAVidavi::TransportWaiting(count);
  if (!Readable() || FDeferredFailure != 0) {
    *count = 0;
    return 0;
  }
  winsock::u_long raw = 0;
  if (DAVidavi::TransportWaiting(&raw) != 0) return -1;
  *count = raw + static_cast<winsock::u_long>(std::max(0, SSL_pending(FSsl)));
  return 0;
}

bool TSslWSocket::FireDataAvailable(WORD error) {
  if (!FSsl) return DAVidavi::FireDataAvailable(error);
  if (FSslState == sslHandshaking) {
    if (error != 0) {
      FSslErrorDetail = SocketErrorText(error);
      FailSsl(kSslHandshakeFailed, "SSL handshake");
    } else {
      ContinueHandshake();
    }
    return true;
  }
  if (FSslState == sslFailed) return true;
  // The application hears of data only when a record has really brought
  // some: a partial record, a session ticket, a bad record or the peer's
  // close_notify are this layer's business. Bytes line mode holds are
  // always its business.
  if (Readable() && SSL_pending(FSsl) <= 0 && FLineBufferCount == 0 && FPendingLineLength == 0 && !PlainTextReady())
    return true;
  bool handled = DAVidavi::FireDataAvailable(error);
  RunDeferredFailure();
  return handled;
}

bool TSslWSocket::PlainTextReady() {
  char probe;
  size_t n = 0;
  ERR_clear_error();
  if (SSL_peek_ex(FSsl, &probe, 1, &n) == 1) return true;
  int code = TakeReadEnd(SSL_get_error(FSsl, 0));
  FlushCipherText();
  if (code) FailSsl(code, "SSL read");
  return false;
}

int TSslWSocket::TakeReadEnd(int sslError) {
  if (sslError == SSL_ERROR_ZERO_RETURN) {
    FCloseNotifyIn = true;
    FSslState = sslClosing;
    PostMessage(FWindowHandle, WM_SSL_PEER_CLOSED, static_cast<WPARAM>(FHSocket), 0);
    return 0;
  }
  if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) return FRenegotiation ? kSslRenegotiation : 0;
  CaptureOpenSslError();
  // A bare end of the connection is a truncation, not a broken record: the
  // close that follows reports it.
  bool bareEnd = FPeerEof && (FSslReason == SSL_R_UNEXPECTED_EOF_WHILE_READING || FSslReason == 0);
  return bareEnd ? 0 : ClassifyFailure(false);
}

// --- sending ---

int TSslWSocket::TransmitChunk(const char* data, int len) {
  if (!FSsl) return DAVidavi::TransmitChunk(data, len);
  if (!Writable()) {
    // Before the handshake is done the queue waits; after our close_notify
    // nothing more may go out. The peer's close_notify ends only its side.
    wsocket::WSASetLastError(FSslState == sslHandshaking ? winsock::WSAEWOULDBLOCK : winsock::WSAENOTCONN);
    return -1;
  }
  if (!FlushCipherText()) {
    wsocket::WSASetLastError(winsock::WSAEWOULDBLOCK);
    return -1;
  }
  size_t n = 0;
  ERR_clear_error();
  if (SSL_write_ex(FSsl, data, static_cast<size_t>(len), &n) != 1 || FTransportError != 0) {
    // The queue's sender closes the connection on this; after a fatal error
    // OpenSSL must not be asked for a close_notify.
    if (FSslErrorDetail.empty()) CaptureOpenSslError();
    FSslState = sslFailed;
    wsocket::WSASetLastError(FTransportError ? FTransportError : winsock::WSAECONNABORTED);
    return -1;
  }
  FireSendData(static_cast<int32_t>(n));
  return static_cast<int>(n);
}

int TSslWSocket::Send(const void* data, int len) {
  int r = DAVidavi::Send(data, len);
  NoteCipherBacklog();
  return r;
}

void TSslWSocket::NoteCipherBacklog() {
  // The queue may be empty while records the socket refused still wait
  // here; until they are out, nothing is "all sent".
  if (FSsl && CipherTextPending()) FAllSent = false;
}

void TSslWSocket::FireDataSent(WORD error) {
  // The queue is empty, but the news waits until the socket has taken the
  // cipher text too; during the handshake there is nothing to tell.
  if (FSsl && (FSslState == sslHandshaking || CipherTextPending())) return;
  DAVidavi::FireDataSent(error);
}

void TSslWSocket::FlushSendQueue() {
  DAVidavi::FlushSendQueue();
  while (FSsl && FHSocket != winsock::INVALID_SOCKET && !FlushCipherText()) {
    WaitForInput(100);
    PumpMessages();
  }
}

// --- closing ---

bool TSslWSocket::Writable() const {
  return FSsl && (FSslState == sslEstablished || (FSslState == sslClosing && !(SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN)));
}

bool TSslWSocket::SendCloseNotify() {
  if (!FSsl || (FSslState != sslEstablished && FSslState != sslClosing) || (SSL_get_shutdown(FSsl) & SSL_SENT_SHUTDOWN) ||
      FHSocket == winsock::INVALID_SOCKET || FState != wsConnected || FTransportError != 0)
    return false;
  ERR_clear_error();
  SSL_shutdown(FSsl);  // queues close_notify; the peer's answer is not awaited
  FlushCipherText();
  FSslState = sslClosing;
  ERR_clear_error();
  return true;
}

void TSslWSocket::Shutdown(int how) {
  // The end of our sending is close_notify; reading goes on until the
  // peer's own.
  if (how != 0) SendCloseNotify();
  DAVidavi::Shutdown(how);
}

void TSslWSocket::CloseAndNotify(bool shutdown, WORD error) {
  if (shutdown && SendCloseNotify()) {
    // An abortive close (the default linger) would throw away a close_notify
    // still in the socket's buffer and reset the connection behind it; the
    // peer is owed the orderly end it was promised.
    if (FLingerOnOff == wsLingerOn && FLingerTimeout == 0) {
      winsock::linger_w off{};
      wsocket::setsockopt(FHSocket, winsock::SOL_SOCKET_W, winsock::SO_LINGER_W, reinterpret_cast<const char*>(&off),
                          sizeof(off));
    }
  }
  bool outer = FLocalClose;
  FLocalClose = true;
  DAVidavi::CloseAndNotify(shutdown, error);
  FLocalClose = outer;
}

void TSslWSocket::FireSessionClosed(WORD error) {
  if (FSsl && !FLocalClose) {
    if (FSslState == sslHandshaking) {
      // The peer left before the handshake was done.
      const int code = kSslClosedInHandshake;
      FSslState = sslFailed;
      FLastError = code;
      if (FSslErrorDetail.empty()) FSslErrorDetail = error ? SocketErrorText(error) : SslErrorText(code);
      FireSslHandshakeDone(static_cast<WORD>(code));
      DAVidavi::FireSessionClosed(error ? error : static_cast<WORD>(code));
      FLastError = code;
      ReportError("Error " + std::to_string(code) + " in function SSL handshake\r\n" + SslErrorText(code));
      return;
    }
    if (Readable() && error == 0) {
      FSslTruncated = true;
      error = static_cast<WORD>(kSslTruncated);
    }
  }
  DAVidavi::FireSessionClosed(error);
}

// --- messages ---

void TSslWSocket::HandleWindowMessage(TMessage& message) {
  const auto handle = static_cast<winsock::SOCKET>(message.WParam);
  switch (message.Msg) {
    case WM_ASYNCSELECT:
      if (FSsl && handle == FHSocket && !FPaused) {
        auto bits = static_cast<WORD>(static_cast<uintptr_t>(message.LParam) & 0xFFFF);
        if (bits & winsock::FD_READ) FReadAnnounced = false;
        if (bits & winsock::FD_WRITE) FlushCipherText();
      }
      break;
    case WM_SSL_PEER_CLOSED:
      if (FSsl && handle == FHSocket && FCloseNotifyIn) {
        // The same course as the socket's own close notification: the
        // session ends while still connected, then the socket closes.
        try {
          if (!FCloseInvoked) {
            FCloseInvoked = true;
            FireSessionClosed(0);
          }
          if (FHSocket == handle && FState != wsClosed) Close();
        } catch (Exception& e) {
          HandleEventException(e);
        }
      }
      return;
    case WM_SSL_FAILURE:
      if (FSsl && handle == FHSocket) {
        try {
          RunDeferredFailure();
        } catch (Exception& e) {
          HandleEventException(e);
        }
      }
      return;
    default:
      break;
  }
  DAVidavi::HandleWindowMessage(message);
  if (message.Msg == WM_ASYNCSELECT) NoteCipherBacklog();
}

// --- events ---

void TSslWSocket::FireSslHandshakeDone(WORD error) { OnSslHandshakeDone(this, error); }
void TSslWSocket::FireSslVerifyPeer(int32_t verifyResult, bool& accept) {
  OnSslVerifyPeer(this, verifyResult, accept);
}

// --- class information ---

const TClassInfo& TSslWSocket::StaticClassInfo() {
  using P = Published<TSslWSocket>;
  static const TClassInfo info(
      "TSslWSocket", &DAVidavi::StaticClassInfo(),
      {
          P::Boolean("SslEnable", &TSslWSocket::SslEnable, &TSslWSocket::SetSslEnable).WithDefault(false),
          P::String("SslCAFile", &TSslWSocket::SslCAFile, &TSslWSocket::SetSslCAFile).WithDefault(std::string()),
          P::String("SslCAPath", &TSslWSocket::SslCAPath, &TSslWSocket::SetSslCAPath).WithDefault(std::string()),
          P::String("SslCertFile", &TSslWSocket::SslCertFile, &TSslWSocket::SetSslCertFile)
              .WithDefault(std::string()),
          P::String("SslKeyFile", &TSslWSocket::SslKeyFile, &TSslWSocket::SetSslKeyFile).WithDefault(std::string()),
          P::Enum("SslMinVersion", &TSslWSocket::SslMinVersion, &TSslWSocket::SetSslMinVersion,
                  {"sslTLSv1", "sslTLSv1_1", "sslTLSv1_2", "sslTLSv1_3"})
              .WithDefault(int64_t{sslTLSv1_2}),
          P::String("SslCiphers", &TSslWSocket::SslCiphers, &TSslWSocket::SetSslCiphers).WithDefault(std::string()),
          P::String("SslCipherSuites", &TSslWSocket::SslCipherSuites, &TSslWSocket::SetSslCipherSuites)
              .WithDefault(std::string()),
          P::Boolean("SslVerifyPeer", &TSslWSocket::SslVerifyPeer, &TSslWSocket::SetSslVerifyPeer).WithDefault(true),
          P::Integer("SslVerifyDepth", &TSslWSocket::SslVerifyDepth, &TSslWSocket::SetSslVerifyDepth)
              .WithDefault(int64_t{10}),
          P::String("SslServerName", &TSslWSocket::SslServerName, &TSslWSocket::SetSslServerName)
              .WithDefault(std::string()),
          P::String("SslProtocol", &TSslWSocket::SslProtocol, nullptr).NotStored(),
          P::String("SslCipher", &TSslWSocket::SslCipher, nullptr).NotStored(),
          P::String("SslPeerSubject", &TSslWSocket::SslPeerSubject, nullptr).NotStored(),
          P::String("SslPeerIssuer", &TSslWSocket::SslPeerIssuer, nullptr).NotStored(),
          P::String("SslPeerNotBefore", &TSslWSocket::SslPeerNotBefore, nullptr).NotStored(),
          P::String("SslPeerNotAfter", &TSslWSocket::SslPeerNotAfter, nullptr).NotStored(),
          P::Integer("SslVerifyResult", &TSslWSocket::SslVerifyResult, nullptr).NotStored(),
          P::String("SslVerifyResultText", &TSslWSocket::SslVerifyResultText, nullptr).NotStored(),
          P::String("SslErrorDetail", &TSslWSocket::SslErrorDetail, nullptr).NotStored(),
          P::Boolean("SslTruncated", &TSslWSocket::SslTruncated, nullptr).NotStored(),
      },
      &CreateComponentOf<TSslWSocket>);
  return info;
}

namespace {
const bool kRegistered = (RegisterComponentClass(TSslWSocket::StaticClassInfo()), true);
}

}  // namespace evc
