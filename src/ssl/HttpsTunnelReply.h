// A proxy's answer to CONNECT, taken in pieces as they arrive: the status
// line and header lines up to the blank line, and the verdict on them.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace evc {

class TTunnelReply {
 public:
  enum TVerdict {
    trIncomplete,  // the blank line has not come yet
    trOpen,        // a 2xx answer and nothing after it: the tunnel is open
    trRefused,     // any other status (its lines and reason are kept)
    trMalformed,   // the first line is no HTTP status line
    trTooLong,     // no blank line within the limit
    trExtraBytes,  // a 2xx answer followed by bytes: nobody's TLS
  };
  // Bytes of a reply this long without its end are no proxy's.
  static constexpr size_t kLimit = 8192;

  // Takes the next bytes; once the verdict is other than trIncomplete it
  // stays, and further bytes change nothing.
  TVerdict Take(const char* data, size_t size);
  TVerdict Verdict() const { return FVerdict; }
  int Status() const { return FStatus; }
  const std::string& Reason() const { return FReason; }
  // The answer's lines, status line first, without line ends.
  const std::vector<std::string>& Lines() const { return FLines; }

 private:
  void Judge(size_t headerEnd);

  std::string FBytes;
  TVerdict FVerdict = trIncomplete;
  int FStatus = 0;
  std::string FReason;
  std::vector<std::string> FLines;
};

}  // namespace evc
