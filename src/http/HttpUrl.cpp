// URL splitting, path helpers, the credentials encoder and the date format
// of the HTTP client.
#include <chrono>
#include <cmath>
#include <cstdio>

#include "http/HttpProt.h"
#include "base/TextUtils.h"
#include "http/Base64.h"

namespace evc {

namespace {

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool StartsWithNoCase(const std::string& s, const char* prefix) {
  size_t n = std::char_traits<char>::length(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = s[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Letters of either case are accepted: a scheme written in capitals names
// the same scheme, and the host after it must be reached all the same.
bool IsSchemeChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
         c == '.';
}

// The directory of a path, trailing "/" included; "/" when it has none.
std::string DirectoryOf(const std::string& base) {
  int p = LastPosition("/", base);
  return p == 0 ? std::string("/") : base.substr(0, static_cast<size_t>(p));
}

// Splits what follows the scheme: authority (user, password, host, port)
// and path.
void SplitAuthority(const std::string& rest, std::string& user, std::string& pass, std::string& host,
                    std::string& port, std::string& path) {
  size_t s = rest.find('/');
  size_t q = rest.find('?');
  if (q != std::string::npos && (s == std::string::npos || q < s)) s = q;
  if (s == std::string::npos) s = rest.size();
  path = rest.substr(s);
  std::string a = rest.substr(0, s);

  int c = LastPosition(":", a);
  int t = LastPosition("@", a);
  if (c == 0 && t == 0) {
    host = a;
    return;
  }
  std::string u;
  if (t < c) {
    port = a.substr(static_cast<size_t>(c));
    host = a.substr(static_cast<size_t>(t), static_cast<size_t>(c - t - 1));
    if (t == 0) return;
    u = a.substr(0, static_cast<size_t>(t - 1));
  } else {
    host = a.substr(static_cast<size_t>(t));
    u = a.substr(0, static_cast<size_t>(t - 1));
  }
  size_t k = u.find(':');
  if (k == std::string::npos) {
    user = u;
  } else {
    user = u.substr(0, k);
    pass = u.substr(k + 1);
  }
}

}  // namespace

std::string DefaultHttpPort(const std::string& scheme) { return scheme == "https" ? "443" : "80"; }

int LastPosition(const std::string& sub, const std::string& s) {
  if (sub.empty() || sub.size() > s.size()) return 0;
  size_t p = s.rfind(sub);
  return p == std::string::npos ? 0 : static_cast<int>(p) + 1;
}

void SplitUrl(const std::string& url, std::string& proto, std::string& user, std::string& pass,
              std::string& host, std::string& port, std::string& path) {
  const std::string base = path;
  proto.clear();
  user.clear();
  pass.clear();
  host.clear();
  port.clear();
  path.clear();
  if (url.empty()) return;

  if (StartsWith(url, "./")) {
    path = DirectoryOf(base) + url.substr(2);
    return;
  }
  if (StartsWith(url, "../")) {
    std::string b = DirectoryOf(base);
    std::string r = url.substr(3);
    for (;;) {
      // Each "../" climbs one directory; the climb stops at the root.
      if (!b.empty()) b.pop_back();
      b = DirectoryOf(b);
      if (!StartsWith(r, "../")) break;
      r = r.substr(3);
    }
    path = b + r;
    return;
  }

  size_t hostStart = 0;
  bool schemeFound = false;
  size_t p = url.find("://");
  if (p != std::string::npos) {
    bool valid = true;
    for (size_t i = 0; i < p; ++i)
      if (!IsSchemeChar(url[i])) valid = false;
    if (valid) {
      proto = LowerCase(url.substr(0, p));
      hostStart = p + 3;
      schemeFound = true;
    } else {
      proto = "http";
    }
  }

  if (!schemeFound) {
    if (StartsWith(url, "//")) {
      // A network-path reference: the authority follows the two slashes.
      proto = "http";
      hostStart = 2;
    } else if (url[0] == '/') {
      proto = "http";
      path = url;
      return;
    } else if (StartsWithNoCase(url, "http:")) {
      proto = "http";
      std::string rest = url.substr(5);
      if (StartsWith(rest, "//")) {
        hostStart = 7;
      } else {
        path = rest;
        return;
      }
    } else if (StartsWithNoCase(url, "mailto:")) {
      proto = "mailto";
      hostStart = url.find(':') + 1;
    }
  }

  SplitAuthority(url.substr(hostStart), user, pass, host, port, path);
}

std::string ExtractURLDirectory(const std::string& s) {
  size_t limit = s.find('?');
  if (limit == std::string::npos) limit = s.size();
  for (size_t i = limit; i > 0; --i)
    if (s[i - 1] == '/' || s[i - 1] == ':') return s.substr(0, i);
  return std::string();
}

void ReplaceExtension(std::string& name, const std::string& ext) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos)
    name += "." + ext;
  else
    name = name.substr(0, dot + 1) + ext;
}

std::string EncodeCredentials(int mode, const void* data, int size) {
  const auto* in = static_cast<const uint8_t*>(data);
  if (size < 0 || (size > 0 && in == nullptr)) size = 0;
  std::string out;
  if (mode == 0) {
    auto uu = [](unsigned v) { return v == 0 ? '`' : static_cast<char>(32 + v); };
    out.reserve(static_cast<size_t>(size) / 3 * 4 + 5);
    out.push_back(static_cast<char>((size - 1) % 64 + 33));
    for (int i = 0; i < size; i += 3) {
      unsigned b0 = in[i];
      unsigned b1 = i + 1 < size ? in[i + 1] : 0;
      unsigned b2 = i + 2 < size ? in[i + 2] : 0;
      out.push_back(uu(b0 >> 2));
      out.push_back(uu(((b0 & 3) << 4) | (b1 >> 4)));
      out.push_back(uu(((b1 & 15) << 2) | (b2 >> 6)));
      out.push_back(uu(b2 & 63));
    }
    return out;
  }
  // Basic credentials: the same Base64 as TBase64's.
  TBase64().Encode(std::string(reinterpret_cast<const char*>(in), static_cast<size_t>(size)), out);
  return out;
}

std::string EncodeText(int mode, const std::string& s) {
  return EncodeCredentials(mode, s.data(), static_cast<int>(s.size()));
}

std::string FormatHttpDate(TDateTime d) {
  static const char kDays[] = "MonTueWedThuFriSatSun";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  // The calendar covers years 1 to 9999 (days -693593 to 2958465); beyond
  // that, and for values that are not numbers, the nearest end is used.
  if (!std::isfinite(d)) d = 0;
  if (d < -693593.0) d = -693593.0;
  if (d > 2958465.99999) d = 2958465.99999;
  double whole = std::trunc(d);
  auto days = static_cast<int64_t>(whole);
  auto ms = static_cast<int64_t>(std::llround(std::fabs(d - whole) * 86400000.0));
  if (ms >= 86400000) ms = 86399999;

  using namespace std::chrono;
  year_month_day ymd{sys_days{year{1899} / December / 30} + std::chrono::days{days}};
  int64_t w = (days - 2) % 7;
  if (w < 0) w += 7;
  int64_t secs = ms / 1000;
  char buf[64];
  std::snprintf(buf, sizeof(buf), "%.3s, %2.2u %.3s %4.4d %2.2d:%2.2d:%2.2d", kDays + w * 3,
                static_cast<unsigned>(ymd.day()), kMonths + (static_cast<unsigned>(ymd.month()) - 1) * 3,
                static_cast<int>(ymd.year()), static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return buf;
}

}  // namespace evc
