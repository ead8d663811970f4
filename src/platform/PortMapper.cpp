#include "platform/PortMapper.hpp"

#include <arpa/inet.h>
#include <natpmp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <mutex>
#include <thread>

#include "platform/Backoff.hpp"

namespace ombrelia::platform {

namespace {

std::atomic<int> gMaxAttempts{PortMapper::kMaxAttempts};

// A refused or unanswered round is retried at once, then after growing pauses: a gateway that
// says no keeps saying no, and asking it every few seconds for hours helps nobody.
constexpr Backoff::Settings kRetrySettings{.initialDelay = std::chrono::seconds(5),
                                           .maxDelay = std::chrono::minutes(15)};

// What ended a wait.
enum class Wake { readable, timeout, stopped };

// What an exchange gives besides libnatpmp's codes (0 for an answer, negative for an error).
constexpr int kStopped = 1;

bool operator==(const PortMapper::Update& a, const PortMapper::Update& b) {
  return a.error == b.error && a.publicAddress == b.publicAddress && a.publicPort == b.publicPort;
}

}  // namespace

struct PortMapper::Impl {
  // The socket is ours to close whatever initnatpmp returns: libnatpmp leaves it open when it
  // fails after making it (no default gateway, fcntl, connect). -1 once closed.
  natpmp_t natpmp{};
  int wake = -1;  // an eventfd that stop() makes readable
  uint16_t port = 0;
  UpdateHandler onUpdate;
  std::thread thread;
  // Touched by the mapper's thread only.
  bool mappingAsked = false;
  bool reported = false;
  Update last;

  Impl() { natpmp.s = -1; }
  ~Impl() {
    closeSocket();
    if (wake >= 0) ::close(wake);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void closeSocket() {
    if (natpmp.s < 0) return;
    closenatpmp(&natpmp);
    natpmp.s = -1;
  }

  // Waits for an answer on the socket, for stop(), or for the time to pass.
  Wake waitFor(std::chrono::milliseconds timeout, bool watchSocket, bool watchStop) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      pollfd fds[2] = {{.fd = wake, .events = POLLIN, .revents = 0},
                       {.fd = natpmp.s, .events = POLLIN, .revents = 0}};
      pollfd* first = watchStop ? &fds[0] : &fds[1];
      const nfds_t count = static_cast<nfds_t>(watchStop) + static_cast<nfds_t>(watchSocket);
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      const int ms = static_cast<int>(std::clamp<int64_t>(left.count(), 0, INT_MAX));
      const int ready = ::poll(first, count, ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return Wake::timeout;
      if (watchStop && fds[0].revents != 0) return Wake::stopped;
      return Wake::readable;
    }
  }

  // Sends a request and waits for its answer, retransmitting on libnatpmp's schedule. Gives 0
  // with the answer, libnatpmp's negative error, or kStopped.
  template <typename Send, typename Matches>
  int exchange(Send send, Matches expected, natpmpresp_t& response, int maxAttempts,
               bool stoppable) {
    int strays = 0;
    if (const int sent = send(); sent < 0) return sent;
    for (;;) {
      timeval left{};
      if (const int r = getnatpmprequesttimeout(&natpmp, &left); r < 0) return r;
      const auto wait =
          left.tv_sec < 0
              ? std::chrono::milliseconds(0)
              : std::chrono::ceil<std::chrono::milliseconds>(
                    std::chrono::seconds(left.tv_sec) + std::chrono::microseconds(left.tv_usec));
      const Wake woke = waitFor(wait, true, stoppable);
      if (woke == Wake::stopped) return kStopped;
      if (woke == Wake::timeout && natpmp.try_number >= maxAttempts) {
        return NATPMP_ERR_NOGATEWAYSUPPORT;
      }
      const int r = readnatpmpresponseorretry(&natpmp, &response);
      // A datagram from another address than the gateway's is not an answer.
      if (r == NATPMP_TRYAGAIN || r == NATPMP_ERR_WRONGPACKETSOURCE) continue;
      if (r < 0) return r;
      if (expected(response)) return 0;
      // A late answer to an earlier request: libnatpmp has dropped ours, so ask again. Bounded,
      // so that a gateway answering only the wrong question cannot keep us here.
      if (++strays >= maxAttempts) return NATPMP_ERR_UNDEFINEDERROR;
      if (const int sent = send(); sent < 0) return sent;
    }
  }

  void report(const Update& update) {
    // Renewals that change nothing are no news.
    if (reported && update == last) return;
    reported = true;
    last = update;
    if (onUpdate) onUpdate(update);
  }

  void run() {
    Backoff backoff(kRetrySettings);
    for (;;) {
      const int attempts = gMaxAttempts.load(std::memory_order_relaxed);
      Update update;
      natpmpresp_t response{};
      int r = exchange(
          [this] { return sendpublicaddressrequest(&natpmp); },
          [](const natpmpresp_t& answer) { return answer.type == NATPMP_RESPTYPE_PUBLICADDRESS; },
          response, attempts, true);
      if (r == kStopped) break;
      if (r == 0) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof(text));
        update.publicAddress = text;
        mappingAsked = true;
        r = exchange(
            [this] {
              return sendnewportmappingrequest(&natpmp, NATPMP_PROTOCOL_TCP, port, port,
                                               kDefaultLifetimeSeconds);
            },
            [this](const natpmpresp_t& answer) {
              return answer.type == NATPMP_RESPTYPE_TCPPORTMAPPING &&
                     answer.pnu.newportmapping.privateport == port;
            },
            response, attempts, true);
        if (r == kStopped) break;
      }
      std::chrono::milliseconds pause{};
      if (r == 0) {
        update.publicPort = response.pnu.newportmapping.mappedpublicport;
        pause = std::max<std::chrono::milliseconds>(
            std::chrono::seconds(response.pnu.newportmapping.lifetime / 2), kMinRenewInterval);
        backoff.reset();
      } else {
        update = Update{};
        update.error = r;
        pause = backoff.nextDelay();
      }
      report(update);
      if (waitFor(pause, false, true) == Wake::stopped) break;
    }
    if (mappingAsked) {
      // Lifetime 0 deletes; the suggested public port must then be 0 too.
      natpmpresp_t response{};
      exchange(
          [this] { return sendnewportmappingrequest(&natpmp, NATPMP_PROTOCOL_TCP, port, 0, 0); },
          [this](const natpmpresp_t& answer) {
            return answer.type == NATPMP_RESPTYPE_TCPPORTMAPPING &&
                   answer.pnu.newportmapping.privateport == port;
          },
          response, kDeleteAttempts, false);
    }
    closeSocket();
  }
};

Expected<std::shared_ptr<PortMapper>, int> PortMapper::create(uint16_t privatePort,
                                                              UpdateHandler onUpdate) {
  auto impl = std::make_unique<Impl>();
  impl->port = privatePort;
  impl->onUpdate = std::move(onUpdate);
  if (const int r = initnatpmp(&impl->natpmp, 0, 0); r < 0) return r;
  impl->wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (impl->wake < 0) return NATPMP_ERR_SOCKETERROR;
  Impl* raw = impl.get();
  // The thread uses the state until stop() joins it, which the owner does before freeing it.
  impl->thread = std::thread([raw] { raw->run(); });
  return std::shared_ptr<PortMapper>(new PortMapper(std::move(impl)));
}

PortMapper::PortMapper(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

PortMapper::~PortMapper() { stop(); }

void PortMapper::stop() {
  if (!impl_->thread.joinable()) return;
  const uint64_t one = 1;
  (void)!::write(impl_->wake, &one, sizeof(one));
  impl_->thread.join();
}

void PortMapper::setMaxAttemptsForTesting(int attempts) {
  gMaxAttempts.store(attempts, std::memory_order_relaxed);
}

}  // namespace ombrelia::platform
