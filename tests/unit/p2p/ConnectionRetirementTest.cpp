// A viewer that reached the same remote viewer again over a newer connection (after the
// signalling connection came back under new identifiers), known by the certificate both
// connections proved and the identifiers both ends stated on each: the subscription moves to
// the newer connection, and the older one is closed once its grace has passed and nothing runs
// on it.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include <ombrelia/OmbreliaConfig.hpp>

#include "p2p/Abonnement.hpp"
#include "p2p/AvailabilitySearch.hpp"
#include "p2p/ConnectionRetirement.hpp"
#include "p2p/PeerMessagesEnvironment.hpp"
#include "p2p/SegmentDownloads.hpp"
#include "p2p/UploadServer.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/MemoryPressureSource.hpp"
#include "platform/MonotonicClock.hpp"
#include "protocol/AbonnementRequestMessageReader.hpp"
#include "protocol/ConnectionProofMessage.hpp"
#include "protocol/FileAvailabilityRequestMessageReader.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "protocol/FileRequestStopMessage.hpp"
#include "store/VideoStorage.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/SampleDescription.hpp"
#include "support/SampleSegment.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

const std::string kVideo = "video-1";

using test::segment;

std::string description(const std::string& pair, const std::string& digest = "sha-256") {
  return test::SampleDescription::withFingerprint(pair, digest);
}

class ConnectionRetirementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OmbreliaConfig::configure("key");
    OmbreliaConfig::shared().setMaxPreloadedSegments(0);
    environment.peers = [this] {
      std::lock_guard lock(mutex);
      return listed;
    };
    environment.retire = [this](WebRTCClient& client) {
      std::lock_guard lock(mutex);
      std::erase_if(listed, [&](const Peer& p) { return p.webRTCClient.get() == &client; });
      retired.push_back(&client);
    };
    environment.storage = VideoStorage::create(platform::MemoryPressureSource::create());
    older = connect({description("AA")});
    newer = connect({description("AA")});
  }
  void TearDown() override { platform::DispatchQueue::main()->drain(); }

  // A listed peer whose connection took these remote descriptions in turn and opened its
  // channel a second after the one before (or never, when `open` is false). Both ends bound it
  // to the identifiers they had then, one more each than for the connection before.
  Peer connect(const std::vector<std::string>& descriptions, bool open = true) {
    platform::MonotonicClock::advance(1s);
    auto client = WebRTCClient::create({}, factory);
    const Uuid own = Uuid::random();
    const Uuid remote = Uuid::random();
    const int64_t identities = static_cast<int64_t>(channels.size()) + 1;
    client->bindIdentity({own, identities}, remote);
    for (const auto& sdp : descriptions) client->setRemoteSdp(sdp, nullptr);
    channels.push_back(std::make_shared<test::FakeDataChannel>());
    factory.last()->deliverDataChannel(channels.back());
    if (open) channels.back()->deliverOpen();
    const ConnectionProofMessage statement(std::string(ConnectionProofMessage::typeString), remote,
                                           own, identities);
    channels.back()->deliverText(*statement.encode().text);
    Peer peer{remote, 1.0, false, false, false, true, client};
    std::lock_guard lock(mutex);
    listed.push_back(peer);
    return peer;
  }
  // Availability questions sent over the channel.
  size_t asked(const test::FakeDataChannel& channel) {
    const auto sent = channel.sent();
    return std::count_if(sent.begin(), sent.end(), [](const auto& frame) {
      return FileAvailabilityRequestMessageReader().readJSON(frame.bytes).has_value();
    });
  }
  bool isRetired(const Peer& peer) {
    std::lock_guard lock(mutex);
    return std::find(retired.begin(), retired.end(), peer.webRTCClient.get()) != retired.end();
  }
  void passGrace() {
    platform::MonotonicClock::advance(std::chrono::milliseconds(
        static_cast<int64_t>(ConnectionRetirement::kGraceSeconds * 1000) + 1));
  }
  // Subscribes over the older connection; `accepted` has its peer confirm it.
  void subscribeOverOlder(bool accepted) {
    ASSERT_TRUE(abonnement.subscribeIfNone(older));
    abonnement.sendRequest();
    const auto request =
        AbonnementRequestMessageReader().readJSON(channels[0]->sent().back().bytes);
    ASSERT_TRUE(request);
    if (accepted) {
      ASSERT_FALSE(abonnement.takeAnswer(request->requestID(), true, older));
    }
  }

  test::FakePeerConnectionFactory factory;
  std::vector<std::shared_ptr<test::FakeDataChannel>> channels;
  PeerMessagesEnvironment environment;
  std::mutex mutex;  // guards the two lists below
  std::vector<Peer> listed;
  std::vector<const WebRTCClient*> retired;
  Abonnement abonnement;
  SegmentDownloads downloads{abonnement, nullptr};
  UploadServer uploads{environment, abonnement};
  ConnectionRetirement retirement{environment, abonnement, downloads, uploads};
  Peer older;
  Peer newer;
};

TEST_F(ConnectionRetirementTest, OnlyTheIdleOlderConnectionToTheSameCertificateIsClosed) {
  // None of these proved the certificate the first two share, so none replaces the newer one:
  // another viewer's, one named with a digest the handshake does not check here, one never
  // opened, and one whose later description (our stack refuses it) names the shared one.
  const Peer stranger = connect({description("CC")});
  connect({description("AA", "sha-1")});
  connect({description("AA")}, false);
  connect({description("BB"), description("AA")});

  AvailabilitySearch(environment, abonnement).search(segment(12), kVideo);
  EXPECT_EQ(asked(*channels[0]), 0u) << "a new subscription could land on the older one";
  EXPECT_EQ(asked(*channels[1]), 1u);
  retirement.check();
  EXPECT_FALSE(isRetired(older)) << "closed before the other side could move over";
  passGrace();
  retirement.check();
  EXPECT_TRUE(isRetired(older));
  EXPECT_FALSE(isRetired(newer)) << "a connection that proved nothing replaced one that did";
  EXPECT_FALSE(isRetired(stranger)) << "another viewer's connection was closed";
}

TEST_F(ConnectionRetirementTest, SubscriptionMovesToTheNewerConnectionAndRequestsFinishFirst) {
  subscribeOverOlder(true);
  downloads.request(segment(12), FileRequestType::main, kVideo, [](auto, auto, auto) {});
  retirement.check();
  ASSERT_TRUE(abonnement.peer());
  EXPECT_EQ(abonnement.peer()->peer.uuid, newer.uuid) << "the subscription stayed behind";
  EXPECT_EQ(abonnement.peer()->state, AbonnementState::confirmed);
  passGrace();
  retirement.check();
  EXPECT_FALSE(isRetired(older)) << "closed while a segment asked of it was on its way";

  downloads.request(segment(13), FileRequestType::main, kVideo, [](auto, auto, auto) {});
  EXPECT_TRUE(downloads.isAnyAskedOf(newer.uuid)) << "the next segment was not asked anew";
  downloads.endUpTo(abonnement.generation());
  retirement.check();
  EXPECT_TRUE(isRetired(older));
}

TEST_F(ConnectionRetirementTest, OlderConnectionStaysWhileItsPeerWaitsForAnAnswerOrAnUpload) {
  subscribeOverOlder(false);
  passGrace();
  retirement.check();
  EXPECT_EQ(abonnement.peer()->peer.uuid, older.uuid) << "moved away from where its answer comes";
  EXPECT_FALSE(isRetired(older)) << "closed under a subscription waiting for its answer";

  const FileRequestMessage request(std::string(FileRequestMessage::typeString), Uuid::random(),
                                   kVideo, 40, 1, "video");
  uploads.take(request, older);  // the segment is not stored yet: the upload waits
  abonnement.endUpTo(abonnement.generation());
  retirement.check();
  EXPECT_FALSE(isRetired(older)) << "closed under a segment its peer waits for";
  uploads.stop(
      FileRequestStopMessage(std::string(FileRequestStopMessage::typeString), request.requestID()),
      older);
  retirement.check();
  EXPECT_TRUE(isRetired(older));
}

}  // namespace
}  // namespace ombrelia
