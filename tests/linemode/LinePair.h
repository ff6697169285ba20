// Helpers of the line-mode tests: a DAVidavi connected on 127.0.0.1 to a
// raw POSIX peer that the test writes to byte for byte, and bounded message
// pumping (kernel waits in between, never spinning).
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Pump.h"
#include "socket/DAVidavi.h"

namespace linet {

using namespace evc;

// Handles messages until cond() holds or the time passes. Returns cond().
using evctest::PumpUntil;
using evctest::PumpFor;

// A component in line mode connected to a raw peer. By default every
// OnDataAvailable takes the whole rest of the line with ReceiveText and
// records it in `lines`.
struct TLinePair {
  std::unique_ptr<DAVidavi> sock = std::make_unique<DAVidavi>(nullptr);
  int peer = -1;
  std::vector<std::string> lines;
  std::vector<std::string> errors;  // OnError texts (none expected)
  bool closed = false;

  TLinePair();
  ~TLinePair();
  // Connects and accepts; false when that did not happen within 5 s.
  bool Open();
  // Writes the bytes on the peer side, then handles messages until the
  // component has taken everything that was waiting (one read per write).
  void PeerSend(const std::string& bytes);
  // Everything the peer has received within the time (or until `size`).
  std::string PeerReceive(size_t size, int milliseconds = 3000);
  // The peer closes its side; the component sees the close.
  void PeerClose();
  // The default handler that records whole lines.
  void RecordLines();
};

// Bytes waiting to be read on a socket of the component.
long WaitingBytes(const TCustomWSocket& s);

}  // namespace linet
