// Two viewers that reached each other twice (under earlier and later identifiers) must keep the
// same one of the two connections at both ends: each closes the one it finds replaced, so ends
// that choose differently close both. The two channels open within a round trip of each other,
// in either order at either end.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "peers/SupersededConnections.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/MonotonicClock.hpp"
#include "support/FakeDataChannel.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/SampleDescription.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;
using Identity = ConnectionProof::Identity;

// One end of a connection: its client, bound to the identifiers of the negotiation.
struct End {
  std::shared_ptr<WebRTCClient> client;
  std::shared_ptr<test::FakePeerConnection> connection;
  std::shared_ptr<test::FakeDataChannel> channel = std::make_shared<test::FakeDataChannel>();
  Peer peer;  // the other end, as this end lists it
};

// The same connection at viewer A (certificate "AA") and viewer B (certificate "BB").
struct Link {
  End atA;
  End atB;
};

class SupersededConnectionsTest : public ::testing::Test {
 protected:
  End end(const Identity& own, const Identity& other, const std::string& otherCertificate) {
    End e;
    e.client = WebRTCClient::create({}, factory);
    e.connection = factory.last();
    e.client->bindIdentity(own, other.uuid);
    e.client->setRemoteSdp(test::SampleDescription::withFingerprint(otherCertificate), nullptr);
    e.peer = Peer{other.uuid, 1.0, false, false, false, true, e.client};
    return e;
  }
  Link link(const Identity& a, const Identity& b) { return {end(a, b, "BB"), end(b, a, "AA")}; }

  static void open(End& e) {
    platform::MonotonicClock::advance(1s);
    e.connection->deliverDataChannel(e.channel);
    e.channel->deliverOpen();
  }
  // Each end receives the statement the other sent as its channel opened.
  static void exchange(Link& l) {
    l.atB.channel->deliverText(l.atA.channel->sent().at(0).bytes);
    l.atA.channel->deliverText(l.atB.channel->sent().at(0).bytes);
  }
  // The index of the connection this end keeps, by the other end's identifier.
  static int kept(const std::vector<End*>& ends) {
    std::vector<Peer> peers;
    for (const End* e : ends) peers.push_back(e->peer);
    const auto superseded = SupersededConnections::among(peers);
    if (superseded.size() != ends.size() - 1) return -1;
    for (size_t i = 0; i < ends.size(); ++i) {
      if (superseded[0].newer.uuid == ends[i]->peer.uuid) return static_cast<int>(i);
    }
    return -1;
  }

  test::FakePeerConnectionFactory factory;
};

TEST_F(SupersededConnectionsTest, BothEndsKeepTheSameConnectionWhicheverOpensFirstAtEither) {
  const Uuid a1 = Uuid::random();
  const Uuid a2 = Uuid::random();
  const Uuid b1 = Uuid::random();
  const Uuid b2 = Uuid::random();
  struct Case {
    const char* what;
    Identity first[2];   // A's and B's identifiers on the first connection
    Identity second[2];  // and on the second
    int expected;        // the one to keep, or -1 when either will do as long as both agree
  };
  const std::vector<Case> cases{
      {"both ends came back since the first", {{a1, 1}, {b1, 1}}, {{a2, 2}, {b2, 2}}, 1},
      {"as many identities on each", {{a1, 1}, {b2, 2}}, {{a2, 2}, {b1, 1}}, -1},
  };
  for (const auto& c : cases) {
    for (const bool firstOpensFirstAtA : {true, false}) {
      for (const bool firstOpensFirstAtB : {true, false}) {
        SCOPED_TRACE(std::string(c.what) +
                     (firstOpensFirstAtA ? ", A: 1 then 2" : ", A: 2 then 1") +
                     (firstOpensFirstAtB ? ", B: 1 then 2" : ", B: 2 then 1"));
        Link links[2] = {link(c.first[0], c.first[1]), link(c.second[0], c.second[1])};
        open(links[firstOpensFirstAtA ? 0 : 1].atA);
        open(links[firstOpensFirstAtB ? 0 : 1].atB);
        open(links[firstOpensFirstAtA ? 1 : 0].atA);
        open(links[firstOpensFirstAtB ? 1 : 0].atB);
        exchange(links[0]);
        exchange(links[1]);

        const int atA = kept({&links[0].atA, &links[1].atA});
        const int atB = kept({&links[0].atB, &links[1].atB});
        ASSERT_NE(atA, -1) << "A does not see one connection replace the other";
        EXPECT_EQ(atA, atB) << "the ends keep different connections";
        if (c.expected != -1) {
          EXPECT_EQ(atA, c.expected) << "the older connection was kept";
        }
      }
    }
  }
}

}  // namespace
}  // namespace ombrelia
