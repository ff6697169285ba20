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
  int Backlog = 0;              // listen, TCP: connections queued for accepting; 0: the system's maximum
  // UDP connect: after the end of input, how long to wait for more replies
  // since the last one before ending.
  int UdpWaitMs = 1000;
  // connect: give up when the connection is not made within this many
  // milliseconds (0: as long as the system tries).
  int ConnectTimeoutMs = 0;

  // connect through a SOCKS proxy (empty SocksServer: directly).
  std::string SocksServer;
  std::string SocksPort;
  std::string SocksLevel = "5";
  std::string SocksUser;  // SOCKS 5: user name with password authentication; SOCKS 4: user id
  std::string SocksPass;

  // Line mode: data is handled one line at a time, lines ending in LineEnd.
  bool LineMode = false;
  // As typed (escapes such as \r\n) while parsing, the bytes afterwards.
  std::string LineEnd = "\\r\\n";
  bool LineEcho = false;           // listen: echo each received byte, as a terminal would
  bool LineEdit = false;           // listen: backspace and tab editing of received lines

  // TLS over the TCP connection.
  bool Tls = false;
  std::string CaCert;     // connect: trusted authorities (default: the system's)
  bool Insecure = false;  // connect: no verdict on the server's certificate
  std::string Sni;        // connect: name sent and checked (default: HOST)
  std::string Cert, Key;  // listen: the server's certificate and key
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
// Resolves the escapes \r \n \t \\ and \xHH; false for a bad escape.
bool Unescape(const std::string& text, std::string& out);

}  // namespace wsock
