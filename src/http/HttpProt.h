// THttpCli: an event-driven HTTP/1.0 client for GET, POST and HEAD, directly,
// through an HTTP proxy or through the SOCKS proxy of its socket.
//
// The host sets URL (and optionally a proxy, credentials and request
// headers), starts a request and follows it through events; every request
// ends with exactly one OnRequestDone, which always arrives through the
// message queue, never from inside a call the host made. The client owns one
// DAVidavi and drives it through that socket's events; it assembles the
// response lines itself. One request runs at a time.
//
// Outcomes are values: HttpStatus, StatusText and the 16-bit Error of
// OnRequestDone. EHttpException is raised only for misuse (a request while
// busy, a POST without a stream), by RequestSync for a status of 400 and up,
// and for a response line that does not fit the 8192-byte line buffer.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Component.h"
#include "base/Event.h"
#include "base/Exception.h"
#include "base/Streams.h"
#include "base/Strings.h"
#include "http/HttpChunked.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

namespace evc {

// --- enumerations (one byte each; the ordinals are part of the interface) ---
enum THttpClientState : uint8_t {
  hcReady = 0,
  hcNotConnected = 1,
  hcConnected = 2,
  hcLookingUp = 3,
  hcLookupDone = 4,
  hcAwaitingHeader = 5,
  hcAwaitingBody = 6,
  hcAborting = 7,
};
enum THttpRequest : uint8_t { hrNone = 0, hrGet = 1, hrPost = 2, hrHead = 3 };

const char* HttpClientStateName(THttpClientState s);
const char* HttpRequestName(THttpRequest r);

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

// Codes of EHttpException (and of OnRequestDone where a request ends by them).
constexpr uint16_t httpErrBusy = 1;          // a request while one runs
constexpr uint16_t httpErrNothingToPost = 2; // POST without PostStream
constexpr uint16_t httpErrAborted = 3;       // Abort ended the request
constexpr uint16_t httpErrLineTooLong = 4;   // a response line over 8192 bytes
constexpr uint16_t httpErrBadResponse = 5;   // a status code or length that is not a number
constexpr uint16_t httpErrNoTls = 6;         // an https target, and this client has no TLS
constexpr uint16_t httpErrTunnelRefused = 7; // the proxy refused the CONNECT tunnel
// The rest come only with RequestVer "1.1" (and the Timeout of the
// synchronous calls).
constexpr uint16_t httpErrBadChunk = 8;      // a chunk size or trailer line that cannot be read
constexpr uint16_t httpErrChunkOverflow = 9; // a chunk size beyond 64 bits
constexpr uint16_t httpErrChunkEnd = 10;     // a chunk's data not followed by CR LF
constexpr uint16_t httpErrIncomplete = 11;   // the connection closed before the response ended
constexpr uint16_t httpErrTimeout = 12;      // Timeout passed before the request ended

class EHttpException : public Exception {
 public:
  EHttpException(std::string message, uint16_t errorCode) : Exception(std::move(message)), FErrorCode(errorCode) {}
  uint16_t ErrorCode() const { return FErrorCode; }

 private:
  uint16_t FErrorCode;
};

// --- event types (parameter names as published) ---
using TOnCommand = TEvent<TObject* /*Sender*/, std::string& /*S*/>;
using TDocDataEvent = TEvent<TObject* /*Sender*/, const void* /*Buffer*/, int32_t /*Len*/>;
using THttpRequestDone = TEvent<TObject* /*Sender*/, THttpRequest /*RqType*/, WORD /*Error*/>;
using TCookieRcvdEvent = TEvent<TObject* /*Sender*/, const std::string& /*Data*/, bool& /*Accept*/>;
using TBeforeHeaderSendEvent = TEvent<TObject* /*Sender*/, const std::string& /*Method*/, TStrings* /*Headers*/>;
using TUnsolicitedLineEvent = TEvent<TObject* /*Sender*/, WORD /*Error*/>;
using THttpSocksErrorEvent = TSocksErrorEvent;

// --- URL and text helpers ---

// Splits URL into its scheme, user, password, host, port and path. Path is
// also the base on entry: "./x" and "../x" resolve against it (every other
// output starts empty). Schemes are matched without regard to letter case
// and returned in lower case.
void SplitUrl(const std::string& url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path);
// S up to and including the last "/" or ":" before the first "?"; empty when
// there is neither.
std::string ExtractURLDirectory(const std::string& s);
// 1-based position of the last occurrence of Sub in S, 0 when absent.
int LastPosition(const std::string& sub, const std::string& s);
// Replaces what follows the last "." of Name by Ext, or appends "." + Ext.
void ReplaceExtension(std::string& name, const std::string& ext);
// Mode 0: one UU-encoded line (length character first); any other mode:
// Base64 with "=" padding and no line breaks.
std::string EncodeCredentials(int mode, const void* data, int size);
std::string EncodeText(int mode, const std::string& s);
// 'Tue, 02 Jan 2001 13:04:05' (no time zone conversion is made).
std::string FormatHttpDate(TDateTime d);

// --- messages of the client's own window ---
constexpr UINT WM_HTTP_REQUEST_DONE = WM_USER + 1;
constexpr UINT WM_HTTP_SET_READY = WM_USER + 2;
constexpr UINT WM_HTTP_RELOCATE = WM_USER + 3;  // restarts the lookup of a relocation

// Room of the line buffer; one more byte holds the terminating zero.
constexpr int kHttpLineCapacity = 8192;
constexpr int kHttpBodyBlock = 128 * 1024;
// Largest POST body chunk handed to the socket at once.
constexpr int kHttpSendChunk = 8193;

// Makes the socket a client talks through; the client becomes its owner.
using THttpSocketFactory = DAVidavi* (*)(TComponent* owner);

// The port a scheme is served on when a URL names none: 443 for https,
// 80 for everything else.
std::string DefaultHttpPort(const std::string& scheme);

class THttpCli : public TComponent {
  EVC_CLASS(THttpCli)
 public:
  explicit THttpCli(TComponent* owner);
  ~THttpCli() override;

  // Scheme of the current target ("http" or "https"), relocations included.
  const std::string& TargetScheme() const { return FTargetScheme; }

  // -- virtual operations, in their slot order --
  virtual void ProcessHeaderLine();
  virtual void ProcessBodyData();
  virtual void SendHeaderLine(std::string line);
  virtual void StartLookup();
  virtual void CloseConnection();
  virtual void ClearResponse();
  virtual void SocketDnsLookupDone(TObject* sender, WORD error);
  virtual void SocketSessionClosed(TObject* sender, WORD error);
  virtual void SocketSessionConnected(TObject* sender, WORD error);
  virtual void SocketDataSent(TObject* sender, WORD error);
  virtual void SocketDataAvailable(TObject* sender, WORD error);
  virtual void RelocationClosed(TObject* sender, WORD error);
  // Starts a request and returns at once. Raises EHttpException with code 1
  // while a request runs and with code 2 for a POST without PostStream.
  virtual void RequestAsync(THttpRequest rq);
  // Runs a request to its end, handling this thread's messages meanwhile
  // (blocked in the kernel while nothing happens). Raises EHttpException
  // (StatusText, HttpStatus) when the status is above 399.
  virtual void RequestSync(THttpRequest rq);
  virtual void SetMultiThreaded(bool value);
  virtual void ChangeState(THttpClientState newState);
  virtual void FireStateChange();
  virtual void FireCookie(const std::string& data, bool& accept);
  virtual void FireSessionConnected();
  virtual void FireBeforeHeaderSend(const std::string& method, TStrings* headers);
  virtual void FireRequestHeaderBegin();
  virtual void FireRequestHeaderEnd();
  virtual void FireHeaderBegin();
  virtual void FireHeaderEnd();
  virtual void FireDocBegin();
  virtual void FireDocData(const void* buffer, int32_t len);
  virtual void FireDocEnd();
  virtual void FireSendBegin();
  virtual void FireSendData(const void* buffer, int32_t len);
  virtual void FireSendEnd();
  // Posts the request-done message; OnRequestDone comes from its handler.
  virtual void FireRequestDone();
  virtual void HandleMessage(TMessage& msg);
  virtual void PostReady();
  virtual void AdjustDocumentName();
  virtual void CreateWindowHandle();
  virtual void DestroyWindowHandle();

  // -- requests --
  // Ends the current request: one OnRequestDone with Error 3 follows. While
  // ready it only closes a connection left open.
  void Abort();
  void BeginPost() { RequestAsync(hrPost); }
  void GetASync() { RequestAsync(hrGet); }
  void PostASync() { RequestAsync(hrPost); }
  void HeadASync() { RequestAsync(hrHead); }
  void Get() { RequestSync(hrGet); }
  void Post() { RequestSync(hrPost); }
  void Head() { RequestSync(hrHead); }

  // -- published properties --
  const std::string& URL() const { return FURL; }
  void SetURL(const std::string& v) { FURL = v; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& v) { FLocalAddr = v; }
  const std::string& Proxy() const { return FProxy; }
  void SetProxy(const std::string& v) { FProxy = v; }
  const std::string& ProxyPort() const { return FProxyPort; }
  void SetProxyPort(const std::string& v) { FProxyPort = v; }
  const std::string& Sender() const { return FSender; }
  void SetSender(const std::string& v) { FSender = v; }
  const std::string& Agent() const { return FAgent; }
  void SetAgent(const std::string& v) { FAgent = v; }
  const std::string& Accept() const { return FAccept; }
  void SetAccept(const std::string& v) { FAccept = v; }
  const std::string& AcceptLanguage() const { return FAcceptLanguage; }
  void SetAcceptLanguage(const std::string& v) { FAcceptLanguage = v; }
  const std::string& Reference() const { return FReference; }
  void SetReference(const std::string& v) { FReference = v; }
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& v) { FUsername = v; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& v) { FPassword = v; }
  const std::string& ProxyUsername() const { return FProxyUsername; }
  void SetProxyUsername(const std::string& v) { FProxyUsername = v; }
  const std::string& ProxyPassword() const { return FProxyPassword; }
  void SetProxyPassword(const std::string& v) { FProxyPassword = v; }
  bool NoCache() const { return FNoCache; }
  void SetNoCache(bool v) { FNoCache = v; }
  TDateTime ModifiedSince() const { return FModifiedSince; }
  void SetModifiedSince(TDateTime v) { FModifiedSince = v; }
  const std::string& Cookie() const { return FCookie; }
  void SetCookie(const std::string& v) { FCookie = v; }
  const std::string& ContentTypePost() const { return FContentTypePost; }
  void SetContentTypePost(const std::string& v) { FContentTypePost = v; }
  const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
  void SetContentRangeBegin(const std::string& v) { FContentRangeBegin = v; }
  const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
  void SetContentRangeEnd(const std::string& v) { FContentRangeEnd = v; }
  const std::string& AcceptRanges() const { return FAcceptRanges; }
  bool MultiThreaded() const { return FMultiThreaded; }
  // "1.0" (the default: one connection per request, the document ends with
  // the server's close) or "1.1": persistent connections, bodies framed by
  // their length or the chunked coding, interim 1xx answers skipped. Any
  // other value is refused with EHttpException.
  const std::string& RequestVer() const { return FRequestVer; }
  void SetRequestVer(const std::string& v);
  // With "1.1": how long (ms) a connection may sit idle and still carry the
  // next request; 0 keeps none open.
  int32_t KeepAliveTimeout() const { return FKeepAliveTimeout; }
  void SetKeepAliveTimeout(int32_t v) { FKeepAliveTimeout = v < 0 ? 0 : v; }
  // How long (ms) Get, Post and Head wait before they abort the request and
  // raise EHttpException with code 12; 0 waits as long as it takes.
  int32_t Timeout() const { return FTimeout; }
  void SetTimeout(int32_t v) { FTimeout = v < 0 ? 0 : v; }

  // The SOCKS settings are the socket's own: reading returns the socket's
  // value, writing goes to the socket (with its checks). The socket forgets
  // server, port and level after every close, so they read back reset then.
  std::string SocksServer() const;
  void SetSocksServer(const std::string& v);
  std::string SocksLevel() const;
  void SetSocksLevel(const std::string& v);
  std::string SocksPort() const;
  void SetSocksPort(const std::string& v);
  std::string SocksUsercode() const;
  void SetSocksUsercode(const std::string& v);
  std::string SocksPassword() const;
  void SetSocksPassword(const std::string& v);
  // socksNoAuthentication (0) or socksAuthenticateUsercode (any other value).
  uint8_t SocksAuthentication() const;
  void SetSocksAuthentication(uint8_t v);

  // -- public properties --
  THttpClientState State() const { return FState; }
  THttpRequest RequestType() const { return FRequestType; }
  bool Connected() const { return FConnected; }
  const std::string& DnsResult() const { return FDnsResult; }
  int32_t HttpStatus() const { return FStatusCode; }
  const std::string& StatusText() const { return FReasonPhrase; }
  int32_t BodyLength() const { return FContentLength; }
  const std::string& ContentType() const { return FContentType; }
  const std::string& Location() const { return FLocation; }
  const std::string& DocumentName() const { return FDocName; }
  int32_t ReceivedCount() const { return FRcvdCount; }
  int32_t PostedCount() const { return FSentCount; }
  // The counts above in 64 bits, for documents of 2 GiB and more (BodyLength
  // reads -1 for a length that does not fit in 32 bits).
  int64_t ContentLength64() const { return FContentLength64; }
  int64_t RcvdCount64() const { return FRcvdCount64; }
  // Whether the last request went out on a connection kept from an earlier one.
  bool ConnectionReused() const { return FKeep.Reused; }
  TStream* ReceiveStream() const { return FRcvdStream; }
  void SetReceiveStream(TStream* s) { FRcvdStream = s; }
  TStream* PostStream() const { return FSendStream; }
  void SetPostStream(TStream* s) { FSendStream = s; }
  TStringList* ResponseHeader() const { return FResponseHeader.get(); }
  TStringList* AuthenticateList() const { return FAuthenticateList.get(); }
  const std::string& LastLine() const { return FLastLine; }
  // The owned socket (for its SOCKS settings and diagnostics).
  DAVidavi* Socket() const { return FCtrlSocket; }
  HWND WindowHandle() const { return FWindowHandle; }

  // -- events --
  TNotifyEvent OnTrace;
  TNotifyEvent OnSessionConnected;
  TNotifyEvent OnHeaderData;
  TOnCommand OnCommand;
  TNotifyEvent OnHeaderBegin;
  TNotifyEvent OnHeaderEnd;
  TNotifyEvent OnRequestHeaderBegin;
  TNotifyEvent OnRequestHeaderEnd;
  TNotifyEvent OnDocBegin;
  TDocDataEvent OnDocData;
  TNotifyEvent OnDocEnd;
  TNotifyEvent OnSendBegin;
  TDocDataEvent OnSendData;
  TNotifyEvent OnSendEnd;
  TNotifyEvent OnStateChange;
  THttpRequestDone OnRequestDone;
  TNotifyEvent OnLocationChange;
  TCookieRcvdEvent OnCookie;
  TSessionConnected OnSocksConnected;
  // Not called by the client itself (kept for form compatibility).
  TNotifyEvent OnSocksAuthState;
  THttpSocksErrorEvent OnSocksError;
  TNotifyEvent OnSocketError;
  TBeforeHeaderSendEvent OnBeforeHeaderSend;
  TUnsolicitedLineEvent OnUnsolicitedLine;

 protected:
  // A client whose socket comes from `factory`: a subclass that speaks
  // another transport (TLS, say) hands in a socket class of its own.
  THttpCli(TComponent* owner, THttpSocketFactory factory);
  // Sets the socket up for the next connection to the current target,
  // before its lookup starts. False when that target cannot be reached by
  // this client (an https target without TLS); the request then ends with
  // httpErrNoTls.
  virtual bool PrepareTransport();

  // Who takes the next complete line or body chunk.
  enum TNextLine : uint8_t { nlNone, nlHeader, nlBody };
  void CallNextLineHandler();

  // Builds the request header and hands it to the socket in one call.
  // False when a handler ended the request meanwhile (nothing is sent then).
  bool SendRequest(const std::string& method, const std::string& version);
  // The request numbered `serial` is aborted or over (its OnRequestDone is
  // on its way, or another request runs): nothing of it may happen any more.
  bool RequestOver(uint32_t serial) const {
    return serial != FRequestSerial || FState == hcReady || FState == hcAborting;
  }
  // Derives the connection target and the request line's target from URL
  // and Proxy.
  void ComputeRequestTarget();
  // Handles a Location field's value: the next target and Location.
  void PrepareRelocation(const std::string& value);
  // Splits the bytes of the line buffer: `count` new bytes have just been
  // put after those already held.
  void HandleReceivedBytes(int count, WORD error);
  // Takes bytes as the socket would hand them over (at most the free room of
  // the line buffer per call) and handles them. Returns how many it took.
  int TakeReceivedBytes(const void* data, int len, WORD error = 0);
  // Gives up a response that cannot be read on: drops the bytes held,
  // records the code for OnRequestDone and closes the connection, so that
  // the request ends instead of waiting for bytes that cannot be taken.
  void AbandonResponse(uint16_t code);
  // Moves the bytes still held to the start of the line buffer.
  void CompactReceiveBuffer();
  void ParseStatusLine(const std::string& line);
  void ParseHeaderField(const std::string& line);
  void HookSocketEvents();
  // RequestSync's wait when Timeout is set: at most that long, then the
  // request is aborted with code 12 and EHttpException raised.
  void RequestSyncTimed();
  // Gives the document a ".htm" name when it is HTML without a fitting one.
  void AdjustDocumentNameForType();

  // -- HTTP/1.1: framing of the response --
  bool Http11() const { return FRequestVer == "1.1"; }
  // Takes a header line before ProcessHeaderLine sees it: interim 1xx
  // responses and a first line that is no status line. True when taken.
  bool TakeInterimLine();
  // Notes a header field that decides the framing or the connection's fate.
  void NoteFramingField(const std::string& name, const std::string& value);
  // The header has ended (no relocation pending): chooses how the body ends.
  void BeginFramedBody();
  // Body bytes as received; they go through the framing to ProcessBodyData.
  void FeedFramedBody(const char* data, size_t len);
  // Hands document bytes to ProcessBodyData; false when the request moved on.
  bool DeliverBody(const char* data, size_t len);
  // The response has ended: the connection is kept or closed, and the
  // request is done. `extra` tells that bytes followed the response.
  void CompleteFramedResponse(bool extra);

  // -- HTTP/1.1: the connection kept between requests --
  // What a kept connection must match to carry a request: scheme, the host
  // and port connected to (the server or the proxy), the local address and
  // the SOCKS server.
  virtual std::string ConnectionKey() const;
  // Sends the request on the kept connection when it fits; false otherwise
  // (a connection that does not fit is closed).
  bool ResumeKeptConnection();
  // Closes the socket without the close reaching the request.
  void CloseQuietly();
  // The socket's close as the 1.1 rules see it; true when nothing else is
  // to be done with it (an idle connection went, or the request is retried).
  bool TakeConnectionClose(WORD error);
  // Bytes on a connection that no response is expected on: it is dropped.
  bool TakeIdleData();

  // -- fields --
  DAVidavi* FCtrlSocket = nullptr;  // owned (the client is its owner)
  HWND FWindowHandle = 0;
  THttpClientState FState = hcReady;
  THttpRequest FRequestType = hrNone;
  bool FConnected = false;
  std::string FDnsResult;

  std::string FURL;
  std::string FLocalAddr = "0.0.0.0";
  std::string FProxy;
  std::string FProxyPort = "80";
  std::string FSender;
  std::string FAgent = "Mozilla/3.0 (compatible)";
  std::string FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
  std::string FAcceptLanguage;
  std::string FReference;
  std::string FUsername;
  std::string FPassword;
  std::string FProxyUsername;
  std::string FProxyPassword;
  bool FNoCache = false;
  TDateTime FModifiedSince = 0;
  std::string FCookie;
  std::string FContentTypePost = "application/x-www-form-urlencoded";
  std::string FContentRangeBegin;
  std::string FContentRangeEnd;
  std::string FAcceptRanges;
  bool FMultiThreaded = false;

  // connection target
  std::string FHostName;    // looked up and connected to: the server or the proxy
  std::string FPort;        // port connected to
  std::string FTargetHost;  // value of the Host line
  std::string FPath;        // request target on the request line
  std::string FTargetScheme = "http";
  // The proxy only carries a tunnel: the request goes to the server itself,
  // with the path alone on its request line and no proxy credentials.
  bool FTunnel = false;

  // response results
  int32_t FStatusCode = 0;
  std::string FReasonPhrase;
  int32_t FContentLength = -1;
  std::string FContentType;
  std::string FLocation;
  std::string FDocName;
  int32_t FRcvdCount = 0;
  int32_t FSentCount = 0;
  TStream* FRcvdStream = nullptr;  // the host's
  TStream* FSendStream = nullptr;  // the host's
  std::unique_ptr<TStringList> FResponseHeader;
  std::unique_ptr<TStringList> FAuthenticateList;
  std::string FLastLine;
  std::vector<char> FBodyBlock;  // the document is read through this once it flows

  char FSendBuffer[kHttpSendChunk] = {};
  char FReceiveBuffer[kHttpLineCapacity + 1] = {};
  int FReceiveLen = 0;    // end of the bytes held
  int FReceiveStart = 0;  // start of the bytes held (lines before it are handled)
  std::string FLineEnd;   // the line end that followed LastLine ("\r\n" or "\n")
  int FHeaderLineCount = 0;
  int FBodyDataCount = 0;
  bool FHeaderInProgress = false;
  bool FLocationFlag = false;      // a relocation is pending
  bool FAllowedToSend = false;     // POST body chunks may follow
  std::unique_ptr<TMemoryStream> FReqStream;
  WORD FRequestDoneError = 0;
  TNextLine FNext = nlNone;

  std::string FRequestVer = "1.0";
  int32_t FKeepAliveTimeout = 30000;
  int32_t FTimeout = 0;
  int64_t FContentLength64 = -1;
  int64_t FRcvdCount64 = 0;
  // What Abort reports; a Timeout ends the request the same way with its own.
  uint16_t FAbortCode = httpErrAborted;
  const char* FAbortText = "Connection aborted on request";

  // How the body of the current response ends.
  enum TBodyFraming : uint8_t { bfUntilClose, bfLength, bfChunked };
  struct TFraming : THttpChunkDecoder::TSink {
    THttpCli* Owner = nullptr;
    TBodyFraming Kind = bfUntilClose;
    int64_t Left = 0;          // bfLength: document bytes still to come
    bool Chunked = false;      // Transfer-Encoding ends with chunked
    bool OtherCoding = false;  // a transfer coding that only a close can end
    bool Close = false;        // Connection: close
    bool KeepAlive = false;    // Connection: keep-alive (for a 1.0 server)
    bool Server11 = false;     // the status line says HTTP/1.1
    bool Interim = false;      // inside a 1xx response
    bool Answered = false;     // a line of an answer arrived
    THttpChunkDecoder Decoder;
    bool ChunkData(const char* data, size_t len) override { return Owner->DeliverBody(data, len); }
    void TrailerLine(const std::string& line) override { Owner->FResponseHeader->Add(line); }
    void ResetResponse();
  } FFraming;
  std::string FFramedInput;  // body bytes taken from the line buffer

  struct TKeptConnection {
    bool Idle = false;     // open, with no request on it
    bool Reused = false;   // the current request went out on a kept connection
    bool Retried = false;  // the current request was sent a second time
    DWORD IdleSince = 0;
    std::string Key;
  } FKeep;

  // Every request gets a number; the ready and relocation messages carry it,
  // so that one left over from an ended request cannot touch the next one.
  uint32_t FRequestSerial = 0;
  bool FRestartPending = false;  // a relocation restart message is on its way
  // What the request-done message reports, fixed when the state became ready.
  THttpRequest FDoneRequestType = hrNone;
  WORD FDoneError = 0;
};

}  // namespace evc
