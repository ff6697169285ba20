// The asynchronous socket component.
//
// TCustomWSocket owns at most one socket handle and exactly one hidden
// window. It asks the socket library to post notifications to that window
// and turns each one into an event call on the thread that created it; it
// never blocks on the network. TCP and UDP are fully supported, raw sockets
// through Connect only. The layers of the socket family derive from it and
// override its virtual operations; DAVidavi is the final class that only
// publishes the properties.
//
// Failures go one way: when OnError is assigned it fires and the failing
// call returns; otherwise ESocketException is raised to the caller. A failed
// library call reads "Error <code> in function <label>", CR LF, and the
// code's text (SocketErrorText).
#pragma once
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "base/Component.h"
#include "base/Event.h"
#include "base/Exception.h"
#include "base/Strings.h"
#include "platform/messages.h"
#include "platform/wsock32.h"
#include "socket/WSockBuf.h"
#include "socket/WSocketBinder.h"

namespace evc {

// --- enumerations (ordinals travel in events and option calls) ---
enum TSocketState : uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};
enum TSocketSendFlags : uint8_t { wsSendNormal = 0, wsSendUrgent = 1 };
enum TSocketLingerOnOff : uint8_t { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };
enum DAVidaviOption : uint8_t { wsoNoReceiveLoop = 0, wsoTcpNoDelay = 1 };
// A set of DAVidaviOption: bit i stands for the option of ordinal i.
using DAVidaviOptions = uint8_t;
constexpr DAVidaviOptions OptionBit(DAVidaviOption o) { return static_cast<DAVidaviOptions>(1u << o); }

const char* SocketStateName(TSocketState s);

// --- messages of the hidden window ---
constexpr UINT WM_ASYNCSELECT = WM_USER + 1;
constexpr UINT WM_ASYNCGETHOSTBYNAME = WM_USER + 2;
constexpr UINT WM_ASYNCGETHOSTBYADDR = WM_USER + 3;
constexpr UINT WM_CLOSE_DELAYED = WM_USER + 4;
constexpr UINT WM_WSOCKET_RELEASE = WM_USER + 5;
constexpr UINT WM_TRIGGER_EXCEPTION = WM_USER + 6;
constexpr UINT WM_TRIGGER_DATA_AVAILABLE = WM_USER + 20;

inline constexpr const char* kSocketWindowClass = "XSocketWindowClass";
// A ListenBacklog that asks for the longest queue the system allows.
constexpr int32_t wsListenBacklogMax = 0x7FFFFFFF;

// --- exception ---
class ESocketException : public Exception {
 public:
  using Exception::Exception;
};

// --- event types (parameter names as published) ---
using TDataAvailable = TEvent<TObject* /*Sender*/, WORD /*Error*/>;
using TDataSent = TEvent<TObject*, WORD>;
using TSessionClosed = TEvent<TObject*, WORD>;
using TSessionAvailable = TEvent<TObject*, WORD>;
using TSessionConnected = TEvent<TObject*, WORD>;
using TDnsLookupDone = TEvent<TObject*, WORD>;
using TSendData = TEvent<TObject* /*Sender*/, int32_t /*BytesSent*/>;
using TChangeState = TEvent<TObject* /*Sender*/, TSocketState /*OldState*/, TSocketState /*NewState*/>;
using TBgExceptionEvent = TEvent<TObject* /*Sender*/, Exception& /*E*/, bool& /*CanClose*/>;

// A time value of two 32-bit fields.
struct TTimeVal {
  int32_t tv_sec = 0;
  int32_t tv_usec = 0;
};

// An argument of ReportErrorFmt: a text for %s or a number for %d.
using TFmtArg = std::variant<std::string, int64_t>;
// Formats %s and %d placeholders in order ("%%" gives one %).
std::string FormatText(const std::string& format, std::initializer_list<TFmtArg> args);

// --- unit functions ---
// The English text of a Windows Sockets error code ("Not a WinSock error"
// for any code outside the table).
std::string SocketErrorText(int code);
// Four decimal groups separated by dots, blanks allowed around them.
bool IsDottedQuad(const std::string& text);
// Skips leading blanks, then adds up decimal digits to the first non-digit.
int ParseDecimal(const std::string& text);
// The IPv4 address of a host text, 32-bit in network byte order.
winsock::u_long WSocketResolveHost(const std::string& inAddr);
// A port from a number or a service name, in host byte order.
uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);
// A protocol number from a number or a protocol name.
int WSocketResolveProto(const std::string& proto);
// The library's host entry for Name, or nullptr when it finds none.
winsock::hostent_w* WSocketGetHostByName(const std::string& name);
// Appends the dotted text of every address of the entry to List.
void CollectAddresses(const winsock::hostent_w* hostEntry, TStrings& list);
// This machine's host name.
std::string MachineHostName();
// This machine's addresses, in a list shared by the whole unit that the next
// call refills. The caller does not own it.
TStrings& LocalAddressList();

// A hidden window whose messages go to Method (the HTTP client uses it).
HWND AllocateMethodWindow(TWndMethod method);
void ReleaseMethodWindow(HWND handle);

// --- the component ---
class TCustomWSocket : public TComponent {
  EVC_CLASS(TCustomWSocket)
 public:
  explicit TCustomWSocket(TComponent* owner);
  ~TCustomWSocket() override;

  // -- virtual operations, in their slot order --
  virtual void HandleWindowMessage(TMessage& message);
  virtual void CreateMessageWindow();
  virtual void DestroyMessageWindow();
  virtual void ResetToDefaults();
  virtual void CloseAndNotify(bool shutdown, WORD error);
  virtual void SetPort(const std::string& value);
  virtual void SetProto(const std::string& value);
  virtual int32_t RcvdCount() const;
  virtual void BindLocal();
  virtual int TransmitChunk(const char* data, int len);
  virtual void ReportErrorFmt(const std::string& format, std::initializer_list<TFmtArg> args);
  virtual void ReportError(const std::string& message);
  virtual void HandleEventException(Exception& e);
  virtual bool FireDataAvailable(WORD error);
  virtual void FireSessionAvailable(WORD error);
  virtual void FireSessionConnected(WORD error);
  virtual void FireSessionClosed(WORD error);
  virtual void FireDataSent(WORD error);
  virtual void FireChangeState(TSocketState oldState, TSocketState newState);
  virtual void FireDnsLookupDone(WORD error);
  virtual void FireError();
  virtual int ReadSocket(char* buffer, int size, int flags);
  virtual int ReadSocketFrom(winsock::SOCKET handle, char* buffer, int size, int flags,
                             winsock::sockaddr_w* from, int* fromLen);
  virtual void Connect();
  virtual void Close();
  virtual void PostClose();
  virtual void PostFree();
  virtual void Abort();
  virtual void FlushSendQueue();
  virtual void DrainUntilClosed();
  virtual void Listen();
  virtual winsock::SOCKET Accept();
  virtual int Receive(void* buffer, int size);
  virtual std::string ReceiveText();
  virtual int ReceiveDatagram(void* buffer, int size, winsock::sockaddr_w* from, int* fromLen);
  virtual int Send(const void* data, int len);
  virtual int SendDatagram(const winsock::sockaddr_w* dest, int destLen, const void* data, int len);
  virtual int SendText(const std::string& text);
  virtual void DnsLookup(const std::string& hostName);
  virtual void ReverseDnsLookup(const std::string& hostAddr);
  virtual void CancelLookup();
  virtual std::string PeerAddr() const;
  virtual std::string PeerPort() const;
  virtual int QueryPeerAddress(winsock::sockaddr_w* name, int* nameLen);
  virtual std::string BoundPort();
  virtual std::string BoundAddr();
  virtual bool TimevalIsSet(const TTimeVal& t) const;
  virtual void TimevalClear(TTimeVal& t) const;
  virtual bool TimevalCompare(const TTimeVal& a, const TTimeVal& b, bool wantEqual) const;
  virtual int QueryLocalAddress(winsock::sockaddr_w* name, int* nameLen);
  virtual void Dup(winsock::SOCKET newHandle);
  virtual void Shutdown(int how);
  virtual int Pause();
  virtual int Resume();
  virtual void PumpMessages();
  // The byte stream under every layer: one receive, and the count of bytes
  // a receive would find. By default the socket itself; a layer that carries
  // the stream inside another protocol (TLS) puts its own in their place, so
  // that everything above, line mode included, reads what that protocol
  // delivers.
  virtual int ReceiveTransport(char* buffer, int size, int flags);
  virtual int TransportWaiting(winsock::u_long* count) const;

  // -- non-virtual members --
  void SetState(TSocketState newState);
  void TryToSend();
  void QueueData(const void* data, int len);
  void ClearSendQueue();
  void ApplyLinger();
  void FireSendData(int32_t count);
  void DeliverReadEvents(WORD error, DAVidaviOptions options);
  void FailCall(const std::string& label);

  // -- properties --
  const std::string& Addr() const { return FAddrStr; }
  void SetAddr(const std::string& value);
  const std::string& Port() const { return FPortStr; }
  const std::string& Proto() const { return FProtoStr; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& value);
  const std::string& LocalPort() const { return FLocalPortStr; }
  void SetLocalPort(const std::string& value);
  const std::string& DnsResult() const { return FDnsResult; }
  TStringList* DnsResultList() const { return FDnsResultList.get(); }
  TSocketState State() const { return FState; }
  int32_t ReadCount() const { return FReadCount; }
  int32_t LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool v) { FMultiThreaded = v; }
  bool MultiCast() const { return FMultiCast; }
  void SetMultiCast(bool v) { FMultiCast = v; }
  const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
  void SetMultiCastAddrStr(const std::string& v) { FMultiCastAddrStr = v; }
  int32_t MultiCastIpTTL() const { return FMultiCastIpTTL; }
  void SetMultiCastIpTTL(int32_t v) { FMultiCastIpTTL = v; }
  bool ReuseAddr() const { return FReuseAddr; }
  void SetReuseAddr(bool v) { FReuseAddr = v; }
  DAVidaviOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(DAVidaviOptions v) { FComponentOptions = v; }
  int32_t FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(int32_t v) { FFlushTimeout = v; }
  TSocketSendFlags SendFlags() const;
  void SetSendFlags(TSocketSendFlags value);
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff v) { FLingerOnOff = v; }
  int32_t LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(int32_t v) { FLingerTimeout = v; }
  // How many connections the system holds for Accept, read by the next
  // TCP Listen. A busy server raises it; values above the system's own
  // maximum (wsListenBacklogMax asks for it) are cut to that maximum.
  int32_t ListenBacklog() const { return FListenBacklog; }
  void SetListenBacklog(int32_t value);

  winsock::SOCKET HSocket() const { return FHSocket; }
  HWND WindowHandle() const { return FWindowHandle; }
  winsock::SOCKET AcceptedHandle() const { return FAcceptedHandle; }
  bool AllSent() const { return FAllSent; }
  bool Paused() const { return FPaused; }
  bool Terminated() const { return FTerminated; }
  void SetTerminated(bool v) { FTerminated = v; }
  int32_t EventMask() const { return FEventMask; }
  int32_t SocketType() const { return FType; }
  int32_t ProtocolNumber() const { return FProtocolNumber; }
  const winsock::sockaddr_in_w& RemoteAddress() const { return FSin; }
  // The blocks waiting to be sent, oldest first.
  const std::deque<std::unique_ptr<TBuffer>>& SendQueue() const { return FBufList; }
  // Unsent bytes in the queue.
  int64_t BufferedByteCount() const;

  // Capacity of each new send block: the largest piece handed to the
  // library per call. A host may raise it to pass bigger blocks.
  int32_t ChunkSize = 1460;

  // -- events --
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TChangeState OnChangeState;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  // Counts a read served by a layer from bytes it holds, so that the read
  // loop of a notification sees the handler take data (see FReadCalls).
  void CountLayerRead() { ++FReadCalls; }
  // Ends the session before the object is taken apart: cancels a pending
  // lookup and closes the socket. The most derived destructor calls it, so
  // that the layers' overrides still take part; later calls do nothing.
  void CloseBeforeDestruction();

  // -- fields, in declaration order --
  std::string FDnsResult;
  std::unique_ptr<TStringList> FDnsResultList;
  winsock::SOCKET FAcceptedHandle = winsock::INVALID_SOCKET;
  // Blocks leave from the front; one big Send makes many of them.
  std::deque<std::unique_ptr<TBuffer>> FBufList;
  int32_t FSendFlags = 0;
  int32_t FLastError = 0;
  HWND FWindowHandle = 0;
  char FDnsLookupBuffer[winsock::MAXGETHOSTSTRUCT + 1] = {};
  winsock::HANDLE_W FDnsLookupHandle = 0;
  bool FEarlyReplyPending = false;
  TMessage FEarlyReply;
  winsock::SOCKET FHSocket = winsock::INVALID_SOCKET;
  std::string FAddrStr;
  bool FAddrResolved = false;
  int32_t FAddrFormat = winsock::AF_INET_W;
  bool FAddrAssigned = false;
  int32_t FProtocolNumber = winsock::IPPROTO_TCP_W;
  bool FProtoAssigned = true;
  bool FProtoResolved = false;
  bool FLocalPortResolved = false;
  std::string FProtoStr = "tcp";
  std::string FPortStr;
  bool FPortAssigned = false;
  bool FPortResolved = false;
  int32_t FPortNum = 0;
  std::string FLocalPortStr = "0";
  uint16_t FLocalPortNum = 0;
  std::string FLocalAddr = "0.0.0.0";
  int32_t FType = winsock::SOCK_STREAM_W;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  int32_t FLingerTimeout = 0;
  bool FAllSent = true;
  int32_t FReadCount = 0;
  bool FPaused = false;
  bool FCloseInvoked = false;
  int32_t FFlushTimeout = 60;
  int32_t FListenBacklog = 5;
  bool FMultiThreaded = false;
  bool FMultiCast = false;
  std::string FMultiCastAddrStr;
  int32_t FMultiCastIpTTL = 1;
  bool FReuseAddr = false;
  DAVidaviOptions FComponentOptions = 0;
  TSocketState FState = wsClosed;
  bool FTerminated = false;
  int32_t FEventMask = 0;
  winsock::sockaddr_in_w FSin{};

  // Waits (in the kernel, without spinning) until a message or a socket
  // notification is ready, or the time passes.
  void WaitForInput(DWORD milliseconds);

 private:
  friend LRESULT XSocketWindowProc(HWND, UINT, WPARAM, LPARAM);
  void HandleSocketNotification(TMessage& msg);
  void HandleNameLookupDone(TMessage& msg);
  void HandleAddrLookupDone(TMessage& msg);
  // Closes a handle left open on a closed component, firing nothing.
  void ReleaseStrayHandle();
  // Adds to ReadCount, wrapping at 32 bits.
  void AddReadCount(int n);

  uint64_t FReadCalls = 0;  // socket reads so far, to see a handler that reads nothing
  bool FSessionEnded = false;  // CloseBeforeDestruction has run
  bool FCounted = false;       // this component is counted in SocketUsers
};


}  // namespace evc
