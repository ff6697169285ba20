// A stream connection that outlives the peer's end of sending.
//
// The socket component treats the peer's end of data as the end of the
// session: it fires OnSessionClosed and closes at once, throwing away what
// is still queued for sending. A tool that copies data both ways must keep
// sending what it has, since the peer may only have shut down its own
// sending side and still be reading. This class lets the layers report the
// peer's end as usual (line mode hands out its last partial line there),
// then holds the close back while the owner's side is not done; the owner
// releases it when it is. OnEnded reports the real end of the session, once.
#pragma once
#include <functional>

#include "ssl/SslWSocket.h"

namespace wsock {

class TStreamSocket : public evc::TSslWSocket {
 public:
  explicit TStreamSocket(evc::TComponent* owner) : evc::TSslWSocket(owner) {
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
    OnSslHandshakeDone.Clear();
    OnSslVerifyPeer.Clear();
    LocalSideDone = nullptr;
    OnEnded = nullptr;
  }

  // Asked when the peer has ended its data: true when this side has nothing
  // more to send, so the session may end now.
  std::function<bool()> LocalSideDone;
  // The session is over (0: orderly, else the socket error). Owners use it
  // instead of OnSessionClosed, which may come while the close is held.
  std::function<void(evc::WORD error)> OnEnded;

  bool PeerEnded() const { return FPeerEnded; }

  // The text of a code this socket reported: a TLS failure with OpenSSL's
  // own words, a socket error with its standard text.
  std::string CodeText(int code) const {
    if (!evc::IsSslErrorCode(code)) return evc::SocketErrorText(code);
    std::string text = evc::SslErrorText(code);
    if (!SslErrorDetail().empty() && SslErrorDetail() != text) text += ": " + SslErrorDetail();
    return text;
  }

  // What the handshake agreed on, as one line for standard error.
  std::string HandshakeLine() const {
    std::string verdict = SslVerifyResult() == 0 ? "verified" : "NOT verified (" + SslVerifyResultText() + ")";
    return "tls: " + SslProtocol() + " " + SslCipher() + ", peer " + SslPeerSubject() + ", " + verdict;
  }
  bool CloseHeld() const { return FCloseHeld; }

  // Ends a session whose close was held back. Does nothing when no close is
  // held.
  void ReleaseClose() {
    if (!FCloseHeld) return;
    FCloseHeld = false;
    evc::TSslWSocket::Close();
    Ended(0);
  }

  void Close() override {
    if (FHoldNextClose) {
      FHoldNextClose = false;
      FCloseHeld = true;
      return;
    }
    FCloseHeld = false;
    evc::TSslWSocket::Close();
  }

  void FireSessionClosed(evc::WORD error) override {
    // The peer's orderly end while the connection is still ours to use.
    bool peerEnd = error == 0 && State() == evc::wsConnected;
    if (peerEnd) FPeerEnded = true;
    evc::TSslWSocket::FireSessionClosed(error);
    if (peerEnd && !FCloseHeld && State() == evc::wsConnected && LocalSideDone && !LocalSideDone()) {
      // The close that follows this event is held back.
      FHoldNextClose = true;
      return;
    }
    Ended(error);
  }

 private:
  void Ended(evc::WORD error) {
    if (FEndReported) return;
    FEndReported = true;
    if (OnEnded) OnEnded(error);
  }

  bool FPeerEnded = false;
  bool FEndReported = false;
  bool FHoldNextClose = false;
  bool FCloseHeld = false;
};

}  // namespace wsock
