#include "datachannel/SctpTransport.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <usrsctp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <ombrelia/OmbreliaLogger.hpp>
#include <unordered_map>

#include "datachannel/GlibLoop.hpp"
#include "datachannel/SctpChecksum.hpp"
#include "datachannel/SctpNotification.hpp"
#include "foundation/RepeatedLog.hpp"

namespace ombrelia::datachannel {
namespace {

// Handshake and data packets must fit one DTLS record inside the 1200-byte path MTU used for
// DTLS, with room for the record header and AEAD expansion.
constexpr uint32_t kSctpPathMtu = 1200 - 40;
// Enough streams for many channels; WebRTC stacks offer 1024 or 65535.
constexpr uint16_t kStreamCount = 1024;
// usrsctp's own buffers: a 2 MB segment sent back to back should mostly sit here.
constexpr int kSocketBufferBytes = 1024 * 1024;
// The highest partial delivery point (see start()): the receive buffer, twice it, bounds what
// usrsctp holds of one peer. Should a configured message limit pass it, those larger messages
// come in parts, which the assembler joins per message.
constexpr size_t kMaxPartialDeliveryPoint = 64 * 1024 * 1024;
// What usrsctp keeps for each message beyond its bytes: its pending-message record and the
// buffer block its bytes are copied into (a small message takes a whole 2 KiB cluster), and the
// chunk records once it is sent. usrsctp's send buffer counts payload only, so 1 MiB of answers
// of some 200 bytes would hold several MiB: counted this way, it holds about 1 MiB whatever the
// messages, and a segment frame of 16 KB costs an eighth more.
constexpr uint64_t kSctpEntryCost = 2048;
// The queue is handed to usrsctp again once half its buffer has drained.
constexpr uint32_t kSendThreshold = kSocketBufferBytes / 2;
// usrsctp reports its free send buffer after each acknowledgement that frees any: what it no
// longer holds has reached the peer, so the report must come even when it frees little.
constexpr uint32_t kFreeSpaceReportThreshold = 1;
// Retransmission timeouts. A heartbeat goes out one timeout plus the heartbeat interval after
// the path fell idle; the standard 1 s minimum and 60 s maximum would space heartbeats too far
// apart for the silence check built on them.
constexpr uint32_t kRtoInitialMs = 1000;
constexpr uint32_t kRtoMinMs = 200;
constexpr uint32_t kRtoMaxMs = 3000;
// An association with data unacknowledged must see its retransmission timer fire, backed off to
// the maximum, several times within the stall watch's timeout, or a long outage would end it.
static_assert(3 * std::chrono::milliseconds(kRtoMaxMs) <= SctpStallWatch::kStallTimeout);
// Timeouts in a row after which SCTP would give the path, and the association, up. The
// connection decides when a silent peer is lost, by its consent and failed timeouts, which may
// be set long enough to ride out an outage; SCTP's default of ten would end the association
// first, after some 24 s of silence at these timeouts. So SCTP never gives up by itself.
constexpr uint16_t kMaxRetransmissions = 0xFFFF;

// usrsctp's timer list is process-wide, and the stack's own threads let a timer fire while
// another thread stops and restarts it, which can lose the retransmission timer: an
// association with a lost packet then waits forever. So usrsctp runs without threads, its
// timers are driven from the ICE loop, and every call into it holds this lock (see Glue::Lock,
// which lets a thread take it again from inside a call: usrsctp calls back into the transport,
// which may send again).
std::mutex& stackMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// Attempts to take the stack's lock before sleeping on it. It is held for one packet's SCTP
// work, a few microseconds, and the loops of connections that exchange packets take it in
// turn: sleeping and being woken costs far more than that on a busy machine.
constexpr int kLockSpins = 200;

// How often waiting stream resets check whether the peer has acknowledged all data.
constexpr std::chrono::milliseconds kResetCheckInterval{50};

// How often usrsctp's timers are driven; its own timer thread ticks every 10 ms.
constexpr std::chrono::milliseconds kTimerTick{10};

std::mutex& registryMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}

// AF_CONN addresses are opaque pointers; ours are ids never reused, looked up here, so a
// callback for a transport that has gone finds nothing instead of freed memory.
std::unordered_map<uintptr_t, std::weak_ptr<SctpTransport>>& registry() {
  static auto* map = new std::unordered_map<uintptr_t, std::weak_ptr<SctpTransport>>();
  return *map;
}

std::shared_ptr<SctpTransport> lookup(void* address) {
  std::lock_guard lock(registryMutex());
  const auto it = registry().find(reinterpret_cast<uintptr_t>(address));
  return it == registry().end() ? nullptr : it->second.lock();
}

std::atomic<uintptr_t> nextId{1};

// Calls into usrsctp nested on this thread, and the transports it gave packets to meanwhile.
thread_local int lockDepth = 0;
thread_local std::vector<std::shared_ptr<SctpTransport>> producers;
// Transports whose packets are held while more input is waiting (see Glue::hold), whether a
// later loop turn is booked to send them, and whether the packet being handled has others
// waiting behind it.
thread_local std::vector<std::shared_ptr<SctpTransport>> deferred;
thread_local bool deferredBooked = false;
thread_local bool moreInputWaiting = false;

void sctpLog(const std::string& message) {
  OmbreliaLogger::debug("datachannel: SCTP " + message, OLogModule::webRTCClient);
}

void logGivenUp(const std::vector<uint16_t>& streams) {
  for (const uint16_t stream : streams) {
    OmbreliaLogger::error(
        "datachannel: gave up resetting stream " + std::to_string(stream) + ": refused every time",
        OLogModule::webRTCClient);
  }
}

}  // namespace

const size_t SctpTransport::kMaxMessageBytes = kSocketBufferBytes;
const size_t SctpTransport::kMaxQueuedBytesAllTransports = 16 * 1024 * 1024;

namespace {
std::atomic<size_t> allQueuedCost{0};
}  // namespace

size_t SctpTransport::queuedCostAllTransports() { return allQueuedCost.load(); }

void SctpTransport::dropCost(size_t bytes) {
  queuedCost_ -= bytes;
  allQueuedCost -= bytes;
}

void SctpTransport::addCost(size_t bytes) {
  queuedCost_ += bytes;
  const size_t total = allQueuedCost += bytes;
  if (total <= kMaxQueuedBytesAllTransports) return;
  std::shared_ptr<SctpTransport> heaviest;
  size_t heaviestCost = 0;
  size_t count = 0;
  size_t held = 0;  // by the transports not already on their way out
  {
    std::lock_guard lock(registryMutex());
    for (const auto& [id, weak] : registry()) {
      auto transport = weak.lock();
      if (!transport || transport->overBudget_) continue;
      ++count;
      const size_t cost = transport->queuedCost_;
      held += cost;
      if (cost > heaviestCost) {
        heaviestCost = cost;
        heaviest = std::move(transport);
      }
    }
  }
  // One ended already frees its queue as its connection closes, a moment later.
  if (held <= kMaxQueuedBytesAllTransports) return;
  if (!heaviest || count == 0 || heaviestCost <= kMaxQueuedBytesAllTransports / count) return;
  if (heaviest->overBudget_.exchange(true) || !heaviest->callbacks_.onOverBudget) return;
  heaviest->callbacks_.onOverBudget(
      "its peer reads nothing: it holds " + std::to_string(heaviestCost) +
      " bytes queued, the most of " + std::to_string(count) + " connections holding " +
      std::to_string(total) + " bytes together, past their budget of " +
      std::to_string(kMaxQueuedBytesAllTransports));
}
// The entry itself, and a heap block's header with the rounding of a small block to 32 bytes.
const size_t SctpTransport::kQueuedEntryCost = sizeof(SctpTransport::Outgoing) + 32;

struct SctpTransport::Glue {
  // The stack's lock. usrsctp hands out a whole congestion window from one call; encrypting and
  // sending it there would keep every other connection's input, timers and senders waiting on
  // the lock. So packets are only copied out under it, and the outermost holder on a thread
  // sends them once it has let go.
  class Lock {
   public:
    Lock() {
      if (lockDepth++ > 0) return;
      for (int spin = 0; spin < kLockSpins; ++spin) {
        if (stackMutex().try_lock()) return;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
      }
      stackMutex().lock();
    }
    ~Lock() {
      if (--lockDepth > 0) return;
      std::vector<std::shared_ptr<SctpTransport>> produced;
      produced.swap(producers);
      stackMutex().unlock();
      if (moreInputWaiting) {
        hold(produced);
        return;
      }
      if (!deferred.empty()) {
        hold(produced);
        produced.clear();
        produced.swap(deferred);
      }
      for (const auto& transport : produced) transport->drainOutput();
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
  };

  // A loop reads the packets waiting on a socket one after another, and each SACK among them
  // lets usrsctp send a packet or two. Sent at once, that was a system call and a wake-up of the
  // peer's loop per packet or two; held while more input waits, it leaves as one batch with the
  // last packet's. A later turn of the shared loop sends them should that packet never come (it
  // may be one SCTP never sees, or belong to a connection that has gone).
  static void hold(const std::vector<std::shared_ptr<SctpTransport>>& produced) {
    for (const auto& transport : produced) {
      if (std::find(deferred.begin(), deferred.end(), transport) == deferred.end()) {
        deferred.push_back(transport);
      }
    }
    if (deferredBooked || deferred.empty()) return;
    deferredBooked = true;
    GlibLoop::shared().invoke([] {
      deferredBooked = false;
      std::vector<std::shared_ptr<SctpTransport>> due;
      due.swap(deferred);
      for (const auto& transport : due) transport->drainOutput();
    });
  }

  static int connOutput(void* address, void* buffer, size_t length, uint8_t, uint8_t) {
    if (auto self = lookup(address); self && self->callbacks_.sendPackets) {
      // usrsctp leaves the checksum to us (see initialiseOnce); the buffer is ours to write.
      SctpChecksum::stamp(static_cast<uint8_t*>(buffer), length);
      {
        std::lock_guard lock(self->outputMutex_);
        self->output_.bytes.insert(self->output_.bytes.end(), static_cast<uint8_t*>(buffer),
                                   static_cast<uint8_t*>(buffer) + length);
        self->output_.ends.push_back(self->output_.bytes.size());
      }
      if (std::find(producers.begin(), producers.end(), self) == producers.end()) {
        producers.push_back(std::move(self));
      }
    }
    return 0;
  }

  static int receive(struct socket*, union sctp_sockstore, void* data, size_t length,
                     struct sctp_rcvinfo info, int flags, void* ulp) {
    auto self = lookup(ulp);
    if (self) {
      if (data == nullptr) {
        if (self->callbacks_.onClosed) self->callbacks_.onClosed();
      } else if ((flags & MSG_NOTIFICATION) != 0) {
        self->handleNotification(static_cast<const uint8_t*>(data), length);
      } else {
        const MessageAssembler::Key key{info.rcv_sid, (info.rcv_flags & SCTP_UNORDERED) != 0,
                                        info.rcv_tsn};
        self->handleData(static_cast<const uint8_t*>(data), length, key, ntohl(info.rcv_ppid),
                         flags);
      }
    }
    std::free(data);  // usrsctp hands the buffer over
    return 1;
  }

  static int sendReady(struct socket*, uint32_t freeBytes, void* ulp) {
    auto self = lookup(ulp);
    if (!self) return 0;
    self->confirm(freeBytes);
    if (freeBytes >= kSendThreshold) self->flush();
    return 0;
  }

  static void initialiseOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
      {
        // Process-wide and never finished: connections come and go for the process's life.
        Lock lock;
        usrsctp_init_nothreads(0, connOutput, nullptr);
        usrsctp_sysctl_set_sctp_ecn_enable(0);
        // Outgoing checksums are computed in connOutput, faster than usrsctp does. Incoming
        // ones go unchecked: every packet arrives inside a DTLS record whose authentication
        // already proves it intact, which the checksum cannot add to.
        usrsctp_enable_crc32c_offload();
      }
      GlibLoop::shared().repeat(kTimerTick, [last = std::chrono::steady_clock::now()]() mutable {
        const auto now = std::chrono::steady_clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - last);
        last = now;
        Lock lock;
        usrsctp_handle_timers(static_cast<uint32_t>(elapsed.count()));
        return true;
      });
    });
  }
};

std::shared_ptr<SctpTransport> SctpTransport::create(const Settings& settings,
                                                     Callbacks callbacks) {
  Glue::initialiseOnce();
  std::shared_ptr<SctpTransport> self(new SctpTransport(settings, std::move(callbacks)));
  {
    std::lock_guard lock(registryMutex());
    registry()[self->id_] = self;
  }
  Glue::Lock lock;
  usrsctp_register_address(reinterpret_cast<void*>(self->id_));
  return self;
}

SctpTransport::SctpTransport(const Settings& settings, Callbacks callbacks)
    : settings_(settings),
      callbacks_(std::move(callbacks)),
      id_(nextId++),
      assembler_(settings.maxReceiveMessage) {}

SctpTransport::~SctpTransport() {
  {
    std::lock_guard lock(registryMutex());
    registry().erase(id_);
  }
  allQueuedCost -= queuedCost_;
  if (closed_) return;
  // Dropped without close(), possibly inside a usrsctp callback: close on the loop instead.
  struct socket* socket = socket_;
  const uintptr_t id = id_;
  GlibLoop::shared().invoke([socket, id] {
    Glue::Lock lock;
    if (socket != nullptr) usrsctp_close(socket);
    usrsctp_deregister_address(reinterpret_cast<void*>(id));
  });
}

bool SctpTransport::start() {
  Glue::Lock lock;
  if (socket_ != nullptr || closed_) return false;
  struct socket* s =
      usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, Glue::receive, Glue::sendReady,
                     kFreeSpaceReportThreshold, reinterpret_cast<void*>(id_));
  if (s == nullptr) return false;
  socket_ = s;
  usrsctp_set_non_blocking(s, 1);
  // Closing aborts at once: a graceful shutdown would keep the association alive for seconds.
  struct linger linger {
    1, 0
  };
  usrsctp_setsockopt(s, SOL_SOCKET, SO_LINGER, &linger, sizeof linger);
  struct sctp_assoc_value reset {};
  reset.assoc_id = SCTP_FUTURE_ASSOC;
  reset.assoc_value = SCTP_ENABLE_RESET_STREAM_REQ;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_ENABLE_STREAM_RESET, &reset, sizeof reset);
  int on = 1;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_NODELAY, &on, sizeof on);
  for (uint16_t type :
       {SCTP_ASSOC_CHANGE, SCTP_STREAM_RESET_EVENT, SCTP_SENDER_DRY_EVENT, SCTP_SHUTDOWN_EVENT}) {
    struct sctp_event event {};
    event.se_assoc_id = SCTP_FUTURE_ASSOC;
    event.se_type = type;
    event.se_on = 1;
    usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_EVENT, &event, sizeof event);
  }
  struct sctp_initmsg init {};
  init.sinit_num_ostreams = kStreamCount;
  init.sinit_max_instreams = kStreamCount;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_INITMSG, &init, sizeof init);
  struct sctp_paddrparams params {};
  params.spp_assoc_id = SCTP_FUTURE_ASSOC;
  params.spp_pathmtu = kSctpPathMtu;
  params.spp_hbinterval = static_cast<uint32_t>(settings_.heartbeatInterval.count());
  params.spp_pathmaxrxt = kMaxRetransmissions;
  params.spp_flags = SPP_PMTUD_DISABLE | SPP_HB_ENABLE;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_PEER_ADDR_PARAMS, &params, sizeof params);
  struct sctp_rtoinfo rto {};
  rto.srto_assoc_id = SCTP_FUTURE_ASSOC;
  rto.srto_initial = kRtoInitialMs;
  rto.srto_min = kRtoMinMs;
  rto.srto_max = kRtoMaxMs;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_RTOINFO, &rto, sizeof rto);
  struct sctp_assocparams association {};
  association.sasoc_assoc_id = SCTP_FUTURE_ASSOC;
  association.sasoc_asocmaxrxt = kMaxRetransmissions;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_ASSOCINFO, &association, sizeof association);
  // usrsctp trims the congestion window to what is in flight plus a few packets whenever one
  // SACK frees more than that. SACKs come in bunches here, as the loop thread reads the peer's
  // packets between its own bursts, so every bunch cut the window back to a few packets and
  // the association ran well below what the path carries. The window itself still bounds what
  // is in flight.
  struct sctp_assoc_value burst {};
  burst.assoc_id = SCTP_FUTURE_ASSOC;
  burst.assoc_value = 0;
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_MAX_BURST, &burst, sizeof burst);
  int buffer = kSocketBufferBytes;
  usrsctp_setsockopt(s, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
  // Once usrsctp holds part of a message as large as its partial delivery point, it hands that
  // part over, then any later messages of the same stream that are complete, and only then the
  // rest: a message that lost a packet on the way arrives after those sent behind it. With the
  // point above the largest message accepted, only messages refused anyway come in parts. It
  // is capped at half the receive buffer, which must therefore hold twice that.
  const uint32_t deliveryPoint = static_cast<uint32_t>(
      std::min<size_t>(settings_.maxReceiveMessage + 1, kMaxPartialDeliveryPoint));
  int receiveBuffer = std::max<int>(kSocketBufferBytes, static_cast<int>(2 * deliveryPoint));
  usrsctp_setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  usrsctp_setsockopt(s, IPPROTO_SCTP, SCTP_PARTIAL_DELIVERY_POINT, &deliveryPoint,
                     sizeof deliveryPoint);

  struct sockaddr_conn local {};
  local.sconn_family = AF_CONN;
  local.sconn_port = htons(settings_.localPort);
  local.sconn_addr = reinterpret_cast<void*>(id_);
  if (usrsctp_bind(s, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
    sctpLog("bind failed: " + std::string(std::strerror(errno)));
    return false;
  }
  // Both sides connect; SCTP resolves the simultaneous open, as WebRTC stacks expect.
  struct sockaddr_conn remote = local;
  remote.sconn_port = htons(settings_.remotePort);
  if (usrsctp_connect(s, reinterpret_cast<struct sockaddr*>(&remote), sizeof remote) != 0 &&
      errno != EINPROGRESS) {
    sctpLog("connect failed: " + std::string(std::strerror(errno)));
    return false;
  }
  GlibLoop::shared().repeat(SctpStallWatch::kCheckInterval, [weak = weak_from_this()] {
    const auto self = weak.lock();
    return self && self->checkProgress();
  });
  return true;
}

void SctpTransport::handlePacket(const uint8_t* data, size_t size, bool moreWaiting) {
  moreInputWaiting = moreWaiting && GlibLoop::shared().isLoopThread();
  {
    Glue::Lock lock;
    if (!closed_ && socket_ != nullptr) {
      // Read here, as usrsctp keeps it to itself: the one sign of progress on a path whose
      // acknowledgements come back but never cover the oldest chunk.
      // An older SACK overtaken on the path says nothing of the window now.
      if (const auto sack = SctpStallWatch::sackIn(data, size);
          sack && (!peerCumulativeAck_ ||
                   !SctpStallWatch::isAfter(*peerCumulativeAck_, sack->cumulativeAck))) {
        peerCumulativeAck_ = sack->cumulativeAck;
        peerWindow_.store(sack->advertisedWindow, std::memory_order_relaxed);
      }
      usrsctp_conninput(reinterpret_cast<void*>(id_), data, size, 0);
    }
  }
  moreInputWaiting = false;
}

SctpTransport::SendResult SctpTransport::send(uint16_t stream, uint32_t ppid, const uint8_t* data,
                                              size_t size, const Reliability& reliability) {
  if (size > kMaxMessageBytes) return SendResult::tooLarge;
  // Copied before taking the stack's lock, which the loop thread needs for every packet.
  Outgoing message{stream, ppid, std::vector<uint8_t>(data, data + size), reliability};
  Glue::Lock lock;
  if (closed_ || socket_ == nullptr) return SendResult::refused;
  // Anything already queued goes first, so messages never overtake each other.
  if (queue_.empty()) {
    const Attempt attempt = trySend(message);
    if (attempt == Attempt::complete) return SendResult::sent;
    if (attempt == Attempt::tooLarge) return SendResult::tooLarge;
    if (attempt == Attempt::failed) return SendResult::refused;
    if (closed_) return SendResult::refused;
    // Part of it is in SCTP already: the rest must follow whatever the buffer limit says.
    if (message.taken > 0) {
      queuedBytes_ += size - message.taken;
      addCost(size + kQueuedEntryCost);
      queue_.push_back(std::move(message));
      return SendResult::queued;
    }
  }
  if (closed_) return SendResult::refused;
  if (queuedCost_ + size + kQueuedEntryCost > settings_.maxBufferedBytes) return SendResult::full;
  queuedBytes_ += size;
  addCost(size + kQueuedEntryCost);
  queue_.push_back(std::move(message));
  return SendResult::queued;
}

SctpTransport::Attempt SctpTransport::trySend(Outgoing& message) {
  if (message.resetMarker) {
    queuedResets_.erase(message.stream);
    requestReset(message.stream);
    return Attempt::complete;
  }
  struct sctp_sendv_spa spa {};
  spa.sendv_flags = SCTP_SEND_SNDINFO_VALID;
  spa.sendv_sndinfo.snd_sid = message.stream;
  spa.sendv_sndinfo.snd_ppid = htonl(message.ppid);
  spa.sendv_sndinfo.snd_flags = SCTP_EOR;
  if (!message.reliability.ordered) spa.sendv_sndinfo.snd_flags |= SCTP_UNORDERED;
  if (message.reliability.maxRetransmits) {
    spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
    spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_RTX;
    spa.sendv_prinfo.pr_value = *message.reliability.maxRetransmits;
  } else if (message.reliability.maxPacketLifeTimeMs) {
    spa.sendv_flags |= SCTP_SEND_PRINFO_VALID;
    spa.sendv_prinfo.pr_policy = SCTP_PR_SCTP_TTL;
    spa.sendv_prinfo.pr_value = *message.reliability.maxPacketLifeTimeMs;
  }
  // Should usrsctp take only part of a message, it keeps the message open on its stream and the
  // next send there continues it: the rest goes out before anything else.
  const size_t remaining = message.bytes.size() - message.taken;
  // A new message waits here while what usrsctp holds, counted with its bookkeeping, would pass
  // its buffer: unless it holds nothing, so that any message may go.
  if (message.taken == 0 && !takenEnds_.empty() &&
      heldCost() + remaining + kSctpEntryCost > static_cast<uint64_t>(kSocketBufferBytes))
    return Attempt::blocked;
  const ssize_t sent = usrsctp_sendv(socket_, message.bytes.data() + message.taken, remaining,
                                     nullptr, 0, &spa, sizeof spa, SCTP_SENDV_SPA, 0);
  if (sent >= 0) {
    if (sent > 0) lastDataSent_ = StreamResetQueue::Clock::now();
    message.taken += static_cast<size_t>(sent);
    bytesTaken_ += static_cast<uint64_t>(sent);
    if (message.taken < message.bytes.size()) return Attempt::blocked;
    ++messagesSent_;
    bytesSent_ += message.bytes.size();
    takenEnds_.push_back(bytesTaken_);
    return Attempt::complete;
  }
  // Not "would block": waiting cannot make a message fit that exceeds the whole buffer.
  if (errno == EMSGSIZE && message.taken == 0) return Attempt::tooLarge;
  if (errno == EWOULDBLOCK || errno == EAGAIN || errno == ENOBUFS) return Attempt::blocked;
  // Any other refusal is final too; retried from the queue it would hold everything back.
  sctpLog("send failed: " + std::string(std::strerror(errno)));
  return message.taken == 0 ? Attempt::failed : Attempt::blocked;
}

void SctpTransport::flush() {
  Glue::Lock lock;
  if (flushing_ || closed_ || socket_ == nullptr) return;
  flushing_ = true;
  while (!queue_.empty()) {
    Outgoing& front = queue_.front();
    const size_t before = front.taken;
    const Attempt attempt = trySend(front);
    queuedBytes_ -= front.taken - before;
    if (attempt == Attempt::tooLarge || attempt == Attempt::failed) {
      // Left at the front it would hold back everything queued behind it, for good.
      RepeatedLog::shared().log(
          "datachannel queued message dropped", id_,
          [&] {
            return "datachannel: queued message of " + std::to_string(front.bytes.size()) +
                   " bytes dropped: " +
                   (attempt == Attempt::tooLarge ? "larger than the send buffer"
                                                 : "SCTP refused it");
          },
          OLogModule::webRTCClient);
      queuedBytes_ -= front.bytes.size() - front.taken;
      dropCost(front.bytes.size() + kQueuedEntryCost);
      queue_.pop_front();
      continue;
    }
    if (attempt != Attempt::complete) break;
    dropCost(front.bytes.size() + kQueuedEntryCost);
    queue_.pop_front();
  }
  flushing_ = false;
}

size_t SctpTransport::bufferedBytes() const {
  // Without the stack's lock: senders poll this while the loop thread holds it.
  return queuedBytes_.load(std::memory_order_relaxed);
}

void SctpTransport::confirm(uint32_t freeBytes) {
  // Called under the stack's lock, as every change to bytesTaken_ is made.
  const uint64_t held = kSocketBufferBytes - std::min<uint64_t>(freeBytes, kSocketBufferBytes);
  const uint64_t taken = bytesTaken_;
  const uint64_t confirmed = taken - std::min(taken, held);
  if (confirmed > bytesConfirmed_) bytesConfirmed_ = confirmed;
  while (!takenEnds_.empty() && takenEnds_.front() <= bytesConfirmed_) takenEnds_.pop_front();
}

uint64_t SctpTransport::heldCost() const {
  const uint64_t taken = bytesTaken_;
  return taken - std::min<uint64_t>(taken, bytesConfirmed_) + takenEnds_.size() * kSctpEntryCost;
}

size_t SctpTransport::unconfirmedBytes() const {
  if (ended_) return std::numeric_limits<size_t>::max();
  const uint64_t taken = bytesTaken_.load(std::memory_order_relaxed);
  const uint64_t confirmed = bytesConfirmed_.load(std::memory_order_relaxed);
  return queuedBytes_.load(std::memory_order_relaxed) +
         static_cast<size_t>(taken - std::min(taken, confirmed));
}

size_t SctpTransport::queuedCost() const { return queuedCost_.load(std::memory_order_relaxed); }

std::optional<uint32_t> SctpTransport::peerAdvertisedWindow() const {
  const int64_t window = peerWindow_.load(std::memory_order_relaxed);
  return window < 0 ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(window));
}

std::optional<SctpStatus> SctpTransport::status() {
  Glue::Lock lock;
  if (closed_ || socket_ == nullptr) return std::nullopt;
  return readStatus();
}

SctpStatus SctpTransport::readStatus() {
  SctpStatus result;
  struct sctp_status status {};
  socklen_t length = sizeof status;
  if (usrsctp_getsockopt(socket_, IPPROTO_SCTP, SCTP_STATUS, &status, &length) == 0) {
    result.state = status.sstat_state;
    result.peerReceiveWindow = status.sstat_rwnd;
    result.unacknowledgedChunks = status.sstat_unackdata;
    result.pendingChunks = status.sstat_penddata;
    result.congestionWindow = status.sstat_primary.spinfo_cwnd;
    result.smoothedRttMs = status.sstat_primary.spinfo_srtt;
    result.retransmissionTimeoutMs = status.sstat_primary.spinfo_rto;
  }
  struct sctp_assocparams association {};
  length = sizeof association;
  if (usrsctp_getsockopt(socket_, IPPROTO_SCTP, SCTP_ASSOCINFO, &association, &length) == 0) {
    result.localReceiveWindow = association.sasoc_local_rwnd;
  }
  struct sctp_timeouts timeouts {};
  length = sizeof timeouts;
  if (usrsctp_getsockopt(socket_, IPPROTO_SCTP, SCTP_TIMEOUTS, &timeouts, &length) == 0) {
    result.retransmissionTimeouts = timeouts.stimo_data;
  }
  result.peerCumulativeAck = peerCumulativeAck_;
  struct sctpstat counts {};
  usrsctp_get_stat(&counts);
  result.dataTimeouts = counts.sctps_timodata;
  result.windowProbeTimeouts = counts.sctps_timowindowprobe;
  result.retransmittedChunks = counts.sctps_sendretransdata;
  result.fastRetransmittedChunks = counts.sctps_sendfastretrans;
  result.duplicateChunksReceived = counts.sctps_recvdupdata;
  result.queuedBytes = queuedBytes_;
  result.queuedEntries = queue_.size();
  result.queuedCost = queuedCost_;
  result.messagesSent = messagesSent_;
  result.bytesSent = bytesSent_;
  result.messagesReceived = messagesReceived_;
  result.bytesReceived = bytesReceived_;
  return result;
}

bool SctpTransport::checkProgress() {
  std::string why;
  {
    Glue::Lock lock;
    if (closed_ || socket_ == nullptr) return false;
    const SctpStatus status = readStatus();
    const SctpStallWatch::Sample sample{SctpStallWatch::Clock::now(), status.unacknowledgedChunks,
                                        status.peerCumulativeAck, status.retransmissionTimeouts};
    if (!stallWatch_.observe(sample)) return true;
    why = std::to_string(status.unacknowledgedChunks) +
          " chunks unacknowledged, with neither acknowledgement progress nor a retransmission "
          "timeout for " +
          std::to_string(stallWatch_.stalledFor().count()) + " ms; " + status.describe();
  }
  if (callbacks_.onStuck) callbacks_.onStuck(why);
  return false;
}

void SctpTransport::resetStream(uint16_t stream) {
  Glue::Lock lock;
  if (closed_ || socket_ == nullptr) return;
  // Messages still queued for the stream go out before the reset that closes it.
  Outgoing marker{stream, 0, {}, {}, true};
  if (queue_.empty()) {
    requestReset(stream);
  } else if (queuedResets_.insert(stream).second) {
    // Not held to maxBufferedBytes: one marker a stream at most.
    addCost(kQueuedEntryCost);
    queue_.push_back(std::move(marker));
  }
}

void SctpTransport::requestReset(uint16_t stream) {
  resets_.add(stream, StreamResetQueue::Clock::now());
  requestDueResets();
}

bool SctpTransport::allAcknowledged() {
  struct sctp_status status {};
  socklen_t length = sizeof status;
  if (usrsctp_getsockopt(socket_, IPPROTO_SCTP, SCTP_STATUS, &status, &length) != 0) return false;
  return status.sstat_unackdata == 0;
}

void SctpTransport::requestDueResets() {
  if (closed_ || socket_ == nullptr || !resets_.due()) return;
  const auto now = StreamResetQueue::Clock::now();
  // Messages still queued here are data that will follow the request, however slowly SCTP
  // takes them.
  const auto lastDataSent = queue_.empty() ? lastDataSent_ : now;
  const auto streams = resets_.take(allAcknowledged(), lastDataSent, now);
  if (!streams.empty()) {
    std::vector<uint8_t> storage(sizeof(struct sctp_reset_streams) +
                                 streams.size() * sizeof(uint16_t));
    auto* reset = reinterpret_cast<struct sctp_reset_streams*>(storage.data());
    reset->srs_assoc_id = SCTP_ALL_ASSOC;
    reset->srs_flags = SCTP_STREAM_RESET_OUTGOING;
    reset->srs_number_streams = static_cast<uint16_t>(streams.size());
    std::copy(streams.begin(), streams.end(), reset->srs_stream_list);
    // usrsctp reports only the failures it finds before building the request (no such stream,
    // an association not open, a peer without stream resets); nothing is outstanding then.
    if (usrsctp_setsockopt(socket_, IPPROTO_SCTP, SCTP_RESET_STREAMS, reset,
                           static_cast<socklen_t>(storage.size())) != 0) {
      sctpLog("stream reset refused: " + std::string(std::strerror(errno)));
      logGivenUp(resets_.settle(streams, true, now));
    }
  }
  if (!resets_.due() || resetCheckBooked_) return;
  // Acknowledgements may come without a sender-dry event.
  resetCheckBooked_ = true;
  GlibLoop::shared().repeat(kResetCheckInterval, [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self) return false;
    Glue::Lock lock;
    self->requestDueResets();
    if (self->closed_ || !self->resets_.due()) {
      self->resetCheckBooked_ = false;
      return false;
    }
    return true;
  });
}

void SctpTransport::close() {
  {
    Glue::Lock lock;
    if (closed_) return;
    closed_ = true;
    ended_ = true;
    queue_.clear();
    queuedResets_.clear();
    queuedBytes_ = 0;
    dropCost(queuedCost_);
    // The abort goes out through connOutput while the transport is still registered.
    if (socket_ != nullptr) usrsctp_close(socket_);
    socket_ = nullptr;
    {
      std::lock_guard registryLock(registryMutex());
      registry().erase(id_);
    }
    usrsctp_deregister_address(reinterpret_cast<void*>(id_));
  }
  // Now rather than at the loop's next turn: the caller closes DTLS next.
  drainOutput();
}

void SctpTransport::drainOutput() {
  std::unique_lock lock(outputMutex_);
  // Another thread is sending this transport's packets: it takes these too, in order.
  if (draining_) return;
  draining_ = true;
  while (!output_.ends.empty()) {
    std::swap(output_, sending_);
    lock.unlock();
    callbacks_.sendPackets(sending_.bytes.data(), sending_.ends);
    // Cleared, not freed: the next window reuses the memory.
    sending_.bytes.clear();
    sending_.ends.clear();
    lock.lock();
  }
  draining_ = false;
}

void SctpTransport::handleData(const uint8_t* data, size_t size, const MessageAssembler::Key& key,
                               uint32_t ppid, int flags) {
  std::vector<uint8_t> message;
  MessageAssembler::Outcome outcome;
  {
    std::lock_guard lock(receiveMutex_);
    outcome = assembler_.add(key, data, size, (flags & MSG_EOR) != 0, message);
  }
  if (outcome == MessageAssembler::Outcome::oversized) {
    // The peer chooses how many it sends.
    RepeatedLog::shared().log(
        "datachannel received message oversized", id_,
        [&] {
          return "datachannel: received message refused: larger than " +
                 std::to_string(settings_.maxReceiveMessage) + " bytes";
        },
        OLogModule::webRTCClient);
  } else if (outcome == MessageAssembler::Outcome::complete) {
    ++messagesReceived_;
    bytesReceived_ += message.size();
    if (callbacks_.onMessage) callbacks_.onMessage(key.stream, ppid, std::move(message));
  }
}

void SctpTransport::handleNotification(const uint8_t* data, size_t size) {
  const auto notification = SctpNotification::parse(data, size);
  if (!notification) return;
  switch (notification->kind) {
    case SctpNotification::Kind::associationUp:
      if (callbacks_.onConnected) callbacks_.onConnected();
      break;
    case SctpNotification::Kind::associationDown:
      if (callbacks_.onClosed) callbacks_.onClosed();
      break;
    case SctpNotification::Kind::senderDry:
      // Everything usrsctp took is acknowledged.
      bytesConfirmed_ = bytesTaken_.load();
      takenEnds_.clear();
      flush();
      requestDueResets();
      break;
    case SctpNotification::Kind::outgoingStreamsReset:
      if (notification->refused) sctpLog("the peer refused a stream reset");
      logGivenUp(resets_.settle(notification->streams, notification->refused,
                                StreamResetQueue::Clock::now()));
      requestDueResets();
      break;
    case SctpNotification::Kind::incomingStreamsReset: {
      {
        // The peer reset its side of these streams once we held all it sent before: a message
        // still part-way here was abandoned and will never end.
        std::lock_guard lock(receiveMutex_);
        for (const uint16_t stream : notification->streams) assembler_.dropStream(stream);
      }
      if (callbacks_.onStreamsReset) callbacks_.onStreamsReset(notification->streams);
      break;
    }
  }
}

}  // namespace ombrelia::datachannel
