#include "socket/DAVidavi.h"

#include "base/TypInfo.h"

namespace evc {

const TClassInfo& DAVidavi::StaticClassInfo() {
  using P = Published<DAVidavi>;
  static const TClassInfo info(
      "DAVidavi", &TCustomSyncWSocket::StaticClassInfo(),
      {
          P::String("Addr", &DAVidavi::Addr, &DAVidavi::SetAddr),
          P::String("Port", &DAVidavi::Port, &DAVidavi::SetPort),
          P::String("Proto", &DAVidavi::Proto, &DAVidavi::SetProto).WritesEmpty(),
          P::String("LocalAddr", &DAVidavi::LocalAddr, &DAVidavi::SetLocalAddr),
          P::String("LocalPort", &DAVidavi::LocalPort, &DAVidavi::SetLocalPort).WritesEmpty(),
          P::String("PeerPort", &DAVidavi::PeerPort, nullptr),
          P::String("PeerAddr", &DAVidavi::PeerAddr, nullptr),
          P::String("DnsResult", &DAVidavi::DnsResult, nullptr),
          P::Object("DnsResultList", &DAVidavi::DnsResultList),
          P::Enum("State", &DAVidavi::State, nullptr,
                  {"wsInvalidState", "wsOpened", "wsBound", "wsConnecting", "wsConnected", "wsAccepting",
                   "wsListening", "wsClosed"}),
          P::Integer("ReadCount", &DAVidavi::ReadCount, nullptr),
          P::Integer("RcvdCount", &DAVidavi::RcvdCount, nullptr),
          P::Integer("LastError", &DAVidavi::LastError, nullptr),
          P::Boolean("MultiThreaded", &DAVidavi::MultiThreaded, &DAVidavi::SetMultiThreaded),
          P::Boolean("MultiCast", &DAVidavi::MultiCast, &DAVidavi::SetMultiCast),
          P::String("MultiCastAddrStr", &DAVidavi::MultiCastAddrStr, &DAVidavi::SetMultiCastAddrStr),
          P::Integer("MultiCastIpTTL", &DAVidavi::MultiCastIpTTL, &DAVidavi::SetMultiCastIpTTL),
          P::Boolean("ReuseAddr", &DAVidavi::ReuseAddr, &DAVidavi::SetReuseAddr),
          // Unlike its neighbours it declares its default, so that forms only
          // mention it when a server asked for a longer queue than 5.
          P::Integer("ListenBacklog", &DAVidavi::ListenBacklog, &DAVidavi::SetListenBacklog).WithDefault(int64_t(5)),
          P::Set("ComponentOptions", &DAVidavi::ComponentOptions, &DAVidavi::SetComponentOptions,
                 {"wsoNoReceiveLoop", "wsoTcpNoDelay"}),
          P::Integer("FlushTimeout", &DAVidavi::FlushTimeout, &DAVidavi::SetFlushTimeout),
          P::Enum("SendFlags", &DAVidavi::SendFlags, &DAVidavi::SetSendFlags, {"wsSendNormal", "wsSendUrgent"}),
          P::Enum("LingerOnOff", &DAVidavi::LingerOnOff, &DAVidavi::SetLingerOnOff,
                  {"wsLingerOff", "wsLingerOn", "wsLingerNoSet"}),
          P::Integer("LingerTimeout", &DAVidavi::LingerTimeout, &DAVidavi::SetLingerTimeout),
          P::Boolean("LineMode", &DAVidavi::LineMode, &DAVidavi::SetLineMode),
          P::Integer("LineLimit", &DAVidavi::LineLimit, &DAVidavi::SetLineLimit),
          P::String("LineEnd", &DAVidavi::LineEnd, &DAVidavi::SetLineEnd).WritesEmpty(),
          P::Boolean("LineEcho", &DAVidavi::LineEcho, &DAVidavi::SetLineEcho),
          P::Boolean("LineEdit", &DAVidavi::LineEdit, &DAVidavi::SetLineEdit),
          P::String("SocksLevel", &DAVidavi::SocksLevel, &DAVidavi::SetSocksLevel),
          P::String("SocksServer", &DAVidavi::SocksServer, &DAVidavi::SetSocksServer),
          P::String("SocksPort", &DAVidavi::SocksPort, &DAVidavi::SetSocksPort),
          P::String("SocksUsercode", &DAVidavi::SocksUsercode, &DAVidavi::SetSocksUsercode),
          P::String("SocksPassword", &DAVidavi::SocksPassword, &DAVidavi::SetSocksPassword),
          P::Enum("SocksAuthentication", &DAVidavi::SocksAuthentication, &DAVidavi::SetSocksAuthentication,
                  {"socksNoAuthentication", "socksAuthenticateUsercode"}),
      },
      &CreateComponentOf<DAVidavi>);
  return info;
}

namespace {
const bool kRegistered = (RegisterComponentClass(DAVidavi::StaticClassInfo()), true);
}

}  // namespace evc
