#include "foundation/RepeatedLog.hpp"

#include <ombrelia/OLoggerConfig.hpp>

#include <gtest/gtest.h>

#include <string>

using namespace ombrelia;

namespace {

size_t linesIn(const std::string& out) {
  size_t lines = 0;
  for (const char c : out) lines += c == '\n' ? 1 : 0;
  return lines;
}

struct ManualClock {
  RepeatedLog::Clock::time_point now{};
};

}  // namespace

TEST(RepeatedLog, AFloodFromOnePartyIsToldOnceThenSummarisedOnceAMinute) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  ManualClock clock;
  RepeatedLog log([&] { return clock.now; });
  const auto line = [] { return std::string("send refused"); };
  testing::internal::CaptureStdout();
  for (int i = 0; i < 100000; ++i) log.log("full", 1, line, OLogModule::webRTCClient);
  clock.now += std::chrono::seconds(59);
  log.log("full", 1, line, OLogModule::webRTCClient);
  const std::string first = testing::internal::GetCapturedStdout();
  EXPECT_EQ(linesIn(first), 1u) << first;

  testing::internal::CaptureStdout();
  clock.now += std::chrono::seconds(1);
  log.log("full", 1, line, OLogModule::webRTCClient);
  // Another party, and another cause of the same party, are told on their own.
  log.log("full", 2, line, OLogModule::webRTCClient);
  log.log("closed", 1, line, OLogModule::webRTCClient);
  const std::string second = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_EQ(linesIn(second), 3u) << second;
  EXPECT_NE(second.find("send refused (and 100000 more like it"), std::string::npos) << second;
}

TEST(RepeatedLog, PartiesPastTheTableShareOneEntryAndNothingIsCountedWhileSilent) {
  ManualClock clock;
  RepeatedLog log([&] { return clock.now; });
  bool built = false;
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  log.log(
      "full", 1, [&] { return built = true, std::string("x"); }, OLogModule::webRTCClient);
  EXPECT_FALSE(built);
  EXPECT_EQ(log.tracked(), 0u);

  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  testing::internal::CaptureStdout();
  const size_t parties = RepeatedLog::kMaxTracked * 4;
  for (uintptr_t party = 1; party <= parties; ++party)
    log.log(
        "full", party, [] { return std::string("x"); }, OLogModule::webRTCClient);
  const std::string out = testing::internal::GetCapturedStdout();
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_EQ(linesIn(out), RepeatedLog::kMaxTracked + 1);
  EXPECT_EQ(log.tracked(), RepeatedLog::kMaxTracked + 1);
}
