// The response parser fed bytes as a server sends them. The same response
// must give the same results however it is split: whole, and in fragments
// of every size from one byte up (every size up to 256, then doubling).
// Only the chunking of the document may differ, and once the client has
// closed the connection itself (an error status, a relocation, a response
// it gave up on) it reads nothing more, so the document may then stop
// early but never differ in the bytes it has. Every input is read twice:
// as the answer to an HTTP/1.0 request and to an HTTP/1.1 one, where the
// body is framed by its length or the chunked coding and the end of the
// response ends the reading too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Application.h"
#include "http/HttpProt.h"

namespace {

using namespace evc;

struct TResult {
  std::vector<std::string> lines;  // header lines, cookies and markers, in order
  std::string body;
  bool closed = false;  // the client closed the connection
  std::string outcome;  // how the feeding ended
  std::string Summary(const class TFuzzClient& c) const;
};

// One client serves every run (making a client and its socket is far
// dearer than a run); Reset puts it back where a request to
// http://host/dir/doc.htm stands when the answer begins.
class TFuzzClient : public THttpCli {
 public:
  TFuzzClient() : THttpCli(nullptr) {
    OnHeaderBegin = [this](TObject*) { R->lines.push_back("<begin>"); };
    OnHeaderData = [this](TObject*) { R->lines.push_back("data " + LastLine()); };
    OnHeaderEnd = [this](TObject*) { R->lines.push_back("<end>"); };
    OnCookie = [this](TObject*, const std::string& v, bool&) { R->lines.push_back("cookie " + v); };
    OnUnsolicitedLine = [this](TObject*, WORD) { R->lines.push_back("unsolicited " + LastLine()); };
    OnDocData = [this](TObject*, const void* p, int32_t n) {
      if (n < 0 || (n > 0 && p == nullptr)) __builtin_trap();
      R->body.append(static_cast<const char*>(p), static_cast<size_t>(n));
    };
  }

  void Reset(TResult& r, bool http11) {
    R = &r;
    FRequestVer = http11 ? "1.1" : "1.0";
    FKeep = {};
    // Messages of the previous run carry its number and are ignored.
    ++FRequestSerial;
    Application().ProcessMessages();
    FState = hcAwaitingHeader;
    FRequestType = hrGet;
    FURL = "http://host/dir/doc.htm";
    ClearResponse();
    FLocationFlag = false;
    FRestartPending = false;
    FReasonPhrase.clear();
    FAcceptRanges.clear();
    FContentRangeBegin.clear();
    FContentRangeEnd.clear();
    FAuthenticateList->Clear();
    FLastLine.clear();
    FUsername.clear();
    FPassword.clear();
    FHostName = "host";
    FTargetHost = "host";
    FPort = "80";
    FPath = "/dir/doc.htm";
    FDocName = "doc.htm";
    FNext = nlHeader;
    FCtrlSocket->OnSessionClosed.Bind(static_cast<THttpCli*>(this), &THttpCli::SocketSessionClosed);
  }

  void CloseConnection() override {
    R->closed = true;
    THttpCli::CloseConnection();
  }

  // Hands the bytes over as the socket would, at most the free room at a time.
  bool Feed(const uint8_t* data, size_t size) {
    while (size > 0 && !R->closed) {
      int len = size > 1 << 20 ? 1 << 20 : static_cast<int>(size);
      int took = 0;
      try {
        took = TakeReceivedBytes(data, len);
      } catch (const EHttpException& e) {
        R->outcome = "http exception " + std::to_string(e.ErrorCode());
        return false;
      } catch (const Exception& e) {
        R->outcome = "exception " + e.Message();
        return false;
      }
      if (took <= 0 || took > len) __builtin_trap();
      data += took;
      size -= static_cast<size_t>(took);
      // A 1.1 response that has ended, or was given up, takes nothing more
      // (the socket here is never open, so giving up closes nothing).
      if (Http11() && (FNext == nlNone || FRequestDoneError != 0)) R->closed = true;
    }
    return true;
  }

  WORD DoneError() const { return FRequestDoneError; }
  TResult* R = nullptr;
};

std::string TResult::Summary(const TFuzzClient& c) const {
  std::string s = outcome + "|" + std::to_string(c.HttpStatus()) + "|" + c.StatusText() + "|" +
                  std::to_string(c.BodyLength()) + "|" + c.ContentType() + "|" + c.Location() + "|" +
                  c.DocumentName() + "|" + c.ContentRangeBegin() + "|" + c.ContentRangeEnd() + "|" +
                  c.AcceptRanges() + "|" + std::to_string(c.State()) + "|" + std::to_string(c.RequestType()) + "|" +
                  std::to_string(c.ContentLength64()) + "|" + std::to_string(c.DoneError());
  for (const auto& l : lines) s += "\n" + l;
  s += "\nheader:";
  for (int i = 0; i < c.ResponseHeader()->Count(); ++i) s += "\n" + (*c.ResponseHeader())[i];
  s += "\nauth:";
  for (int i = 0; i < c.AuthenticateList()->Count(); ++i) s += "\n" + (*c.AuthenticateList())[i];
  return s;
}

struct TRun {
  std::string summary, body;
  bool closed = false;
  int32_t received = 0;
};

TRun Run(const uint8_t* data, size_t size, size_t fragment, bool http11) {
  static TFuzzClient* c = new TFuzzClient();  // lives for the whole process
  TResult r;
  TRun out;
  c->Reset(r, http11);
  if (fragment == 0) fragment = size > 0 ? size : 1;
  for (size_t off = 0; off < size; off += fragment) {
    size_t n = size - off < fragment ? size - off : fragment;
    if (!c->Feed(data + off, n)) break;
    if (r.closed) break;
  }
  if (c->ReceivedCount() != static_cast<int32_t>(r.body.size())) __builtin_trap();
  if (c->RcvdCount64() != static_cast<int64_t>(r.body.size())) __builtin_trap();
  out.summary = r.Summary(*c);
  out.received = c->ReceivedCount();
  out.body = r.body;
  out.closed = r.closed;
  return out;
}

}  // namespace

// Every split must read as the whole input does.
static void CheckSplits(const uint8_t* data, size_t size, const std::vector<size_t>& sizes, bool http11) {
  TRun whole = Run(data, size, 0, http11);
  for (size_t k : sizes) {
    TRun split = Run(data, size, k, http11);
    if (split.summary != whole.summary) __builtin_trap();
    if (split.closed != whole.closed) __builtin_trap();
    if (whole.closed) {
      if (whole.body.compare(0, split.body.size(), split.body) != 0) __builtin_trap();
    } else if (split.body != whole.body) {
      __builtin_trap();
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 20000) return 0;
  std::vector<size_t> sizes;
  for (size_t k = 1; k <= 256 && k < size; ++k) sizes.push_back(k);
  for (size_t k = 512; k < size; k *= 2) sizes.push_back(k);
  CheckSplits(data, size, sizes, false);
  CheckSplits(data, size, sizes, true);
  return 0;
}
