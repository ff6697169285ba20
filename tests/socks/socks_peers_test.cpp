// Real proxies on loopback: Dante for SOCKS 4 and 5, microsocks for SOCKS 5
// with a username and password, OpenSSH's dynamic forwarding for SOCKS 4A.
// Each test starts its own proxy with its own configuration on a free port,
// and data goes both ways through it to an echo server of the test.
#include <gtest/gtest.h>

#include <filesystem>

#include "SocksTestUtil.h"
#include "common/DanteConfig.h"
#include "common/LoopbackPeer.h"

namespace sockstest {
namespace {

using loopback::FindProgram;
using loopback::FreePort;
using loopback::TLoopbackPeer;
using loopback::TTempDir;

// A proxy process with its scratch directory.
struct TProxy {
  TTempDir dir;
  TLoopbackPeer process;
  int port = 0;
  std::string why;  // why it did not start

  bool Run(const std::vector<std::string>& argv, const std::string& log) {
    if (!process.Start(argv, dir.File(log))) {
      why = "cannot start " + argv[0];
      return false;
    }
    if (!process.WaitListening(port)) {
      why = argv[0] + " did not listen on 127.0.0.1:" + std::to_string(port) + ": " + process.Log();
      return false;
    }
    return true;
  }
};

#define REQUIRE_PROGRAM(var, name)                                                                    \
  std::string var = FindProgram(name);                                                               \
  if (var.empty()) GTEST_SKIP() << name << " is not installed (scripts/install-deps installs it)"

// Dante passing SOCKS 4 and 5 connects from loopback to loopback only.
bool StartDante(TProxy& p, const std::string& danted) {
  p.port = FreePort();
  std::string conf = loopback::DanteConfig(p.port);
  std::string path = p.dir.Write("danted.conf", conf);
  return p.Run({danted, "-f", path}, "danted.log");
}

bool StartMicrosocks(TProxy& p, const std::string& microsocks, const std::string& user, const std::string& pass) {
  p.port = FreePort();
  return p.Run({microsocks, "-i", "127.0.0.1", "-p", std::to_string(p.port), "-u", user, "-P", pass},
               "microsocks.log");
}

// An echo session through the proxy: the host sends `message` when the
// session is connected and closes once it has all come back.
struct TEchoSession {
  TSessionLog log;
  DAVidavi sock{nullptr};
  std::string message;

  explicit TEchoSession(std::string m) : message(std::move(m)) {
    log.Attach(sock);
    sock.OnSessionConnected = [this, prev = sock.OnSessionConnected](TObject* o, WORD e) {
      prev(o, e);
      if (e == 0) sock.SendText(message);
    };
  }
  void Connect(int proxyPort, const std::string& level, const std::string& addr, int port) {
    sock.SetSocksServer("127.0.0.1");
    sock.SetSocksPort(std::to_string(proxyPort));
    sock.SetSocksLevel(level);
    sock.SetAddr(addr);
    sock.SetPort(std::to_string(port));
    sock.Connect();
  }
  // Runs until the echo is complete, then closes; false on time out.
  bool Echo(int milliseconds = 10000) {
    bool ok = PumpUntil([&] { return log.closed || log.received.size() >= message.size(); }, milliseconds);
    if (ok && !log.closed) sock.Close();
    return ok && log.received == message;
  }
};

std::string BigMessage(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + (i * 7) % 26));
  return s;
}

TEST(SocksDante, Socks5EchoBothWays) {
  REQUIRE_PROGRAM(danted, "danted");
  TProxy proxy;
  ASSERT_TRUE(StartDante(proxy, danted)) << proxy.why;
  TEchoServer echo;
  TEchoSession s(BigMessage(200000));
  s.Connect(proxy.port, "5", "127.0.0.1", echo.Port());
  ASSERT_TRUE(s.Echo()) << s.log.Joined() << " got " << s.log.received.size() << "\n" << proxy.process.Log();
  EXPECT_EQ(s.log.Joined(), "SocksConnected(0) SessionConnected(0) DataAvailable(0) SessionClosed(0)");
}

TEST(SocksDante, Socks4WithUserCodeEchoBothWays) {
  REQUIRE_PROGRAM(danted, "danted");
  TProxy proxy;
  ASSERT_TRUE(StartDante(proxy, danted)) << proxy.why;
  TEchoServer echo;
  TEchoSession s(BigMessage(50000));
  s.sock.SetSocksUsercode("evcomp");
  s.Connect(proxy.port, "4", "localhost", echo.Port());
  ASSERT_TRUE(s.Echo()) << s.log.Joined() << "\n" << proxy.process.Log();
  EXPECT_EQ(s.log.Joined(), "SocksConnected(0) SessionConnected(0) DataAvailable(0) SessionClosed(0)");
}

TEST(SocksDante, RefusedDestinationFailsTheHandshake) {
  REQUIRE_PROGRAM(danted, "danted");
  TProxy proxy;
  ASSERT_TRUE(StartDante(proxy, danted)) << proxy.why;
  int closedPort = FreePort();
  for (const char* level : {"5", "4"}) {
    TEchoSession s("never sent");
    s.Connect(proxy.port, level, "127.0.0.1", closedPort);
    ASSERT_TRUE(PumpUntil([&] { return s.log.closed; }, 10000)) << level << ": " << s.log.Joined();
    std::string expect = std::string(level) == "5"
                             ? "SocksError(20008,connection refused) SessionConnected(20008) SessionClosed(20008)"
                             : "SocksError(20016,request rejected or failed) SessionConnected(20016) "
                               "SessionClosed(20016)";
    EXPECT_EQ(s.log.Joined(), "SocksConnected(0) " + expect) << level;
    EXPECT_EQ(s.log.received, "");
    EXPECT_EQ(s.sock.State(), wsClosed);
  }
}

TEST(SocksMicrosocks, UsernameAndPasswordAccepted) {
  REQUIRE_PROGRAM(microsocks, "microsocks");
  TProxy proxy;
  ASSERT_TRUE(StartMicrosocks(proxy, microsocks, "alice", "s3cret")) << proxy.why;
  TEchoServer echo;
  TEchoSession s(BigMessage(100000));
  s.sock.SetSocksAuthentication(socksAuthenticateUsercode);
  s.sock.SetSocksUsercode("alice");
  s.sock.SetSocksPassword("s3cret");
  s.Connect(proxy.port, "5", "127.0.0.1", echo.Port());
  ASSERT_TRUE(s.Echo()) << s.log.Joined() << "\n" << proxy.process.Log();
  EXPECT_EQ(s.log.Joined(),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksAuthState(socksAuthSuccess) SessionConnected(0) "
            "DataAvailable(0) SessionClosed(0)");
}

TEST(SocksMicrosocks, WrongPasswordRejected) {
  REQUIRE_PROGRAM(microsocks, "microsocks");
  TProxy proxy;
  ASSERT_TRUE(StartMicrosocks(proxy, microsocks, "alice", "s3cret")) << proxy.why;
  TEchoServer echo;
  TEchoSession s("never sent");
  s.sock.SetSocksAuthentication(socksAuthenticateUsercode);
  s.sock.SetSocksUsercode("alice");
  s.sock.SetSocksPassword("guess");
  s.Connect(proxy.port, "5", "127.0.0.1", echo.Port());
  ASSERT_TRUE(PumpUntil([&] { return s.log.closed; }, 10000)) << s.log.Joined();
  EXPECT_EQ(s.log.Joined(),
            "SocksConnected(0) SocksAuthState(socksAuthStart) SocksError(20015,socks authentication failed) "
            "SessionConnected(20015) SessionClosed(20015)");
}

// sshd on a loopback port with its own host key, configuration and
// authorized key, and an ssh client offering dynamic forwarding.
struct TSshForward {
  TTempDir dir;
  TLoopbackPeer sshd, ssh;
  int sshPort = 0, socksPort = 0;
  std::string why;

  bool Start(const std::string& sshdPath, const std::string& sshPath, const std::string& keygen, int echoPort) {
    for (const char* key : {"host_key", "client_key"}) {
      std::string out;
      if (loopback::RunProgram({keygen, "-q", "-t", "ed25519", "-N", "", "-f", dir.File(key)}, &out) != 0) {
        why = "ssh-keygen failed: " + out;
        return false;
      }
    }
    dir.Write("authorized_keys", loopback::ReadFile(dir.File("client_key.pub")));
    sshPort = FreePort();
    std::string e = std::to_string(echoPort);
    std::string conf = "Port " + std::to_string(sshPort) + "\n"
                       "ListenAddress 127.0.0.1\n"
                       "HostKey " + dir.File("host_key") + "\n"
                       "PidFile " + dir.File("sshd.pid") + "\n"
                       "AuthorizedKeysFile " + dir.File("authorized_keys") + "\n"
                       "StrictModes no\n"
                       "PermitRootLogin prohibit-password\n"
                       "PubkeyAuthentication yes\n"
                       "PasswordAuthentication no\n"
                       "KbdInteractiveAuthentication no\n"
                       "UsePAM no\n"
                       "AllowTcpForwarding local\n"
                       "PermitOpen localhost:" + e + " 127.0.0.1:" + e + "\n"
                       "X11Forwarding no\n"
                       "LogLevel ERROR\n";
    std::string path = dir.Write("sshd_config", conf);
    // sshd insists on its privilege separation directory.
    std::filesystem::create_directories("/run/sshd");
    if (!sshd.Start({sshdPath, "-D", "-e", "-f", path}, dir.File("sshd.log")) || !sshd.WaitListening(sshPort)) {
      why = "sshd did not start: " + sshd.Log();
      return false;
    }
    socksPort = FreePort();
    if (!ssh.Start({sshPath, "-N", "-D", "127.0.0.1:" + std::to_string(socksPort), "-p", std::to_string(sshPort),
                    "-i", dir.File("client_key"), "-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                    "UserKnownHostsFile=/dev/null", "-o", "BatchMode=yes", "-o", "ExitOnForwardFailure=yes",
                    "-o", "LogLevel=ERROR", "root@127.0.0.1"},
                   dir.File("ssh.log")) ||
        !ssh.WaitListening(socksPort, 15000)) {
      why = "ssh -D did not start: " + ssh.Log() + "\nsshd: " + sshd.Log();
      return false;
    }
    return true;
  }
};

TEST(SocksOpenSsh, Socks4ANamesLocalhostAndEchoesBothWays) {
  REQUIRE_PROGRAM(sshd, "sshd");
  REQUIRE_PROGRAM(ssh, "ssh");
  REQUIRE_PROGRAM(keygen, "ssh-keygen");
  TEchoServer echo;
  TSshForward forward;
  ASSERT_TRUE(forward.Start(sshd, ssh, keygen, echo.Port())) << forward.why;
  TEchoSession s(BigMessage(100000));
  s.sock.SetSocksUsercode("evcomp");
  s.Connect(forward.socksPort, "4A", "localhost", echo.Port());
  ASSERT_TRUE(s.Echo(15000)) << s.log.Joined() << " got " << s.log.received.size() << "\n" << forward.ssh.Log();
  EXPECT_EQ(s.log.Joined(), "SocksConnected(0) SessionConnected(0) DataAvailable(0) SessionClosed(0)");
}

}  // namespace
}  // namespace sockstest
