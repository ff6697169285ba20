// httpget against nginx over https on 127.0.0.1, with an authority made at
// test time: the trust options, the version minimums, what -v shows, and
// curl's exit statuses for a refused certificate and a failed handshake.
#include <gtest/gtest.h>

#include <memory>

#include "../../bench/LoopbackNginx.h"
#include "ToolRunner.h"
#include "common/LoopbackPeer.h"
#include "ssl/SslCertMaker.h"

using namespace httpget_test;

namespace {

class HttpgetHttps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (evcpeer::NginxProgram().empty()) return;
    Dir = std::make_unique<loopback::TTempDir>();
    Certs = evc::MakeLoopbackCertificates(Dir->Path(), "httpget test authority");
    Server = std::make_unique<evcpeer::TLoopbackNginx>("location = /up { return 302 http://127.0.0.1:@PORT@/small.txt; }\n");
    Server->EnableTls(Certs.CertFile, Certs.KeyFile);
    Server->WriteDocument("/small.txt", "hello, tls\n");
    if (!Server->Start()) StartError = Server->Error();
  }
  static void TearDownTestSuite() {
    Server.reset();
    Dir.reset();
  }
  void SetUp() override {
    if (!ToolBuilt()) GTEST_SKIP() << "httpget is not built (" << ToolPath() << ")";
    if (!Server) GTEST_SKIP() << "nginx is not installed";
    ASSERT_TRUE(StartError.empty()) << StartError;
  }
  static std::unique_ptr<loopback::TTempDir> Dir;
  static evc::TLoopbackCertificates Certs;
  static std::unique_ptr<evcpeer::TLoopbackNginx> Server;
  static std::string StartError;
};
std::unique_ptr<loopback::TTempDir> HttpgetHttps::Dir;
evc::TLoopbackCertificates HttpgetHttps::Certs;
std::unique_ptr<evcpeer::TLoopbackNginx> HttpgetHttps::Server;
std::string HttpgetHttps::StartError;

TEST_F(HttpgetHttps, TrustOptionsDecideAndExitStatusesFollowCurl) {
  const std::string url = Server->TlsUrl("/small.txt");
  const std::string byName = "https://localhost:" + std::to_string(Server->TlsPort()) + "/small.txt";
  // A TLS client hello sent to the plain port gets an http answer back.
  const std::string wrongPort = "https://127.0.0.1:" + std::to_string(Server->Port()) + "/small.txt";
  struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::vector<std::string> errHas;
  } cases[] = {
      {{"--cacert", Certs.CAFile, url}, 0, "hello, tls\n", {}},
      {{"--cacert", Certs.CAFile, byName}, 0, "hello, tls\n", {}},
      {{"--capath", Dir->Path(), "--cacert", Certs.CAFile, "--tlsv1.2", url}, 0, "hello, tls\n", {}},
      {{"-v", "--cacert", Certs.CAFile, "--tlsv1.3", url},
       0,
       "hello, tls\n",
       {"* TLS connection using TLSv1.3 / ", "* Server certificate: subject: CN=localhost", "* certificate verify ok"}},
      {{url}, 60, "", {"httpget: ", "(30002)"}},
      {{"-v", url}, 60, "", {"* TLS handshake failed: ", "certificate"}},
      {{"-k", "-v", url}, 0, "hello, tls\n", {"* certificate not checked (--insecure)"}},
      {{"--cacert", Certs.CAFile, wrongPort}, 35, "", {"httpget: "}},
      // https -> http by relocation.
      {{"--cacert", Certs.CAFile, Server->TlsUrl("/up")}, 0, "hello, tls\n", {}},
  };
  for (const auto& k : cases) {
    std::string shown;
    for (const auto& a : k.args) shown += "'" + a + "' ";
    TRun r = RunTool(k.args);
    EXPECT_EQ(r.Status, k.status) << shown << r.Err;
    EXPECT_EQ(r.Out, k.out) << shown;
    for (const std::string& part : k.errHas) EXPECT_NE(r.Err.find(part), std::string::npos) << shown << r.Err;
    if (k.status != 0) {
      EXPECT_EQ(r.Err.rfind("httpget: "), r.Err.find("httpget: ")) << shown << "one failure line";
    }
  }
}

}  // namespace
