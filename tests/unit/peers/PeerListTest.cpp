#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <thread>

#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaConfig.hpp>
#include <ombrelia/PeerListManager.hpp>

#include "LogLines.hpp"
#include "peers/IceCandidate.hpp"
#include "peers/PeerList.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/MonotonicClock.hpp"
#include "protocol/GroupListItem.hpp"
#include "support/FakeDataChannel.hpp"
#include "support/PeerListSandbox.hpp"
#include "support/PeerNotificationLog.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using test::linesWith;
using test::PeerListSandbox;
using test::PeerNotificationLog;

const Uuid kA = *Uuid::parse("aaaaaaaa-0000-4000-8000-000000000001");
const Uuid kB = *Uuid::parse("bbbbbbbb-0000-4000-8000-000000000002");

GroupListItem addItem(const Uuid& uuid, bool sameCity = false) {
  return GroupListItem("add", uuid, 1700000000.5, false, true, false, sameCity);
}

Uuid numbered(int i) {
  Uuid::Bytes bytes{};
  bytes[0] = 0xcc;
  bytes[14] = static_cast<uint8_t>(i >> 8);
  bytes[15] = static_cast<uint8_t>(i);
  return Uuid(bytes);
}

class PeerListTest : public ::testing::Test {
 protected:
  PeerList& list = PeerList::shared();
  PeerListSandbox sandbox;
};

TEST_F(PeerListTest, AddedPeerIsAnnouncedForTheOfferBeforeItIsListedAndAsNewAfter) {
  PeerNotificationLog log;
  list.addPeer(addItem(kA, true));

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "NewGroupPeerSendOffer");
  EXPECT_FALSE(entries[0].listed) << "the offer is asked for before the peer is listed";
  EXPECT_TRUE(entries[0].hasClient);
  EXPECT_EQ(entries[1].name, "NewGroupPeer");
  EXPECT_TRUE(entries[1].listed);
  EXPECT_EQ(entries[1].uuid, kA);

  const auto peers = list.peers();
  ASSERT_EQ(peers.size(), 1u);
  ASSERT_TRUE(peers[0].webRTCClient);
  EXPECT_EQ(list.peer(*peers[0].webRTCClient)->uuid, kA);
}

TEST_F(PeerListTest, DuplicateAddsSwitchesOffAndAFullListAddNothingAndPostNothing) {
  list.addPeer(addItem(kA));
  PeerNotificationLog log;
  list.addPeer(GroupListItem("add", kA, 1.0, true, true, true, true));
  EXPECT_EQ(list.peers()[0].sameIP, false) << "the listed peer keeps its fields";

  OmbreliaConfig::shared().setP2pActivated(false);
  list.addPeer(addItem(kB));
  OmbreliaConfig::shared().setP2pActivated(true);
  OmbreliaConfig::shared().setActivated(false);
  list.addPeer(addItem(kB));
  list.updateUserRemoteSdp(SessionDescription("offer", SdpType::offer), kB);
  OmbreliaConfig::shared().setActivated(true);
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(sandbox.factory().connections().size(), 1u) << "no client may be made";

  for (int i = 0; list.peers().size() < PeerList::kMaxPeers; ++i)
    list.addPeer(addItem(numbered(i)));
  PeerNotificationLog fullLog;
  list.addPeer(addItem(kB));
  list.updateUserRemoteSdp(SessionDescription("offer", SdpType::offer), kB);
  EXPECT_TRUE(fullLog.entries().empty());
  EXPECT_EQ(list.peers().size(), PeerList::kMaxPeers);
}

TEST_F(PeerListTest, PeerWhoseConnectionTheFrameworkRefusesIsNotAdded) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  sandbox.factory().refuse(true);
  PeerNotificationLog log;
  testing::internal::CaptureStdout();
  list.addPeer(addItem(kA));
  list.updateUserRemoteSdp(SessionDescription("offer", SdpType::offer), kB);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(list.peers().empty());
  EXPECT_TRUE(log.entries().empty());
  EXPECT_NE(out.find("Could not create new RTCPeerConnection"), std::string::npos) << out;
}

TEST_F(PeerListTest, OfferFromAListedPeerReplacesItAtTheEndAndPostsInOrder) {
  list.addPeer(addItem(kA));
  list.addPeer(addItem(kB));
  const auto oldClient = list.peers()[0].webRTCClient;

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  PeerNotificationLog log(true);
  testing::internal::CaptureStdout();
  list.updateUserRemoteSdp(SessionDescription("remote offer", SdpType::offer), kA);
  const std::string out = testing::internal::GetCapturedStdout();

  const std::string a = kA.uuidString();
  EXPECT_EQ(linesWith(out, {"[PeerList]", "posted"}),
            (std::vector<std::string>{
                "[Ombrelia] [Debug] [PeerList] receivedOffer, from existing peer, removing: " + a,
                "[Ombrelia] [Debug] [PeerList] remove peer: " + a, "posted PeerDisconected",
                "[Ombrelia] [Debug] [PeerList] receivedOffer, add peer: " + a,
                "posted GroupPeerSendAnswer", "posted NewGroupPeer"}));
  EXPECT_FALSE(log.entries()[1].listed) << "the answer is asked for before the peer is listed";

  const auto peers = list.peers();
  ASSERT_EQ(peers.size(), 2u);
  EXPECT_EQ(peers[0].uuid, kB);
  EXPECT_EQ(peers[1].uuid, kA);
  EXPECT_FALSE(peers[1].joinDate || peers[1].sameIP || peers[1].sameCountry ||
               peers[1].sameRegion || peers[1].sameCity);
  ASSERT_TRUE(peers[1].webRTCClient);
  EXPECT_NE(peers[1].webRTCClient, oldClient);
  EXPECT_TRUE(oldClient->isClosed());
  EXPECT_EQ(sandbox.factory().last()->remoteDescriptions(),
            std::vector<std::string>{"remote offer"});
}

SessionDescription offer(int number) {
  return SessionDescription("offer " + std::to_string(number), SdpType::offer);
}

bool isListed(const Uuid& uuid) {
  const auto peers = PeerList::shared().peers();
  return std::any_of(peers.begin(), peers.end(), [&](const Peer& p) { return p.uuid == uuid; });
}

TEST_F(PeerListTest, OffersBackToBackPileUpNoConnectionsWhileClosedOnesStillHoldTheirSockets) {
  // Connections closed keep their transports, as real ones do for a while: every connection
  // made is alive or closing until the test lets them go.
  auto& factory = sandbox.factory();
  factory.holdTransports(true);
  for (int i = 0; i < 200; ++i) list.updateUserRemoteSdp(offer(i), kA);
  EXPECT_EQ(factory.connections().size(), PeerList::kMaxConnectionsPerPeer)
      << "one identifier's offers piled up connections";
  ASSERT_EQ(list.peers().size(), 1u);
  const auto listed = list.peers()[0].webRTCClient;

  // Many identifiers, each offering again and again.
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 100; ++i) list.updateUserRemoteSdp(offer(round), numbered(i));
  }
  EXPECT_LE(factory.connections().size(), PeerList::kMaxConnections);
  EXPECT_EQ(list.connectionsAliveOrClosing(), factory.connections().size());
  EXPECT_FALSE(listed->isClosed()) << "a refused offer replaced the listed connection";

  // Once the closed connections have given their sockets back, offers are taken again (at the
  // pace one identifier may replace its connection).
  factory.releaseTransports();
  EXPECT_EQ(list.connectionsAliveOrClosing(), list.peers().size());
  platform::MonotonicClock::advance(PeerList::kMinReplacementInterval);
  const size_t made = factory.connections().size();
  list.updateUserRemoteSdp(offer(9), kA);
  EXPECT_EQ(factory.connections().size(), made + 1);
  EXPECT_TRUE(listed->isClosed());
}

TEST_F(PeerListTest, PeersReplacingTheirConnectionsLeaveANewcomerItsRoom) {
  auto& factory = sandbox.factory();
  factory.holdTransports(true);
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    list.updateUserRemoteSdp(offer(0), numbered(i));
  }
  // Every listed peer offers again while the connections it replaces are still closing.
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    list.updateUserRemoteSdp(offer(1), numbered(i));
  }
  EXPECT_EQ(factory.connections().size(),
            PeerList::kMaxConnections - PeerList::kReservedForNewcomers);
  platform::MonotonicClock::advance(PeerList::kEvictableAfter);
  list.updateUserRemoteSdp(offer(0), kB);
  EXPECT_TRUE(isListed(kB)) << "the replacements held every connection a newcomer needs";
  EXPECT_EQ(list.peers().size(), PeerList::kMaxPeers);
}

TEST_F(PeerListTest, FullListMakesRoomForANewcomerByDroppingTheOldestPeerWhoseChannelNeverOpened) {
  // One peer whose channel opened, then peers whose channel never opens and who offer again
  // inside the channel-open bound, as long as they like.
  list.updateUserRemoteSdp(offer(0), kA);
  auto channel = std::make_shared<test::FakeDataChannel>();
  sandbox.factory().last()->deliverDataChannel(channel);
  channel->deliverOpen();
  const int silent = static_cast<int>(PeerList::kMaxPeers) - 1;
  for (int i = 0; i < silent; ++i) {
    list.updateUserRemoteSdp(offer(0), numbered(i));
    platform::MonotonicClock::advance(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(list.peers().size(), PeerList::kMaxPeers);

  // A newcomer right away finds nobody to drop: a negotiation under way gets its chance.
  list.updateUserRemoteSdp(offer(0), kB);
  EXPECT_FALSE(isListed(kB));

  // Offering again keeps a peer's standing: the newcomer takes the place of the one listed
  // longest, and the next one that of the next.
  platform::MonotonicClock::advance(std::chrono::seconds(15));
  for (int i = 0; i < silent; ++i) list.updateUserRemoteSdp(offer(1), numbered(i));
  PeerNotificationLog log;
  list.updateUserRemoteSdp(offer(0), kB);
  EXPECT_TRUE(isListed(kB)) << "the list refused a newcomer for peers that never opened";
  EXPECT_FALSE(isListed(numbered(0)));
  EXPECT_EQ(log.names(),
            (std::vector<std::string>{"PeerDisconected", "GroupPeerSendAnswer", "NewGroupPeer"}))
      << "the dropped peer was not announced before the newcomer";
  const Uuid kC = numbered(500);
  list.addPeer(addItem(kC));
  EXPECT_TRUE(isListed(kC));
  EXPECT_FALSE(isListed(numbered(1)));
  EXPECT_TRUE(isListed(numbered(2)));

  // A peer whose channel opened is never dropped to make room.
  for (int i = 2; i < silent; ++i) list.removePeer(numbered(i));
  for (int i = 0; i < silent; ++i) list.updateUserRemoteSdp(offer(2), numbered(1000 + i));
  platform::MonotonicClock::advance(PeerList::kEvictableAfter);
  for (int i = 0; i < 3; ++i) list.updateUserRemoteSdp(offer(0), numbered(2000 + i));
  EXPECT_TRUE(isListed(kA));
  EXPECT_EQ(list.peers().size(), PeerList::kMaxPeers);
}

TEST_F(PeerListTest, OfferTheFrameworkRefusesTakesNobodysPlace) {
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    list.updateUserRemoteSdp(offer(0), numbered(i));
  }
  const auto listedClient = list.peers()[0].webRTCClient;
  platform::MonotonicClock::advance(PeerList::kEvictableAfter);
  // Unreadable offers from fresh identifiers, and one from a listed peer.
  sandbox.factory().refuseDescriptions(true);
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    list.updateUserRemoteSdp(offer(0), numbered(1000 + i));
  }
  list.updateUserRemoteSdp(offer(1), numbered(0));
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    EXPECT_TRUE(isListed(numbered(i))) << "peer " << i << " dropped for an offer nobody took";
  }
  EXPECT_EQ(list.peers().size(), PeerList::kMaxPeers);
  EXPECT_FALSE(listedClient->isClosed()) << "an unreadable re-offer replaced the connection";
}

TEST_F(PeerListTest, PeerWhoseChannelOpenedKeepsThatStandingAcrossItsOwnNewOffers) {
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    list.updateUserRemoteSdp(offer(0), numbered(i));
    auto channel = std::make_shared<test::FakeDataChannel>();
    sandbox.factory().last()->deliverDataChannel(channel);
    channel->deliverOpen();
  }
  platform::MonotonicClock::advance(std::chrono::minutes(10));
  // Its new connection negotiates; it has not opened yet.
  list.updateUserRemoteSdp(offer(1), numbered(0));
  platform::MonotonicClock::advance(PeerList::kEvictableAfter);
  list.updateUserRemoteSdp(offer(0), kB);
  EXPECT_TRUE(isListed(numbered(0))) << "a peer whose channel opened was dropped for a newcomer";
  EXPECT_FALSE(isListed(kB));
}

TEST_F(PeerListTest, ListedPeerReplacesItsConnectionAtABoundedPace) {
  auto& factory = sandbox.factory();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  list.updateUserRemoteSdp(offer(0), kA);
  // Crossed offers: the first replacement is taken at once.
  list.updateUserRemoteSdp(offer(1), kA);
  for (int i = 2; i < 100; ++i) list.updateUserRemoteSdp(offer(i), kA);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(factory.connections().size(), 2u) << "offers sent back to back were all taken";
  EXPECT_EQ(linesWith(out, {"refusing offer from: " + kA.uuidString() + ", it replaced"}).size(),
            98u);
  platform::MonotonicClock::advance(PeerList::kMinReplacementInterval);
  list.updateUserRemoteSdp(offer(100), kA);
  EXPECT_EQ(factory.connections().size(), 3u);
  EXPECT_EQ(factory.last()->remoteDescriptions(), std::vector<std::string>{"offer 100"});
}

TEST_F(PeerListTest, IdentifierThatEndsItsOwnConnectionOrIsDroppedComesBackAtTheSamePace) {
  auto& factory = sandbox.factory();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  testing::internal::CaptureStdout();
  // Each connection fails as soon as it is made, as one the peer ends by checking from too
  // many addresses does, and the negotiation removes the peer; then it offers again.
  list.updateUserRemoteSdp(offer(0), kA);
  for (int i = 1; i < 100; ++i) {
    for (const auto& peer : list.peers()) list.removePeer(*peer.webRTCClient);
    list.updateUserRemoteSdp(offer(i), kA);
  }
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(factory.connections().size(), 1u) << "a returning identifier escaped the pace";
  EXPECT_EQ(
      linesWith(out, {"refusing offer from: " + kA.uuidString() + ", its last connection"}).size(),
      99u);
  platform::MonotonicClock::advance(PeerList::kMinReplacementInterval);
  list.updateUserRemoteSdp(offer(100), kA);
  EXPECT_EQ(factory.connections().size(), 2u);
  EXPECT_TRUE(isListed(kA));

  // One dropped to make room for a newcomer comes back no sooner either.
  list.removeAll();
  for (int i = 0; i < static_cast<int>(PeerList::kMaxPeers); ++i) {
    list.updateUserRemoteSdp(offer(0), numbered(i));
  }
  platform::MonotonicClock::advance(PeerList::kEvictableAfter);
  list.updateUserRemoteSdp(offer(0), kB);
  ASSERT_FALSE(isListed(numbered(0)));
  list.updateUserRemoteSdp(offer(1), numbered(0));
  EXPECT_FALSE(isListed(numbered(0))) << "the dropped peer came back at once as a newcomer";
  EXPECT_TRUE(isListed(numbered(1)));
  platform::MonotonicClock::advance(PeerList::kMinReplacementInterval - PeerList::kEvictableAfter);
  list.updateUserRemoteSdp(offer(2), numbered(0));
  EXPECT_TRUE(isListed(numbered(0)));
}

TEST_F(PeerListTest, ReplacementFitsBesideTheNewcomersReserveOnAMachineWithManyAddresses) {
  auto& factory = sandbox.factory();
  // 33 local addresses (each interface's IPv6 link-local one counts): eight connections' worth
  // of descriptors would pass the whole budget.
  factory.setSockets(34);
  factory.holdTransports(true);
  list.updateUserRemoteSdp(offer(0), kA);
  // Offers that crossed: the first replacement is taken with one connection alive.
  list.updateUserRemoteSdp(offer(1), kA);
  EXPECT_EQ(factory.connections().size(), 2u) << "the newcomers' reserve left no room at all";
  // Replacements still leave a newcomer its room: four more peers fill what they may use, a
  // fifth replacement is refused, and a newcomer is taken.
  for (int i = 0; i < 4; ++i) list.updateUserRemoteSdp(offer(0), numbered(i));
  platform::MonotonicClock::advance(PeerList::kMinReplacementInterval);
  list.updateUserRemoteSdp(offer(1), numbered(0));
  EXPECT_EQ(factory.connections().size(), 6u) << "replacements took the newcomers' room";
  list.updateUserRemoteSdp(offer(0), kB);
  EXPECT_TRUE(isListed(kB));
  EXPECT_LE(list.socketsAliveOrClosing(), PeerList::kMaxSockets);
}

TEST_F(PeerListTest, RemovingOrDisconnectingClosesTheConnectionWhileCopiesAreHeld) {
  list.addPeer(addItem(kA));
  list.addPeer(addItem(kB));
  const auto copies = list.peers();
  const auto connections = sandbox.factory().connections();

  list.removePeer(kA);
  EXPECT_TRUE(copies[0].webRTCClient->isClosed());
  EXPECT_TRUE(connections[0].expired());

  PeerNotificationLog log;
  list.disconnectFromPeer(kB);
  EXPECT_TRUE(log.entries().empty());
  ASSERT_EQ(list.peers().size(), 1u);
  EXPECT_FALSE(list.peers()[0].webRTCClient);
  EXPECT_TRUE(copies[1].webRTCClient->isClosed());
  EXPECT_TRUE(connections[1].expired());
  EXPECT_FALSE(list.peer(*copies[1].webRTCClient)) << "a closed client belongs to no peer";
}

TEST_F(PeerListTest, ObserversMayCallBackIntoTheListWithoutDeadlock) {
  PeerNotificationLog log;
  log.onPosted("NewGroupPeerSendOffer", [](const PeerNotificationLog::Entry&) {
    (void)PeerList::shared().peers();
    (void)PeerList::shared().personalUUID();
  });
  log.onPosted("NewGroupPeer", [](const PeerNotificationLog::Entry& entry) {
    for (const auto& peer : PeerList::shared().peers()) {
      if (peer.uuid == entry.uuid) (void)PeerList::shared().peer(*peer.webRTCClient);
    }
    PeerList::shared().disconnectFromPeer(entry.uuid);
    PeerList::shared().removePeer(entry.uuid);
  });
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  std::thread([done] {
    PeerList::shared().addPeer(addItem(kA));
    done->set_value();
  }).detach();
  if (finished.wait_for(test::scaledWait(5s)) != std::future_status::ready) {
    ADD_FAILURE() << "the peer list deadlocked in an observer";
    std::abort();
  }
  EXPECT_EQ(log.names(),
            (std::vector<std::string>{"NewGroupPeerSendOffer", "NewGroupPeer", "PeerDisconected"}));
  EXPECT_TRUE(list.peers().empty());
}

TEST_F(PeerListTest, ConcurrentReadersSeeWholeListsWhileAWriterChangesIt) {
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        const auto peers = PeerList::shared().peers();
        std::set<Uuid> seen;
        for (const auto& peer : peers) {
          if (!seen.insert(peer.uuid).second) ++torn;
          if (peer.webRTCClient) (void)PeerList::shared().peer(*peer.webRTCClient);
        }
        (void)PeerListManager::shared().connectedPeerCount();
        (void)PeerList::shared().personalUUID();
      }
    });
  }
  for (int i = 0; i < 60; ++i) {
    list.updatePersonalUUID(numbered(1000 + i));
    list.addPeer(addItem(numbered(i % 7)));
    list.updateUserRemoteSdp(SessionDescription("offer", SdpType::offer), numbered(i % 5));
    if (i % 3 == 0) list.removePeer(numbered(i % 7));
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(torn.load(), 0);
  const auto peers = list.peers();
  std::set<Uuid> unique;
  for (const auto& peer : peers) unique.insert(peer.uuid);
  EXPECT_EQ(unique.size(), peers.size());
}

}  // namespace
}  // namespace ombrelia
