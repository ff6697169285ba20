// wsock over TLS, tool to tool: listen --tls serves, connect --tls checks
// the certificate against an authority the test makes with the openssl
// command, or refuses, or skips the check with --insecure.
#include <gtest/gtest.h>

#include "PlainSockets.h"
#include "ToolProcess.h"
#include "common/LoopbackPeer.h"

using namespace wsocktest;

namespace {

// An authority and a certificate for 127.0.0.1 and localhost, made with the
// openssl command line.
struct TOpensslCerts {
  loopback::TTempDir dir;
  std::string ca = dir.File("ca.pem"), cert = dir.File("server.pem"), key = dir.File("server.key");
  bool ok = false;
  TOpensslCerts() {
    std::string openssl = loopback::FindProgram("openssl");
    if (openssl.empty()) return;
    std::string ext = dir.Write("ext.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    auto run = [&](std::vector<std::string> args) {
      args.insert(args.begin(), openssl);
      std::string out;
      return loopback::RunProgram(args, &out) == 0;
    };
    ok = run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
              dir.File("ca.key"), "-out", ca, "-subj", "/CN=wsock test authority", "-days", "2"}) &&
         run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out",
              dir.File("server.csr"), "-subj", "/CN=localhost"}) &&
         run({"x509", "-req", "-in", dir.File("server.csr"), "-CA", ca, "-CAkey", dir.File("ca.key"),
              "-CAcreateserial", "-out", cert, "-days", "2", "-extfile", ext});
  }
};

TEST(WsockTls, ConnectChecksTheCertificateListenServesTls) {
  TOpensslCerts certs;
  if (!certs.ok) GTEST_SKIP() << "the openssl command is not installed";
  struct TCase {
    const char* name;
    std::vector<std::string> options;
    int status;
    std::string errText;
  };
  const std::vector<TCase> cases = {
      {"trusted", {"--cacert", certs.ca}, 0, "tls: TLSv1.3"},
      {"trusted by name", {"--cacert", certs.ca, "--sni", "localhost"}, 0, "verified"},
      {"system store", {}, 1, "certificate not trusted"},
      {"wrong name", {"--cacert", certs.ca, "--sni", "elsewhere.example"}, 1, "host name mismatch"},
      {"insecure", {"--insecure"}, 0, "NOT verified"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TToolProcess server({"listen", "127.0.0.1", "0", "--once", "--echo", "--tls", "--cert", certs.cert, "--key",
                         certs.key});
    int port = server.WaitForListening();
    ASSERT_GT(port, 0) << server.Err();
    std::vector<std::string> args = {"connect", "127.0.0.1", std::to_string(port), "--tls"};
    args.insert(args.end(), tc.options.begin(), tc.options.end());
    const std::string input = "hello over TLS\n" + RandomBytes(300000, 11);
    TToolResult r = RunTool(args, tc.status == 0 ? input : "", 20000);
    EXPECT_EQ(r.Status, tc.status) << r.Err;
    EXPECT_NE(r.Err.find(tc.errText), std::string::npos) << r.Err;
    if (tc.status == 0) {
      EXPECT_TRUE(r.Out == input) << "got " << r.Out.size() << " of " << input.size() << " bytes";
    } else {
      EXPECT_NE(r.Err.find("(Error #3000"), std::string::npos) << r.Err;
    }
    server.Kill();
  }
}

TEST(WsockTls, OpensslClientTalksToListen) {
  TOpensslCerts certs;
  if (!certs.ok) GTEST_SKIP() << "the openssl command is not installed";
  TToolProcess server({"listen", "127.0.0.1", "0", "--once", "--echo", "--tls", "--cert", certs.cert, "--key",
                       certs.key});
  int port = server.WaitForListening();
  ASSERT_GT(port, 0) << server.Err();
  std::string out;
  std::string input = certs.dir.Write("input.txt", "ping through s_client\n");
  int status = loopback::RunProgram({"/bin/sh", "-c",
                                     "(cat \"$0\"; sleep 1) | openssl s_client -quiet -no_ign_eof -CAfile \"$1\" "
                                     "-connect 127.0.0.1:\"$2\" 2>/dev/null",
                                     input, certs.ca, std::to_string(port)},
                                    &out, 15000);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "ping through s_client\n");
  TToolResult r = server.Finish("", 10000);
  EXPECT_EQ(r.Status, 0) << r.Err;
}

TEST(WsockTls, OptionsNeedTls) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"connect", "127.0.0.1", "443", "--insecure"},
           {"connect", "127.0.0.1", "443", "--sni", "x"},
           {"listen", "127.0.0.1", "0", "--tls"},
           {"connect", "127.0.0.1", "443", "--tls", "--proto", "udp"}}) {
    TToolResult r = RunTool(args, "", 5000);
    EXPECT_EQ(r.Status, 2) << args[3] << ": " << r.Err;
  }
}

}  // namespace
