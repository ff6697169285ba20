// TCustomLineWSocket: the socket layer for line mode delivery.
//
// In line mode the received bytes are collected in a buffer of this layer,
// cut at LineEnd and handed to the application one line at a time through
// OnDataAvailable: inside the handler RcvdCount is what is left of the line
// and Receive / ReceiveText read from it. The layer also echoes received
// bytes to the peer (LineEcho) and applies backspace and tab editing
// (LineEdit). With line mode off it is transparent, except that bytes still
// held in its buffer are handed out before anything from the socket.
//
// Layout of the buffer: the held bytes are FLineBuffer[FLineHead ..
// FLineHead + FLineBufferCount), followed by a zero byte. Reading a line
// advances FLineHead instead of moving the rest, and a new read compacts the
// buffer first, so every byte is moved at most once: the work is linear in
// the data however it is split.
#pragma once
#include <cstdint>
#include <string>

#include "socket/WSocketSocks.h"

namespace evc {

// Sender, RcvdLength (bytes held without a terminator), ClearData (comes in
// true; still true on return discards the held bytes).
using TLineLimitEvent = TEvent<TObject* /*Sender*/, int32_t /*RcvdLength*/, bool& /*ClearData*/>;

class TCustomLineWSocket : public TCustomSocksWSocket {
  EVC_CLASS(TCustomLineWSocket)
 public:
  explicit TCustomLineWSocket(TComponent* owner);
  ~TCustomLineWSocket() override;

  // -- virtual operations added by this layer, in their slot order --
  virtual void FireLineLimitExceeded(int32_t rcvdLength, bool& clearData);
  // Switching the mode while bytes are held posts a request to deliver them
  // again under the new mode once the running handler has returned.
  virtual void SetLineMode(bool value);
  // Backspace and tab editing of the len bytes just received behind the held
  // ones; may lower the held count and change len. Returns false when an
  // echo closed the connection (the buffer is gone then).
  virtual bool EditLine(int32_t& len);

  // -- overrides of the core --
  void HandleWindowMessage(TMessage& message) override;
  int32_t RcvdCount() const override;
  int ReadSocket(char* buffer, int size, int flags) override;
  bool FireDataAvailable(WORD error) override;
  void FireSessionClosed(WORD error) override;

  // Runs bytes that came from somewhere other than this socket (a capture,
  // a pipe, a test) through the layer exactly as if they had just been
  // received: line cutting, editing, echo and the limit in line mode, or
  // held for Receive with line mode off.
  void DeliverReceivedBytes(const void* data, int len);

  // -- properties --
  bool LineMode() const { return FLineMode; }
  int32_t LineLimit() const { return FLineLimit; }
  void SetLineLimit(int32_t v) { FLineLimit = v; }
  const std::string& LineEnd() const { return FLineEnd; }
  // A new terminator applies to the held bytes too; an empty one turns line
  // processing off, so held bytes are then delivered as plain data.
  void SetLineEnd(const std::string& value);
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool v) { FLineEcho = v; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool v) { FLineEdit = v; }
  // Bytes received and not yet handed to the application.
  int32_t LineBufferCount() const { return FLineBufferCount; }
  int32_t LineBufferSize() const { return FLineBufferSize; }
  int32_t PendingLineLength() const { return FPendingLineLength; }

  TLineLimitEvent OnLineLimitExceeded;

  // Time limit of a synchronous wait in milliseconds; 0 or less: none.
  int32_t Timeout = 0;

 protected:
  // Delivers again what is held (message WM_TRIGGER_DATA_AVAILABLE).
  void RedeliverBufferedData();

  // -- fields, in declaration order --
  char* FLineBuffer = nullptr;
  int32_t FLineBufferSize = 0;
  int32_t FLineBufferCount = 0;
  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  int32_t FPendingLineLength = 0;
  int32_t FLineLimit = 65536;
  bool FLineClearData = false;
  bool FLineEcho = false;
  bool FLineEdit = false;
  // Tick count at which the running synchronous wait fails.
  int32_t FWaitDeadline = 0;

 private:
  // Line mode is in force: on, with a terminator.
  bool LineProcessing() const { return FLineMode && !FLineEnd.empty(); }
  // The SOCKS layer below has finished its handshake (or is not used).
  bool SocksDataPhase() const;
  // Makes room for `more` bytes behind the held ones (compacting first).
  void ReserveTail(int32_t more);
  void ReleaseLineBuffer();
  // Removes n bytes from the front of the held bytes.
  void ConsumeHead(int32_t n);
  void PutTerminatingZero();
  // Offset (from the head) of the first terminator at or after `from`, or -1.
  int32_t FindLineEnd(int32_t from) const;
  // Echo and editing of len new bytes behind the held ones, then (when
  // `deliver`) cutting and delivering lines. False when the buffer was
  // released under it.
  bool ProcessArrival(int32_t len, bool deliver);
  // Cuts and delivers the held lines; at close the rest goes as one last
  // line and the limit is not checked.
  void DeliverLines(bool atClose);
  // Hands held bytes to OnDataAvailable as plain data while it takes them.
  void DeliverHeldAsPlainData();
  // Posts a read notification for data that arrived while a line was handed
  // out and that no running pass will read.
  void ReannounceDeferredArrival();
  // Held bytes have run out in plain mode without a socket read: posts the
  // redelivery message, whose handler announces bytes waiting in the socket.
  void AnnounceSocketDataLater();

  int32_t FLineHead = 0;        // offset of the first held byte
  int32_t FScanFrom = 0;        // no terminator starts before this offset (from the head)
  int32_t FEditFloor = 0;       // held bytes that backspace may not remove
  uint64_t FBufferEpoch = 0;    // changes whenever the buffer is released
  uint64_t FConsumedBytes = 0;  // bytes that ever left the buffer
  bool FDelivering = false;     // a line is being handed out
  bool FArrivalDeferred = false;  // data arrived while a line was handed out
  bool FRedelivering = false;     // RedeliverBufferedData runs
  bool FAnnouncePosted = false;   // a redelivery message for socket bytes is on its way
};

}  // namespace evc
