#include "Options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <fstream>

#include "base/TextUtils.h"

namespace httpget {

namespace {

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

// A request header line is built from these texts: a line break inside one
// would let it start header lines of its own.
bool HasLineBreak(const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; }

// USER:PASS, split at the first colon (no colon: an empty password).
void SplitCredentials(const std::string& s, std::string& user, std::string& pass) {
  auto c = s.find(':');
  user = s.substr(0, c);
  pass = c == std::string::npos ? std::string() : s.substr(c + 1);
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  // Howard Hinnant's algorithm: days since 1970-01-01 of a proleptic Gregorian date.
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Readable(const std::string& path) { return std::ifstream(path).good(); }

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

struct TUsageError {
  std::string Text;
};

void Check(bool ok, const std::string& text) {
  if (!ok) throw TUsageError{text};
}

}  // namespace

std::optional<double> ParseDateTime(const std::string& text) {
  // Exactly YYYY-MM-DD HH:MM:SS.
  static const char kPattern[] = "dddd-dd-dd dd:dd:dd";
  if (text.size() != sizeof(kPattern) - 1) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
    if (kPattern[i] == 'd' ? !digit : text[i] != kPattern[i]) return std::nullopt;
  }
  auto num = [&](size_t at, size_t len) { return std::stoi(text.substr(at, len)); };
  int y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  if (d > kDays[mo - 1] + (mo == 2 && IsLeap(y) ? 1 : 0)) return std::nullopt;
  // Day 0 is 30 December 1899; the fraction is the time of day. Dates before
  // day 0 count the fraction forwards from the day as well.
  const int64_t day = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) -
                      DaysFromCivil(1899, 12, 30);
  const double frac = (h * 3600.0 + mi * 60.0 + s) / 86400.0;
  return day >= 0 ? day + frac : day - frac;
}

bool ParseRange(const std::string& text, std::string& begin, std::string& end) {
  auto dash = text.find('-');
  if (dash == std::string::npos || text.find('-', dash + 1) != std::string::npos) return false;
  std::string a = text.substr(0, dash), b = text.substr(dash + 1);
  if (a.empty() && b.empty()) return false;
  if ((!a.empty() && !AllDigits(a)) || (!b.empty() && !AllDigits(b))) return false;
  if (!a.empty() && !b.empty()) {
    // Compare as numbers of any length: strip leading zeros, then length, then text.
    auto strip = [](std::string s) {
      s.erase(0, std::min(s.find_first_not_of('0'), s.size() - 1));
      return s;
    };
    std::string na = strip(a), nb = strip(b);
    if (na.size() != nb.size() ? na.size() > nb.size() : na > nb) return false;
  }
  begin = a;
  end = b;
  return true;
}

std::optional<int> ParseSeconds(const std::string& text) {
  // Digits with at most one point; below a millisecond counts as one.
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789.") != std::string::npos ||
      std::count(text.begin(), text.end(), '.') > 1 || text == ".")
    return std::nullopt;
  double seconds = std::stod(text);
  if (seconds <= 0 || seconds > 2000000) return std::nullopt;
  double ms = seconds * 1000.0;
  return ms < 1 ? 1 : static_cast<int>(ms + 0.5);
}

std::string UrlScheme(const std::string& url) {
  auto p = url.find("://");
  if (p == std::string::npos) return {};
  return evc::LowerCase(url.substr(0, p));
}

TParseResult ParseOptions(int argc, const char* const* argv) {
  TParseResult result;
  TOptions& o = result.Options;
  CLI::App app("httpget: fetches documents over HTTP/1.0 (or 1.1, or https) and writes them as they arrive.\n"
               "Exit status: 0 done, 22 the server answered 400 or above, 28 a time limit passed,\n"
               "1 the request failed, 2 bad options, 18 the TLS connection was cut short, 35 the TLS\n"
               "handshake failed, 60 the server's certificate was not accepted (with several URLs:\n"
               "the last failure's).",
               "httpget");
  app.get_formatter()->column_width(34);

  std::vector<std::string> urls;
  std::string maxTime, connectTimeout;
  bool http10 = false;
  std::string data, user, proxyUser, range, modifiedSince, maxRedirs = "50", socksLevel, agent;
  std::vector<std::string> headers;
  bool head = false, progress = false, noProgress = false;
  app.add_option("URL", urls, "the documents, as http[s]://host[:port]/path (several with --http1.1 or --http1.0)")->required();
  app.add_option("-o,--output", o.OutputFiles, "write the document to FILE (default: standard output); one for each URL")
      ->type_name("FILE")
      ->allow_extra_args(false);
  auto* v11 = app.add_flag("--http1.1", o.Http11, "HTTP/1.1: one connection for several URLs, chunked bodies");
  auto* v10 = app.add_flag("--http1.0", http10, "HTTP/1.0, a connection for each request (the default)");
  v11->excludes(v10);
  app.add_option("-m,--max-time", maxTime, "give up on a transfer after SECONDS (exit status 28)")
      ->type_name("SECONDS");
  app.add_option("--connect-timeout", connectTimeout, "give up when not connected within SECONDS (exit status 28)")
      ->type_name("SECONDS");
  app.add_flag("-I,--head", head, "HEAD request: show the response header only");
  app.add_option("-d,--data-file", data, "POST the bytes of FILE (- for standard input)")->type_name("FILE");
  app.add_option("-H,--header", headers, "add a request header line (repeatable)")
      ->type_name("'NAME: VALUE'")
      ->allow_extra_args(false);
  app.add_option("-u,--user", user, "Basic authentication for the server")->type_name("USER:PASS");
  app.add_option("-x,--proxy", o.Proxy, "go through this HTTP proxy")->type_name("HOST[:PORT]");
  app.add_option("--proxy-user", proxyUser, "Basic authentication for the proxy")->type_name("USER:PASS");
  app.add_option("--socks", o.SocksServer, "go through this SOCKS server")->type_name("HOST:PORT");
  app.add_option("--socks-level", socksLevel, "SOCKS version: 4, 4A or 5 (default 5)")->type_name("LEVEL");
  app.add_option("--socks-user", o.SocksUser, "SOCKS 5 user name")->type_name("USER");
  app.add_option("--socks-pass", o.SocksPass, "SOCKS 5 password")->type_name("PASS");
  app.add_flag("-i,--include", o.Include, "write the response header lines before the document");
  app.add_option("-r,--range", range, "ask for bytes A to B only")->type_name("A-B");
  app.add_option("-b,--cookie", o.Cookie, "send this Cookie header value")->type_name("TEXT");
  app.add_option("-A,--agent", agent, "User-Agent value")->type_name("TEXT");
  app.add_option("--referer", o.Referer, "Referer value")->type_name("TEXT");
  app.add_flag("--no-cache", o.NoCache, "send Pragma: no-cache");
  app.add_option("--if-modified-since", modifiedSince, "only a document changed since then")
      ->type_name("'YYYY-MM-DD HH:MM:SS'");
  app.add_option("--max-redirs", maxRedirs, "give up after N relocations (default 50, -1: no limit)")
      ->type_name("N");
  app.add_flag("--trace", o.Trace, "every event of the client on standard error");
  app.add_flag("-v,--verbose", o.Verbose, "the TLS protocol, cipher and certificate verdict on standard error");
  app.add_option("--cacert", o.CaCert, "trust the authorities in FILE (PEM) for https")->type_name("FILE");
  app.add_option("--capath", o.CaPath, "trust the authorities in DIR (hashed PEM files)")->type_name("DIR");
  app.add_flag("-k,--insecure", o.Insecure, "accept any server certificate (no verdict)");
  app.add_option("--cert", o.CertFile, "present this client certificate (PEM)")->type_name("FILE");
  app.add_option("--key", o.KeyFile, "the key of --cert (PEM; default: in the --cert file)")->type_name("FILE");
  bool tls12 = false, tls13 = false;
  app.add_flag("--tlsv1.2", tls12, "TLS 1.2 or newer (the default)");
  app.add_flag("--tlsv1.3", tls13, "TLS 1.3 only");
  auto* pOn = app.add_flag("--progress", progress, "progress bar on standard error");
  auto* pOff = app.add_flag("--no-progress", noProgress, "no progress bar");
  pOn->excludes(pOff);

  try {
    try {
      app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
      result.Kind = TParseResult::Help;
      result.Text = app.help();
      return result;
    } catch (const CLI::ParseError& e) {
      throw TUsageError{e.what()};
    }

    for (const std::string& url : urls) {
      Check(!url.empty(), "the URL is empty");
      const std::string scheme = UrlScheme(url);
      Check(scheme.empty() || scheme == "http" || scheme == "https",
            "unsupported scheme '" + scheme + "' (http and https are spoken)");
      Check(!HasLineBreak(url) && url.find_first_of(" \t") == std::string::npos,
            "the URL must not contain blanks or line breaks");
    }
    // Without a version asked for, httpget stays the one-document tool it was.
    Check(urls.size() == 1 || o.Http11 || http10, "several URLs need --http1.1 (or --http1.0)");
    o.Urls = urls;

    Check(o.OutputFiles.size() <= o.Urls.size(), "more -o options than URLs");
    for (std::string& f : o.OutputFiles) {
      Check(!f.empty(), "the output file name is empty");
      if (f == "-") f.clear();  // as curl: "-" is standard output
    }
    if (app.count("--max-time")) {
      auto ms = ParseSeconds(maxTime);
      Check(ms.has_value(), "--max-time wants a number of seconds above 0, not '" + maxTime + "'");
      o.MaxTimeMs = *ms;
    }
    if (app.count("--connect-timeout")) {
      auto ms = ParseSeconds(connectTimeout);
      Check(ms.has_value(), "--connect-timeout wants a number of seconds above 0, not '" + connectTimeout + "'");
      o.ConnectTimeoutMs = *ms;
    }
    if (head) o.Method = TMethod::Head;
    if (!data.empty()) {
      Check(!head, "-I and -d ask for different methods: choose one");
      o.Method = TMethod::Post;
      o.DataFile = data;
    }
    for (const std::string& h : headers) {
      auto c = h.find(':');
      Check(c != std::string::npos && c > 0 && h.find_first_of(" \t") >= c,
            "header '" + h + "' is not of the form 'Name: value'");
      Check(!HasLineBreak(h), "a header must not contain line breaks");
    }
    o.Headers = headers;
    if (!user.empty()) {
      Check(!HasLineBreak(user), "the user must not contain line breaks");
      SplitCredentials(user, o.Username, o.Password);
      o.HasUser = true;
    }
    if (!proxyUser.empty()) {
      Check(!o.Proxy.empty(), "--proxy-user needs --proxy");
      Check(!HasLineBreak(proxyUser), "the proxy user must not contain line breaks");
      SplitCredentials(proxyUser, o.ProxyUsername, o.ProxyPassword);
    }
    Check(app.count("--proxy") == 0 || (!o.Proxy.empty() && !HasLineBreak(o.Proxy)), "the proxy is empty");

    if (app.count("--socks")) {
      auto c = o.SocksServer.rfind(':');
      Check(c != std::string::npos && c > 0 && AllDigits(o.SocksServer.substr(c + 1)),
            "--socks wants HOST:PORT, not '" + o.SocksServer + "'");
      o.SocksPort = o.SocksServer.substr(c + 1);
      o.SocksServer.erase(c);
      const int port = std::stoi(o.SocksPort.substr(0, 6));
      Check(port > 0 && port < 65536, "the SOCKS port must be 1 to 65535");
    }
    if (!socksLevel.empty()) {
      std::string l = socksLevel;
      if (l == "4a") l = "4A";
      Check(l == "4" || l == "4A" || l == "5", "--socks-level must be 4, 4A or 5");
      o.SocksLevel = l;
    }
    Check((socksLevel.empty() && o.SocksUser.empty() && o.SocksPass.empty()) || !o.SocksServer.empty(),
          "--socks-level, --socks-user and --socks-pass need --socks");
    Check(o.SocksPass.empty() || !o.SocksUser.empty(), "--socks-pass needs --socks-user");
    Check(o.SocksUser.empty() || o.SocksLevel.empty() || o.SocksLevel == "5",
          "SOCKS user names are sent by version 5 only");

    if (app.count("--range")) {
      Check(ParseRange(range, o.RangeBegin, o.RangeEnd), "--range wants A-B, A- or -B with A <= B, not '" + range + "'");
      o.HasRange = true;
    }
    Check(!HasLineBreak(o.Cookie), "the cookie must not contain line breaks");
    if (app.count("--agent")) {
      Check(!HasLineBreak(agent), "the agent must not contain line breaks");
      o.Agent = agent;
    }
    Check(!HasLineBreak(o.Referer), "the referer must not contain line breaks");
    if (app.count("--if-modified-since")) {
      auto d = ParseDateTime(modifiedSince);
      Check(d.has_value(), "--if-modified-since wants 'YYYY-MM-DD HH:MM:SS', not '" + modifiedSince + "'");
      Check(*d != 0, "--if-modified-since: 1899-12-30 00:00:00 means no date at all");
      o.ModifiedSince = *d;
    }
    {
      bool neg = !maxRedirs.empty() && maxRedirs[0] == '-';
      std::string digits = neg ? maxRedirs.substr(1) : maxRedirs;
      Check(AllDigits(digits) && digits.size() <= 9 && (!neg || digits == "1"),
            "--max-redirs wants a count (or -1 for no limit), not '" + maxRedirs + "'");
      o.MaxRelocations = neg ? -1 : std::stoi(digits);
    }
    for (const auto& [name, file] : {std::pair<const char*, std::string>{"--cacert", o.CaCert},
                                     {"--cert", o.CertFile},
                                     {"--key", o.KeyFile}})
      Check(file.empty() || Readable(file), std::string(name) + ": cannot read '" + file + "'");
    Check(o.KeyFile.empty() || !o.CertFile.empty(), "--key needs --cert");
    if (o.KeyFile.empty()) o.KeyFile = o.CertFile;
    if (tls13) o.MinTls = 13;
    if (progress) o.Progress = true;
    if (noProgress) o.Progress = false;
  } catch (const TUsageError& e) {
    result.Kind = TParseResult::Usage;
    result.Text = e.Text;
    // One line: CLI11 texts may end with a line break.
    while (!result.Text.empty() && (result.Text.back() == '\n' || result.Text.back() == '\r')) result.Text.pop_back();
    std::replace(result.Text.begin(), result.Text.end(), '\n', ' ');
  }
  return result;
}

}  // namespace httpget
