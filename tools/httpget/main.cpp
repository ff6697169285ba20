// httpget: a command-line HTTP/1.0 client built on THttpCli. Options follow
// curl's where the two overlap; see --help.
#include <csignal>
#include <cstdio>

#include "Options.h"
#include "Session.h"

int main(int argc, char** argv) {
  // A closed pipe on the output is reported as a write error, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  httpget::TParseResult parsed = httpget::ParseOptions(argc, argv);
  switch (parsed.Kind) {
    case httpget::TParseResult::Help:
      std::fputs(parsed.Text.c_str(), stdout);
      return httpget::kExitOk;
    case httpget::TParseResult::Usage:
      std::fprintf(stderr, "httpget: %s (try --help)\n", parsed.Text.c_str());
      return httpget::kExitUsage;
    case httpget::TParseResult::Run:
      break;
  }
  httpget::TSession session(parsed.Options);
  return session.Run();
}
