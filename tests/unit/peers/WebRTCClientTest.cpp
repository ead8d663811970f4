#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include <ombrelia/OLoggerConfig.hpp>

#include "peers/WebRTCClient.hpp"
#include "peers/WebRTCConfig.hpp"
#include "protocol/FileRequestMessage.hpp"
#include "support/FakePeerConnectionFactory.hpp"
#include "support/RecordingClientDelegate.hpp"

namespace ombrelia {
namespace {

using datachannel::DCIceState;
using test::FakeDataChannel;
using test::FakePeerConnection;
using test::FakePeerConnectionFactory;
using test::RecordingClientDelegate;
using Frame = FakeDataChannel::Frame;

class WebRTCClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = WebRTCClient::create({"stun:a.example:19302"}, factory);
    ASSERT_TRUE(client);
    connection = factory.last();
    client->setDelegate(delegate);
  }
  void TearDown() override { OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none); }

  std::shared_ptr<FakeDataChannel> offerChannel() {
    client->offer([](const SessionDescription&) {});
    return connection->createdChannels().back();
  }

  FakePeerConnectionFactory factory;
  std::shared_ptr<RecordingClientDelegate> delegate = std::make_shared<RecordingClientDelegate>();
  std::shared_ptr<WebRTCClient> client;
  std::shared_ptr<FakePeerConnection> connection;
};

TEST_F(WebRTCClientTest, RefusedConnectionGivesNoClientAndAnErrorLine) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  factory.refuse(true);
  testing::internal::CaptureStdout();
  auto refused = WebRTCClient::create({}, factory);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_FALSE(refused);
  EXPECT_NE(out.find("[Error] [WebRTCClient] Could not create new RTCPeerConnection"),
            std::string::npos)
      << out;
}

TEST_F(WebRTCClientTest, LocalDescriptionCompletesAnswersFirstThenOffersAndEmptiesBothLists) {
  std::vector<std::string> completed;
  auto record = [&](const char* who) {
    return [&completed, who](const SessionDescription& description) {
      completed.push_back(std::string(who) + ":" + std::string(rawValue(description.type)) + ":" +
                          description.sdp);
    };
  };
  client->offer(record("offer"));
  ASSERT_EQ(connection->createdChannels().size(), 1u);
  EXPECT_EQ(connection->createdChannels()[0]->label(), "P2P");
  client->answer(record("answer"));
  EXPECT_TRUE(completed.empty());

  connection->deliverLocalDescription("sdp-1");
  EXPECT_EQ(completed, (std::vector<std::string>{"answer:answer:sdp-1", "offer:offer:sdp-1"}));
  connection->deliverLocalDescription("sdp-2");
  EXPECT_EQ(completed.size(), 2u) << "the lists must be empty after a description";
  EXPECT_EQ(client->localDescription(), "sdp-2");

  client->answer(record("late"));
  EXPECT_EQ(completed.back(), "late:answer:sdp-2") << "a stored description answers at once";
}

TEST_F(WebRTCClientTest, OnlyTheAnsweringSidesFirstRemoteCandidateCompletesWithTrue) {
  std::vector<bool> offering;
  for (int i = 0; i < 2; ++i) {
    client->setRemoteCandidate("candidate:" + std::to_string(i), "0",
                               [&](bool send) { offering.push_back(send); });
  }
  EXPECT_EQ(offering, (std::vector<bool>{false, false}));
  EXPECT_TRUE(client->alreadyHasRemoteCandidate());
  EXPECT_EQ(connection->remoteCandidates().size(), 2u);
  EXPECT_EQ(connection->remoteCandidates()[1],
            (std::pair<std::string, std::string>{"candidate:1", "0"}));

  // Candidates applied at once from several threads still give true exactly once.
  auto answering = WebRTCClient::create({}, factory);
  answering->answer([](const SessionDescription&) {});
  std::atomic<int> trues{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        answering->setRemoteCandidate("candidate:" + std::to_string(t * 100 + i), "a",
                                      [&](bool send) { trues += send ? 1 : 0; });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(trues.load(), 1);
}

TEST_F(WebRTCClientTest, SendsOnTheRemoteChannelFirstThenTheLocalOneElseNowhere) {
  client->sendData(Data(std::string("nobody")), false);  // no channel: dropped, no crash

  auto answering = WebRTCClient::create({}, factory);
  auto answeringConnection = factory.last();
  auto remote = std::make_shared<FakeDataChannel>();
  answeringConnection->deliverDataChannel(remote);
  answering->sendData(Data(std::string("to remote")), false);
  EXPECT_EQ(remote->sent(), (std::vector<Frame>{{false, "to remote"}}));

  auto local = offerChannel();
  client->sendData(Data(std::string("to local")), false);
  EXPECT_EQ(local->sent(), (std::vector<Frame>{{false, "to local"}}));
}

TEST_F(WebRTCClientTest, OnlyTheExchangeChannelIsSentOnAndDecidesTheConnectedState) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  // The peer opens a channel of another label first, then the exchange's, then a second one.
  auto junk = std::make_shared<FakeDataChannel>("junk");
  connection->deliverDataChannel(junk);
  auto p2p = std::make_shared<FakeDataChannel>();
  connection->deliverDataChannel(p2p);
  auto second = std::make_shared<FakeDataChannel>();
  connection->deliverDataChannel(second);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(junk->closeRequested());
  EXPECT_TRUE(second->closeRequested());
  EXPECT_FALSE(p2p->closeRequested());
  EXPECT_NE(out.find("data channel \"junk\" from the peer refused"), std::string::npos) << out;

  p2p->deliverOpen();
  junk->deliverOpen();
  junk->deliverClosed();
  second->deliverClosed();
  EXPECT_TRUE(client->isConnected()) << "only the exchange's channel closing disconnects";
  client->sendData(Data(std::string("hello")), false);
  EXPECT_EQ(p2p->sent(), (std::vector<Frame>{{false, "hello"}}));
  EXPECT_TRUE(junk->sent().empty());
  EXPECT_TRUE(second->sent().empty());

  // On the offering side the exchange runs on its own channel: a remote one is refused too.
  auto offering = WebRTCClient::create({}, factory);
  auto offeringConnection = factory.last();
  offering->offer([](const SessionDescription&) {});
  auto local = offeringConnection->createdChannels().back();
  auto intruder = std::make_shared<FakeDataChannel>();
  offeringConnection->deliverDataChannel(intruder);
  EXPECT_TRUE(intruder->closeRequested());
  offering->sendData(Data(std::string("own")), false);
  EXPECT_EQ(local->sent(), (std::vector<Frame>{{false, "own"}}));
  EXPECT_TRUE(intruder->sent().empty());
}

TEST_F(WebRTCClientTest, ConnectionWhoseExchangeChannelClosedEndsAsLostWhateverThePeerReopens) {
  // Answering: the peer closes its "P2P" and opens another, which the connection cannot take in
  // its place; left standing, it would stay listed, never connected, its requests unanswered.
  auto p2p = std::make_shared<FakeDataChannel>();
  connection->deliverDataChannel(p2p);
  p2p->deliverOpen();
  ASSERT_TRUE(client->isConnected());
  p2p->deliverClosed();
  auto reopened = std::make_shared<FakeDataChannel>();
  connection->deliverDataChannel(reopened);
  EXPECT_EQ(delegate->events().states, std::vector<DCIceState>{DCIceState::closed})
      << "the delegate never heard the connection is gone";
  EXPECT_TRUE(client->isClosed()) << "a connection without its channel still stands";
  EXPECT_FALSE(client->isConnected());
  EXPECT_FALSE(client->sendData(Data(std::string("after")), false));
  EXPECT_TRUE(reopened->sent().empty());

  // Offering: the peer resets this side's own channel.
  auto offeringDelegate = std::make_shared<RecordingClientDelegate>();
  auto offering = WebRTCClient::create({}, factory);
  offering->setDelegate(offeringDelegate);
  auto offeringConnection = factory.last();
  offering->offer([](const SessionDescription&) {});
  auto local = offeringConnection->createdChannels().back();
  local->deliverOpen();
  local->deliverClosed();
  EXPECT_EQ(offeringDelegate->events().states, std::vector<DCIceState>{DCIceState::closed});
  EXPECT_TRUE(offering->isClosed());
}

TEST_F(WebRTCClientTest, ChunksGoOutAsBinaryAndAreReportedButStrayBytesAreNot) {
  auto channel = offerChannel();
  const std::string chunk(24 + 100, '\x80');
  client->sendFileChunkData(Data(chunk));
  client->sendData(Data(std::string("\xff\xfe")), false);  // not UTF-8: binary, unreported
  client->sendData(Data(std::string("plain")), true);
  EXPECT_EQ(channel->sent(),
            (std::vector<Frame>{{true, chunk}, {true, "\xff\xfe"}, {true, "plain"}}));
  EXPECT_EQ(delegate->events().sent, (std::vector<int64_t>{124, 5}));
}

TEST_F(WebRTCClientTest, RecordThatCannotBeEncodedIsLoggedAndNotSent) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  auto channel = offerChannel();
  testing::internal::CaptureStdout();
  client->sendFileRequestMessage(
      FileRequestMessage("fileRequest", Uuid::random(), "video\xff", 1, 1, "video"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(channel->sent().empty());
  EXPECT_NE(
      out.find("[Error] [WebRTCClient] FileRequestMessage error converting dictionary to data: "),
      std::string::npos)
      << out;
}

TEST_F(WebRTCClientTest, CandidatesReachTheDelegateMarkedByWhetherTheBurstWasTaken) {
  connection->deliverLocalCandidate("candidate:1", "0");
  connection->deliverLocalCandidate("candidate:2", "0");
  const auto burst = client->markBurstSent();
  connection->deliverLocalCandidate("candidate:3", "1");

  ASSERT_EQ(burst.size(), 2u);
  EXPECT_EQ(burst[1].candidate, "candidate:2");
  EXPECT_EQ(client->localCandidate(),
            (std::vector<std::string>{"candidate:1", "candidate:2", "candidate:3"}));
  EXPECT_EQ(client->localMid(), (std::vector<std::string>{"0", "0", "1"}));
  const auto reported = delegate->events().candidates;
  ASSERT_EQ(reported.size(), 3u);
  EXPECT_FALSE(reported[0].afterBurst);
  EXPECT_FALSE(reported[1].afterBurst);
  EXPECT_EQ(reported[2], (LocalCandidate{"candidate:3", "1", true}));
}

TEST_F(WebRTCClientTest, BurstTakenDuringGatheringLosesNoCandidateAndRepeatsNone) {
  constexpr int kCandidates = 400;
  std::vector<LocalCandidate> burst;
  std::thread gatherer([&] {
    for (int i = 0; i < kCandidates; ++i) {
      connection->deliverLocalCandidate("candidate:" + std::to_string(i), "0");
    }
  });
  std::thread negotiator([&] {
    while (client->localCandidates().size() < kCandidates / 4) std::this_thread::yield();
    burst = client->markBurstSent();
  });
  gatherer.join();
  negotiator.join();

  std::multiset<std::string> sent;
  for (const auto& candidate : burst) sent.insert(candidate.candidate);
  for (const auto& candidate : delegate->events().candidates) {
    if (candidate.afterBurst) sent.insert(candidate.candidate);
  }
  EXPECT_EQ(sent.size(), size_t{kCandidates});
  EXPECT_EQ(std::set<std::string>(sent.begin(), sent.end()).size(), size_t{kCandidates});
}

TEST_F(WebRTCClientTest, CloseLetsTheConnectionGoAndDropsQueuedCompletionsUncalled) {
  auto local = offerChannel();
  auto token = std::make_shared<int>(0);
  bool called = false;
  client->answer([token, &called](const SessionDescription&) { called = true; });
  client->offer([token, &called](const SessionDescription&) { called = true; });
  local->deliverOpen();
  std::weak_ptr<FakePeerConnection> weakConnection = connection;
  connection.reset();

  client->close();
  EXPECT_TRUE(weakConnection.expired()) << "the connection must close while the client lives";
  EXPECT_EQ(token.use_count(), 1) << "queued completions must be released";
  EXPECT_FALSE(called);
  EXPECT_FALSE(client->isConnected());

  local->deliverText("late");
  local->deliverOpen();
  client->sendData(Data(std::string("after close")), false);
  client->offer([&called](const SessionDescription&) { called = true; });
  EXPECT_FALSE(called);
  EXPECT_FALSE(client->isConnected());
  EXPECT_TRUE(delegate->events().texts.empty());
  EXPECT_EQ(local->sent().size(), 0u);
}

TEST_F(WebRTCClientTest, DelegateMayDropTheLastReferenceFromInsideACallback) {
  auto holder = std::make_shared<std::shared_ptr<WebRTCClient>>(client);
  delegate->onState = [holder](WebRTCClient& caller, DCIceState) {
    caller.close();
    holder->reset();
  };
  std::weak_ptr<WebRTCClient> weak = client;
  client.reset();
  auto fake = connection;  // keeps the scripted connection while the client lets it go
  fake->deliverState(DCIceState::failed);
  EXPECT_TRUE(weak.expired());
  fake->deliverState(DCIceState::closed);  // no client left: nothing runs
  EXPECT_EQ(delegate->events().states, std::vector<DCIceState>{DCIceState::failed});
}

}  // namespace
}  // namespace ombrelia
