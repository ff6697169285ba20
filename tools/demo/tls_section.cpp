// TLS section: an authority made on the spot, a TLS echo server made of a
// listener and a TLS socket that takes each connection over, and a TLS
// client that checks the server's certificate against that authority.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "base/Application.h"
#include "demo.h"
#include "echo_server.h"
#include "ssl/SslCertMaker.h"
#include "ssl/SslWSocket.h"

namespace {

using namespace evc;

// A private folder for the keys, removed with what it holds.
class TScratchDir {
 public:
  TScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "evc-demo-tls.XXXXXX").string();
    if (::mkdtemp(tmpl.data())) FPath = tmpl;
  }
  ~TScratchDir() {
    std::error_code ignored;
    if (!FPath.empty()) std::filesystem::remove_all(FPath, ignored);
  }
  const std::string& Path() const { return FPath; }
  std::string File(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

bool RunTlsSection() {
  TScratchDir dir;
  if (dir.Path().empty()) return false;
  TLoopbackCertificates made = MakeLoopbackCertificates(dir.Path(), "evcomp demo authority");
  const std::string &ca = made.CAFile, &cert = made.CertFile, &key = made.KeyFile;
  demo::Say("authority", "made in " + dir.Path());

  DAVidavi listener(nullptr);
  std::unique_ptr<TSslWSocket> served;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TObject*, WORD) {
    served = std::make_unique<TSslWSocket>(nullptr);
    served->SetSslEnable(true);
    served->SetSslCertFile(cert);
    served->SetSslKeyFile(key);
    served->SetSslVerifyPeer(false);  // no client certificate asked for
    TSslWSocket* s = served.get();
    s->OnDataAvailable = [s](TObject*, WORD) { s->SendText(demo::ReadAll(*s)); };
    s->Dup(listener.Accept());
  };
  listener.Listen();
  demo::Say("TLS echo on", "127.0.0.1:" + listener.BoundPort());

  TSslWSocket client(nullptr);
  const std::string message = "hello over TLS";
  std::string reply;
  WORD failure = 0;
  client.SetAddr("localhost");
  client.SetPort(listener.BoundPort());
  client.SetSslEnable(true);
  client.SetSslCAFile(ca);
  client.OnSslHandshakeDone = [&](TObject*, WORD error) {
    failure = error;
    if (error) {
      demo::Say("handshake", SslErrorText(error) + ": " + client.SslErrorDetail());
      return;
    }
    demo::Say("handshake", client.SslProtocol() + ", " + client.SslCipher());
    demo::Say("server certificate", client.SslPeerSubject() + " until " + client.SslPeerNotAfter());
    demo::Say("verdict", client.SslVerifyResultText());
  };
  client.OnSessionConnected = [&](TObject*, WORD error) {
    if (!error) client.SendText(message);
  };
  client.OnDataAvailable = [&](TObject*, WORD) { reply += demo::ReadAll(client); };
  client.Connect();
  bool ok = Application().ProcessMessagesFor(5000, [&] { return reply.size() >= message.size() || failure != 0; });
  demo::Say("sent", message);
  demo::Say("echoed", reply);
  client.Close();
  return ok && failure == 0 && reply == message;
}

}  // namespace

EVC_DEMO_SECTION(35, "TLS sockets (TSslWSocket)", RunTlsSection);
