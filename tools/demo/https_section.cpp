// HTTPS section: an authority and a server certificate made on the spot, a
// TLS server made of TSslWSocket components on 127.0.0.1, and a THttpsCli
// fetching a document from it: once trusting that authority, once not.
#include <cstdlib>
#include <list>
#include <memory>
#include <string>

#include "base/Streams.h"
#include "demo.h"
#include "served_connection.h"
#include "ssl/HttpsCli.h"
#include "ssl/SslCertMaker.h"

namespace {

using namespace evc;
using TTlsConnection = demo::TServedConnection<TSslWSocket>;

std::string Answer(const std::string& requestLine, const std::string&) {
  const bool found = requestLine == "GET /secret HTTP/1.0";
  const std::string body = found ? "Hello over TLS\n" : "no such document\n";
  return std::string("HTTP/1.0 ") + (found ? "200 OK" : "404 Not Found") +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct TRun {
  bool Done = false;
  WORD Error = 0;
};

bool Get(THttpsCli& client, const std::string& url, TMemoryStream& document, TRun& run) {
  run = {};
  client.SetURL(url);
  client.SetReceiveStream(&document);
  client.OnRequestDone = [&run](TObject*, THttpRequest, WORD error) {
    run.Done = true;
    run.Error = error;
  };
  client.RequestAsync(hrGet);
  return demo::PumpUntil([&] { return run.Done; }, 5000);
}

bool RunHttpsSection() {
  char dir[] = "/tmp/evc-demo-tls-XXXXXX";
  if (!mkdtemp(dir)) return false;
  const TLoopbackCertificates certs = MakeLoopbackCertificates(dir, "evcomp demo authority");
  demo::Say("authority made", certs.CAFile);

  DAVidavi listener(nullptr);
  std::list<std::unique_ptr<TTlsConnection>> served;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TObject*, WORD error) {
    if (error) return;
    served.remove_if([](const auto& c) { return c->Closed(); });
    served.push_back(std::make_unique<TTlsConnection>(listener.Accept(), Answer, [&](TSslWSocket& s) {
      s.SetSslEnable(true);
      s.SetSslCertFile(certs.CertFile);
      s.SetSslKeyFile(certs.KeyFile);
      s.SetSslVerifyPeer(false);  // a web server asks its clients for no certificate
    }));
  };
  listener.Listen();
  const std::string url = "https://127.0.0.1:" + listener.BoundPort() + "/secret";
  demo::Say("server listening", url);

  THttpsCli client(nullptr);
  client.SetSslCAFile(certs.CAFile);
  TMemoryStream document;
  TRun run;
  bool ok = Get(client, url, document, run) && run.Error == 0 && client.HttpStatus() == 200 &&
            document.DataString() == "Hello over TLS\n";
  const TSslWSocket& s = *client.SslSocket();
  demo::Say("GET /secret", std::to_string(client.HttpStatus()) + " " + client.StatusText() + ", " +
                               std::to_string(client.ReceivedCount()) + " bytes: " + document.DataString().substr(0, 14));
  demo::Say("session", s.SslProtocol() + ", " + s.SslCipher());
  demo::Say("certificate", s.SslPeerSubject() + " from " + s.SslPeerIssuer() + ": " + s.SslVerifyResultText());

  // Without the authority the certificate is refused, and nothing is read.
  THttpsCli stranger(nullptr);
  TMemoryStream nothing;
  bool ended = Get(stranger, url, nothing, run);
  demo::Say("without the authority", "error " + std::to_string(run.Error) + ": " + stranger.StatusText());
  ok = ok && ended && run.Error == kSslCertNotTrusted && nothing.Size() == 0;

  demo::PumpUntil([&] { return served.empty() || served.back()->Closed(); }, 2000);
  listener.Close();
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  return ok;
}

}  // namespace

EVC_DEMO_SECTION(39, "HTTPS client (THttpsCli) with an authority of its own", RunHttpsSection);
