#include "echo_server.h"

namespace demo {

using namespace evc;

std::string ReadAll(TCustomWSocket& s) {
  std::string out;
  char buf[4096];
  int n;
  while ((n = s.Receive(buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

TEchoServer::TEchoServer() {
  FListener.SetAddr("127.0.0.1");
  FListener.SetPort("0");
  FListener.OnSessionAvailable = [this](TObject*, WORD) {
    FServed = std::make_unique<DAVidavi>(nullptr);
    FServed->OnDataAvailable = [this](TObject*, WORD) {
      std::string t = ReadAll(*FServed);
      if (!t.empty()) FServed->SendText(t);
    };
    FServed->Dup(FListener.Accept());
  };
  FListener.Listen();
}

}  // namespace demo
