// Socket section: an echo exchange between two components on 127.0.0.1.
#include <memory>
#include <string>

#include "base/Application.h"
#include "echo_server.h"
#include "demo.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;


using demo::ReadAll;

bool RunSocketSection() {
  demo::TEchoServer server;
  demo::Say("listening", "127.0.0.1:" + server.Port());

  DAVidavi client(nullptr);
  std::string reply;
  const std::string message = "hello from one DAVidavi to another";
  client.OnSessionConnected = [&](TObject*, WORD error) {
    demo::Say("connected", error ? SocketErrorText(error) : "from port " + client.BoundPort());
    if (!error) client.SendText(message);
  };
  client.OnDataAvailable = [&](TObject*, WORD) { reply += ReadAll(client); };
  client.SetAddr("127.0.0.1");
  client.SetPort(server.Port());
  client.Connect();
  bool ok = Application().ProcessMessagesFor(5000, [&] { return reply.size() >= message.size(); });
  demo::Say("sent", message);
  demo::Say("echoed", reply);
  client.DnsLookup("localhost");
  Application().ProcessMessagesFor(3000, [&] { return !client.DnsResult().empty(); });
  demo::Say("localhost is", client.DnsResult());
  client.Close();
  return ok && reply == message;
}

}  // namespace

EVC_DEMO_SECTION(30, "Asynchronous sockets (DAVidavi)", RunSocketSection);
