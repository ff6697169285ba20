// An echo server made of two components on 127.0.0.1, for the sections
// that need something to talk to: a listener and the component that each
// accepted connection is handed to.
#pragma once
#include <memory>
#include <string>

#include "socket/DAVidavi.h"

namespace demo {

// Everything waiting in the component, read until it has no more.
std::string ReadAll(evc::TCustomWSocket& s);

class TEchoServer {
 public:
  TEchoServer();
  // The port the system chose.
  std::string Port() { return FListener.BoundPort(); }

 private:
  evc::DAVidavi FListener{nullptr};
  std::unique_ptr<evc::DAVidavi> FServed;
};

}  // namespace demo
