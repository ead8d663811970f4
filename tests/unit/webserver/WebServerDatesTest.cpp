#include "webserver/core/WebServerDates.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace ombrelia;
using std::chrono::seconds;

TEST(WebServerDates, FormatsAKnownHttpDate) {
  const WebServerDate date{seconds(784111777)};
  EXPECT_EQ(WebServerFormatRFC822(date), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(WebServerParseRFC822("Sun, 06 Nov 1994 08:49:37 GMT"), date);
  // Dates before the epoch and leap days.
  EXPECT_EQ(WebServerFormatRFC822(WebServerDate{seconds(-1)}), "Wed, 31 Dec 1969 23:59:59 GMT");
  EXPECT_EQ(WebServerFormatISO8601(WebServerDate{seconds(951782400)}), "2000-02-29T00:00:00+00:00");
}

TEST(WebServerDates, RefusesEveryOtherForm) {
  for (const char *text : {"Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994",
                           "Sun, 06 Nov 1994 08:49:37 GMT ", "Sun, 31 Feb 1994 08:49:37 GMT",
                           "Sun, 06 Nov 1994 24:49:37 GMT", ""})
    EXPECT_EQ(WebServerParseRFC822(text), std::nullopt) << text;
  EXPECT_EQ(WebServerParseISO8601("1994-11-06T08:49:37Z"), std::nullopt);
}

TEST(WebServerDates, RefusesDatesTheClockCannotHold) {
  // A client's If-Modified-Since may name any four-digit year; the clock holds 1677 to 2262.
  EXPECT_EQ(WebServerParseRFC822("Sun, 06 Nov 9914 08:49:37 GMT"), std::nullopt);
  EXPECT_EQ(WebServerParseRFC822("Sun, 06 Nov 1600 08:49:37 GMT"), std::nullopt);
  EXPECT_EQ(WebServerParseISO8601("9999-12-31T23:59:59+00:00"), std::nullopt);
  EXPECT_EQ(WebServerParseRFC822("Fri, 11 Apr 2262 23:47:17 GMT"), std::nullopt);
  EXPECT_EQ(WebServerParseRFC822("Fri, 11 Apr 2262 23:47:16 GMT"),
            WebServerDate{seconds(9223372036)});
}

TEST(WebServerDates, RoundTripsFromEightThreadsAtOnce) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &mismatches] {
      for (int i = 0; i < 5000; ++i) {
        const WebServerDate date{seconds(int64_t{t} * 977'000'000 + int64_t{i} * 86'461)};
        if (WebServerParseRFC822(WebServerFormatRFC822(date)) != date)
          ++mismatches;
        if (WebServerParseISO8601(WebServerFormatISO8601(date)) != date)
          ++mismatches;
      }
    });
  }
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}
