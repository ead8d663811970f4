#pragma once
// Loop thread: start, handleDatagram, handleTimer and close run on the GlibLoop thread, where the
// callbacks are called (never with the transport's lock held); sendAll() may be called from any
// thread. sendDatagram and sendDatagrams are called on the thread whose call produced the
// datagrams, with the transport's lock held so that they leave in order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "datachannel/Certificate.hpp"
#include "datachannel/SdpDescription.hpp"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;
typedef struct bio_st BIO;

namespace ombrelia::datachannel {

// DTLS 1.2 over memory BIOs: datagrams go in through handleDatagram() and out through
// sendDatagram, one call per datagram so record boundaries survive.
class DtlsTransport {
 public:
  enum class Failure { handshake, fingerprintMismatch, alert };

  struct Settings {
    std::shared_ptr<Certificate> certificate;
    bool isClient = false;
    std::vector<SdpFingerprint> remoteFingerprints;
    size_t mtu = 1200;
  };

  struct Callbacks {
    std::function<void(const uint8_t*, size_t)> sendDatagram;
    // Several at once, back to back, the i-th ending at ends[i]; sendDatagram is used one by one
    // when this is not set.
    std::function<void(const uint8_t* bytes, const std::vector<size_t>& ends)> sendDatagrams;
    std::function<void()> onConnected;
    std::function<void(Failure, const std::string&)> onFailed;
    std::function<void()> onRemoteClosed;
    // The bytes stay valid until the callback returns.
    std::function<void(const uint8_t*, size_t)> onData;
  };

  [[nodiscard]] static std::unique_ptr<DtlsTransport> create(const Settings& settings,
                                                             Callbacks callbacks);
  ~DtlsTransport();
  DtlsTransport(const DtlsTransport&) = delete;
  DtlsTransport& operator=(const DtlsTransport&) = delete;

  bool isClient() const { return isClient_; }
  void start();
  void handleDatagram(const uint8_t* data, size_t size);
  void handleTimer();
  // Any thread. Each packet (laid out as for sendDatagrams) in a record of its own, handed on
  // together. False before the handshake has completed, after close, or when a record failed.
  bool sendAll(const uint8_t* bytes, const std::vector<size_t>& ends);
  // Sends close_notify once.
  void close();

  // The write BIO's C callbacks reach the transport through this.
  struct Bio;

 private:
  DtlsTransport(Settings settings, Callbacks callbacks);
  // Called with mutex_ held; returns the events to report once it is released.
  struct Events;
  void advance(Events& events);
  void report(Events& events);

  Settings settings_;
  Callbacks callbacks_;
  bool isClient_;
  std::mutex mutex_;  // guards the SSL object and the flags below
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* inBio_ = nullptr;
  bool started_ = false;
  bool connected_ = false;
  bool finished_ = false;  // failed or closed: nothing more goes in or out
  // While sendAll() encrypts, the records written go here instead of out one by one.
  bool collecting_ = false;
  std::vector<uint8_t> records_;
  std::vector<size_t> recordEnds_;
  // Records read from the last datagram; the loop thread's alone, as handleDatagram is.
  std::unique_ptr<uint8_t[]> received_;
};

}  // namespace ombrelia::datachannel
