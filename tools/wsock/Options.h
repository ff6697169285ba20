// The command line of wsock: every option of every command is declared in
// Options.cpp and lands in one TToolOptions, so the commands never look at
// argv themselves.
#pragma once
#include <string>

namespace wsock {

enum class TCommand { None, Connect, Listen, Lookup, Reverse };

struct TToolOptions {
  TCommand Command = TCommand::None;
  // connect: the remote host; listen: the local address; lookup: the name;
  // reverse: the address.
  std::string Host;
  std::string Port;
  std::string Proto = "tcp";
  std::string LocalPort = "0";  // connect only
  bool Echo = false;            // listen only
  bool Once = false;            // listen only
  // UDP connect: after the end of input, how long to wait for more replies
  // since the last one before ending.
  int UdpWaitMs = 1000;
};

struct TParseResult {
  // -1 to go on and run the command; otherwise the exit status to return at
  // once (0 after --help, 2 for a usage error, already printed).
  int ExitCode = -1;
  TToolOptions Options;
};

TParseResult ParseCommandLine(int argc, char** argv);

// True for a decimal port number 0..65535 or a service name.
bool IsPortText(const std::string& text);

}  // namespace wsock
