// wsock: TCP and UDP from the command line on the asynchronous socket
// component: connect, listen (with echo), and name lookups.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include "Commands.h"
#include "base/Application.h"

namespace wsock {

void RunLoop() {
  // Finish may have run before the loop started (a failure inside the
  // first call, a lookup that completed at once).
  if (!Finished()) evc::Application().Run();
}

// A standard descriptor that was closed when we started would be taken by
// the first descriptor we open, and output meant for the terminal would go
// into a socket. Each one is reserved: standard input reads as empty, and
// writes to the others fail (and are reported) instead.
void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) continue;
    int reserved = open("/dev/null", O_RDONLY);
    if (reserved >= 0 && reserved != fd) {
      dup2(reserved, fd);
      close(reserved);
    }
  }
}

}  // namespace wsock

int main(int argc, char** argv) {
  using namespace wsock;
  ReserveStandardDescriptors();
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
