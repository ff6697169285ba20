// THttpCli with RequestVer "1.1": where a response's body ends. The header
// says it (a Content-Length, the chunked coding, or neither, when only the
// server's close ends it); interim 1xx answers are passed over without an
// event; what ends a response decides whether its connection can be kept.
#include "http/HttpProt.h"

#include "base/TextUtils.h"
#include "platform/kernel.h"

namespace evc {

namespace {

// The comma-separated tokens of a field value, trimmed and in lower case.
std::vector<std::string> Tokens(const std::string& value) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string t = LowerCase(Trim(value.substr(start, comma - start)));
    if (!t.empty()) out.push_back(t);
    start = comma + 1;
  }
  return out;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void THttpCli::TFraming::ResetResponse() {
  Kind = bfUntilClose;
  Left = 0;
  Chunked = OtherCoding = Close = KeepAlive = Server11 = Interim = Answered = false;
  Decoder.Reset();
}

void THttpCli::SetRequestVer(const std::string& v) {
  if (v != "1.0" && v != "1.1") throw EHttpException("HTTP version '" + v + "' is not spoken (1.0 or 1.1)", 0);
  // The framing of a response in progress follows the version it was asked with.
  if (v != FRequestVer && FState != hcReady) throw EHttpException("HTTP component is busy", httpErrBusy);
  // A 1.0 client keeps nothing: a connection left from 1.1 goes now.
  if (v == "1.0" && FKeep.Idle) CloseQuietly();
  FRequestVer = v;
}

bool THttpCli::TakeInterimLine() {
  TFraming& f = FFraming;
  if (f.Interim) {
    // The empty line ends the interim answer; the real one follows.
    if (FLastLine.empty()) f.Interim = false;
    return true;
  }
  if (FHeaderLineCount != 0) return false;
  // The first line of a response: nothing of an earlier one counts for it.
  f.ResetResponse();
  f.Answered = true;
  const std::string& l = FLastLine;
  if (l.compare(0, 8, "HTTP/1.0") != 0 && l.compare(0, 8, "HTTP/1.1") != 0) {
    // Without a status line there is no telling where this answer ends, or
    // whether it belongs to this request at all.
    AbandonResponse(httpErrBadResponse);
    return true;
  }
  if (l.size() >= 12 && l[8] == ' ' && l[9] == '1' && IsDigit(l[10]) && IsDigit(l[11]) &&
      (l.size() == 12 || l[12] == ' ')) {
    f.Interim = true;
    return true;
  }
  return false;
}

void THttpCli::NoteFramingField(const std::string& name, const std::string& value) {
  TFraming& f = FFraming;
  if (name == "transfer-encoding") {
    std::vector<std::string> codings = Tokens(value);
    if (codings.empty()) return;
    // Only a final chunked coding marks the end; any other leaves the close.
    f.Chunked = codings.back() == "chunked";
    f.OtherCoding = !f.Chunked;
  } else if (name == "connection") {
    for (const std::string& t : Tokens(value)) {
      if (t == "close") f.Close = true;
      if (t == "keep-alive") f.KeepAlive = true;
    }
  }
}

void THttpCli::BeginFramedBody() {
  TFraming& f = FFraming;
  if (f.Chunked) {
    f.Kind = bfChunked;
    f.Decoder.Reset();
    // A length beside the chunked coding is ignored, but such a response is
    // how requests get smuggled: its connection is not used again.
    if (FContentLength64 >= 0 || FContentLength != -1) f.Close = true;
  } else if (f.OtherCoding) {
    f.Kind = bfUntilClose;
  } else if (FContentLength64 >= 0) {
    f.Kind = bfLength;
    f.Left = FContentLength64;
  } else if (FContentLength != -1) {
    AbandonResponse(httpErrBadResponse);  // a negative length
    return;
  } else {
    f.Kind = bfUntilClose;
  }
  const bool noBody = FRequestType == hrHead || FStatusCode == 204 || FStatusCode == 304 ||
                      (f.Kind == bfLength && f.Left == 0);
  // Each handler below may abort the request: nothing more of it happens then.
  const uint32_t serial = FRequestSerial;
  if (noBody) {
    f.Kind = bfLength;
    f.Left = 0;
    FireHeaderEnd();
    if (RequestOver(serial)) return;
    CompleteFramedResponse(FReceiveLen > FReceiveStart);
    return;
  }
  AdjustDocumentNameForType();
  FNext = nlBody;
  ChangeState(hcAwaitingBody);
  if (RequestOver(serial)) return;
  FireHeaderEnd();
  if (RequestOver(serial) || FNext != nlBody || FReceiveLen <= FReceiveStart) return;
  // What came with the header is the start of the body.
  FFramedInput.assign(FReceiveBuffer + FReceiveStart, static_cast<size_t>(FReceiveLen - FReceiveStart));
  FReceiveStart = FReceiveLen = 0;
  FReceiveBuffer[0] = 0;
  FeedFramedBody(FFramedInput.data(), FFramedInput.size());
}

bool THttpCli::DeliverBody(const char* data, size_t len) {
  if (len > 0) {
    FLastLine.assign(data, len);
    ProcessBodyData();
  }
  return FState == hcAwaitingBody && FNext == nlBody;
}

void THttpCli::FeedFramedBody(const char* data, size_t len) {
  TFraming& f = FFraming;
  switch (f.Kind) {
    case bfUntilClose:
      DeliverBody(data, len);
      return;
    case bfLength: {
      size_t take = static_cast<uint64_t>(f.Left) < len ? static_cast<size_t>(f.Left) : len;
      f.Left -= static_cast<int64_t>(take);
      if (!DeliverBody(data, take)) return;
      if (f.Left == 0) CompleteFramedResponse(take < len);
      return;
    }
    case bfChunked: {
      size_t used = f.Decoder.Feed(data, len, f);
      if (FState != hcAwaitingBody || FNext != nlBody) return;  // a handler ended the request
      switch (f.Decoder.Status()) {
        case THttpChunkDecoder::csMore: return;
        case THttpChunkDecoder::csDone: CompleteFramedResponse(used < len); return;
        case THttpChunkDecoder::csSizeOverflow: AbandonResponse(httpErrChunkOverflow); return;
        case THttpChunkDecoder::csBadDataEnd: AbandonResponse(httpErrChunkEnd); return;
        default: AbandonResponse(httpErrBadChunk); return;
      }
    }
  }
}

void THttpCli::CompleteFramedResponse(bool extra) {
  TFraming& f = FFraming;
  FNext = nlNone;
  FReceiveStart = FReceiveLen = 0;
  FReceiveBuffer[0] = 0;
  if (FBodyDataCount > 0) FireDocEnd();
  if (FState == hcReady || FState == hcAborting) return;  // a handler ended the request
  // Bytes behind the end of the response are no answer to anything we
  // asked: the connection is out of step and must not carry another request.
  // Nor can it while the rest of a POST body is still to go out on it.
  const bool keep = !extra && !FAllowedToSend && !f.Close && (f.Server11 || f.KeepAlive) && FKeepAliveTimeout > 0 &&
                    FCtrlSocket->State() == wsConnected;
  f.Kind = bfUntilClose;
  if (keep) {
    FKeep.Idle = true;
    FKeep.IdleSince = GetTickCount();
    FKeep.Key = ConnectionKey();
  } else {
    CloseQuietly();
  }
  PostReady();
}

}  // namespace evc
