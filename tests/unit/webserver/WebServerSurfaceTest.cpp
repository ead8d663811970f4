// What a started server tells about itself: the settings its start took from the options, the
// log helpers, and the priority of the threads that run its handlers.

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "support/LoopbackClient.hpp"
#include "support/WebServerEventLog.hpp"
#include "webserver/core/WebServer.hpp"
#include "webserver/core/WebServerIOPool.hpp"
#include "webserver/core/WebServerLog.hpp"
#include "webserver/responses/WebServerDataResponse.hpp"

using namespace ombrelia;
using namespace std::chrono_literals;

namespace {

// A server at `priority` whose handler answers with the nice value of the thread running it.
std::shared_ptr<WebServer> reportingNice(int priority) {
  auto server = WebServer::create();
  server->addDefaultHandlerForMethod(
      "GET", WebServerRequestClass<WebServerRequest>(),
      [](const std::shared_ptr<WebServerRequest>&) {
        const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
        return WebServerDataResponse::responseWithText(std::to_string(nice));
      });
  WebServerOptions options;
  options.bindToLocalhost = true;
  options.dispatchQueuePriority = priority;
  EXPECT_TRUE(server->startWithOptions(options));
  return server;
}

int handlerNice(const WebServer& server) {
  auto client = test::LoopbackClient::connect(server.port());
  if (!client) return 1000;
  client->send("GET / HTTP/1.1\r\n\r\n");
  const std::string raw = client->readAll();
  const size_t body = raw.find("\r\n\r\n");
  return body == std::string::npos ? 1000 : std::stoi(raw.substr(body + 4));
}

int processNice() { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::getpid())); }

bool threadMayRaisePriority() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_SYS_NICE / 32].effective & (1u << (CAP_SYS_NICE % 32))) != 0;
}

// Threads started by this thread from now on inherit the loss of the capability; the limit is
// the process's.
void dropTheRightToRaisePriority() {
  const rlimit none{0, 0};
  ASSERT_EQ(::setrlimit(RLIMIT_NICE, &none), 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  ASSERT_EQ(::syscall(SYS_capget, &header, data), 0);
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
}

}  // namespace

TEST(WebServerSurface, ReadsBackWhatItsStartTookFromTheOptions) {
  auto server = WebServer::create();
  auto handler = [](const std::shared_ptr<WebServerRequest>&) {
    return WebServerDataResponse::responseWithText("x");
  };
  server->addDefaultHandlerForMethod("GET", WebServerRequestClass<WebServerRequest>(), handler);
  server->addDefaultHandlerForMethod("PUT", WebServerRequestClass<WebServerRequest>(), handler);
  ASSERT_EQ(server->handlers().size(), 2u);
  WebServerRequestInfo put;
  put.method = "PUT";
  EXPECT_NE(server->handlers()[0]->matchBlock(put), nullptr) << "the last added comes first";

  WebServerOptions basic;
  basic.bindToLocalhost = true;
  basic.serverName = "Ombrelia";
  basic.authenticationMethod = WebServerAuthenticationMethod::basic;
  basic.authenticationAccounts = {{"user", "pass"}};
  basic.automaticallyMapHEADToGET = false;
  basic.dispatchQueuePriority = -2;
  ASSERT_TRUE(server->startWithOptions(basic));
  EXPECT_EQ(server->authenticationRealm(), "Ombrelia") << "the realm defaults to the server name";
  EXPECT_EQ(server->authenticationBasicAccounts(),
            (std::map<std::string, std::string>{{"user", "dXNlcjpwYXNz"}}));
  EXPECT_TRUE(server->authenticationDigestAccounts().empty());
  EXPECT_FALSE(server->shouldAutomaticallyMapHEADToGET());
  EXPECT_EQ(server->dispatchQueuePriority(), -2);
  server->stop();

  WebServerOptions digest;
  digest.bindToLocalhost = true;
  digest.authenticationMethod = WebServerAuthenticationMethod::digestAccess;
  digest.authenticationRealm = "realm";
  digest.authenticationAccounts = {{"user", "pass"}};
  ASSERT_TRUE(server->startWithOptions(digest));
  EXPECT_EQ(server->authenticationRealm(), "realm");
  // MD5 of "user:realm:pass".
  EXPECT_EQ(server->authenticationDigestAccounts(),
            (std::map<std::string, std::string>{{"user", "8493fbc53ba582fb4c044c456bdc40eb"}}));
  EXPECT_TRUE(server->authenticationBasicAccounts().empty());
  EXPECT_TRUE(server->shouldAutomaticallyMapHEADToGET());
  EXPECT_EQ(server->dispatchQueuePriority(), 0);
  // Nothing published, nothing mapped.
  EXPECT_EQ(server->bonjourName(), std::nullopt);
  EXPECT_EQ(server->bonjourType(), std::nullopt);
  EXPECT_EQ(server->bonjourServerURL(), std::nullopt);
  EXPECT_EQ(server->publicServerURL(), std::nullopt);
  server->stop();
}

TEST(WebServerSurface, LogHelpersFormatAtTheirLevelsAndHonourTheLogLevel) {
  test::WebServerEventLog log;
  WebServer::logVerbose("%s %d", "verbose", 1);
  WebServer::logInfo("%s %d", "info", 2);
  WebServerSetLogLevel(kWebServerLogWarning);
  WebServer::logInfo("dropped below the level");
  WebServer::logWarning("%s %d", "warning", 3);
  WebServer::logError("%s%%", "error 4");
  WebServerSetLogLevel(kWebServerLogDebug);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].level, kWebServerLogVerbose);
  EXPECT_EQ(lines[0].text, "verbose 1");
  EXPECT_EQ(lines[1].level, kWebServerLogInfo);
  EXPECT_EQ(lines[1].text, "info 2");
  EXPECT_EQ(lines[2].level, kWebServerLogWarning);
  EXPECT_EQ(lines[2].text, "warning 3");
  EXPECT_EQ(lines[3].level, kWebServerLogError);
  EXPECT_EQ(lines[3].text, "error 4%");
}

TEST(WebServerSurface, RunsHandlersOnThreadsOfTheAskedPriority) {
  const int base = processNice();
  auto normal = reportingNice(0);
  EXPECT_EQ(handlerNice(*normal), base);
  auto low = reportingNice(-2);
  EXPECT_EQ(handlerNice(*low), std::min(base + 5, 19));
  auto background = reportingNice(WebServerIOPool::kBackgroundPriority);
  EXPECT_EQ(handlerNice(*background), 19);
  if (threadMayRaisePriority()) {
    auto high = reportingNice(2);
    EXPECT_EQ(handlerNice(*high), std::max(base - 5, -20));
  }
}

TEST(WebServerSurface, RunsHighPriorityHandlersAtTheProcessPriorityWhenRaisingIsRefused) {
  // In a process of its own, where the high threads are not made yet (the death test runs this
  // test again from its start in a new process).
  const int base = processNice();
  EXPECT_EXIT(
      {
        test::WebServerEventLog log;
        dropTheRightToRaisePriority();
        auto high = reportingNice(2);
        const int nice = handlerNice(*high);
        bool warned = false;
        for (const auto& line : log.lines()) {
          warned |= line.level == kWebServerLogWarning &&
                    line.text.starts_with("Cannot set the server threads' nice value to");
        }
        std::fprintf(stderr, "nice %d (process %d), warned %d\n", nice, base, warned);
        std::exit(nice == base && warned ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
