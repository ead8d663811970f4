#include "datachannel/DtlsTransport.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ombrelia/OmbreliaLogger.hpp>

namespace ombrelia::datachannel {
namespace {

// The largest record a DTLS peer sends is 16 KiB of plaintext; SCTP packets are far smaller.
constexpr size_t kReadBufferBytes = 16 * 1024 + 512;
// The records of one datagram, which is at most 64 KiB, read one after another.
constexpr size_t kReceivedBytes = 64 * 1024 + kReadBufferBytes;
// Path MTU for handshake flights: fits IPv6's minimum with room for ICE/UDP/IP headers.
constexpr size_t kMaxMtu = 1200;

int acceptAnyCertificate(int, X509_STORE_CTX*) {
  // The peer's certificate is self-signed; it is authenticated by its fingerprint after the
  // handshake instead.
  return 1;
}

std::string lastSslError() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "no detail";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

}  // namespace

struct DtlsTransport::Events {
  bool connected = false;
  bool failed = false;
  Failure failure = Failure::handshake;
  std::string reason;
  bool remoteClosed = false;
  // Where each record read ends in the transport's read buffer.
  std::vector<size_t> recordEnds;
};

struct DtlsTransport::Bio {
  static BIO_METHOD* method() {
    static BIO_METHOD* const m = [] {
      BIO_METHOD* created =
          BIO_meth_new(BIO_TYPE_SOURCE_SINK | BIO_get_new_index(), "ombrelia-dtls-datagram");
      BIO_meth_set_write(created, write);
      BIO_meth_set_ctrl(created, ctrl);
      BIO_meth_set_create(created, [](BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
      });
      return created;
    }();
    return m;
  }
  static int write(BIO* bio, const char* data, int size) {
    auto* self = static_cast<DtlsTransport*>(BIO_get_data(bio));
    if (self != nullptr && size > 0 && self->collecting_) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(data);
      self->records_.insert(self->records_.end(), bytes, bytes + size);
      self->recordEnds_.push_back(self->records_.size());
    } else if (self != nullptr && size > 0 && self->callbacks_.sendDatagram) {
      self->callbacks_.sendDatagram(reinterpret_cast<const uint8_t*>(data),
                                    static_cast<size_t>(size));
    }
    return size;
  }
  static long ctrl(BIO*, int command, long, void*) {
    switch (command) {
      case BIO_CTRL_FLUSH:
        return 1;
      default:
        // MTU queries answer 0: the MTU is set explicitly and there is no per-packet overhead
        // below DTLS that OpenSSL could know about.
        return 0;
    }
  }
};

std::unique_ptr<DtlsTransport> DtlsTransport::create(const Settings& settings,
                                                     Callbacks callbacks) {
  if (!settings.certificate) return nullptr;
  std::unique_ptr<DtlsTransport> self(new DtlsTransport(settings, std::move(callbacks)));
  SSL_CTX* ctx = SSL_CTX_new(DTLS_method());
  if (ctx == nullptr) return nullptr;
  self->ctx_ = ctx;
  SSL_CTX_set_min_proto_version(ctx, DTLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx, DTLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_TICKET);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAnyCertificate);
  SSL_CTX_set_read_ahead(ctx, 1);
  if (SSL_CTX_use_certificate(ctx, settings.certificate->x509()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx, settings.certificate->key()) != 1 ||
      SSL_CTX_set_cipher_list(ctx,
                              "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
                              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256:"
                              "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-SHA:"
                              "ECDHE-RSA-AES128-SHA") != 1) {
    return nullptr;
  }
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) return nullptr;
  self->ssl_ = ssl;
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(Bio::method());
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    return nullptr;
  }
  // An empty input BIO reads as "try again", not as end of file.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_data(out, self.get());
  SSL_set_bio(ssl, in, out);
  self->inBio_ = in;
  SSL_set_options(ssl, SSL_OP_NO_QUERY_MTU);
  DTLS_set_link_mtu(ssl, static_cast<long>(std::min(settings.mtu, kMaxMtu)));
  if (self->isClient_) {
    SSL_set_connect_state(ssl);
  } else {
    SSL_set_accept_state(ssl);
  }
  return self;
}

DtlsTransport::DtlsTransport(Settings settings, Callbacks callbacks)
    : settings_(std::move(settings)),
      callbacks_(std::move(callbacks)),
      isClient_(settings_.isClient) {}

DtlsTransport::~DtlsTransport() {
  if (ssl_ != nullptr) SSL_free(ssl_);  // frees both BIOs
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
}

void DtlsTransport::start() {
  Events events;
  {
    std::lock_guard lock(mutex_);
    if (started_ || finished_) return;
    started_ = true;
    if (isClient_) advance(events);
  }
  report(events);
}

void DtlsTransport::handleDatagram(const uint8_t* data, size_t size) {
  Events events;
  {
    std::lock_guard lock(mutex_);
    if (!started_ || finished_ || size == 0) return;
    BIO_write(inBio_, data, static_cast<int>(size));
    advance(events);
    // A datagram is consumed whole; leftovers of a malformed one must not prefix the next.
    (void)BIO_reset(inBio_);
  }
  report(events);
}

void DtlsTransport::handleTimer() {
  Events events;
  {
    std::lock_guard lock(mutex_);
    if (!started_ || connected_ || finished_) return;
    ERR_clear_error();
    if (DTLSv1_handle_timeout(ssl_) < 0) {
      finished_ = true;
      events.failed = true;
      events.reason = "handshake timed out: " + lastSslError();
    }
  }
  report(events);
}

void DtlsTransport::advance(Events& events) {
  ERR_clear_error();
  if (!connected_) {
    const int result = SSL_do_handshake(ssl_);
    if (result != 1) {
      const int error = SSL_get_error(ssl_, result);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
        finished_ = true;
        events.failed = true;
        events.reason = "handshake failed: " + lastSslError();
      }
      return;
    }
    X509* peer = SSL_get1_peer_certificate(ssl_);
    bool matched = false;
    bool mismatched = false;
    for (const SdpFingerprint& expected : settings_.remoteFingerprints) {
      const std::string actual = Certificate::fingerprintOf(peer, expected.algorithm);
      if (actual.empty()) continue;  // a digest this build does not know
      (actual == expected.value ? matched : mismatched) = true;
    }
    X509_free(peer);
    if (!matched || mismatched) {
      finished_ = true;
      events.failed = true;
      events.failure = Failure::fingerprintMismatch;
      events.reason = "remote certificate does not match the fingerprint of its description";
      return;
    }
    connected_ = true;
    events.connected = true;
  }
  // Records are read straight into one buffer kept from datagram to datagram, which spares an
  // allocation and a copy per packet.
  if (!received_) received_ = std::make_unique<uint8_t[]>(kReceivedBytes);
  size_t used = 0;
  for (;;) {
    const size_t room = std::min(kReadBufferBytes, kReceivedBytes - used);
    if (room == 0) return;  // never: a datagram holds no more plaintext than its own size
    const int read = SSL_read(ssl_, received_.get() + used, static_cast<int>(room));
    if (read > 0) {
      used += static_cast<size_t>(read);
      events.recordEnds.push_back(used);
      continue;
    }
    const int error = SSL_get_error(ssl_, read);
    if (error == SSL_ERROR_ZERO_RETURN) {
      finished_ = true;
      events.remoteClosed = true;
    } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      finished_ = true;
      events.failed = true;
      events.failure = Failure::alert;
      events.reason = "connection failed: " + lastSslError();
    }
    return;
  }
}

void DtlsTransport::report(Events& events) {
  if (events.connected && callbacks_.onConnected) callbacks_.onConnected();
  size_t start = 0;
  for (const size_t end : events.recordEnds) {
    if (callbacks_.onData) callbacks_.onData(received_.get() + start, end - start);
    start = end;
  }
  if (events.failed && callbacks_.onFailed) callbacks_.onFailed(events.failure, events.reason);
  if (events.remoteClosed && callbacks_.onRemoteClosed) callbacks_.onRemoteClosed();
}

bool DtlsTransport::sendAll(const uint8_t* bytes, const std::vector<size_t>& ends) {
  std::lock_guard lock(mutex_);
  if (!connected_ || finished_) return false;
  ERR_clear_error();
  bool all = true;
  collecting_ = true;
  size_t start = 0;
  for (const size_t end : ends) {
    const int size = static_cast<int>(end - start);
    if (size > 0 && SSL_write(ssl_, bytes + start, size) != size) all = false;
    start = end;
  }
  collecting_ = false;
  // Sent under the lock, so that records leave in the order of their numbers.
  if (!recordEnds_.empty()) {
    if (callbacks_.sendDatagrams) {
      callbacks_.sendDatagrams(records_.data(), recordEnds_);
    } else if (callbacks_.sendDatagram) {
      size_t from = 0;
      for (const size_t to : recordEnds_) {
        callbacks_.sendDatagram(records_.data() + from, to - from);
        from = to;
      }
    }
  }
  // Cleared, not freed: the next batch reuses the memory.
  records_.clear();
  recordEnds_.clear();
  return all;
}

void DtlsTransport::close() {
  std::lock_guard lock(mutex_);
  if (finished_) return;
  finished_ = true;
  if (connected_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
}

}  // namespace ombrelia::datachannel
