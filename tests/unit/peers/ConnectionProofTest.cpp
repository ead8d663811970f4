// A connection is bound to the identifiers it is filed under at both ends: once its channel
// opens, each side states the identifier it negotiated under and the one it filed the other side
// under, and holds the other side's statement against its own view. A statement that disagrees
// means the connection reaches someone other than it is filed under (one viewer's negotiation
// passed on to another as the forwarder's own): the connection is closed and never counts in the
// choice among connections to one viewer. A peer that states nothing, as one built only to the
// original protocol, neither replaces a connection nor is replaced.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "peers/PeerList.hpp"
#include "peers/SessionDescription.hpp"
#include "peers/SupersededConnections.hpp"
#include "peers/WebRTCClient.hpp"
#include "platform/JsonReader.hpp"
#include "platform/MonotonicClock.hpp"
#include "support/FakeDataChannel.hpp"
#include "support/PeerListSandbox.hpp"
#include "support/RecordingClientDelegate.hpp"
#include "support/SampleDescription.hpp"

namespace ombrelia {
namespace {

using namespace std::chrono_literals;

// The far end's statement, as a peer of ours writes it.
std::string statement(const Uuid& from, const Uuid& to, int64_t identities = 1) {
  return R"({"type":"connectionProof","from":")" + from.lowercaseString() + R"(","to":")" +
         to.lowercaseString() + R"(","identities":)" + std::to_string(identities) + "}";
}

class ConnectionProofTest : public ::testing::Test {
 protected:
  struct Connection {
    Peer peer;
    std::shared_ptr<test::FakeDataChannel> channel;
    std::shared_ptr<test::RecordingClientDelegate> delegate;
  };

  void SetUp() override { list.updatePersonalUUID(own); }

  // `remote` offers a connection from the process whose certificate is `certificate`;
  // negotiated under this side's identifier of the moment.
  Connection negotiate(const Uuid& remote, const std::string& certificate) {
    list.updateUserRemoteSdp(
        SessionDescription(test::SampleDescription::withFingerprint(certificate), SdpType::offer),
        remote);
    Connection connection;
    for (const auto& peer : list.peers()) {
      if (peer.uuid == remote) connection.peer = peer;
    }
    EXPECT_TRUE(connection.peer.webRTCClient) << "the offer was not taken";
    connection.delegate = std::make_shared<test::RecordingClientDelegate>();
    if (connection.peer.webRTCClient)
      connection.peer.webRTCClient->setDelegate(connection.delegate);
    connection.channel = std::make_shared<test::FakeDataChannel>();
    return connection;
  }
  // Its channel opens, a second after the one before.
  void open(const Connection& connection) {
    platform::MonotonicClock::advance(1s);
    sandbox.factory().last()->deliverDataChannel(connection.channel);
    connection.channel->deliverOpen();
  }
  Connection opened(const Uuid& remote, const std::string& certificate) {
    Connection connection = negotiate(remote, certificate);
    open(connection);
    return connection;
  }

  std::vector<SupersededConnections::Entry> superseded() {
    return SupersededConnections::among(list.peers());
  }

  PeerList& list = PeerList::shared();
  test::PeerListSandbox sandbox;
  const Uuid own = Uuid::random();
};

TEST_F(ConnectionProofTest, OpenedChannelStatesTheIdentifiersOfTheNegotiationAndTakesTheReply) {
  const Uuid remote = Uuid::random();
  const Connection connection = negotiate(remote, "BB");
  // This side comes back to the signalling service under a new identifier while the
  // negotiation is still on its way: the connection stays bound to the identifier it had.
  const Uuid later = Uuid::random();
  list.updatePersonalUUID(later);
  open(connection);

  const auto sent = connection.channel->sent();
  ASSERT_EQ(sent.size(), 1u) << "one statement, before anything else";
  const auto stated = platform::JsonReader::parse(sent[0].bytes);
  ASSERT_TRUE(stated) << sent[0].bytes;
  EXPECT_FALSE(sent[0].binary);
  EXPECT_EQ(stated->string("type"), "connectionProof");
  EXPECT_EQ(stated->uuid("from"), own) << "stated today's identifier, not the negotiation's";
  EXPECT_EQ(stated->uuid("to"), remote);
  const auto identities = stated->int64("identities");
  ASSERT_TRUE(identities);

  // The next connection, negotiated under the new identifier, counts one identity more.
  const Connection next = opened(Uuid::random(), "CC");
  const auto nextStated = platform::JsonReader::parse(next.channel->sent().at(0).bytes);
  ASSERT_TRUE(nextStated);
  EXPECT_EQ(nextStated->uuid("from"), later);
  EXPECT_EQ(nextStated->int64("identities"), *identities + 1);

  connection.channel->deliverText(statement(remote, own));
  EXPECT_TRUE(connection.peer.webRTCClient->remoteIdentity())
      << "a statement that agrees did not prove the connection";
  EXPECT_TRUE(connection.delegate->events().texts.empty()) << "the statement reached the engine";
  connection.channel->deliverText(statement(Uuid::random(), later));
  EXPECT_FALSE(connection.peer.webRTCClient->isClosed()) << "a second statement was taken";
}

TEST_F(ConnectionProofTest, StatementThatDisagreesClosesTheConnectionWhichNeverCounts) {
  const Uuid viewer = Uuid::random();
  const Connection real = opened(viewer, "BB");
  real.channel->deliverText(statement(viewer, own));
  ASSERT_TRUE(real.peer.webRTCClient->remoteIdentity());

  // Each connection reaches the same viewer (the same certificate) but is filed under a
  // forwarder: the viewer states the identifiers it knows, which cannot both agree.
  struct Case {
    const char* what;
    Uuid forwarder;
    std::string statement;
  };
  const Uuid forwarder = Uuid::random();
  const Uuid other = Uuid::random();
  const std::vector<Case> cases{
      {"filed under the forwarder at both ends", forwarder, statement(viewer, forwarder)},
      {"the far end names another side", other, statement(other, Uuid::random())},
      {"the far end is another viewer", Uuid::random(), statement(viewer, own)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Connection relayed = opened(c.forwarder, "BB");
    relayed.channel->deliverText(c.statement);
    EXPECT_TRUE(relayed.peer.webRTCClient->isClosed()) << "the connection stayed open";
    const auto events = relayed.delegate->events();
    ASSERT_EQ(events.states.size(), 1u) << "the engine was not told the connection is lost";
    EXPECT_TRUE(datachannel::isLost(events.states[0]));
    EXPECT_TRUE(events.texts.empty()) << "the statement reached the engine";
    EXPECT_TRUE(superseded().empty()) << "the closed connection took part in the choice";
  }
  EXPECT_FALSE(real.peer.webRTCClient->isClosed());
}

TEST_F(ConnectionProofTest, PeerThatStatesNothingNeitherReplacesNorIsReplaced) {
  const Uuid first = Uuid::random();
  const Connection proven = opened(first, "BB");
  proven.channel->deliverText(statement(first, own, 1));
  // Newer, to the same viewer, but silent.
  const Connection silent = opened(Uuid::random(), "BB");
  EXPECT_TRUE(superseded().empty()) << "a connection that stated nothing replaced one that did";

  const Connection olderSilent = opened(Uuid::random(), "CC");
  const Uuid fourth = Uuid::random();
  const Connection newerProven = opened(fourth, "CC");
  newerProven.channel->deliverText(statement(fourth, own, 2));
  EXPECT_TRUE(superseded().empty()) << "a connection that stated nothing was replaced";
  EXPECT_TRUE(silent.peer.webRTCClient->isConnected());
  EXPECT_TRUE(olderSilent.peer.webRTCClient->isConnected());

  // Between connections that both stated theirs, the rule holds.
  const Uuid fifth = Uuid::random();
  const Connection newest = opened(fifth, "BB");
  newest.channel->deliverText(statement(fifth, own, 2));
  const auto entries = superseded();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].older.uuid, first);
  EXPECT_EQ(entries[0].newer.uuid, fifth);
}

}  // namespace
}  // namespace ombrelia
