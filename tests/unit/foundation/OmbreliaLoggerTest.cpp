#include <ombrelia/OLoggerConfig.hpp>
#include <ombrelia/OmbreliaLogger.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace ombrelia;

namespace {

std::string captured(const std::function<void()>& body) {
  testing::internal::CaptureStdout();
  body();
  return testing::internal::GetCapturedStdout();
}

struct Wrapper {
  OLogLevel level;
  const char* label;
  void (*call)(std::string_view, OLogModule);
};

const Wrapper kWrappers[] = {
    {OLogLevel::error, "Error", &OmbreliaLogger::error},
    {OLogLevel::info, "Info", &OmbreliaLogger::info},
    {OLogLevel::debug, "Debug", &OmbreliaLogger::debug},
    {OLogLevel::trace, "Trace", &OmbreliaLogger::trace},
};

// The modules each active level enables, written out independently of the implementation.
bool expectedEnabled(OLogLevel active, OLogModule m) {
  switch (active) {
    case OLogLevel::none:
      return false;
    case OLogLevel::error:
      return m != OLogModule::videoStatus && m != OLogModule::parallelRequestCounter &&
             m != OLogModule::hlsManifestModifier && m != OLogModule::webserver;
    case OLogLevel::info:
      return m == OLogModule::videoStatus || m == OLogModule::downloadController ||
             m == OLogModule::p2pUpload;
    case OLogLevel::debug:
      return m != OLogModule::playlistFetcher && m != OLogModule::webserver;
    case OLogLevel::trace:
      return true;
  }
  return false;
}

}  // namespace

TEST(OmbreliaLogger, FollowsTheActiveLevelTimesMessageLevelTimesModuleMatrix) {
  for (int activeRaw = 0; activeRaw <= 4; ++activeRaw) {
    const OLogLevel active = *makeOLogLevel(activeRaw);
    OLoggerConfig::shared().setActiveLogLevel(active);
    for (const auto& w : kWrappers) {
      for (OLogModule m : allOLogModules()) {
        const std::string out = captured([&] { w.call("msg", m); });
        const bool shouldPrint = active >= w.level && expectedEnabled(active, m);
        const std::string expected = shouldPrint ? "[Ombrelia] [" + std::string(w.label) + "] [" +
                                                       std::string(rawValue(m)) + "] msg\n"
                                                 : "";
        EXPECT_EQ(out, expected) << "active " << activeRaw << ", message " << w.label << ", module "
                                 << rawValue(m);
      }
    }
  }
}

TEST(OmbreliaLogger, TextAPeerChoseStaysOneLineWithItsControlCharactersEscaped) {
  // A channel label, as a peer may choose it: a line break and a forged line, a carriage
  // return, a terminal escape, a NEL (U+0085), and text that must pass untouched.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  const std::string label =
      "P2P\n[Ombrelia] [Error] [WebRTCClient] forged\r\x1b[2J\xc2\x85\x7f caf\xc3\xa9 \\n\t";
  const std::string out = captured(
      [&] { OmbreliaLogger::error("label \"" + label + "\" refused", OLogModule::webRTCClient); });
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_EQ(out,
            "[Ombrelia] [Error] [WebRTCClient] label \"P2P\\x0a[Ombrelia] [Error] [WebRTCClient] "
            "forged\\x0d\\x1b[2J\\u0085\\x7f caf\xc3\xa9 \\n\\x09\" refused\n");
}

TEST(OmbreliaLogger, BytesOutsideUtf8AndTheUnicodeLineSeparatorsAreEscapedToo) {
  // Raw C1 bytes (NEL and the terminal's escape introducer as Latin-1 has them), a cut
  // sequence, U+2028 and U+2029; then text of two, three and four bytes that must pass untouched.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  const std::string label =
      "a\x85"
      "b\x9b"
      "2Jc\xe2\x80\xa8"
      "d\xe2\x80\xa9"
      "e\xc3 \xe2\x82 "
      "\xc4\x80\xe2\x82\xac\xf0\x9f\x98\x80";
  const std::string out =
      captured([&] { OmbreliaLogger::error("label \"" + label + "\"", OLogModule::webRTCClient); });
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);
  EXPECT_EQ(out,
            "[Ombrelia] [Error] [WebRTCClient] label \"a\\x85b\\x9b"
            "2Jc\\u2028d\\u2029e\\xc3 "
            "\\xe2\\x82 \xc4\x80\xe2\x82\xac\xf0\x9f\x98\x80\"\n");
}

TEST(OmbreliaLoggerConcurrency, LinesFromManyThreadsNeverInterleave) {
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
  const std::string out = captured([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] {
        const std::string body(200 + t * 37, static_cast<char>('a' + t));
        for (int i = 0; i < 200; ++i) OmbreliaLogger::debug(body, OLogModule::videoStorage);
      });
    }
    // The level changes while others log: it is read atomically.
    for (int i = 0; i < 100; ++i) OLoggerConfig::shared().setActiveLogLevel(OLogLevel::debug);
    for (auto& t : threads) t.join();
  });
  std::istringstream lines(out);
  std::string line;
  int count = 0;
  const std::regex shape(R"(\[Ombrelia\] \[Debug\] \[VideoStorage\] ([a-h])\1*)");
  while (std::getline(lines, line)) {
    ASSERT_TRUE(std::regex_match(line, shape)) << "interleaved line: " << line.substr(0, 80);
    ++count;
  }
  EXPECT_EQ(count, 8 * 200);
}

TEST(OmbreliaLoggerConcurrency, LinesLongerThanAPipeWriteArriveWholeThroughASlowPipe) {
  // A pipe takes at most 4 KiB in one uninterrupted write; a slow reader keeps it full, so a
  // longer line goes out in pieces that other threads' lines could split.
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::error);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ASSERT_GE(::dup2(fds[1], STDOUT_FILENO), 0);
  ::close(fds[1]);
  std::string out;
  std::thread reader([&] {
    char buffer[700];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0)
      out.append(buffer, static_cast<size_t>(n));
  });
  constexpr int kThreads = 6;
  constexpr int kLines = 12;
  constexpr size_t kLength = 40 * 1024;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(kLength, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) OmbreliaLogger::error(body, OLogModule::proxy);
    });
  }
  for (auto& t : threads) t.join();
  ::dup2(saved, STDOUT_FILENO);  // closes the pipe's last writer, so the reader ends
  ::close(saved);
  reader.join();
  ::close(fds[0]);
  OLoggerConfig::shared().setActiveLogLevel(OLogLevel::none);

  std::istringstream lines(out);
  std::string line;
  int count = 0;
  const std::string prefix = "[Ombrelia] [Error] [Proxy] ";
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.size(), prefix.size() + kLength) << "a line was split by another";
    ASSERT_TRUE(line.starts_with(prefix));
    const char c = line[prefix.size()];
    ASSERT_EQ(line.find_first_not_of(c, prefix.size()), std::string::npos) << "interleaved line";
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}
