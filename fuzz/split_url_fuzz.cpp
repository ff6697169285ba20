// URL splitting and the directory helper on any text: no crash, no read out
// of bounds, and the parts are what the text holds: host, port, user and
// password are pieces of the URL; a relative URL's path starts with the
// directory of its base; the directory of a text is a prefix of it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "http/HttpProt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string in(reinterpret_cast<const char*>(data), size);
  // The first line is the URL, the rest the base path it may resolve against.
  size_t nl = in.find('\n');
  std::string url = in.substr(0, nl);
  std::string base = nl == std::string::npos ? std::string() : in.substr(nl + 1);

  std::string proto, user, pass, host, port, path = base;
  evc::SplitUrl(url, proto, user, pass, host, port, path);
  for (const std::string* part : {&user, &pass, &host, &port})
    if (url.find(*part) == std::string::npos) __builtin_trap();
  for (char c : proto)
    if (c >= 'A' && c <= 'Z') __builtin_trap();
  if (url.rfind("./", 0) == 0 || url.rfind("../", 0) == 0) {
    if (path.empty() || path[0] != '/' && base.find('/') == std::string::npos) __builtin_trap();
    if (!host.empty() || !proto.empty()) __builtin_trap();
  } else if (!path.empty() && url.find(path) == std::string::npos) {
    __builtin_trap();
  }

  for (const std::string* s : {&url, &base, &path}) {
    std::string dir = evc::ExtractURLDirectory(*s);
    if (s->compare(0, dir.size(), dir) != 0) __builtin_trap();
    if (!dir.empty() && dir.back() != '/' && dir.back() != ':') __builtin_trap();
    size_t q = s->find('?');
    if (q != std::string::npos && dir.size() > q) __builtin_trap();
  }

  int p = evc::LastPosition("/", url);
  size_t r = url.rfind('/');
  if ((r == std::string::npos) != (p == 0) || (p > 0 && static_cast<size_t>(p) != r + 1)) __builtin_trap();

  std::string name = url;
  evc::ReplaceExtension(name, "htm");
  if (name.size() < 4 || name.compare(name.size() - 4, 4, ".htm") != 0) __builtin_trap();
  return 0;
}
