// THttpCli: reading the response: line assembly from the socket's bytes,
// the status line and the header fields, and delivery of the document.
#include <cstring>

#include "http/HttpProt.h"
#include "base/TextUtils.h"

namespace evc {

namespace {

// A decimal integer as the class library converts one: leading blanks, an
// optional sign, digits only, within 32 bits.
bool ParseInteger(const std::string& s, int32_t& value) {
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  if (i >= s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > int64_t(INT32_MAX) + 1) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<int32_t>(v);
  return true;
}

// Digits only, within 63 bits: a length too large for the 32-bit count.
bool ParseLength64(const std::string& s, int64_t& value) {
  if (s.empty() || s.size() > 18) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = v;
  return true;
}

// Characters from 1-based position `from`, `count` of them; empty past the end.
std::string Slice(const std::string& s, size_t from, size_t count = std::string::npos) {
  if (from < 1 || from > s.size()) return std::string();
  return s.substr(from - 1, count);
}

}  // namespace

void THttpCli::CompactReceiveBuffer() {
  if (FReceiveStart == 0) return;
  int held = FReceiveLen - FReceiveStart;
  if (held > 0) std::memmove(FReceiveBuffer, FReceiveBuffer + FReceiveStart, static_cast<size_t>(held));
  FReceiveLen = held > 0 ? held : 0;
  FReceiveStart = 0;
  FReceiveBuffer[FReceiveLen] = 0;
}

void THttpCli::AbandonResponse(uint16_t code) {
  FReceiveLen = 0;
  FReceiveStart = 0;
  FReceiveBuffer[0] = 0;
  if (FRequestDoneError == 0) FRequestDoneError = code;
  if (FCtrlSocket->State() != wsClosed) CloseConnection();
}

void THttpCli::SocketDataAvailable(TObject* sender, WORD error) {
  if (TakeIdleData()) return;
  CompactReceiveBuffer();
  if (FRequestType != hrNone && FState == hcAwaitingBody && FNext == nlBody && FReceiveLen == 0) {
    // Once the document flows there are no lines to assemble: large blocks
    // cut the calls into the socket eightfold.
    if (FBodyBlock.empty()) FBodyBlock.resize(kHttpBodyBlock);
    int n = FCtrlSocket->Receive(FBodyBlock.data(), static_cast<int>(FBodyBlock.size()));
    if (n <= 0) return;
    if (FFraming.Kind != bfUntilClose) {
      FeedFramedBody(FBodyBlock.data(), static_cast<size_t>(n));
      return;
    }
    FLastLine.assign(FBodyBlock.data(), static_cast<size_t>(n));
    CallNextLineHandler();
    return;
  }
  int room = kHttpLineCapacity - FReceiveLen;
  if (room <= 0) {
    AbandonResponse(httpErrLineTooLong);
    throw EHttpException("HTTP line too long", httpErrLineTooLong);
  }
  int n = FCtrlSocket->Receive(FReceiveBuffer + FReceiveLen, room);
  // Without a request the bytes read are dropped.
  if (FRequestType == hrNone || n <= 0) return;
  HandleReceivedBytes(n, error);
}

int THttpCli::TakeReceivedBytes(const void* data, int len, WORD error) {
  CompactReceiveBuffer();
  int room = kHttpLineCapacity - FReceiveLen;
  if (room <= 0) {
    AbandonResponse(httpErrLineTooLong);
    throw EHttpException("HTTP line too long", httpErrLineTooLong);
  }
  int n = len < room ? len : room;
  if (FRequestType == hrNone || n <= 0) return n;
  std::memcpy(FReceiveBuffer + FReceiveLen, data, static_cast<size_t>(n));
  HandleReceivedBytes(n, error);
  return n;
}

void THttpCli::HandleReceivedBytes(int count, WORD error) {
  FReceiveLen += count;
  FReceiveBuffer[FReceiveLen] = 0;

  auto deliverHeldAsBody = [this] {
    FLastLine.assign(FReceiveBuffer + FReceiveStart, static_cast<size_t>(FReceiveLen - FReceiveStart));
    FReceiveStart = FReceiveLen = 0;
    FReceiveBuffer[0] = 0;
    CallNextLineHandler();
  };

  if (FState == hcAwaitingBody) {
    deliverHeldAsBody();
    return;
  }
  // A handler that aborts the request ends the reading of its response: the
  // lines behind are no part of anything any more.
  const uint32_t serial = FRequestSerial;
  const bool running = !RequestOver(serial);
  while (FReceiveLen > FReceiveStart) {
    const char* start = FReceiveBuffer + FReceiveStart;
    auto held = static_cast<size_t>(FReceiveLen - FReceiveStart);
    // A header line cannot hold a zero byte: the search ends there. Only
    // the line itself is checked for one, so that many short lines held
    // together are each scanned once.
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', held));
    if (lf == nullptr || std::memchr(start, 0, static_cast<size_t>(lf - start)) != nullptr) break;
    auto lineLen = static_cast<size_t>(lf - start);
    size_t textLen = lineLen;
    if (textLen > 0 && start[textLen - 1] == '\r') --textLen;
    FLastLine.assign(start, textLen);
    FLineEnd.assign(start + textLen, lineLen + 1 - textLen);
    FReceiveStart += static_cast<int>(lineLen + 1);
    if (FState == hcAwaitingHeader || FState == hcAwaitingBody) {
      CallNextLineHandler();
      if (running && RequestOver(serial)) {
        FReceiveStart = FReceiveLen = 0;
        FReceiveBuffer[0] = 0;
        return;
      }
      // Once the document has begun, the bytes behind its first line are
      // document too, delivered as they came, line ends included.
      if (FState == hcAwaitingBody && FNext == nlBody && FReceiveLen > FReceiveStart)
        deliverHeldAsBody();
    } else {
      OnUnsolicitedLine(this, error);
    }
  }
  CompactReceiveBuffer();
}

void THttpCli::CallNextLineHandler() {
  if (FNext == nlHeader) {
    if (Http11() && TakeInterimLine()) return;
    ProcessHeaderLine();
  } else if (FNext == nlBody) {
    if (FFraming.Kind == bfUntilClose) {
      ProcessBodyData();
      return;
    }
    // LastLine is about to carry the document bytes the framing finds in it.
    FFramedInput.swap(FLastLine);
    FeedFramedBody(FFramedInput.data(), FFramedInput.size());
  }
}

void THttpCli::ProcessHeaderLine() {
  const uint32_t serial = FRequestSerial;
  if (FHeaderLineCount == 0) {
    FireHeaderBegin();
    if (RequestOver(serial)) return;
  }
  ++FHeaderLineCount;

  // A server that sends a document without any header.
  if (LowerCase(FLastLine.substr(0, 6)) == "<html>") {
    if (FContentType.empty()) FContentType = "text/html";
    FNext = nlBody;
    ChangeState(hcAwaitingBody);
    if (RequestOver(serial)) return;
    FireHeaderEnd();
    if (RequestOver(serial)) return;
    FLastLine += FLineEnd;
    ProcessBodyData();
    return;
  }

  if (FLastLine.empty()) {
    if (FLocationFlag) {
      FireHeaderEnd();
      FReceiveStart = FReceiveLen = 0;
      FReceiveBuffer[0] = 0;
      FHeaderLineCount = 0;
      FBodyDataCount = 0;
      // A handler of the header's end may have aborted the request.
      if (!FLocationFlag || FState == hcReady || FState == hcAborting) return;
      FCtrlSocket->OnSessionClosed.Bind(this, &THttpCli::RelocationClosed);
      CloseConnection();
      return;
    }
    if (Http11()) {
      BeginFramedBody();
      return;
    }
    if (FContentLength == 0) {
      FireHeaderEnd();
      if (!RequestOver(serial)) PostReady();
      return;
    }
    AdjustDocumentNameForType();
    FNext = nlBody;
    ChangeState(hcAwaitingBody);
    if (RequestOver(serial)) return;
    FireHeaderEnd();
    if (RequestOver(serial)) return;
    if (FReceiveLen > FReceiveStart) {
      FLastLine.assign(FReceiveBuffer + FReceiveStart, static_cast<size_t>(FReceiveLen - FReceiveStart));
      FReceiveStart = FReceiveLen = 0;
      FReceiveBuffer[0] = 0;
      ProcessBodyData();
    }
    // The rest of an error document is not read.
    if (FStatusCode >= 400 && FState == hcAwaitingBody) CloseConnection();
    return;
  }

  FResponseHeader->Add(FLastLine);
  if (FLastLine.rfind("HTTP/1.0", 0) == 0 || FLastLine.rfind("HTTP/1.1", 0) == 0)
    ParseStatusLine(FLastLine);
  else
    ParseHeaderField(FLastLine);
  if (RequestOver(serial)) return;  // an OnCookie handler aborted
  OnHeaderData(this);
}

void THttpCli::AdjustDocumentNameForType() {
  size_t dot = FDocName.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : LowerCase(FDocName.substr(dot));
  if ((ext.empty() || ext == ".exe") && FContentType == "text/html") ReplaceExtension(FDocName, "htm");
}

void THttpCli::ParseStatusLine(const std::string& line) {
  int32_t code = 0;
  if (!ParseInteger(Slice(line, 10, 3), code)) {
    std::string text = Slice(line, 10, 3);
    AbandonResponse(httpErrBadResponse);
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
  FStatusCode = code;
  FReasonPhrase = Slice(line, 14);
  FFraming.Server11 = line.compare(0, 8, "HTTP/1.1") == 0;
}

void THttpCli::ParseHeaderField(const std::string& line) {
  size_t c = line.find(':');
  if (c == std::string::npos) return;
  std::string name = LowerCase(line.substr(0, c));
  size_t v = c + 1;
  // Spaces after the colon go, but never the line's last character.
  while (v + 1 < line.size() && line[v] == ' ') ++v;
  std::string value = v < line.size() ? line.substr(v) : std::string();

  if (name == "location") {
    PrepareRelocation(value);
  } else if (name == "content-length") {
    int32_t length = 0;
    std::string text = Trim(value);
    if (ParseInteger(text, length)) {
      FContentLength = length;
      FContentLength64 = length;
    } else if (ParseLength64(text, FContentLength64)) {
      FContentLength = -1;  // 2 GiB or more: only the 64-bit count holds it
    } else {
      AbandonResponse(httpErrBadResponse);
      throw EConvertError("'" + text + "' is not a valid integer value");
    }
  } else if (name == "content-range") {
    // 'bytes 100-199/1000'
    size_t dash = value.find('-');
    size_t slash = value.find('/');
    FContentRangeBegin = dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : std::string();
    FContentRangeEnd = dash != std::string::npos && slash != std::string::npos && slash > dash + 1
                           ? value.substr(dash + 1, slash - dash - 1)
                           : std::string();
  } else if (name == "accept-ranges") {
    FAcceptRanges = value;
  } else if (name == "content-type") {
    FContentType = LowerCase(value);
  } else if (name == "www-authenticate") {
    FAuthenticateList->Add(value);
  } else if (name == "set-cookie") {
    bool accept = true;
    FireCookie(value, accept);
  } else if (Http11()) {
    NoteFramingField(name, value);
  }
}

void THttpCli::ProcessBodyData() {
  if (FBodyDataCount == 0) {
    const uint32_t serial = FRequestSerial;
    FireDocBegin();
    if (RequestOver(serial)) return;
  }
  ++FBodyDataCount;
  // A 32-bit count, as published; past 2 GiB it wraps instead of overflowing.
  FRcvdCount = static_cast<int32_t>(static_cast<uint32_t>(FRcvdCount) + static_cast<uint32_t>(FLastLine.size()));
  FRcvdCount64 += static_cast<int64_t>(FLastLine.size());
  if (FRcvdStream) FRcvdStream->Write(FLastLine.data(), static_cast<int64_t>(FLastLine.size()));
  FireDocData(FLastLine.data(), static_cast<int32_t>(FLastLine.size()));
}

}  // namespace evc
