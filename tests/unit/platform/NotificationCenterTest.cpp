#include "platform/NotificationCenter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using namespace ombrelia::platform;

TEST(NotificationCenter, CallsObserversSynchronouslyWithThePayload) {
  NotificationCenter center;
  std::vector<int> received;
  std::thread::id observerThread;
  auto token = center.addObserver("Name", [&](const Notification& n) {
    received.push_back(std::any_cast<int>(n.object));
    observerThread = std::this_thread::get_id();
  });
  center.post("Name", 5);
  center.post("Other", 6);
  center.post("Name", 7);
  EXPECT_EQ(received, (std::vector<int>{5, 7}));
  EXPECT_EQ(observerThread, std::this_thread::get_id());
}

TEST(NotificationCenter, DestroyedTokenUnsubscribes) {
  NotificationCenter center;
  int calls = 0;
  {
    auto token = center.addObserver("N", [&](const Notification&) { ++calls; });
    center.post("N");
  }
  center.post("N");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(center.observerCount("N"), 0u);
}

TEST(NotificationCenter, ObserverRemovedByAnotherDuringAPostIsNotCalled) {
  NotificationCenter center;
  std::optional<ObserverToken> second;
  std::vector<std::string> calls;
  auto first = center.addObserver("N", [&](const Notification&) {
    calls.push_back("first");
    second.reset();
  });
  second = center.addObserver("N", [&](const Notification&) { calls.push_back("second"); });
  center.post("N");
  EXPECT_EQ(calls, (std::vector<std::string>{"first"}));
}

TEST(NotificationCenter, ObserverMayRemoveItselfAndAddOthersDuringAPost) {
  NotificationCenter center;
  ObserverToken self;
  std::vector<ObserverToken> added;
  int selfCalls = 0;
  int addedCalls = 0;
  self = center.addObserver("N", [&](const Notification&) {
    ++selfCalls;
    self.reset();
    added.push_back(center.addObserver("N", [&](const Notification&) { ++addedCalls; }));
  });
  center.post("N");
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(addedCalls, 0) << "an observer added during a post waits for the next post";
  center.post("N");
  EXPECT_EQ(selfCalls, 1);
  EXPECT_EQ(addedCalls, 1);
}

TEST(NotificationCenter, ObserverMayPostFromInsideAnObserver) {
  NotificationCenter center;
  int inner = 0;
  auto outerToken = center.addObserver("Outer", [&](const Notification&) { center.post("Inner"); });
  auto innerToken = center.addObserver("Inner", [&](const Notification&) { ++inner; });
  center.post("Outer");
  EXPECT_EQ(inner, 1);
}

TEST(NotificationCenterConcurrency, PostsAndRemovalsFromManyThreadsAreSafe) {
  NotificationCenter center;
  std::atomic<int> calls{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> posters;
  for (int i = 0; i < 3; ++i) {
    posters.emplace_back([&] {
      while (!stop)
        center.post("N", 1);
    });
  }
  for (int i = 0; i < 500; ++i) {
    auto token = center.addObserver(
        "N", [&](const Notification& n) { calls.fetch_add(std::any_cast<int>(n.object)); });
  }
  stop = true;
  for (auto& p : posters)
    p.join();
  EXPECT_EQ(center.observerCount("N"), 0u);
}

TEST(NotificationCenter, TokenOutlivingItsCentreIsHarmless) {
  ObserverToken token;
  {
    NotificationCenter center;
    token = center.addObserver("N", [](const Notification&) {});
  }
  token.reset();
  SUCCEED();
}
