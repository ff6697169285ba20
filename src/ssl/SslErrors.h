// Codes the TLS socket reports on the socket's error channel, beside the
// socket library's own (10004..11004) and those of the SOCKS layer
// (20001..20017), with their texts.
#pragma once
#include <string>

namespace evc {

constexpr int kSslHandshakeFailed = 30001;
constexpr int kSslCertNotTrusted = 30002;
constexpr int kSslHostMismatch = 30003;
constexpr int kSslCertExpired = 30004;
constexpr int kSslVersionTooOld = 30005;
constexpr int kSslClosedInHandshake = 30006;
constexpr int kSslCertRefused = 30007;
constexpr int kSslTruncated = 30008;
constexpr int kSslRecordTooLarge = 30009;
constexpr int kSslRenegotiation = 30010;
constexpr int kSslProtocolError = 30011;
constexpr int kSslSetupFailed = 30012;

constexpr int kSslFirstCode = 30001;
constexpr int kSslLastCode = 30099;

// The English text of one of the codes above ("Not a TLS error" outside them).
std::string SslErrorText(int code);

// True for a code of the TLS range.
constexpr bool IsSslErrorCode(int code) { return code >= kSslFirstCode && code <= kSslLastCode; }

}  // namespace evc
