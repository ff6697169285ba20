// A connection served by the demo's small HTTP/1.0 servers: it collects
// the request (header and Content-Length bytes of body), answers it and
// closes once the answer has left.
#pragma once
#include <cstdlib>
#include <functional>
#include <string>

#include "socket/DAVidavi.h"

namespace demo {

template <class TSocket>
class TServedConnection {
 public:
  using TAnswer = std::function<std::string(const std::string&, const std::string&)>;
  // `setup` prepares the socket before it takes the handle (TLS settings).
  TServedConnection(
      evc::winsock::SOCKET handle, TAnswer answer, const std::function<void(TSocket&)>& setup = [](TSocket&) {})
      : FAnswer(std::move(answer)) {
    using namespace evc;
    // The default linger (on, 0 s) would reset the connection at our close
    // and could cost the client the end of its answer.
    FSocket.SetLingerOnOff(wsLingerNoSet);
    FSocket.OnDataAvailable = [this](TObject*, WORD) { Read(); };
    FSocket.OnDataSent = [this](TObject*, WORD) {
      if (FAnswered) FSocket.Close();
    };
    FSocket.OnSessionClosed = [this](TObject*, WORD) { FClosed = true; };
    setup(FSocket);
    FSocket.Dup(handle);
  }
  bool Closed() const { return FClosed; }

 private:
  void Read() {
    char buf[4096];
    int n;
    while ((n = FSocket.Receive(buf, sizeof buf)) > 0) FRequest.append(buf, static_cast<size_t>(n));
    size_t end = FRequest.find("\r\n\r\n");
    if (FAnswered || end == std::string::npos) return;
    // The body is complete once Content-Length bytes follow the header.
    size_t length = 0;
    size_t cl = FRequest.find("\r\nContent-Length: ");
    if (cl != std::string::npos && cl < end) length = std::strtoul(FRequest.c_str() + cl + 18, nullptr, 10);
    if (FRequest.size() < end + 4 + length) return;
    FAnswered = true;
    std::string line = FRequest.substr(0, FRequest.find("\r\n"));
    FSocket.SendText(FAnswer(line, FRequest.substr(end + 4, length)));
  }

  TSocket FSocket{nullptr};
  TAnswer FAnswer;
  std::string FRequest;
  bool FAnswered = false;
  bool FClosed = false;
};

}  // namespace demo
