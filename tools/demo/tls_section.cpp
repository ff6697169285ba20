// TLS section: an authority made on the spot, a TLS echo server made of a
// listener and a TLS socket that takes each connection over, and a TLS
// client that checks the server's certificate against that authority; then
// a small https server of TLS sockets and THttpsCli fetching a document
// from it, once trusting that authority and once not.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <list>
#include <memory>
#include <string>

#include "base/Application.h"
#include "demo.h"
#include "base/Streams.h"
#include "echo_server.h"
#include "served_connection.h"
#include "ssl/HttpsCli.h"
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

using THttpsConnection = demo::TServedConnection<TSslWSocket>;

std::string Answer(const std::string& requestLine, const std::string&) {
  const bool found = requestLine == "GET /secret HTTP/1.0";
  const std::string body = found ? "Hello over https\n" : "no such document\n";
  return std::string("HTTP/1.0 ") + (found ? "200 OK" : "404 Not Found") +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct TRequestRun {
  bool Done = false;
  WORD Error = 0;
};

bool Get(THttpsCli& client, const std::string& url, TMemoryStream& document, TRequestRun& run) {
  run = {};
  client.SetURL(url);
  client.SetReceiveStream(&document);
  client.OnRequestDone = [&run](TObject*, THttpRequest, WORD error) {
    run.Done = true;
    run.Error = error;
  };
  client.RequestAsync(hrGet);
  return Application().ProcessMessagesFor(5000, [&] { return run.Done; });
}

bool HttpsGet(const TLoopbackCertificates& made) {
  DAVidavi listener(nullptr);
  std::list<std::unique_ptr<THttpsConnection>> served;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TObject*, WORD error) {
    if (error) return;
    served.remove_if([](const auto& c) { return c->Closed(); });
    served.push_back(std::make_unique<THttpsConnection>(listener.Accept(), Answer, [&](TSslWSocket& s) {
      s.SetSslEnable(true);
      s.SetSslCertFile(made.CertFile);
      s.SetSslKeyFile(made.KeyFile);
      s.SetSslVerifyPeer(false);  // a web server asks its clients for no certificate
    }));
  };
  listener.Listen();
  const std::string url = "https://127.0.0.1:" + listener.BoundPort() + "/secret";
  demo::Say("https server on", url);

  THttpsCli client(nullptr);
  client.SetSslCAFile(made.CAFile);
  TMemoryStream document;
  TRequestRun run;
  bool ok = Get(client, url, document, run) && run.Error == 0 && client.HttpStatus() == 200 &&
            document.DataString() == "Hello over https\n";
  const TSslWSocket& s = *client.SslSocket();
  demo::Say("GET /secret", std::to_string(client.HttpStatus()) + " " + client.StatusText() + ", " +
                               std::to_string(client.ReceivedCount()) + " bytes over " + s.SslProtocol() + ": " +
                               document.DataString().substr(0, 16));

  // Without the authority the certificate is refused, and nothing is read.
  THttpsCli stranger(nullptr);
  TMemoryStream nothing;
  bool ended = Get(stranger, url, nothing, run);
  demo::Say("without the authority", "error " + std::to_string(run.Error) + ": " + stranger.StatusText());
  ok = ok && ended && run.Error == kSslCertNotTrusted && nothing.Size() == 0;
  Application().ProcessMessagesFor(2000, [&] { return served.empty() || served.back()->Closed(); });
  listener.Close();
  return ok;
}

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
  ok = ok && failure == 0 && reply == message;
  return HttpsGet(made) && ok;
}

}  // namespace

EVC_DEMO_SECTION(35, "TLS sockets (TSslWSocket) and https (THttpsCli)", RunTlsSection);
