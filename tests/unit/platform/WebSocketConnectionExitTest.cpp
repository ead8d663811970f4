// A TLS WebSocket connection opened while the host process exits: a reconnection a library
// thread starts at that moment must touch nothing the exit has already freed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/WebSocketConnection.hpp"
#include "support/LateExit.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::platform {
namespace {

Url closedTlsEndpoint() {
  return *Url::parse("wss://127.0.0.1:" + std::to_string(test::freeLoopbackPort()) + "/");
}

TEST(WebSocketConnectionExit, TlsConnectionsOpenedAfterTheExitFreedStaticsEndTheProcessCleanly) {
  EXPECT_EXIT(
      {
        // The I/O loop runs, as once the signalling client has connected; a URL that cannot
        // open starts it without making any TLS state, so none is alive when the exit starts,
        // as when the tracker has just refused the last connection.
        auto starter = WebSocketConnection::open(*Url::parse("http://127.0.0.1/"), {}, {});
        test::exitThenRun([] {
          std::vector<std::shared_ptr<WebSocketConnection>> late;
          for (int i = 0; i < 3; ++i) {
            late.push_back(WebSocketConnection::open(closedTlsEndpoint(), {}, {}));
          }
        });
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ombrelia::platform
