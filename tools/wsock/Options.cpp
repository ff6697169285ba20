#include "Options.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>

namespace wsock {

bool IsPortText(const std::string& text) {
  if (text.empty() || text.size() > 31) return false;
  if (text[0] >= '0' && text[0] <= '9') {
    // The component would keep only the low 16 bits of a bigger number and
    // silently talk to another port; refuse it here instead.
    long value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
      if (value > 65535) return false;
    }
    return true;
  }
  // A service name starts with a letter ("-1" is no name).
  if (!((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z'))) return false;
  for (char c : text) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
              c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

namespace {

const CLI::Validator kPort(
    [](std::string& s) { return IsPortText(s) ? std::string() : "not a port number (0-65535) or service name: " + s; },
    "PORT");

const CLI::Validator kNotEmpty([](std::string& s) { return s.empty() ? std::string("must not be empty") : ""; },
                               "TEXT");

void AddProto(CLI::App* cmd, TToolOptions& o) {
  cmd->add_option("--proto", o.Proto, "Transport protocol")->check(CLI::IsMember({"tcp", "udp"}))->capture_default_str();
}

}  // namespace

TParseResult ParseCommandLine(int argc, char** argv) {
  TParseResult result;
  TToolOptions& o = result.Options;

  CLI::App app{"wsock: a small TCP/UDP tool on the asynchronous socket component (IPv4)", "wsock"};
  app.require_subcommand(1);

  CLI::App* connect = app.add_subcommand(
      "connect",
      "Connect to HOST PORT; copy standard input to the socket and the socket to standard output. At the end "
      "of input the sending side is shut down and output goes on until the peer closes. UDP: each input line "
      "is one datagram, and replies are awaited for --udp-wait milliseconds after the last one.");
  connect->add_option("HOST", o.Host, "Host name or dotted address")->required()->check(kNotEmpty);
  connect->add_option("PORT", o.Port, "Port number or service name")->required()->check(kPort);
  AddProto(connect, o);
  connect->add_option("--local-port", o.LocalPort, "Local port to bind (0: any)")->check(kPort)->capture_default_str();
  connect->add_option("--udp-wait", o.UdpWaitMs, "UDP: milliseconds to wait for replies after the last one")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();

  CLI::App* listen = app.add_subcommand(
      "listen",
      "Listen on ADDR PORT (0.0.0.0: every interface; port 0: any free port). TCP serves every connection at "
      "once; received data goes to standard output, or back to its sender with --echo. Prints 'listening on "
      "ADDR:PORT' on standard error once ready.");
  listen->add_option("ADDR", o.Host, "Local address to bind")->required()->check(kNotEmpty);
  listen->add_option("PORT", o.Port, "Local port or service name")->required()->check(kPort);
  AddProto(listen, o);
  listen->add_flag("--echo", o.Echo, "Send received data back to its sender");
  listen->add_flag("--once", o.Once,
                   "TCP: serve one connection and exit when it has closed; UDP: exit after the first datagram");

  CLI::App* lookup = app.add_subcommand("lookup", "Print every IPv4 address of NAME, one a line");
  lookup->add_option("NAME", o.Host, "Host name")->required()->check(kNotEmpty);

  CLI::App* reverse = app.add_subcommand("reverse", "Print the host name of the dotted address ADDR");
  reverse->add_option("ADDR", o.Host, "Dotted IPv4 address")->required()->check(kNotEmpty);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    result.ExitCode = app.exit(e);
    return result;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "wsock: %s\nRun 'wsock --help' for usage.\n", e.what());
    result.ExitCode = 2;
    return result;
  }

  if (connect->parsed()) o.Command = TCommand::Connect;
  if (listen->parsed()) o.Command = TCommand::Listen;
  if (lookup->parsed()) o.Command = TCommand::Lookup;
  if (reverse->parsed()) o.Command = TCommand::Reverse;
  return result;
}

}  // namespace wsock
