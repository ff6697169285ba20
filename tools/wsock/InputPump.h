// Standard input, one chunk at a time, driven by the message loop.
//
// A pipe or terminal is watched through the thread's poller: a chunk is read
// only after the kernel said it is readable, so the loop never blocks on
// input while socket events wait. A regular file (which epoll cannot watch)
// is always readable; its chunks are read from posted messages. Either way
// the next chunk comes only after the consumer calls Resume, which is how
// the consumer applies back-pressure.
#pragma once
#include <functional>
#include <vector>

#include "platform/messages.h"

namespace wsock {

class TInputPump {
 public:
  // A chunk of input; the consumer calls Resume when it wants the next one.
  std::function<void(const char* data, size_t size)> OnChunk;
  // The end of input: 0 for an orderly end, else the errno of the failed read.
  std::function<void(int error)> OnEnd;

  TInputPump(int fd, size_t chunkSize);
  ~TInputPump();
  TInputPump(const TInputPump&) = delete;
  TInputPump& operator=(const TInputPump&) = delete;

  // Asks for the next chunk (the first one, too).
  void Resume();
  bool Ended() const { return FEnded; }
  // Whether the descriptor is watched through the poller.
  bool Polled() const { return FPolled; }

 private:
  void ReadChunk();
  void Stop();

  int FFd;
  evc::HWND FWindow = 0;
  bool FStarted = false;
  bool FPolled = false;
  bool FPending = false;  // a read is armed or posted and not yet done
  bool FEnded = false;
  std::vector<char> FBuffer;
};

}  // namespace wsock
