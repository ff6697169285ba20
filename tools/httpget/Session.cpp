#include "Session.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <cstdio>

#include "base/Application.h"
#include "base/TextUtils.h"
#include "platform/kernel.h"
#include "socket/WSocket.h"

using namespace evc;

namespace httpget {

namespace {

std::string LowerName(const std::string& line) { return evc::LowerCase(line.substr(0, line.find(':'))); }

// Reads standard input to its end: the length goes into Content-Length
// before the first byte is sent, so a pipe has to be read whole.
std::unique_ptr<TStream> ReadStandardInput(std::string& error) {
  auto s = std::make_unique<TMemoryStream>();
  char buf[65536];
  for (;;) {
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = std::string("cannot read standard input: ") + std::strerror(errno);
      return nullptr;
    }
    s->WriteBuffer(buf, n);
  }
  s->SetPosition(0);
  return s;
}

// The words for a request-done code that is not a socket error.
std::string ErrorText(WORD error) {
  switch (error) {
    case httpErrAborted: return "Connection aborted on request";
    case httpErrLineTooLong: return "HTTP line too long";
    case httpErrBadResponse: return "Malformed response";
    case httpErrBadChunk: return "Malformed chunked encoding";
    case httpErrChunkOverflow: return "Chunk size too large";
    case httpErrChunkEnd: return "No CR LF after a chunk";
    case httpErrIncomplete: return "Connection closed before the response ended";
    case httpErrTimeout: return "Request timed out";
    case httpErrNoTls: return "https is not spoken here";
    case httpErrTunnelRefused: return "The proxy refused the tunnel";
    default: return IsSslErrorCode(error) ? SslErrorText(error) : SocketErrorText(error);
  }
}

// curl's statuses for TLS failures; every other failure is 1.
int FailureStatus(WORD error) {
  switch (error) {
    case kSslCertNotTrusted:
    case kSslHostMismatch:
    case kSslCertExpired:
    case kSslCertRefused:
      return kExitTlsCertificate;
    case kSslTruncated:
      return kExitPartial;
    default:
      return IsSslErrorCode(error) ? kExitTlsHandshake : kExitFailed;
  }
}

}  // namespace

TSession::TSession(const TOptions& options)
    : FOptions(options),
      FProgress(options.Progress.value_or(!options.Trace && isatty(STDERR_FILENO) != 0)) {}

TSession::~TSession() = default;

void TSession::Trace(const std::string& line) const {
  if (FOptions.Trace) std::fprintf(stderr, "%s\n", line.c_str());
}

void TSession::Verbose(const std::string& line) const {
  if (FOptions.Verbose || FOptions.Trace) std::fprintf(stderr, "* %s\n", line.c_str());
}

// What a user asks of an https session: what was agreed on, whom it was
// with, and what was thought of the certificate.
void TSession::ReportTls(WORD error) const {
  const TSslWSocket& s = *FClient->SslSocket();
  if (error == 0) Verbose("TLS connection using " + s.SslProtocol() + " / " + s.SslCipher());
  if (!s.SslPeerSubject().empty()) {
    Verbose("Server certificate: subject: " + s.SslPeerSubject());
    Verbose("  issuer: " + s.SslPeerIssuer());
    Verbose("  valid: " + s.SslPeerNotBefore() + " to " + s.SslPeerNotAfter());
  }
  if (!s.SslVerifyPeer())
    Verbose("certificate not checked (--insecure): " + s.SslVerifyResultText());
  else if (error == 0)
    Verbose("certificate verify ok");
  else
    Verbose("TLS handshake failed: " + SslErrorText(error) + " (" + s.SslErrorDetail() + ")");
}

void TSession::Fail(const std::string& text) {
  if (FFailure.empty()) FFailure = text;
}

void TSession::WriteHeaderLine(const std::string& line) {
  std::string bytes = line + "\r\n";
  if (!FOutput->Write(bytes.data(), bytes.size())) Fail(FOutput->Error());
}

bool TSession::Prepare() {
  const TOptions& o = FOptions;
  FClient = std::make_unique<THttpsCli>(nullptr);
  THttpsCli& c = *FClient;
  c.SetRequestVer(o.Http11 ? "1.1" : "1.0");
  c.SetSslCAFile(o.CaCert);
  c.SetSslCAPath(o.CaPath);
  c.SetSslVerifyPeer(!o.Insecure);
  c.SetSslCertFile(o.CertFile);
  c.SetSslKeyFile(o.KeyFile);
  c.SetSslMinVersion(o.MinTls == 13 ? sslTLSv1_3 : sslTLSv1_2);
  if (o.HasUser) {
    c.SetUsername(o.Username);
    c.SetPassword(o.Password);
  }
  c.SetProxy(o.Proxy);
  c.SetProxyUsername(o.ProxyUsername);
  c.SetProxyPassword(o.ProxyPassword);
  c.SetCookie(o.Cookie);
  if (o.Agent) c.SetAgent(*o.Agent);
  c.SetReference(o.Referer);
  c.SetNoCache(o.NoCache);
  c.SetModifiedSince(o.ModifiedSince);
  if (o.HasRange) {
    c.SetContentRangeBegin(o.RangeBegin);
    c.SetContentRangeEnd(o.RangeEnd);
  }
  if (o.Method == TMethod::Post) {
    std::string error;
    if (o.DataFile == "-") {
      FPostStream = ReadStandardInput(error);
    } else {
      try {
        FPostStream = std::make_unique<TFileStream>(o.DataFile, fmOpenRead);
      } catch (const Exception& e) {
        error = e.Message();
      }
    }
    if (!FPostStream) {
      Fail(error);
      return false;
    }
    c.SetPostStream(FPostStream.get());
  }
  HookEvents();
  return true;
}

// The socket forgets its SOCKS settings after every close (after its close
// event, so not even OnLocationChange can keep them), so they are given
// again as each lookup starts, relocations included: a user who asked for a
// SOCKS server must never be connected around it.
static void ApplySocks(THttpCli& c, const TOptions& o) {
  if (o.SocksServer.empty()) return;
  c.SetSocksServer(o.SocksServer);
  c.SetSocksPort(o.SocksPort);
  if (!o.SocksLevel.empty()) c.SetSocksLevel(o.SocksLevel);
  c.SetSocksUsercode(o.SocksUser);
  c.SetSocksPassword(o.SocksPass);
  c.SetSocksAuthentication(o.SocksUser.empty() ? 0 : 1);
}

void TSession::HookEvents() {
  THttpsCli& c = *FClient;
  const bool include = FOptions.Include || FOptions.Method == TMethod::Head;

  c.OnStateChange = [this](TObject*) {
    Trace(std::string("OnStateChange ") + HttpClientStateName(FClient->State()));
    if (FClient->State() != hcLookingUp) return;
    try {
      ApplySocks(*FClient, FOptions);
    } catch (const std::exception& e) {
      Fail(e.what());
    }
  };
  c.OnSessionConnected = [this](TObject*) {
    FSessionUp = true;
    Trace(FClient->ConnectionReused() ? "OnSessionConnected (kept connection)" : "OnSessionConnected");
  };
  c.OnRequestHeaderBegin = [this](TObject*) { Trace("OnRequestHeaderBegin"); };
  c.OnBeforeHeaderSend = [this](TObject*, const std::string& method, TStrings* headers) {
    // A header given by the user replaces the client's own of that name; one
    // with an empty value only removes it. Line 0 is the request line.
    for (const std::string& h : FOptions.Headers) {
      const std::string name = LowerName(h);
      for (int i = headers->Count() - 1; i >= 1; --i)
        if (LowerName(headers->Get(i)) == name) headers->Delete(i);
      std::string value = h.substr(h.find(':') + 1);
      if (value.find_first_not_of(" \t") != std::string::npos) headers->Add(h);
    }
    Trace("OnBeforeHeaderSend " + method + " " + std::to_string(headers->Count()));
  };
  c.OnCommand = [this](TObject*, std::string& s) { Trace("OnCommand " + s); };
  c.OnRequestHeaderEnd = [this](TObject*) { Trace("OnRequestHeaderEnd"); };
  c.OnSendBegin = [this](TObject*) { Trace("OnSendBegin"); };
  c.OnSendData = [this](TObject*, const void*, int32_t len) { Trace("OnSendData " + std::to_string(len)); };
  c.OnSendEnd = [this](TObject*) { Trace("OnSendEnd"); };
  c.OnHeaderBegin = [this](TObject*) {
    FHeaderSeen = true;
    FResponseLines = 0;
    FHeaderLines = 0;
    Trace("OnHeaderBegin");
  };
  c.OnHeaderData = [this, include](TObject*) {
    const std::string& line = FClient->LastLine();
    Trace("OnHeaderData " + line);
    // The client reads a status line before it reports it; a first line it
    // could not read as one (a banner of some other protocol) is no HTTP
    // reply, and nothing of it may pass for a document.
    if (++FHeaderLines == 1 && FClient->HttpStatus() == 0) {
      Fail("Weird server reply: no HTTP status line (0)");
      return;
    }
    if (!FFailure.empty()) return;
    if (include) {
      ++FResponseLines;
      WriteHeaderLine(line);
    }
  };
  c.OnCookie = [this](TObject*, const std::string& data, bool&) { Trace("OnCookie " + data); };
  c.OnHeaderEnd = [this, include](TObject*) {
    Trace("OnHeaderEnd");
    if (include && FResponseLines > 0) WriteHeaderLine("");
    FResponseLines = 0;
  };
  c.OnDocBegin = [this](TObject*) {
    Trace("OnDocBegin");
    FDocumentBytes = 0;
    FProgress.Begin(FClient->ContentLength64());
  };
  c.OnDocData = [this](TObject*, const void* buffer, int32_t len) {
    Trace("OnDocData " + std::to_string(len));
    if (len <= 0 || !FFailure.empty()) return;
    FDocumentBytes += len;
    FProgress.Advance(len);
    if (!FOutput->Write(buffer, static_cast<size_t>(len))) Fail(FOutput->Error());
  };
  c.OnDocEnd = [this](TObject*) { Trace("OnDocEnd"); };
  c.OnLocationChange = [this](TObject*) {
    Trace("OnLocationChange " + FClient->Location());
    ++FRelocations;
    if (FOptions.MaxRelocations >= 0 && FRelocations > FOptions.MaxRelocations) {
      Fail("Maximum (" + std::to_string(FOptions.MaxRelocations) + ") relocations followed (" +
           std::to_string(httpErrAborted) + ")");
      // Inside this event the client withdraws the relocation it announced.
      FClient->Abort();
    }
  };
  c.OnRequestDone = [this](TObject*, THttpRequest rq, WORD error) {
    Trace(std::string("OnRequestDone ") + HttpRequestName(rq) + " " + std::to_string(error));
    FError = error;
    FDone = true;
  };
  c.OnSocksConnected = [this](TObject*, WORD error) { Trace("OnSocksConnected " + std::to_string(error)); };
  c.OnSocksError = [this](TObject*, int32_t error, const std::string& msg) {
    Trace("OnSocksError " + std::to_string(error) + " " + msg);
  };
  c.OnSocksAuthState = [this](TObject*) { Trace("OnSocksAuthState"); };
  c.OnSocketError = [this](TObject*) {
    Trace("OnSocketError " + std::to_string(FClient->Socket()->LastError()));
  };
  c.OnUnsolicitedLine = [this](TObject*, WORD error) {
    Trace("OnUnsolicitedLine " + std::to_string(error) + " " + FClient->LastLine());
  };
  c.OnTrace = [this](TObject*) { Trace("OnTrace"); };
  c.OnSslHandshakeDone = [this](TObject*, WORD error) {
    Trace("OnSslHandshakeDone " + std::to_string(error));
    ReportTls(error);
  };
}

int TSession::Run() {
  if (!Prepare()) {
    std::fprintf(stderr, "httpget: %s\n", FFailure.c_str());
    return kExitUsage;
  }
  int status = kExitOk;
  for (size_t i = 0; i < FOptions.Urls.size(); ++i) {
    int s = Transfer(i);
    if (s != kExitOk) status = s;
  }
  return status;
}

int TSession::Transfer(size_t index) {
  FDone = false;
  FError = 0;
  FFailure.clear();
  FHeaderSeen = false;
  FResponseLines = 0;
  FRelocations = 0;
  FDocumentBytes = 0;
  FSessionUp = false;
  FTimedOut = false;
  FOutput = std::make_unique<TOutput>(index < FOptions.OutputFiles.size() ? FOptions.OutputFiles[index] : "");
  if (FPostStream) FPostStream->SetPosition(0);
  FClient->SetURL(FOptions.Urls[index]);
  THttpRequest rq = FOptions.Method == TMethod::Head ? hrHead : FOptions.Method == TMethod::Post ? hrPost : hrGet;
  try {
    FClient->RequestAsync(rq);
    Wait();
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  try {
    if (!FDone) FClient->Abort();
    // Lets the request-done report of an abort arrive (and be traced).
    Application().ProcessMessages();
  } catch (...) {
  }
  FProgress.Finish();
  return Outcome();
}

void TSession::Wait() {
  const TOptions& o = FOptions;
  if (o.MaxTimeMs == 0 && o.ConnectTimeoutMs == 0) {
    // Each wait sleeps in the kernel until a message or a socket event.
    while (!FDone && FFailure.empty()) Application().HandleMessage();
    return;
  }
  const DWORD start = GetTickCount();
  while (!FDone && FFailure.empty()) {
    const DWORD elapsed = GetTickCount() - start;
    DWORD left = INFINITE;
    if (o.MaxTimeMs > 0) left = elapsed >= DWORD(o.MaxTimeMs) ? 0 : o.MaxTimeMs - elapsed;
    if (o.ConnectTimeoutMs > 0 && !FSessionUp) {
      DWORD c = elapsed >= DWORD(o.ConnectTimeoutMs) ? 0 : o.ConnectTimeoutMs - elapsed;
      if (c < left) left = c;
    }
    if (left == 0) {
      FTimedOut = true;
      if (!FSessionUp && o.ConnectTimeoutMs > 0 && elapsed >= DWORD(o.ConnectTimeoutMs))
        Fail("Connection timed out after " + std::to_string(elapsed) + " milliseconds (28)");
      else
        Fail("Operation timed out after " + std::to_string(elapsed) + " milliseconds with " +
             std::to_string(FDocumentBytes) + " bytes received (28)");
      return;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, left, QS_ALLINPUT);
    Application().ProcessMessages();
  }
}

int TSession::Outcome() {
  THttpCli& c = *FClient;
  const int32_t status = c.HttpStatus();
  if (FFailure.empty() && FError == 0) {
    if (FHeaderSeen && status >= 400) {
      FOutput->Close();
      return kExitHttpError;
    }
    if (FHeaderSeen || FDocumentBytes > 0) {
      // The end of the document is the server's close; a close before the
      // announced length is a cut transfer, not a finished one.
      const bool bodyExpected = FOptions.Method != TMethod::Head && status != 204 && status != 304;
      if (bodyExpected && c.ContentLength64() >= 0 && FDocumentBytes < c.ContentLength64()) {
        Fail("Transfer closed with " + std::to_string(c.ContentLength64() - FDocumentBytes) +
             " bytes remaining to read (0)");
      } else if (FOutput->Write("", 0) && FOutput->Close()) {  // an empty document still makes its file
        return kExitOk;
      } else {
        Fail(FOutput->Error());
      }
    } else if (status >= 400) {
      // The client gave up before any server answered (its own 404).
      Fail(c.StatusText() + " (0)");
    } else {
      Fail("Empty reply from server (0)");
    }
  } else if (FFailure.empty()) {
    // A text of the client's own when no server answered; otherwise the
    // status line's reason would say nothing about why the request failed.
    std::string text = !FHeaderSeen && !c.StatusText().empty() ? c.StatusText() : ErrorText(FError);
    Fail(text + " (" + std::to_string(FError) + ")");
  }
  FOutput->Close();
  std::fprintf(stderr, "httpget: %s\n", FFailure.c_str());
  return FTimedOut ? kExitTimeout : FailureStatus(FError);
}

}  // namespace httpget
