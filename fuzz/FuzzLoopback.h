// What the fuzz targets that play a peer on 127.0.0.1 share: one listening
// socket for the whole run, a bounded message pump, and a check that makes
// the fuzzer keep the input.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "base/Application.h"
#include "platform/messages.h"

namespace fuzzloop {

// The run's listener on 127.0.0.1; its port goes to *port.
inline int Listener(int* port) {
  static int fd = -1, boundPort = 0;
  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    ::listen(fd, 64);
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    boundPort = ntohs(a.sin_port);
  }
  *port = boundPort;
  return fd;
}

// Handles messages until `settled` holds, a bounded number of rounds.
template <class F>
void Settle(F settled, int rounds = 200) {
  for (int i = 0; i < rounds; ++i) {
    evc::Application().ProcessMessages();
    if (settled()) return;
    evc::MsgWaitForMultipleObjects(0, nullptr, evc::FALSE, 1, evc::QS_ALLINPUT);
  }
}

// The next piece of an input made of pieces, each a length byte and that
// many bytes (fewer at the end of the input), from offset i. False at the
// end of the input; a length of 0 stands for the end of the peer's data.
inline bool NextPiece(const uint8_t* data, size_t size, size_t& i, const uint8_t*& piece, size_t& len) {
  if (i >= size) return false;
  size_t want = data[i++];
  piece = data + i;
  len = want < size - i ? want : size - i;
  if (want != 0 && len == 0) return false;
  i += len;
  return true;
}

inline void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace fuzzloop
