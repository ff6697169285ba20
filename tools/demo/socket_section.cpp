// Socket section: an echo exchange between two components on 127.0.0.1.
#include <chrono>
#include <memory>
#include <string>

#include "base/Application.h"
#include "demo.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;

using demo::PumpUntil;

std::string ReadAll(TCustomWSocket& s) {
  std::string out;
  char buf[4096];
  int n;
  while ((n = s.Receive(buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

bool RunSocketSection() {
  DAVidavi server(nullptr);
  std::unique_ptr<DAVidavi> served;
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.OnSessionAvailable = [&](TObject*, WORD) {
    served = std::make_unique<DAVidavi>(nullptr);
    served->OnDataAvailable = [&](TObject*, WORD) {
      std::string t = ReadAll(*served);
      if (!t.empty()) served->SendText(t);  // echo it back
    };
    served->Dup(server.Accept());
  };
  server.Listen();
  demo::Say("listening", "127.0.0.1:" + server.BoundPort());

  DAVidavi client(nullptr);
  std::string reply;
  const std::string message = "hello from one DAVidavi to another";
  client.OnSessionConnected = [&](TObject*, WORD error) {
    demo::Say("connected", error ? SocketErrorText(error) : "from port " + client.BoundPort());
    if (!error) client.SendText(message);
  };
  client.OnDataAvailable = [&](TObject*, WORD) { reply += ReadAll(client); };
  client.SetAddr("127.0.0.1");
  client.SetPort(server.BoundPort());
  client.Connect();
  bool ok = PumpUntil([&] { return reply.size() >= message.size(); }, 5000);
  demo::Say("sent", message);
  demo::Say("echoed", reply);
  client.DnsLookup("localhost");
  PumpUntil([&] { return !client.DnsResult().empty(); }, 3000);
  demo::Say("localhost is", client.DnsResult());
  client.Close();
  return ok && reply == message;
}

}  // namespace

EVC_DEMO_SECTION(30, "Asynchronous sockets (DAVidavi)", RunSocketSection);
