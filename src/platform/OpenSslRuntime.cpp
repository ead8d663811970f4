// Keeps OpenSSL usable until the process is gone.
//
// The library's own threads (the WebSocket transport, the HTTP client, the data-channel
// framework) may still be creating TLS contexts or tearing connections down while the host
// process exits. OpenSSL's exit-time cleanup would free its tables and locks under them, so it
// is told at load time, before anything else initialises it, not to register that cleanup. The
// memory goes back to the system with the process.
#include <openssl/crypto.h>
#include <openssl/ssl.h>

namespace ombrelia::platform {
namespace {

[[gnu::constructor]] void keepOpenSslForTheProcessLifetime() {
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_LOAD_SSL_STRINGS |
                       OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                   nullptr);
}

}  // namespace
}  // namespace ombrelia::platform

// Asked for by name when the library is linked statically (tests and benchmarks), so that this
// unit, which nothing else refers to, and its constructor are linked in.
extern "C" void ombrelia_keep_openssl_runtime() {}
