#pragma once
// Test thread only.

#include <chrono>

namespace ombrelia::test {

// Runs the current test again in a child process of the same program, inside network, mount
// and process-id namespaces made for it: a veth pair with link-local addresses, one end the
// test's host (kHostAddress) and the other its default gateway (kGatewayAddress), and an empty
// tmpfs on /run where daemons started by the test keep their sockets and pid files. Nothing
// the test sends can leave: the namespace has no link to any other. Every process the child
// starts dies with it (it is the namespace's first process).
//
//   TEST(Suite, Name) {
//     if (test::IsolatedNetwork::ranInChild()) return;
//     ... the test, inside the namespace ...
//   }
class IsolatedNetwork {
 public:
  static constexpr const char* kHostAddress = "169.254.77.1";
  static constexpr const char* kGatewayAddress = "169.254.77.2";
  static constexpr const char* kHostInterface = "veth0";
  // The whole child run, daemons' start-up included.
  static constexpr std::chrono::seconds kChildBound{180};

  // In the test's own process: runs the child, reports its failures as this test's, and returns
  // true; where the namespaces cannot be made (no root, no CAP_SYS_ADMIN) it skips the test
  // instead, saying why. In the child: sets the network up (exiting at once when that fails) and
  // returns false.
  static bool ranInChild();
};

}  // namespace ombrelia::test
