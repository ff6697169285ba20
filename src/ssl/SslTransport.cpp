// The BIO that ties an SSL object to its socket component: reads go
// straight to the socket, writes go straight out, and only the bytes the
// socket refused wait in the component until its write notification.
#include <openssl/bio.h>
#include <openssl/ssl.h>

#include "ssl/SslWSocket.h"

namespace evc {

struct TSslTransport {
  static TSslWSocket* Of(BIO* b) { return static_cast<TSslWSocket*>(BIO_get_data(b)); }

  static int Read(BIO* b, char* buf, int len) {
    BIO_clear_retry_flags(b);
    TSslWSocket* s = Of(b);
    if (!s || len <= 0) return 0;
    int r = s->TransportRead(buf, len);
    if (r < 0 && s->FTransportError == 0) BIO_set_retry_read(b);
    return r;
  }

  static int Write(BIO* b, const char* buf, int len) {
    BIO_clear_retry_flags(b);
    TSslWSocket* s = Of(b);
    if (!s) return -1;
    if (len > 0) s->TransportWrite(buf, len);
    return len;
  }

  static long Ctrl(BIO* b, int cmd, long, void*) {
    TSslWSocket* s = Of(b);
    switch (cmd) {
      case BIO_CTRL_FLUSH: return 1;
      case BIO_CTRL_WPENDING: return s ? static_cast<long>(s->FOut.size() - s->FOutPos) : 0;
      case BIO_CTRL_PENDING: return 0;
      default: return 0;
    }
  }

  static int Create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
  }

  static const BIO_METHOD* Method() {
    static BIO_METHOD* m = [] {
      BIO_METHOD* meth = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "evcomp socket");
      BIO_meth_set_read(meth, &Read);
      BIO_meth_set_write(meth, &Write);
      BIO_meth_set_ctrl(meth, &Ctrl);
      BIO_meth_set_create(meth, &Create);
      return meth;
    }();
    return m;
  }
};

BIO* NewSslTransport(TSslWSocket* socket) {
  BIO* b = BIO_new(TSslTransport::Method());
  if (b) BIO_set_data(b, socket);
  return b;
}

}  // namespace evc
