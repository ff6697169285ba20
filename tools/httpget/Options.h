// The command line of httpget: what the user asked for, checked before any
// request is made.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace httpget {

enum class TMethod { Get, Head, Post };

struct TOptions {
  std::vector<std::string> Urls;  // fetched in order, on one connection where they can share it
  TMethod Method = TMethod::Get;
  // The n-th -o is where the n-th URL goes; empty, or none given: standard output.
  std::vector<std::string> OutputFiles;
  std::string DataFile;      // POST body: a file name, or "-" for standard input
  std::vector<std::string> Headers;  // extra "Name: value" lines
  std::string Username, Password;
  bool HasUser = false;
  std::string Proxy;         // HOST[:PORT]
  std::string ProxyUsername, ProxyPassword;
  std::string SocksServer, SocksPort, SocksLevel, SocksUser, SocksPass;
  bool Include = false;      // write the response header before the document
  std::string RangeBegin, RangeEnd;
  bool HasRange = false;
  std::string Cookie;
  std::optional<std::string> Agent;
  std::string Referer;
  bool NoCache = false;
  double ModifiedSince = 0;  // days since 1899-12-30, 0: none
  int MaxRelocations = 50;   // -1: no limit
  bool Trace = false;
  bool Verbose = false;      // the TLS session and the certificate verdict on standard error
  // TLS (https URLs and relocations)
  std::string CaCert, CaPath;  // trusted authorities; both empty: the system's
  bool Insecure = false;       // no verdict on the server's certificate
  std::string CertFile, KeyFile;  // our own certificate
  int MinTls = 12;             // lowest version: 12 or 13
  bool Http11 = false;       // --http1.1: kept connections, chunked bodies
  int MaxTimeMs = 0;         // for each transfer, 0: no limit
  int ConnectTimeoutMs = 0;  // until connected, 0: no limit
  std::optional<bool> Progress;  // unset: only when standard error is a terminal
};

// What parsing ended with: options to run, the help text to print, or a
// usage error (one line, without the program name).
struct TParseResult {
  enum { Run, Help, Usage } Kind = Run;
  TOptions Options;
  std::string Text;
};

TParseResult ParseOptions(int argc, const char* const* argv);

// 'YYYY-MM-DD HH:MM:SS' as days since 30 December 1899 with the time of day
// as the fraction; nothing for a malformed or impossible date.
std::optional<double> ParseDateTime(const std::string& text);

// 'A-B', 'A-' or '-B' with decimal A and B (A <= B when both are given).
bool ParseRange(const std::string& text, std::string& begin, std::string& end);

// A time in seconds as curl takes it ('2', '0.5') in whole milliseconds
// (at least 1); nothing for a malformed, negative or zero one.
std::optional<int> ParseSeconds(const std::string& text);

// The scheme of a URL written with "://", lower-cased; empty when it has none.
std::string UrlScheme(const std::string& url);

}  // namespace httpget
