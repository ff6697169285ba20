// wsock lookup / reverse: the component's asynchronous lookups, waited for
// by running the message loop.
#include <string>

#include "Commands.h"
#include "socket/DAVidavi.h"

namespace wsock {

namespace {

// Starts a lookup with `start`, waits for its end and prints its results.
int RunLookupWith(bool reverse, const std::string& text) {
  using namespace evc;
  DAVidavi socket(nullptr);
  socket.OnDnsLookupDone = [&](TObject*, WORD error) {
    if (error != 0) {
      Finish(1, ErrorLine(SocketErrorText(error), error));
      return;
    }
    std::string out;
    if (reverse) {
      out = socket.DnsResult() + "\n";
    } else {
      for (int i = 0; i < socket.DnsResultList()->Count(); ++i) out += socket.DnsResultList()->Strings(i) + "\n";
    }
    if (WriteOutput(out.data(), out.size())) Finish(0);
  };
  // A dotted address completes inside the call, before any message.
  Guarded([&] { reverse ? socket.ReverseDnsLookup(text) : socket.DnsLookup(text); });
  RunLoop();
  return ExitStatus();
}

}  // namespace

int RunLookup(const TToolOptions& options) { return RunLookupWith(false, options.Host); }
int RunReverse(const TToolOptions& options) { return RunLookupWith(true, options.Host); }

}  // namespace wsock
