#include "ssl/HttpsTunnelReply.h"

namespace evc {

namespace {

// Where the blank line of a reply ends (CR LF or a bare LF), or npos.
size_t HeaderEnd(const std::string& s) {
  for (size_t lf = s.find('\n'); lf != std::string::npos; lf = s.find('\n', lf + 1)) {
    size_t next = lf + 1;
    if (next < s.size() && s[next] == '\n') return next + 1;
    if (next + 1 < s.size() && s[next] == '\r' && s[next + 1] == '\n') return next + 2;
  }
  return std::string::npos;
}

}  // namespace

TTunnelReply::TVerdict TTunnelReply::Take(const char* data, size_t size) {
  if (FVerdict != trIncomplete) return FVerdict;
  // Only the new bytes (and the three before them) can complete the end.
  const size_t from = FBytes.size() > 3 ? FBytes.size() - 3 : 0;
  FBytes.append(data, size);
  size_t end = HeaderEnd(FBytes.substr(from));
  if (end == std::string::npos) {
    if (FBytes.size() > kLimit) FVerdict = trTooLong;
    return FVerdict;
  }
  Judge(from + end);
  return FVerdict;
}

void TTunnelReply::Judge(size_t headerEnd) {
  if (headerEnd > kLimit) {
    FVerdict = trTooLong;
    return;
  }
  for (size_t pos = 0; pos < headerEnd;) {
    size_t lf = FBytes.find('\n', pos);
    std::string line = FBytes.substr(pos, lf - pos);
    pos = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    FLines.push_back(line);
  }
  const std::string status = FLines.empty() ? std::string() : FLines.front();
  // 'HTTP/1.x NNN reason': the code stands in characters 10 to 12.
  bool numeric = status.size() >= 12 && status.compare(0, 5, "HTTP/") == 0 && status[8] == ' ';
  int code = 0;
  for (size_t i = 9; numeric && i < 12; ++i) {
    if (status[i] < '0' || status[i] > '9') numeric = false;
    code = code * 10 + (status[i] - '0');
  }
  if (!numeric) {
    FVerdict = trMalformed;
    return;
  }
  FStatus = code;
  FReason = status.size() > 13 ? status.substr(13) : std::string();
  if (code < 200 || code > 299)
    FVerdict = trRefused;
  else
    FVerdict = headerEnd == FBytes.size() ? trOpen : trExtraBytes;
}

}  // namespace evc
