#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "platform/CurlSocketWatch.hpp"
#include "support/OpenDescriptors.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::platform {
namespace {

using namespace std::chrono_literals;

struct Pair {
  int watched = -1;
  int peer = -1;
};

Pair socketPair() {
  int ends[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
  return {ends[0], ends[1]};
}

// A new socket put under `number`, which must be free: the process reuses a number as soon as
// it is closed, and this makes that happen on purpose.
Pair socketPairUnder(int number) {
  Pair fresh = socketPair();
  if (fresh.watched == number) return fresh;
  if (fresh.peer == number) return {fresh.peer, fresh.watched};
  EXPECT_EQ(::dup2(fresh.watched, number), number);
  ::close(fresh.watched);
  return {number, fresh.peer};
}

void makeReadable(const Pair& pair) { ASSERT_EQ(::write(pair.peer, "x", 1), 1); }

std::vector<CurlSocketWatch::Ready> readyWithin(CurlSocketWatch& watch,
                                                std::chrono::milliseconds bound) {
  std::vector<CurlSocketWatch::Ready> ready;
  watch.wait(static_cast<int>(bound.count()), ready);
  return ready;
}

// libcurl may say it stops watching a connection's socket only after that socket was closed
// and its number handed to the next connection: that removal must not take the new
// connection's watch, or its transfer would hear nothing until its silence limit.
TEST(CurlSocketWatchTest, LateRemovalOfAClosedSocketLeavesTheNextOneUnderItsNumberWatched) {
  CurlSocketWatch watch;
  ASSERT_TRUE(watch.usable());
  const Pair first = socketPair();
  watch.opened(first.watched);
  void* firstToken = watch.update(first.watched, CURL_POLL_IN, nullptr);
  makeReadable(first);
  const auto firstReady = readyWithin(watch, test::scaledWait(5s));
  ASSERT_EQ(firstReady.size(), 1u);

  watch.closing(first.watched);
  ::close(first.watched);
  const Pair second = socketPairUnder(first.watched);
  watch.opened(second.watched);
  // libcurl keeps the first's token until it learns it gave the socket up.
  void* secondToken = watch.update(second.watched, CURL_POLL_IN, firstToken);
  EXPECT_NE(secondToken, firstToken);
  EXPECT_FALSE(watch.current(firstReady[0])) << "an event of the closed socket went to the next";
  watch.update(first.watched, CURL_POLL_REMOVE, firstToken);

  EXPECT_EQ(watch.watched(), 1u) << "the late removal took the new socket out of the set";
  makeReadable(second);
  const auto ready = readyWithin(watch, test::scaledWait(5s));
  ASSERT_EQ(ready.size(), 1u) << "the new socket's data was not seen";
  EXPECT_EQ(ready[0].socket, second.watched);
  EXPECT_TRUE(watch.current(ready[0]));
  EXPECT_NE(ready[0].bits & CURL_CSELECT_IN, 0);

  // Its own removal, then its close, take it out for good.
  watch.update(second.watched, CURL_POLL_REMOVE, secondToken);
  EXPECT_EQ(watch.watched(), 0u);
  watch.closing(second.watched);
  ::close(second.watched);
  ::close(first.peer);
  ::close(second.peer);
}

// A socket libcurl opens itself (its resolver's) is watched through a duplicate the watch owns,
// so that no number is ever handed to epoll after libcurl closed it; the duplicate goes when
// libcurl says so, or when another socket turns up under that number.
TEST(CurlSocketWatchTest, SocketLibcurlOpenedItselfIsWatchedThroughADuplicateThatDoesNotOutliveIt) {
  CurlSocketWatch watch;
  ASSERT_TRUE(watch.usable());
  const size_t descriptorsBefore = test::openDescriptorCount();
  const Pair resolver = socketPair();
  void* token = watch.update(resolver.watched, CURL_POLL_IN, nullptr);
  EXPECT_EQ(test::openDescriptorCount(), descriptorsBefore + 3) << "the pair and one duplicate";
  makeReadable(resolver);
  const auto ready = readyWithin(watch, test::scaledWait(5s));
  ASSERT_EQ(ready.size(), 1u);
  EXPECT_EQ(ready[0].socket, resolver.watched) << "libcurl is told of its own number";

  // Closed without a word, its number taken by another of libcurl's own sockets.
  ::close(resolver.watched);
  const Pair next = socketPairUnder(resolver.watched);
  void* nextToken = watch.update(next.watched, CURL_POLL_IN, token);
  EXPECT_NE(nextToken, token);
  EXPECT_EQ(test::openDescriptorCount(), descriptorsBefore + 4)
      << "the old duplicate was kept beside the new one";
  EXPECT_TRUE(readyWithin(watch, 0ms).empty()) << "the closed socket's data was reported";
  makeReadable(next);
  EXPECT_EQ(readyWithin(watch, test::scaledWait(5s)).size(), 1u);

  watch.update(next.watched, CURL_POLL_REMOVE, nextToken);
  EXPECT_EQ(watch.watched(), 0u);
  EXPECT_EQ(test::openDescriptorCount(), descriptorsBefore + 3) << "the duplicate outlived it";
  ::close(resolver.peer);
  ::close(next.watched);
  ::close(next.peer);
}

}  // namespace
}  // namespace ombrelia::platform
