// A stream connection that outlives the peer's end of sending.
//
// The socket component treats the peer's end of data as the end of the
// session: it fires OnSessionClosed and closes at once, throwing away what
// is still queued for sending. A tool that copies data both ways must keep
// sending what it has, since the peer may only have shut down its own
// sending side and still be reading. This class holds that close back while
// the owner's side is not done, and the owner releases it when it is.
#pragma once
#include <functional>

#include "socket/DAVidavi.h"

namespace wsock {

class TStreamSocket : public evc::DAVidavi {
 public:
  explicit TStreamSocket(evc::TComponent* owner) : evc::DAVidavi(owner) {
    // Linger on with a zero timeout (the default) makes a close reset the
    // connection and drop whatever the kernel has not sent yet.
    SetLingerOnOff(evc::wsLingerOff);
    // Bigger blocks mean fewer library calls per megabyte.
    ChunkSize = 64 * 1024;
  }

  ~TStreamSocket() override { DetachHandlers(); }

  // Clears every event handler: an owner that goes away first must not be
  // called back while the socket closes.
  void DetachHandlers() {
    OnSessionAvailable.Clear();
    OnSessionConnected.Clear();
    OnSessionClosed.Clear();
    OnChangeState.Clear();
    OnDataAvailable.Clear();
    OnDataSent.Clear();
    OnSendData.Clear();
    OnDnsLookupDone.Clear();
    OnError.Clear();
    OnBgException.Clear();
    LocalSideDone = nullptr;
  }

  // Asked when the peer has ended its data: true when this side has nothing
  // more to send, so the session may end now.
  std::function<bool()> LocalSideDone;

  bool PeerEnded() const { return FPeerEnded; }
  bool CloseHeld() const { return FCloseHeld; }

  // Ends a session whose close was held back: closes the socket, then fires
  // OnSessionClosed(0). Does nothing when no close is held.
  void ReleaseClose() {
    if (!FCloseHeld) return;
    FCloseHeld = false;
    evc::DAVidavi::Close();
    evc::DAVidavi::FireSessionClosed(0);
  }

  void Close() override {
    if (FHoldNextClose) {
      FHoldNextClose = false;
      FCloseHeld = true;
      return;
    }
    FCloseHeld = false;
    evc::DAVidavi::Close();
  }

  void FireSessionClosed(evc::WORD error) override {
    if (error == 0 && State() == evc::wsConnected) {
      // The peer's orderly end while the connection is still ours to use.
      FPeerEnded = true;
      if (!FCloseHeld && LocalSideDone && !LocalSideDone()) {
        // The close that follows this event is held back, and the event
        // is fired when the session really ends.
        FHoldNextClose = true;
        return;
      }
    }
    evc::DAVidavi::FireSessionClosed(error);
  }

 private:
  bool FPeerEnded = false;
  bool FHoldNextClose = false;
  bool FCloseHeld = false;
};

}  // namespace wsock
