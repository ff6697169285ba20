// SOCKS section: an echo exchange through microsocks on 127.0.0.1, with a
// username and password, when microsocks is installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/Application.h"
#include "echo_server.h"
#include "demo.h"
#include "platform/messages.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;


std::string Installed(const char* name) {
  for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/usr/sbin/"}) {
    std::string p = std::string(dir) + name;
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

int FreeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool Accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

// microsocks as a child process for the length of the section.
struct TMicrosocks {
  pid_t pid = -1;
  bool Start(const std::string& path, int port) {
    pid = fork();
    if (pid == 0) {
      int devnull = open("/dev/null", O_RDWR);
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
      std::string p = std::to_string(port);
      execl(path.c_str(), path.c_str(), "-i", "127.0.0.1", "-p", p.c_str(), "-u", "demo", "-P", "secret",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    // A bounded wait for the port: microsocks gives no other sign.
    for (int i = 0; i < 100 && pid > 0; ++i) {
      if (Accepts(port)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  ~TMicrosocks() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

const char* AuthStateText(TSocksAuthState a) {
  switch (a) {
    case socksAuthStart: return "started";
    case socksAuthSuccess: return "accepted";
    case socksAuthFailure: return "failed";
    case socksAuthNotRequired: return "not required";
  }
  return "?";
}

bool RunSocksSection() {
  std::string microsocks = Installed("microsocks");
  if (microsocks.empty()) {
    demo::Say("skipped", "microsocks is not installed (scripts/install-deps installs it)");
    return true;
  }
  int proxyPort = FreeLoopbackPort();
  TMicrosocks proxy;
  if (!proxy.Start(microsocks, proxyPort)) {
    demo::Say("failed", "microsocks did not listen on 127.0.0.1:" + std::to_string(proxyPort));
    return false;
  }
  demo::Say("proxy", "microsocks on 127.0.0.1:" + std::to_string(proxyPort) + ", user demo");

  // The destination: an echo server made of two more components.
  demo::TEchoServer server;

  DAVidavi client(nullptr);
  const std::string message = "hello through a SOCKS 5 proxy";
  std::string reply, failure;
  client.OnSocksConnected = [&](TObject*, WORD e) {
    demo::Say("proxy reached", e ? SocketErrorText(e) : "yes");
  };
  client.OnSocksAuthState = [&](TObject*, TSocksAuthState a) { demo::Say("authentication", AuthStateText(a)); };
  client.OnSocksError = [&](TObject*, int32_t e, const std::string& m) { failure = std::to_string(e) + " " + m; };
  client.OnSessionConnected = [&](TObject*, WORD e) {
    if (e == 0) client.SendText(message);
  };
  client.OnDataAvailable = [&](TObject*, WORD) { reply += demo::ReadAll(client); };
  client.SetSocksServer("127.0.0.1");
  client.SetSocksPort(std::to_string(proxyPort));
  client.SetSocksLevel("5");
  client.SetSocksAuthentication(socksAuthenticateUsercode);
  client.SetSocksUsercode("demo");
  client.SetSocksPassword("secret");
  client.SetAddr("127.0.0.1");
  client.SetPort(server.Port());
  client.Connect();
  bool ok =
      Application().ProcessMessagesFor(5000, [&] { return !failure.empty() || reply.size() >= message.size(); });
  if (!failure.empty()) demo::Say("socks error", failure);
  demo::Say("sent", message);
  demo::Say("echoed", reply);
  client.Close();
  demo::Say("after close", "SocksServer '" + client.SocksServer() + "', SocksLevel " + client.SocksLevel());
  return ok && failure.empty() && reply == message;
}

}  // namespace

EVC_DEMO_SECTION(35, "SOCKS proxy traversal (DAVidavi through microsocks)", RunSocksSection);
