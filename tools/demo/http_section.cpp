// HTTP section: a small HTTP/1.0 server made of DAVidavi components on
// 127.0.0.1, a THttpCli fetching a document from it and posting a form to
// it, and a few TBase64 round trips.
#include <cstdlib>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "base/Application.h"
#include "base/Streams.h"
#include "demo.h"
#include "http/Base64.h"
#include "http/HttpProt.h"
#include "platform/messages.h"
#include "served_connection.h"
#include "socket/DAVidavi.h"

namespace {

using namespace evc;


std::string Response(const std::string& status, const std::string& type, const std::string& body) {
  return "HTTP/1.0 " + status + "\r\nServer: evcomp demo\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// GET /hello gives a greeting, POST /echo tells what it received.
std::string Answer(const std::string& requestLine, const std::string& body) {
  if (requestLine == "GET /hello HTTP/1.0")
    return Response("200 OK", "text/plain", "Hello from a server made of DAVidavi components\n");
  if (requestLine == "POST /echo HTTP/1.0")
    return Response("200 OK", "text/plain", "received " + std::to_string(body.size()) + " bytes: " + body);
  return Response("404 Not Found", "text/plain", "no such document\n");
}

struct TRequestResult {
  bool Done = false;
  WORD Error = 0;
};

bool RunHttpSection() {
  DAVidavi listener(nullptr);
  std::list<std::unique_ptr<demo::TServedConnection<DAVidavi>>> served;
  listener.SetAddr("127.0.0.1");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TObject*, WORD error) {
    if (error) return;
    served.remove_if([](const auto& c) { return c->Closed(); });
    served.push_back(std::make_unique<demo::TServedConnection<DAVidavi>>(listener.Accept(), Answer));
  };
  listener.Listen();
  const std::string base = "http://127.0.0.1:" + listener.BoundPort();
  demo::Say("server listening", base);

  THttpCli client(nullptr);
  TRequestResult result;
  client.OnRequestDone = [&](TObject*, THttpRequest, WORD error) {
    result.Done = true;
    result.Error = error;
  };

  TMemoryStream document;
  client.SetURL(base + "/hello");
  client.SetReceiveStream(&document);
  client.RequestAsync(hrGet);
  bool ok = Application().ProcessMessagesFor(5000, [&] { return result.Done; }) && result.Error == 0 &&
            client.HttpStatus() == 200;
  demo::Say("GET /hello", std::to_string(client.HttpStatus()) + " " + client.StatusText() + ", " +
                              client.ContentType() + ", " + std::to_string(client.ReceivedCount()) + " bytes");
  std::string text = document.DataString();
  demo::Say("document", text.substr(0, text.find('\n')));
  ok = ok && text == "Hello from a server made of DAVidavi components\n";

  TMemoryStream form, answer;
  const std::string fields = "name=evcomp&parts=socket%2Chttp";
  form.WriteBuffer(fields.data(), static_cast<int64_t>(fields.size()));
  form.SetPosition(0);
  result = {};
  client.SetURL(base + "/echo");
  client.SetPostStream(&form);
  client.SetReceiveStream(&answer);
  client.RequestAsync(hrPost);
  ok = Application().ProcessMessagesFor(5000, [&] { return result.Done; }) && ok && result.Error == 0 &&
       client.HttpStatus() == 200;
  demo::Say("POST /echo", std::to_string(client.HttpStatus()) + " " + client.StatusText() + ", " +
                              std::to_string(client.PostedCount()) + " bytes posted");
  demo::Say("answer", answer.DataString());
  ok = ok && answer.DataString() == "received " + std::to_string(fields.size()) + " bytes: " + fields;
  listener.Close();

  TBase64 b64;
  std::string encoded, decoded;
  b64.Encode("DAVidavi and THttpCli", encoded);
  uint8_t code = b64.Decode(encoded, decoded);
  demo::Say("Base64", "'DAVidavi and THttpCli' -> " + encoded + " -> '" + decoded + "'");
  ok = ok && code == 0 && decoded == "DAVidavi and THttpCli";
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  b64.Encode(all, encoded);
  code = b64.Decode(encoded, decoded);
  demo::Say("Base64, 256 byte values", std::to_string(encoded.size()) + " characters, back " +
                                          (code == 0 && decoded == all ? "unchanged" : "DIFFERENT"));
  ok = ok && code == 0 && decoded == all;
  decoded.clear();
  code = b64.Decode("YQ=a", decoded);
  demo::Say("Base64 'YQ=a'", "refused with code " + std::to_string(code));
  return ok && code == 5;
}

}  // namespace

EVC_DEMO_SECTION(38, "HTTP client (THttpCli) and Base64", RunHttpSection);
