#include "ssl/SslErrors.h"

namespace evc {

std::string SslErrorText(int code) {
  switch (code) {
    case kSslHandshakeFailed: return "handshake failed";
    case kSslCertNotTrusted: return "certificate not trusted";
    case kSslHostMismatch: return "host name mismatch";
    case kSslCertExpired: return "certificate expired";
    case kSslVersionTooOld: return "protocol version too old";
    case kSslClosedInHandshake: return "peer closed during the handshake";
    case kSslCertRefused: return "certificate refused by the application";
    case kSslTruncated: return "peer closed without close_notify";
    case kSslRecordTooLarge: return "record too large";
    case kSslRenegotiation: return "renegotiation refused";
    case kSslProtocolError: return "protocol error";
    case kSslSetupFailed: return "TLS setup failed";
  }
  return "Not a TLS error";
}

}  // namespace evc
