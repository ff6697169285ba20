// OpenSSL contexts built from a TLS socket's settings, and small helpers
// around OpenSSL's errors and certificate fields.
//
// Building a context loads certificates and keys from files, which costs
// far more than a connection, so each thread keeps the contexts it built,
// keyed by every setting that went into them (and the files' change times).
#pragma once
#include <openssl/ssl.h>

#include <string>

#include "ssl/SslSettings.h"

namespace evc {

// The context for these settings, owned by the thread's cache (take a
// reference with SSL_new). nullptr on failure, with OpenSSL's reason in
// *error.
SSL_CTX* SslContextFor(const TSslSettings& settings, std::string* error);

// Everything OpenSSL has queued about the last failure, as one line, and
// the queue emptied.
std::string TakeOpenSslErrors();

// A readable form of an ASN.1 time: 2026-12-10T01:02:03Z.
std::string SslTimeText(const ASN1_TIME* t);
// A certificate name in the one-line form CN=host,O=org.
std::string SslNameText(const X509_NAME* name);

}  // namespace evc
