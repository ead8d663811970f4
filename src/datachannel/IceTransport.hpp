#pragma once
// Loop thread: created, driven and closed on the GlibLoop thread, where its callbacks run too;
// send() may be called from any thread.

#include <sys/socket.h>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "datachannel/SdpCandidate.hpp"

typedef struct _NiceAgent NiceAgent;
typedef struct _GSocket GSocket;

namespace ombrelia::datachannel {

// The ICE leg of one connection: a libnice agent with one stream of one component (data channels
// bundle everything on one UDP flow).
class IceTransport : public std::enable_shared_from_this<IceTransport> {
 public:
  enum class State { checking, connected, failed };

  struct StunServer {
    std::string host;
    uint16_t port = 3478;
  };

  struct Settings {
    bool controlling = false;
    std::vector<StunServer> stunServers;
    std::optional<std::string> bindAddress;
    // Without a bind address, the addresses to gather on (localAddresses() as the connection
    // counted them): the agent never finds more by itself, so it holds no socket uncounted.
    std::vector<std::string> localAddresses;
    uint16_t portRangeBegin = 0;
    uint16_t portRangeEnd = 0;
  };

  struct Callbacks {
    std::function<void(const SdpCandidate&)> onLocalCandidate;
    std::function<void()> onGatheringDone;
    std::function<void(State)> onStateChange;
    std::function<void(const uint8_t*, size_t)> onPacket;
    // The agent learned a remote candidate from a check that came from an address the peer
    // never announced (a peer-reflexive one), and holds it from now on.
    std::function<void()> onRemoteCandidateLearned;
  };

  // Descriptors an agent gathering on `addresses` local addresses holds at most: one UDP socket
  // each, and the wake-up descriptor of the GLib context libnice makes for its component.
  static constexpr size_t socketsFor(size_t addresses) { return addresses + 1; }
  // The addresses an agent gathers on: the bind address alone, or every local address but
  // loopback, as many as keep its descriptors within `maxSockets`. Any thread.
  static std::vector<std::string> localAddresses(const std::optional<std::string>& bindAddress,
                                                 std::optional<size_t> maxSockets = {});

  // None when the agent cannot be made or given a stream.
  [[nodiscard]] static std::shared_ptr<IceTransport> create(const Settings& settings,
                                                            Callbacks callbacks);
  ~IceTransport();
  IceTransport(const IceTransport&) = delete;
  IceTransport& operator=(const IceTransport&) = delete;

  const std::string& localUfrag() const { return localUfrag_; }
  const std::string& localPwd() const { return localPwd_; }
  std::vector<SdpCandidate> localCandidates() const;
  bool gatheringDone() const { return gatheringDone_; }

  bool gather();
  bool setRemoteCredentials(const std::string& ufrag, const std::string& pwd);
  // False when the candidate is of a kind the agent cannot use (mDNS or other host names, TCP,
  // another component); such candidates are dropped, never fatal.
  bool addRemoteCandidate(const SdpCandidate& candidate);
  void remoteGatheringDone();
  size_t remoteCandidateCount() const;
  void setControlling(bool controlling);

  // Any thread. False when no pair is selected yet or the agent is closed.
  bool send(const uint8_t* data, size_t size);
  // Loop thread. Whether another datagram already waits on the selected pair's socket.
  bool inputWaiting() const;
  // Any thread. Datagrams back to back, the i-th ending at ends[i]; false as send() is.
  bool sendAll(const uint8_t* bytes, const std::vector<size_t>& ends);

  // Stops the agent; no callback runs afterwards. `whenGone` runs once on the loop thread when the
  // agent is finalised, its sockets closed (at once when there is no agent to close).
  void close(std::function<void()> whenGone = {});

  // libnice's C callbacks reach the transport through these.
  struct Relay;

 private:
  IceTransport(Callbacks callbacks);
  void handleCandidate(void* niceCandidate);
  void handleGatheringDone();
  void handleComponentState(unsigned state);
  void handleLearnedCandidate();
  void handlePacket(const uint8_t* data, size_t size);
  void enlargeSocketBuffers();
  // Takes the selected pair's socket and remote address for sendAll(), or drops them.
  void refreshDirectPath();
  void dropDirectPath();
  // Logs a failed send the first time its cause (an errno, or 0 for one unknown) appears.
  // Under sendMutex_.
  void reportSendError(int error, const char* what);

  Callbacks callbacks_;
  NiceAgent* agent_ = nullptr;  // guarded by sendMutex_ for send(); written on the loop thread
  mutable std::mutex sendMutex_;
  Relay* relay_ = nullptr;
  // The selected pair's own socket and peer, when it is a plain UDP one: a batch goes out in one
  // system call instead of one call through the agent per datagram. Changed on the loop thread
  // only, under sendMutex_; other threads read them under it.
  GSocket* directSocket_ = nullptr;  // held so that its descriptor stays ours
  struct sockaddr_storage directPeer_ {};
  socklen_t directPeerLength_ = 0;
  bool segmentation_ = true;             // cleared when the kernel refuses UDP segmentation offload
  std::vector<int> reportedSendErrors_;  // guarded by sendMutex_: causes already logged
  unsigned streamId_ = 0;
  std::string localUfrag_;
  std::string localPwd_;
  std::vector<SdpCandidate> localCandidates_;
  bool gatheringDone_ = false;
  std::optional<StunServer> stunServer_;  // its host resolved when gathering starts
  bool everConnected_ = false;
  bool closed_ = false;
  bool nothingToGatherOn_ = false;
};

}  // namespace ombrelia::datachannel
