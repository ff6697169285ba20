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

bool Unescape(const std::string& text, std::string& out) {
  out.clear();
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (++i >= text.size()) return false;
    switch (text[i]) {
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int hi = i + 1 < text.size() ? hex(text[i + 1]) : -1;
        int lo = i + 2 < text.size() ? hex(text[i + 2]) : -1;
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default: return false;
    }
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

const CLI::Validator kLineEnd(
    [](std::string& s) {
      std::string out;
      if (!Unescape(s, out)) return std::string("bad escape (use \\r \\n \\t \\\\ \\xHH): ") + s;
      if (out.empty()) return std::string("must not be empty");
      return std::string();
    },
    "TEXT");

// --line-mode and --line-end, shared by connect and listen.
CLI::Option* AddLineMode(CLI::App* cmd, TToolOptions& o, const char* what) {
  CLI::Option* mode = cmd->add_flag("--line-mode", o.LineMode, what);
  cmd->add_option("--line-end", o.LineEnd, "Line terminator, with escapes \\r \\n \\t \\\\ \\xHH")
      ->check(kLineEnd)
      ->capture_default_str()
      ->needs(mode);
  return mode;
}

// HOST:PORT of --socks into its two parts.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  return IsPortText(port);
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
  connect->add_option("--timeout", o.ConnectTimeoutMs, "Milliseconds to wait for the connection (0: no limit)")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();
  connect->add_option("--udp-wait", o.UdpWaitMs, "UDP: milliseconds to wait for replies after the last one")
      ->check(CLI::Range(0, 3600000))
      ->capture_default_str();
  std::string socks;
  CLI::Option* socksOpt =
      connect->add_option("--socks", socks, "Connect through the SOCKS proxy at HOST:PORT (TCP only)")
          ->check(CLI::Validator(
              [](std::string& s) {
                std::string h, p;
                return SplitHostPort(s, h, p) ? std::string() : "not HOST:PORT: " + s;
              },
              "HOST:PORT"));
  connect->add_option("--socks-level", o.SocksLevel, "SOCKS version")
      ->check(CLI::IsMember({"4", "4A", "4a", "5"}))
      ->capture_default_str()
      ->needs(socksOpt);
  CLI::Option* user = connect
                          ->add_option("--socks-user", o.SocksUser,
                                       "SOCKS 5: user name, with password authentication; SOCKS 4: user id")
                          ->needs(socksOpt);
  connect->add_option("--socks-pass", o.SocksPass, "SOCKS 5 password")->needs(user);
  AddLineMode(connect, o, "Write each received line as it is delivered");
  CLI::Option* tls = connect->add_flag("--tls", o.Tls, "Speak TLS over the connection, as openssl s_client does");
  connect->add_option("--cacert", o.CaCert, "TLS: trust the authorities in this PEM file (default: the system's)")
      ->check(CLI::ExistingFile)
      ->needs(tls);
  connect->add_flag("--insecure", o.Insecure, "TLS: do not verify the server's certificate")->needs(tls);
  connect->add_option("--sni", o.Sni, "TLS: server name to send and verify (default: HOST)")
      ->check(kNotEmpty)
      ->needs(tls);

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
  listen->add_option("--backlog", o.Backlog,
                     "TCP: connections the system queues until they are accepted (default: the system's maximum)")
      ->check(CLI::Range(1, 2147483647));
  CLI::Option* lineMode = AddLineMode(listen, o, "TCP: handle received data one line at a time");
  listen->add_flag("--line-echo", o.LineEcho, "Line mode: echo every received byte, as a terminal would")
      ->needs(lineMode);
  listen->add_flag("--line-edit", o.LineEdit, "Line mode: apply backspace and tab editing to received lines")
      ->needs(lineMode);
  CLI::Option* listenTls = listen->add_flag("--tls", o.Tls, "Serve TLS on every connection (needs --cert, --key)");
  listen->add_option("--cert", o.Cert, "TLS: the server's certificate (chain), PEM")
      ->check(CLI::ExistingFile)
      ->needs(listenTls);
  listen->add_option("--key", o.Key, "TLS: the server's private key, PEM")->check(CLI::ExistingFile)->needs(listenTls);

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

  if (!socks.empty()) SplitHostPort(socks, o.SocksServer, o.SocksPort);
  std::string end;
  Unescape(o.LineEnd, end);
  o.LineEnd = end;
  const char* conflict = nullptr;
  if (o.LineMode && o.Proto == "udp") conflict = "--line-mode works with TCP only";
  if (!o.SocksServer.empty() && o.Proto != "tcp") conflict = "--socks works with TCP only";
  if (o.Tls && o.Proto != "tcp") conflict = "--tls works with TCP only";
  if (o.Tls && listen->parsed() && (o.Cert.empty() || o.Key.empty())) conflict = "listen --tls needs --cert and --key";
  if (conflict) {
    std::fprintf(stderr, "wsock: %s\nRun 'wsock --help' for usage.\n", conflict);
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
