// What the HTTP benchmarks share: a THttpCli that counts the document bytes
// it receives and runs one request at a time to completion.
#pragma once
#include <string>

#include "BenchUtil.h"
#include "base/Application.h"
#include "http/HttpProt.h"

namespace evcbench {

template <class TClient>
class TCountingClientOf {
 public:
  explicit TCountingClientOf(const std::string& url) : FClient(nullptr) {
    FClient.SetURL(url);
    FClient.OnDocData = [this](evc::TObject*, const void*, int32_t len) { FBytes += len; };
    FClient.OnRequestDone = [this](evc::TObject*, evc::THttpRequest, evc::WORD e) {
      FError = e;
      FDone = true;
    };
  }

  // One GET, pumping messages until it is done; anything but a 200 is fatal.
  void Get() {
    FDone = false;
    FClient.RequestAsync(evc::hrGet);
    while (!FDone) evc::Application().HandleMessage();
    if (FError != 0 || FClient.HttpStatus() != 200)
      Fatal("THttpCli: error " + std::to_string(FError) + ", status " + std::to_string(FClient.HttpStatus()));
  }

  int64_t Bytes() const { return FBytes; }
  TClient& Client() { return FClient; }

 private:
  TClient FClient;
  int64_t FBytes = 0;
  bool FDone = false;
  evc::WORD FError = 0;
};

using TCountingHttpClient = TCountingClientOf<evc::THttpCli>;

}  // namespace evcbench
