#include "datachannel/IceTransport.hpp"

#include <gio/gio.h>
#include <glib.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <nice/agent.h>
#include <nice/interfaces.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <ombrelia/OmbreliaLogger.hpp>

#include "datachannel/GlibLoop.hpp"
#include "datachannel/SdpParser.hpp"
#include "datachannel/StunHostCache.hpp"
#include "datachannel/StunQueryBudget.hpp"

namespace ombrelia::datachannel {
namespace {
constexpr guint kComponent = 1;
// Milliseconds between two connectivity checks (the ICE pacing interval Ta); RFC 8445 puts its
// floor at 5 ms.
constexpr guint kCheckPacingMs = 5;
// Kernel buffers of the UDP socket that carries the data. The loop thread that reads it also
// sends, and SCTP sends in bursts of a congestion window: the default 208 KiB holds fewer than
// a hundred packets, and every packet dropped there costs SCTP a halved window. The kernel caps
// the request at its own maximum.
constexpr int kUdpBufferBytes = 4 * 1024 * 1024;
// Messages handed to one sendmmsg call: a congestion window's worth comes in a few calls.
constexpr size_t kMaxDatagramsPerCall = 64;
// What the kernel takes as one segmented send: at most 64 datagrams, and no more bytes than one
// UDP datagram could carry.
constexpr size_t kMaxSegments = 64;
constexpr size_t kMaxSegmentedBytes = 65000;
// The kernel's ways of refusing a segmented send: no offload on this device or kernel, or
// (EMSGSIZE) a segment plus its headers larger than the path's MTU, which segmentation may not
// fragment while a single datagram may.
bool refusesSegmentation(int error) {
  return error == EIO || error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP ||
         error == EMSGSIZE;
}

// The name libnice gives the timer that sends its connectivity checks.
constexpr const char* kCheckTimerName = "Connectivity check schedule";

// The id the loop's context gives the next source attached to it: ids only ever rise.
guint nextSourceId() {
  GSource* probe = g_idle_source_new();
  const guint id = g_source_attach(probe, GlibLoop::shared().context());
  g_source_destroy(probe);
  g_source_unref(probe);
  return id;
}

// libnice starts its check timer when the first candidate pair forms and sends the first check
// only when the timer first fires, one pacing interval later; with both sides doing so, that
// interval was most of a loopback set-up. The first check follows no other, so pacing asks
// nothing of it: a check timer that `change` created is made due at once, and its later ticks
// keep the pacing. Should libnice name its timer differently, checks simply start a tick later.
template <typename Change>
auto withFirstCheckAtOnce(Change change) {
  const guint before = nextSourceId();
  auto result = change();
  const guint after = nextSourceId();
  GMainContext* context = GlibLoop::shared().context();
  for (guint id = before + 1; id < after; ++id) {
    GSource* source = g_main_context_find_source_by_id(context, id);
    const char* name = source != nullptr ? g_source_get_name(source) : nullptr;
    if (name != nullptr && g_strcmp0(name, kCheckTimerName) == 0) {
      g_source_set_ready_time(source, 0);
    }
  }
  return result;
}
}  // namespace

// Carries a weak reference into libnice's C callbacks; freed on the loop thread once the
// agent's handlers are gone, so a callback never sees a dead transport.
struct IceTransport::Relay {
  std::weak_ptr<IceTransport> transport;

  static void onCandidate(NiceAgent*, NiceCandidate* candidate, gpointer data) {
    if (auto self = static_cast<Relay*>(data)->transport.lock()) self->handleCandidate(candidate);
  }
  static void onGatheringDone(NiceAgent*, guint, gpointer data) {
    if (auto self = static_cast<Relay*>(data)->transport.lock()) self->handleGatheringDone();
  }
  static void onComponentState(NiceAgent*, guint, guint component, guint state, gpointer data) {
    if (component != kComponent) return;
    if (auto self = static_cast<Relay*>(data)->transport.lock()) self->handleComponentState(state);
  }
  static void onLearnedCandidate(NiceAgent*, NiceCandidate*, gpointer data) {
    if (auto self = static_cast<Relay*>(data)->transport.lock()) self->handleLearnedCandidate();
  }
  static void onSelectedPair(NiceAgent*, guint, guint component, NiceCandidate*, NiceCandidate*,
                             gpointer data) {
    if (component != kComponent) return;
    if (auto self = static_cast<Relay*>(data)->transport.lock()) self->refreshDirectPath();
  }
  static void onReceive(NiceAgent*, guint, guint, guint size, gchar* buffer, gpointer data) {
    if (auto self = static_cast<Relay*>(data)->transport.lock()) {
      self->handlePacket(reinterpret_cast<const uint8_t*>(buffer), size);
    }
  }

  // Detaches every handler and drops the agent; `whenGone`, if any, runs once the agent is
  // finalised. Loop thread only.
  static void release(NiceAgent* agent, guint streamId, Relay* relay,
                      std::function<void()> whenGone = {}) {
    if (agent != nullptr) {
      if (streamId != 0) {
        nice_agent_attach_recv(agent, streamId, kComponent, GlibLoop::shared().context(), nullptr,
                               nullptr);
      }
      g_signal_handlers_disconnect_by_data(agent, relay);
      // The asynchronous close and libnice's own sources hold the agent for a while; its sockets
      // and the context of its component close only as the last of them lets it go.
      if (whenGone) {
        g_object_weak_ref(G_OBJECT(agent), onFinalised,
                          new std::function<void()>(std::move(whenGone)));
      }
      nice_agent_close_async(agent, nullptr, nullptr);
      g_object_unref(agent);
    } else if (whenGone) {
      whenGone();
    }
    delete relay;
  }

  static void onFinalised(gpointer data, GObject*) {
    std::unique_ptr<std::function<void()>> whenGone(static_cast<std::function<void()>*>(data));
    (*whenGone)();
  }
};

std::shared_ptr<IceTransport> IceTransport::create(const Settings& settings, Callbacks callbacks) {
  std::shared_ptr<IceTransport> self(new IceTransport(std::move(callbacks)));
  // Trickle: checks wait for remote candidates instead of failing while none are known yet.
  // No consent freshness: libnice sends one check every few seconds without retransmitting it
  // and withdraws consent 10 s after the last answer, so two lost datagrams in a row fail a
  // connection that SCTP would carry on; at a few percent loss that happens within minutes.
  // The connection watches the peer itself instead: SCTP heartbeats keep packets coming, and
  // a silence longer than the consent timeout reports the peer lost (PeerConnectionCore).
  // Checks from the peer's own consent freshness are still answered.
  NiceAgent* agent = nice_agent_new_full(GlibLoop::shared().context(), NICE_COMPATIBILITY_RFC5245,
                                         NICE_AGENT_OPTION_ICE_TRICKLE);
  if (agent == nullptr) return nullptr;
  // UPnP would send multicast onto the network. TCP candidates are not gathered: the rest of
  // the framework handles UDP ones only.
  g_object_set(agent, "upnp", FALSE, "controlling-mode", settings.controlling ? TRUE : FALSE,
               "ice-tcp", FALSE, "ice-udp", TRUE, nullptr);
  // libnice sends one check per pacing tick (20 ms by default) and the first only at the first
  // tick; a connection needs two or three ticks, which made set-up several times slower than
  // other stacks'.
  g_object_set(agent, "stun-pacing-timer", kCheckPacingMs, nullptr);
  // libnice takes one STUN server, as an IP address, given when gathering starts (gather()).
  if (!settings.stunServers.empty()) self->stunServer_ = settings.stunServers.front();
  if (settings.bindAddress) {
    // Adding an address explicitly is also the only way libnice uses loopback.
    NiceAddress address;
    if (!nice_address_set_from_string(&address, settings.bindAddress->c_str()) ||
        !nice_agent_add_local_address(agent, &address)) {
      OmbreliaLogger::error("datachannel: unusable bind address " + *settings.bindAddress,
                            OLogModule::webRTCClient);
      g_object_unref(agent);
      return nullptr;
    }
  } else {
    // The addresses the connection was counted with, and no others: left to itself, libnice
    // would look them up again when gathering starts and take any that appeared meanwhile.
    size_t added = 0;
    for (const std::string& text : settings.localAddresses) {
      NiceAddress address;
      if (nice_address_set_from_string(&address, text.c_str()) &&
          nice_agent_add_local_address(agent, &address)) {
        ++added;
      } else {
        OmbreliaLogger::debug("datachannel: local address not usable, skipped: " + text,
                              OLogModule::webRTCClient);
      }
    }
    self->nothingToGatherOn_ = added == 0;
  }
  self->relay_ = new Relay{self};
  self->agent_ = agent;
  g_signal_connect(agent, "new-candidate-full", G_CALLBACK(Relay::onCandidate), self->relay_);
  g_signal_connect(agent, "candidate-gathering-done", G_CALLBACK(Relay::onGatheringDone),
                   self->relay_);
  g_signal_connect(agent, "component-state-changed", G_CALLBACK(Relay::onComponentState),
                   self->relay_);
  g_signal_connect(agent, "new-selected-pair-full", G_CALLBACK(Relay::onSelectedPair),
                   self->relay_);
  // Fired only for candidates libnice adds by itself, never for those we hand it.
  g_signal_connect(agent, "new-remote-candidate-full", G_CALLBACK(Relay::onLearnedCandidate),
                   self->relay_);
  self->streamId_ = nice_agent_add_stream(agent, 1);
  if (self->streamId_ == 0) return nullptr;
  if (settings.portRangeBegin != 0 || settings.portRangeEnd != 0) {
    nice_agent_set_port_range(agent, self->streamId_, kComponent, settings.portRangeBegin,
                              settings.portRangeEnd);
  }
  nice_agent_attach_recv(agent, self->streamId_, kComponent, GlibLoop::shared().context(),
                         Relay::onReceive, self->relay_);
  gchar* ufrag = nullptr;
  gchar* pwd = nullptr;
  if (!nice_agent_get_local_credentials(agent, self->streamId_, &ufrag, &pwd)) return nullptr;
  self->localUfrag_ = ufrag;
  self->localPwd_ = pwd;
  g_free(ufrag);
  g_free(pwd);
  return self;
}

IceTransport::IceTransport(Callbacks callbacks) : callbacks_(std::move(callbacks)) {}

std::vector<std::string> IceTransport::localAddresses(const std::optional<std::string>& bindAddress,
                                                      std::optional<size_t> maxSockets) {
  std::vector<std::string> addresses;
  if (bindAddress) {
    addresses.push_back(*bindAddress);
  } else {
    GList* found = nice_interfaces_get_local_ips(FALSE);
    for (GList* item = found; item != nullptr; item = item->next) {
      addresses.emplace_back(static_cast<const char*>(item->data));
    }
    g_list_free_full(found, g_free);
  }
  if (maxSockets) {
    const size_t fit = *maxSockets > socketsFor(0) ? *maxSockets - socketsFor(0) : 0;
    if (addresses.size() > fit) addresses.resize(fit);
  }
  return addresses;
}

IceTransport::~IceTransport() {
  dropDirectPath();
  if (closed_ || (agent_ == nullptr && relay_ == nullptr)) return;
  // Destroyed off the loop thread without close(): release the agent there.
  NiceAgent* agent = agent_;
  Relay* relay = relay_;
  const guint stream = streamId_;
  GlibLoop::shared().invoke([agent, stream, relay] { Relay::release(agent, stream, relay); });
}

std::vector<SdpCandidate> IceTransport::localCandidates() const { return localCandidates_; }

bool IceTransport::gather() {
  if (agent_ == nullptr) return false;
  // No candidate could come of it, and libnice would go looking for addresses by itself.
  if (nothingToGatherOn_) return true;
  if (!stunServer_) return nice_agent_gather_candidates(agent_, streamId_);
  if (!StunQueryBudget::shared().take()) {
    OmbreliaLogger::debug(
        "datachannel: gathering without the STUN server: the process queried it as often as it "
        "may for now",
        OLogModule::webRTCClient);
    return nice_agent_gather_candidates(agent_, streamId_);
  }
  // Gathering waits for the server's address so the server-reflexive candidate is not missed;
  // host candidates then trickle.
  StunHostCache::shared().resolve(
      stunServer_->host, [weak = weak_from_this()](std::optional<std::string> address) {
        const auto self = weak.lock();
        if (!self || self->agent_ == nullptr) return;
        if (address) {
          g_object_set(self->agent_, "stun-server", address->c_str(), "stun-server-port",
                       static_cast<guint>(self->stunServer_->port), nullptr);
        }
        nice_agent_gather_candidates(self->agent_, self->streamId_);
      });
  return true;
}

bool IceTransport::setRemoteCredentials(const std::string& ufrag, const std::string& pwd) {
  if (agent_ == nullptr) return false;
  // Checks that arrived before the credentials may be answered now.
  return withFirstCheckAtOnce([&] {
    return nice_agent_set_remote_credentials(agent_, streamId_, ufrag.c_str(), pwd.c_str());
  });
}

bool IceTransport::addRemoteCandidate(const SdpCandidate& candidate) {
  if (agent_ == nullptr || candidate.component != static_cast<int>(kComponent) ||
      candidate.transport != "udp") {
    return false;
  }
  NiceAddress address;
  // Host names, the mDNS ".local" names of browsers included, are never resolved: resolving
  // would query the network. The peer's other candidates still connect.
  if (!nice_address_set_from_string(&address, candidate.address.c_str())) return false;
  nice_address_set_port(&address, candidate.port);
  NiceCandidateType type = NICE_CANDIDATE_TYPE_HOST;
  if (candidate.type == "srflx") {
    type = NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE;
  } else if (candidate.type == "prflx") {
    type = NICE_CANDIDATE_TYPE_PEER_REFLEXIVE;
  } else if (candidate.type == "relay") {
    type = NICE_CANDIDATE_TYPE_RELAYED;
  }
  NiceCandidate* nice = nice_candidate_new(type);
  nice->stream_id = streamId_;
  nice->component_id = kComponent;
  nice->transport = NICE_CANDIDATE_TRANSPORT_UDP;
  nice->priority = candidate.priority;
  nice->addr = address;
  g_strlcpy(nice->foundation, candidate.foundation.c_str(), NICE_CANDIDATE_MAX_FOUNDATION);
  GSList* list = g_slist_append(nullptr, nice);
  const int added = withFirstCheckAtOnce(
      [&] { return nice_agent_set_remote_candidates(agent_, streamId_, kComponent, list); });
  g_slist_free(list);
  nice_candidate_free(nice);
  return added > 0;
}

size_t IceTransport::remoteCandidateCount() const {
  if (agent_ == nullptr) return 0;
  GSList* held = nice_agent_get_remote_candidates(agent_, streamId_, kComponent);
  const size_t count = g_slist_length(held);
  g_slist_free_full(held, reinterpret_cast<GDestroyNotify>(nice_candidate_free));
  return count;
}

void IceTransport::remoteGatheringDone() {
  if (agent_ != nullptr) nice_agent_peer_candidate_gathering_done(agent_, streamId_);
}

void IceTransport::setControlling(bool controlling) {
  if (agent_ != nullptr)
    g_object_set(agent_, "controlling-mode", controlling ? TRUE : FALSE, nullptr);
}

bool IceTransport::send(const uint8_t* data, size_t size) {
  std::lock_guard lock(sendMutex_);
  if (agent_ == nullptr || closed_) return false;
  return nice_agent_send(agent_, streamId_, kComponent, static_cast<guint>(size),
                         reinterpret_cast<const gchar*>(data)) >= 0;
}

bool IceTransport::sendAll(const uint8_t* bytes, const std::vector<size_t>& ends) {
  std::lock_guard lock(sendMutex_);
  if (agent_ == nullptr || closed_) return false;
  if (directSocket_ == nullptr) {
    bool all = true;
    size_t start = 0;
    for (const size_t end : ends) {
      all = nice_agent_send(agent_, streamId_, kComponent, static_cast<guint>(end - start),
                            reinterpret_cast<const gchar*>(bytes + start)) >= 0 &&
            all;
      start = end;
    }
    // The agent keeps its reason to itself.
    if (!all) reportSendError(0, "datagrams dropped by the ICE agent");
    return all;
  }
  const int fd = g_socket_get_fd(directSocket_);
  bool all = true;
  size_t index = 0;
  size_t start = 0;
  while (index < ends.size()) {
    struct mmsghdr messages[kMaxDatagramsPerCall] = {};
    struct iovec vectors[kMaxDatagramsPerCall];
    alignas(struct cmsghdr) char controls[kMaxDatagramsPerCall][CMSG_SPACE(sizeof(uint16_t))];
    size_t firstOf[kMaxDatagramsPerCall];  // each message's first datagram
    size_t count = 0;
    for (; count < kMaxDatagramsPerCall && index < ends.size(); ++count) {
      firstOf[count] = index;
      // A run of datagrams of one size, the last possibly shorter, goes down the stack as one
      // (UDP segmentation offload); the kernel cuts it back into the same datagrams.
      const size_t size = ends[index] - start;
      size_t last = index + 1;
      if (segmentation_) {
        const size_t most = std::min(kMaxSegments, kMaxSegmentedBytes / std::max<size_t>(size, 1));
        while (last < ends.size() && last - index < most && ends[last] - ends[last - 1] == size) {
          ++last;
        }
        if (last < ends.size() && last - index < most && ends[last] - ends[last - 1] < size) ++last;
      }
      vectors[count] = iovec{const_cast<uint8_t*>(bytes + start), ends[last - 1] - start};
      struct msghdr& header = messages[count].msg_hdr;
      header.msg_name = &directPeer_;
      header.msg_namelen = directPeerLength_;
      header.msg_iov = &vectors[count];
      header.msg_iovlen = 1;
      if (last - index > 1) {
        header.msg_control = controls[count];
        header.msg_controllen = sizeof controls[count];
        struct cmsghdr* control = CMSG_FIRSTHDR(&header);
        control->cmsg_level = SOL_UDP;
        control->cmsg_type = UDP_SEGMENT;
        control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const auto segment = static_cast<uint16_t>(size);
        std::memcpy(CMSG_DATA(control), &segment, sizeof segment);
      }
      start = ends[last - 1];
      index = last;
    }
    const int sent = sendmmsg(fd, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
    const auto resumeAt = [&](size_t message) {
      index = firstOf[message];
      start = index == 0 ? 0 : ends[index - 1];
    };
    if (sent > 0 && sent < static_cast<int>(count)) {
      // The kernel keeps the reason for the first message it refused to itself: ask again from
      // there, and that call says why.
      resumeAt(static_cast<size_t>(sent));
    } else if (sent < 0 && messages[0].msg_hdr.msg_control != nullptr &&
               refusesSegmentation(errno)) {
      // No segmentation offload on this path or kernel: one datagram per message from now on.
      reportSendError(errno, "segmented send refused, sending datagram by datagram");
      segmentation_ = false;
      resumeAt(0);
    } else if (sent < 0) {
      // Non-blocking: what the socket's buffer cannot take is lost, as a datagram lost on the
      // way would be, and SCTP sends it again.
      if (errno != EAGAIN && errno != EWOULDBLOCK) reportSendError(errno, "datagrams dropped");
      all = false;
    }
  }
  return all;
}

void IceTransport::reportSendError(int error, const char* what) {
  // Once per cause and connection: a persistent cause recurs on every batch.
  if (std::find(reportedSendErrors_.begin(), reportedSendErrors_.end(), error) !=
      reportedSendErrors_.end()) {
    return;
  }
  reportedSendErrors_.push_back(error);
  std::string line = "datachannel: " + std::string(what);
  if (error != 0) line += std::string(": ") + std::strerror(error);
  OmbreliaLogger::error(line, OLogModule::webRTCClient);
}

bool IceTransport::inputWaiting() const {
  // Without sendMutex_, which a sender may hold through a long batch: only this thread changes
  // directSocket_.
  if (directSocket_ == nullptr) return false;
  int bytes = 0;
  return ioctl(g_socket_get_fd(directSocket_), FIONREAD, &bytes) == 0 && bytes > 0;
}

void IceTransport::refreshDirectPath() {
  if (agent_ == nullptr) return;
  GSocket* socket = nice_agent_get_selected_socket(agent_, streamId_, kComponent);
  NiceCandidate* local = nullptr;
  NiceCandidate* remote = nullptr;
  struct sockaddr_storage peer {};
  socklen_t peerLength = 0;
  if (socket != nullptr &&
      nice_agent_get_selected_pair(agent_, streamId_, kComponent, &local, &remote) &&
      remote != nullptr && remote->transport == NICE_CANDIDATE_TRANSPORT_UDP &&
      g_socket_get_protocol(socket) == G_SOCKET_PROTOCOL_UDP) {
    nice_address_copy_to_sockaddr(&remote->addr, reinterpret_cast<struct sockaddr*>(&peer));
    if (peer.ss_family == AF_INET) peerLength = sizeof(struct sockaddr_in);
    if (peer.ss_family == AF_INET6) peerLength = sizeof(struct sockaddr_in6);
  }
  if (peerLength == 0 && socket != nullptr) {
    g_object_unref(socket);
    socket = nullptr;
  }
  std::lock_guard lock(sendMutex_);
  if (directSocket_ != nullptr) g_object_unref(directSocket_);
  directSocket_ = socket;
  directPeer_ = peer;
  directPeerLength_ = peerLength;
}

void IceTransport::dropDirectPath() {
  std::lock_guard lock(sendMutex_);
  if (directSocket_ != nullptr) g_object_unref(directSocket_);
  directSocket_ = nullptr;
  directPeerLength_ = 0;
}

void IceTransport::close(std::function<void()> whenGone) {
  dropDirectPath();
  NiceAgent* agent = nullptr;
  {
    std::lock_guard lock(sendMutex_);
    if (closed_) return;
    closed_ = true;
    agent = agent_;
    agent_ = nullptr;
  }
  // Possibly inside one of the agent's own callbacks: release it once that has returned.
  Relay* relay = relay_;
  relay_ = nullptr;
  const guint stream = streamId_;
  GlibLoop::shared().invoke([agent, stream, relay, whenGone = std::move(whenGone)]() mutable {
    Relay::release(agent, stream, relay, std::move(whenGone));
  });
}

void IceTransport::handleCandidate(void* niceCandidate) {
  auto* candidate = static_cast<NiceCandidate*>(niceCandidate);
  if (agent_ == nullptr) return;
  gchar* text = nice_agent_generate_local_candidate_sdp(agent_, candidate);
  if (text == nullptr) return;
  auto parsed = SdpParser::parseCandidate(text);
  g_free(text);
  if (!parsed) return;
  localCandidates_.push_back(*parsed);
  if (callbacks_.onLocalCandidate) callbacks_.onLocalCandidate(*parsed);
}

void IceTransport::handleGatheringDone() {
  gatheringDone_ = true;
  if (callbacks_.onGatheringDone) callbacks_.onGatheringDone();
}

void IceTransport::handleLearnedCandidate() {
  if (callbacks_.onRemoteCandidateLearned) callbacks_.onRemoteCandidateLearned();
}

void IceTransport::handleComponentState(unsigned state) {
  if (!callbacks_.onStateChange) return;
  switch (state) {
    case NICE_COMPONENT_STATE_CONNECTED:
    case NICE_COMPONENT_STATE_READY:
      everConnected_ = true;
      enlargeSocketBuffers();
      refreshDirectPath();
      callbacks_.onStateChange(State::connected);
      break;
    case NICE_COMPONENT_STATE_FAILED:
      // The pair gone: the agent decides whether anything may still be sent.
      dropDirectPath();
      callbacks_.onStateChange(State::failed);
      break;
    default:
      if (!everConnected_) callbacks_.onStateChange(State::checking);
      break;
  }
}

void IceTransport::enlargeSocketBuffers() {
  if (agent_ == nullptr) return;
  // None for a relayed or TCP pair, which keeps its defaults.
  GSocket* socket = nice_agent_get_selected_socket(agent_, streamId_, kComponent);
  if (socket == nullptr) return;
  const int fd = g_socket_get_fd(socket);
  const int bytes = kUdpBufferBytes;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  g_object_unref(socket);
}

void IceTransport::handlePacket(const uint8_t* data, size_t size) {
  if (callbacks_.onPacket) callbacks_.onPacket(data, size);
}

}  // namespace ombrelia::datachannel
