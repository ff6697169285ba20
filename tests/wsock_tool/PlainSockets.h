// Plain POSIX sockets on 127.0.0.1 that play the other end of the tool,
// so each test controls exactly when its peer reads, writes and closes.
#pragma once
#include <string>

namespace wsocktest {

// A listening TCP socket on 127.0.0.1 with a free port; -1 on failure.
int ListenTcp(int* port);
// Waits up to timeoutMs for a connection; -1 on timeout.
int AcceptTcp(int listener, int timeoutMs);
// A connected TCP socket to 127.0.0.1:port; -1 on failure.
int ConnectTcp(int port);
// A UDP socket bound to 127.0.0.1 with a free port.
int BindUdp(int* port);
bool SendAll(int fd, const std::string& data);
bool SendDatagramTo(int fd, int port, const std::string& data);
// Reads until the peer's end of data or the time limit.
std::string ReadToEnd(int fd, int timeoutMs, bool* ended = nullptr);
// Reads one datagram; empty on timeout.
std::string ReadDatagram(int fd, int timeoutMs);

}  // namespace wsocktest
