// THttpCli: construction, its window and messages, the request state
// machine (start, lookup, connect, close, abort), synchronous requests and
// the event-firing operations.
#include "http/HttpProt.h"

#include "base/Application.h"
#include "base/TypInfo.h"
#include "platform/kernel.h"

namespace evc {

const char* HttpClientStateName(THttpClientState s) {
  switch (s) {
    case hcReady: return "hcReady";
    case hcNotConnected: return "hcNotConnected";
    case hcConnected: return "hcConnected";
    case hcLookingUp: return "hcLookingUp";
    case hcLookupDone: return "hcLookupDone";
    case hcAwaitingHeader: return "hcAwaitingHeader";
    case hcAwaitingBody: return "hcAwaitingBody";
    case hcAborting: return "hcAborting";
  }
  return "?";
}

const char* HttpRequestName(THttpRequest r) {
  switch (r) {
    case hrNone: return "hrNone";
    case hrGet: return "hrGet";
    case hrPost: return "hrPost";
    case hrHead: return "hrHead";
  }
  return "?";
}

// --- construction and destruction ---

THttpCli::THttpCli(TComponent* owner)
    : THttpCli(owner, [](TComponent* socketOwner) { return new DAVidavi(socketOwner); }) {}

THttpCli::THttpCli(TComponent* owner, THttpSocketFactory factory) : TComponent(owner) {
  CreateWindowHandle();
  FCtrlSocket = factory(this);
  // Made by the client, not placed by its user: a form file must not store
  // it, or each reading would add another socket beside this one.
  FCtrlSocket->SetSubComponent(true);
  FAuthenticateList = std::make_unique<TStringList>();
  FResponseHeader = std::make_unique<TStringList>();
  FReqStream = std::make_unique<TMemoryStream>();
  HookSocketEvents();
  FFraming.Owner = this;
  FState = hcReady;
  FRequestType = hrNone;
}

THttpCli::~THttpCli() {
  // The socket's last events must not reach a client that is half gone.
  if (FCtrlSocket) {
    FCtrlSocket->OnSessionClosed = nullptr;
    FCtrlSocket->OnDataAvailable = nullptr;
    FCtrlSocket->OnSessionConnected = nullptr;
    FCtrlSocket->OnDataSent = nullptr;
    FCtrlSocket->OnDnsLookupDone = nullptr;
    FCtrlSocket->OnError = nullptr;
    FCtrlSocket->OnSocksError = nullptr;
    FCtrlSocket->OnSocksConnected = nullptr;
    delete FCtrlSocket;
    FCtrlSocket = nullptr;
  }
  DestroyWindowHandle();
}

void THttpCli::HookSocketEvents() {
  FCtrlSocket->OnSessionClosed.Bind(this, &THttpCli::SocketSessionClosed);
  FCtrlSocket->OnDataAvailable.Bind(this, &THttpCli::SocketDataAvailable);
  FCtrlSocket->OnSessionConnected.Bind(this, &THttpCli::SocketSessionConnected);
  FCtrlSocket->OnDataSent.Bind(this, &THttpCli::SocketDataSent);
  FCtrlSocket->OnDnsLookupDone.Bind(this, &THttpCli::SocketDnsLookupDone);
  FCtrlSocket->OnError = [this](TObject*) { OnSocketError(this); };
  FCtrlSocket->OnSocksError = [this](TObject* sender, int32_t error, const std::string& msg) {
    OnSocksError(sender, error, msg);
  };
  FCtrlSocket->OnSocksConnected = [this](TObject* sender, WORD error) { OnSocksConnected(sender, error); };
}

void THttpCli::CreateWindowHandle() {
  FWindowHandle = AllocateMethodWindow([this](TMessage& m) { HandleMessage(m); });
}

void THttpCli::DestroyWindowHandle() {
  if (FWindowHandle == 0) return;
  ReleaseMethodWindow(FWindowHandle);
  FWindowHandle = 0;
}

// --- messages ---

void THttpCli::HandleMessage(TMessage& msg) {
  switch (msg.Msg) {
    case WM_HTTP_REQUEST_DONE:
      // The request's type and code travel in the message: a handler that
      // started the next request meanwhile must not change what is reported.
      OnRequestDone(this, static_cast<THttpRequest>(msg.WParam), static_cast<WORD>(msg.LParam));
      break;
    case WM_HTTP_SET_READY:
      if (static_cast<uint32_t>(msg.WParam) == FRequestSerial) ChangeState(hcReady);
      break;
    case WM_HTTP_RELOCATE:
      // An Abort after the relocation was announced withdraws it.
      if (static_cast<uint32_t>(msg.WParam) == FRequestSerial && FRestartPending) {
        FRestartPending = false;
        StartLookup();
      }
      break;
    default:
      msg.Result = DefWindowProc(FWindowHandle, msg.Msg, msg.WParam, msg.LParam);
      break;
  }
}

void THttpCli::PostReady() {
  PostMessage(FWindowHandle, WM_HTTP_SET_READY, static_cast<WPARAM>(FRequestSerial), 0);
}

void THttpCli::ChangeState(THttpClientState newState) {
  if (newState == FState) return;
  FState = newState;
  // What OnRequestDone reports is fixed now: a handler of the ready state
  // may already have started the next request.
  const THttpRequest rq = FRequestType;
  const WORD error = FRequestDoneError;
  FireStateChange();
  if (newState != hcReady) return;
  FDoneRequestType = rq;
  FDoneError = error;
  FireRequestDone();
}

// --- starting a request ---

void THttpCli::RequestAsync(THttpRequest rq) {
  if (FState != hcReady) throw EHttpException("HTTP component is busy", httpErrBusy);
  if (rq == hrPost && FSendStream == nullptr)
    throw EHttpException("HTTP component has nothing to post", httpErrNothingToPost);

  // A connection the previous response left open (a zero length, say) would
  // make the socket refuse the new target; it goes without an event. One
  // kept for reuse waits until the new target is known.
  if (FCtrlSocket->State() != wsClosed && !FKeep.Idle) {
    FCtrlSocket->OnSessionClosed = nullptr;
    try {
      FCtrlSocket->Close();
    } catch (...) {
    }
  }
  FCtrlSocket->OnSessionClosed.Bind(this, &THttpCli::SocketSessionClosed);

  const uint32_t serial = ++FRequestSerial;
  FRestartPending = false;
  FLocationFlag = false;
  // Type and cleared results first: a handler of the first state change
  // sees this request, and an Abort there reports this request's type.
  FRequestType = rq;
  ClearResponse();
  ChangeState(hcNotConnected);
  if (RequestOver(serial)) return;
  ComputeRequestTarget();
  FKeep.Reused = FKeep.Retried = false;
  if (ResumeKeptConnection()) return;
  StartLookup();
}

void THttpCli::ClearResponse() {
  FResponseHeader->Clear();
  FRequestDoneError = 0;
  FDocName.clear();
  FStatusCode = 0;
  FRcvdCount = 0;
  FSentCount = 0;
  FHeaderLineCount = 0;
  FBodyDataCount = 0;
  FContentLength = -1;
  FContentType.clear();
  FAllowedToSend = false;
  FHeaderInProgress = false;
  // Bytes of an earlier connection are no part of this response.
  FReceiveLen = 0;
  FReceiveStart = 0;
  FReceiveBuffer[0] = 0;
  FLocation = FURL;
  FContentLength64 = -1;
  FRcvdCount64 = 0;
  FFraming.ResetResponse();
}

bool THttpCli::PrepareTransport() {
  FTunnel = false;
  return FTargetScheme != "https";
}

void THttpCli::StartLookup() {
  const uint32_t serial = FRequestSerial;
  FDnsResult.clear();
  ChangeState(hcLookingUp);
  if (RequestOver(serial)) return;
  if (!PrepareTransport()) {
    FRequestDoneError = httpErrNoTls;
    FStatusCode = 404;
    FReasonPhrase = FTargetScheme + " is not spoken by this client (it needs THttpsCli)";
    FConnected = false;
    ChangeState(hcReady);
    return;
  }
  try {
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    FCtrlSocket->DnsLookup(FHostName);
  } catch (const Exception& e) {
    if (RequestOver(serial)) return;
    FStatusCode = 404;
    FReasonPhrase = e.Message();
    FConnected = false;
    ChangeState(hcReady);
  }
}

void THttpCli::SocketDnsLookupDone(TObject* sender, WORD error) {
  // A late answer to a lookup of an aborted or ended request changes
  // nothing: that request has had its OnRequestDone.
  if (FState != hcLookingUp) return;
  const uint32_t serial = FRequestSerial;
  if (error != 0) {
    FRequestDoneError = error;
    FStatusCode = 404;
    FReasonPhrase = "can't resolve hostname to IP address";
    SocketSessionClosed(sender, error);
    return;
  }
  FDnsResult = FCtrlSocket->DnsResult();
  ChangeState(hcLookupDone);
  if (RequestOver(serial)) return;
  bool raised = false;
  try {
    FCtrlSocket->SetAddr(FDnsResult);
    FCtrlSocket->SetLocalAddr(FLocalAddr);
    FCtrlSocket->SetPort(FPort);
    FCtrlSocket->SetProto("tcp");
    FCtrlSocket->Connect();
  } catch (...) {
    raised = true;
  }
  if (RequestOver(serial) || FState != hcLookupDone) return;  // a handler moved the request on
  // With its error event assigned the socket reports a failed Connect there
  // instead of raising; a socket that is not on its way to a connection has
  // failed all the same, and the request must end rather than wait for ever.
  TSocketState s = FCtrlSocket->State();
  if (!raised && (s == wsConnecting || s == wsConnected)) return;

  int32_t code = FCtrlSocket->LastError();
  if (code == 0) code = winsock::WSAEINVAL;
  FRequestDoneError = static_cast<WORD>(code);
  FStatusCode = 404;
  FReasonPhrase = "can't connect: " + SocketErrorText(code) + " (Error #" + std::to_string(code) + ")";
  try {
    FCtrlSocket->Close();
  } catch (...) {
  }
  SocketSessionClosed(sender, static_cast<WORD>(code));
}

void THttpCli::SocketSessionConnected(TObject* sender, WORD error) {
  const uint32_t serial = FRequestSerial;
  if (RequestOver(serial)) return;
  if (error != 0) {
    FRequestDoneError = error;
    FStatusCode = 404;
    FReasonPhrase = SocketErrorText(error) + " (Error #" + std::to_string(error) + ")";
    SocketSessionClosed(sender, error);
    return;
  }
  // Each handler below may abort the request: nothing more of it happens then.
  FConnected = true;
  ChangeState(hcConnected);
  if (RequestOver(serial)) return;
  FireSessionConnected();
  if (RequestOver(serial)) return;
  FNext = nlHeader;
  ChangeState(hcAwaitingHeader);
  if (RequestOver(serial)) return;
  try {
    switch (FRequestType) {
      case hrPost:
        if (!SendRequest("POST", FRequestVer)) return;
        FireSendBegin();
        if (RequestOver(serial)) return;
        FAllowedToSend = true;
        SocketDataSent(FCtrlSocket, 0);
        break;
      case hrHead:
        SendRequest("HEAD", FRequestVer);
        break;
      default:
        SendRequest("GET", FRequestVer);
        break;
    }
  } catch (...) {
    if (!RequestOver(serial)) CloseConnection();
  }
}

void THttpCli::CloseConnection() {
  try {
    FCtrlSocket->Close();
  } catch (...) {
  }
  FConnected = false;
}

void THttpCli::SocketSessionClosed(TObject* sender, WORD error) {
  if (Http11() && TakeConnectionClose(error)) return;
  FConnected = false;
  // A connection that outlived its request (a zero-length reply left it
  // open) ends no request.
  if (FState == hcReady) return;
  if (error != 0) FRequestDoneError = error;
  if (FHeaderInProgress) {
    FireHeaderEnd();
    // An aborted request does not go on to its relocation.
    if (FLocationFlag && FState != hcAborting)
      RelocationClosed(this, 0);
    else
      PostReady();
  } else {
    if (FBodyDataCount > 0) FireDocEnd();
    PostReady();
  }
}

// --- ending a request early ---

void THttpCli::Abort() {
  if (FState == hcReady) {
    if (FCtrlSocket->State() != wsClosed) FCtrlSocket->Close();
    return;
  }
  const uint32_t serial = FRequestSerial;
  const bool wasLookingUp = FState == hcLookingUp;
  FLocationFlag = false;
  FRestartPending = false;
  FAllowedToSend = false;
  ChangeState(hcAborting);
  // A handler of the aborting state that aborted once more has ended it.
  if (serial != FRequestSerial || FState == hcReady) return;
  // Also when the state no longer says so: a lookup may be pending under an
  // outer Abort that was interrupted by this one. Its answer (cancelled) is
  // ignored, as the state is no longer the lookup's.
  try {
    FCtrlSocket->CancelLookup();
  } catch (...) {
  }
  FStatusCode = 404;
  FReasonPhrase = FAbortText;
  FRequestDoneError = FAbortCode;
  if (wasLookingUp) {
    SocketSessionClosed(this, 0);
  } else {
    // The close of a relocation's connection must not start the relocation.
    FCtrlSocket->OnSessionClosed.Bind(this, &THttpCli::SocketSessionClosed);
    try {
      FCtrlSocket->Close();
    } catch (...) {
    }
  }
  // Handlers of the close may have ended the request already.
  if (serial == FRequestSerial) ChangeState(hcReady);
}

// --- synchronous requests ---

void THttpCli::RequestSync(THttpRequest rq) {
  RequestAsync(rq);
  if (FTimeout > 0) {
    RequestSyncTimed();
    return;
  }
  while (FState != hcReady) {
    // Each turn sleeps in the kernel until a message or a socket
    // notification is there: a request that waits on the network costs no
    // processor time.
    if (FMultiThreaded) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT);
      FCtrlSocket->PumpMessages();
    } else {
      Application().HandleMessage();
    }
  }
  if (FStatusCode > 399) throw EHttpException(FReasonPhrase, static_cast<uint16_t>(FStatusCode));
}

void THttpCli::RequestSyncTimed() {
  const DWORD start = GetTickCount();
  const auto limit = static_cast<DWORD>(FTimeout);
  while (FState != hcReady) {
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= limit) {
      FAbortCode = httpErrTimeout;
      FAbortText = "Request timed out";
      try {
        Abort();
      } catch (...) {
      }
      FAbortCode = httpErrAborted;
      FAbortText = "Connection aborted on request";
      throw EHttpException(FReasonPhrase, httpErrTimeout);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, limit - elapsed, QS_ALLINPUT);
    if (FMultiThreaded)
      FCtrlSocket->PumpMessages();
    else
      Application().ProcessMessages();
  }
  if (FStatusCode > 399) throw EHttpException(FReasonPhrase, static_cast<uint16_t>(FStatusCode));
}

void THttpCli::SetMultiThreaded(bool value) {
  FMultiThreaded = value;
  FCtrlSocket->SetMultiThreaded(value);
}

// --- SOCKS settings, held by the socket ---

std::string THttpCli::SocksServer() const { return FCtrlSocket->SocksServer(); }
void THttpCli::SetSocksServer(const std::string& v) { FCtrlSocket->SetSocksServer(v); }
std::string THttpCli::SocksLevel() const { return FCtrlSocket->SocksLevel(); }
void THttpCli::SetSocksLevel(const std::string& v) { FCtrlSocket->SetSocksLevel(v); }
std::string THttpCli::SocksPort() const { return FCtrlSocket->SocksPort(); }
void THttpCli::SetSocksPort(const std::string& v) { FCtrlSocket->SetSocksPort(v); }
std::string THttpCli::SocksUsercode() const { return FCtrlSocket->SocksUsercode(); }
void THttpCli::SetSocksUsercode(const std::string& v) { FCtrlSocket->SetSocksUsercode(v); }
std::string THttpCli::SocksPassword() const { return FCtrlSocket->SocksPassword(); }
void THttpCli::SetSocksPassword(const std::string& v) { FCtrlSocket->SetSocksPassword(v); }
uint8_t THttpCli::SocksAuthentication() const { return FCtrlSocket->SocksAuthentication(); }
void THttpCli::SetSocksAuthentication(uint8_t v) {
  FCtrlSocket->SetSocksAuthentication(v == socksNoAuthentication ? socksNoAuthentication : socksAuthenticateUsercode);
}

// --- event-firing operations ---

void THttpCli::FireStateChange() { OnStateChange(this); }
void THttpCli::FireCookie(const std::string& data, bool& accept) { OnCookie(this, data, accept); }
void THttpCli::FireSessionConnected() { OnSessionConnected(this); }
void THttpCli::FireBeforeHeaderSend(const std::string& method, TStrings* headers) {
  OnBeforeHeaderSend(this, method, headers);
}
void THttpCli::FireRequestHeaderBegin() { OnRequestHeaderBegin(this); }
void THttpCli::FireRequestHeaderEnd() { OnRequestHeaderEnd(this); }
void THttpCli::FireHeaderBegin() {
  FHeaderInProgress = true;
  OnHeaderBegin(this);
}
void THttpCli::FireHeaderEnd() {
  FHeaderInProgress = false;
  OnHeaderEnd(this);
}
void THttpCli::FireDocBegin() { OnDocBegin(this); }
void THttpCli::FireDocData(const void* buffer, int32_t len) { OnDocData(this, buffer, len); }
void THttpCli::FireDocEnd() { OnDocEnd(this); }
void THttpCli::FireSendBegin() { OnSendBegin(this); }
void THttpCli::FireSendData(const void* buffer, int32_t len) { OnSendData(this, buffer, len); }
void THttpCli::FireSendEnd() { OnSendEnd(this); }
void THttpCli::FireRequestDone() {
  PostMessage(FWindowHandle, WM_HTTP_REQUEST_DONE, static_cast<WPARAM>(FDoneRequestType),
              static_cast<LPARAM>(FDoneError));
}

// --- class information ---

const TClassInfo& THttpCli::StaticClassInfo() {
  using P = Published<THttpCli>;
  static const TClassInfo info(
      "THttpCli", &TComponent::StaticClassInfo(),
      {
          P::String("URL", &THttpCli::URL, &THttpCli::SetURL).WithDefault(std::string()),
          P::String("LocalAddr", &THttpCli::LocalAddr, &THttpCli::SetLocalAddr).WithDefault(std::string("0.0.0.0")),
          P::String("Proxy", &THttpCli::Proxy, &THttpCli::SetProxy).WithDefault(std::string()),
          P::String("ProxyPort", &THttpCli::ProxyPort, &THttpCli::SetProxyPort).WithDefault(std::string("80")),
          P::String("Sender", &THttpCli::Sender, &THttpCli::SetSender).WithDefault(std::string()),
          P::String("Agent", &THttpCli::Agent, &THttpCli::SetAgent)
              .WithDefault(std::string("Mozilla/3.0 (compatible)")),
          P::String("Accept", &THttpCli::Accept, &THttpCli::SetAccept)
              .WithDefault(std::string("image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*")),
          P::String("AcceptLanguage", &THttpCli::AcceptLanguage, &THttpCli::SetAcceptLanguage)
              .WithDefault(std::string()),
          P::String("Reference", &THttpCli::Reference, &THttpCli::SetReference).WithDefault(std::string()),
          P::String("Username", &THttpCli::Username, &THttpCli::SetUsername).WithDefault(std::string()),
          P::String("Password", &THttpCli::Password, &THttpCli::SetPassword).WithDefault(std::string()),
          P::String("ProxyUsername", &THttpCli::ProxyUsername, &THttpCli::SetProxyUsername)
              .WithDefault(std::string()),
          P::String("ProxyPassword", &THttpCli::ProxyPassword, &THttpCli::SetProxyPassword)
              .WithDefault(std::string()),
          P::Boolean("NoCache", &THttpCli::NoCache, &THttpCli::SetNoCache).WithDefault(false),
          P::Float("ModifiedSince", &THttpCli::ModifiedSince, &THttpCli::SetModifiedSince).WithDefault(0.0),
          P::String("Cookie", &THttpCli::Cookie, &THttpCli::SetCookie).WithDefault(std::string()),
          P::String("ContentTypePost", &THttpCli::ContentTypePost, &THttpCli::SetContentTypePost)
              .WithDefault(std::string("application/x-www-form-urlencoded")),
          P::String("ContentRangeBegin", &THttpCli::ContentRangeBegin, &THttpCli::SetContentRangeBegin)
              .WithDefault(std::string()),
          P::String("ContentRangeEnd", &THttpCli::ContentRangeEnd, &THttpCli::SetContentRangeEnd)
              .WithDefault(std::string()),
          P::String("AcceptRanges", &THttpCli::AcceptRanges, nullptr).NotStored(),
          P::Boolean("MultiThreaded", &THttpCli::MultiThreaded, &THttpCli::SetMultiThreaded).WithDefault(false),
          P::String("RequestVer", &THttpCli::RequestVer, &THttpCli::SetRequestVer).WithDefault(std::string("1.0")),
          P::Integer("KeepAliveTimeout", &THttpCli::KeepAliveTimeout, &THttpCli::SetKeepAliveTimeout)
              .WithDefault(int64_t(30000)),
          P::Integer("Timeout", &THttpCli::Timeout, &THttpCli::SetTimeout).WithDefault(int64_t(0)),
          P::String("SocksServer", &THttpCli::SocksServer, &THttpCli::SetSocksServer).WithDefault(std::string()),
          P::String("SocksLevel", &THttpCli::SocksLevel, &THttpCli::SetSocksLevel).WithDefault(std::string("5")),
          P::String("SocksPort", &THttpCli::SocksPort, &THttpCli::SetSocksPort).WithDefault(std::string()),
          P::String("SocksUsercode", &THttpCli::SocksUsercode, &THttpCli::SetSocksUsercode)
              .WithDefault(std::string()),
          P::String("SocksPassword", &THttpCli::SocksPassword, &THttpCli::SetSocksPassword)
              .WithDefault(std::string()),
          P::Enum("SocksAuthentication", &THttpCli::SocksAuthentication, &THttpCli::SetSocksAuthentication,
                  {"socksNoAuthentication", "socksAuthenticateUsercode"})
              .WithDefault(int64_t(0)),
      },
      &CreateComponentOf<THttpCli>);
  return info;
}

namespace {
const bool kRegistered = (RegisterComponentClass(THttpCli::StaticClassInfo()), true);
}

}  // namespace evc
