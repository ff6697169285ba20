// Line mode section: a server component answers a client component line by
// line on 127.0.0.1, and the client waits for each answer synchronously.
#include <memory>
#include <string>
#include <vector>

#include "demo.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;

bool RunLineModeSection() {
  DAVidavi server(nullptr);
  std::unique_ptr<DAVidavi> served;
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.OnSessionAvailable = [&](TObject*, WORD) {
    served = std::make_unique<DAVidavi>(nullptr);
    served->SetLineMode(true);
    served->SetLineEnd("\n");
    served->OnDataAvailable = [&](TObject*, WORD) {
      std::string line = served->ReceiveText();
      line.pop_back();  // the terminator
      std::string answer;
      for (char c : line) answer += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
      served->SendText(answer + " (" + std::to_string(line.size()) + " bytes)\r\n");
    };
    served->Dup(server.Accept());
  };
  server.Listen();
  demo::Say("server", "127.0.0.1:" + server.BoundPort() + ", lines end in LF");

  DAVidavi client(nullptr);
  client.Timeout = 3000;
  client.SetLineMode(true);
  bool done = false;
  client.SetAddr("127.0.0.1");
  client.SetPort(server.BoundPort());
  client.OnSessionConnected = [&](TObject*, WORD e) { done = (e == 0); };
  if (client.RunAndWait([&] { client.Connect(); }, done) != 0) {
    demo::Say("client", "no connection");
    return false;
  }
  std::vector<std::string> answers;
  client.OnDataAvailable = [&](TObject*, WORD) {
    std::string a = client.ReceiveText();
    while (!a.empty() && (a.back() == '\r' || a.back() == '\n')) a.pop_back();
    answers.push_back(a);
    done = answers.size() >= 2;
  };
  // Two lines in one send: the server still sees them one at a time.
  int r = client.RunAndWait([&] { client.SendText("hello line mode\nsecond line in the same send\n"); }, done);
  for (const std::string& a : answers) demo::Say("answer", a);
  bool ok = r == 0 && answers.size() == 2;
  client.Timeout = 300;
  done = false;
  r = client.WaitForFlag(done);
  demo::Say("no more", "a further wait of 300 ms ends with " + std::to_string(r));
  client.Close();
  return ok && r == 12001;
}

}  // namespace

EVC_DEMO_SECTION(35, "Line mode and synchronous waits (DAVidavi)", RunLineModeSection);
