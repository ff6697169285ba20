// wsock: TCP and UDP from the command line on the asynchronous socket
// component: connect, listen (with echo), and name lookups.
#include <csignal>

#include "Commands.h"
#include "base/Application.h"

namespace wsock {

void RunLoop() {
  // Finish may have run before the loop started (a failure inside the
  // first call, a lookup that completed at once).
  if (!Finished()) evc::Application().Run();
}

}  // namespace wsock

int main(int argc, char** argv) {
  using namespace wsock;
  TParseResult parsed = ParseCommandLine(argc, argv);
  if (parsed.ExitCode >= 0) return parsed.ExitCode;
  // A closed output is reported as an error of the write, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  const TToolOptions& o = parsed.Options;
  switch (o.Command) {
    case TCommand::Connect: return RunConnect(o);
    case TCommand::Listen: return RunListen(o);
    case TCommand::Lookup: return RunLookup(o);
    case TCommand::Reverse: return RunReverse(o);
    case TCommand::None: break;
  }
  return 2;
}
