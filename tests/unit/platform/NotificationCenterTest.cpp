#include "platform/NotificationCenter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

using namespace ombrelia::platform;

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
