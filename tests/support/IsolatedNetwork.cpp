#include "support/IsolatedNetwork.hpp"

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/ChildProcess.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

namespace {

constexpr const char* kInsideVariable = "OMBRELIA_ISOLATED_NETWORK";

// Runs `program` in the child's namespaces: network, mount (for the tmpfs on /run) and process
// ids (so that every daemon dies with it).
std::vector<std::string> inNamespaces(std::vector<std::string> program) {
  std::vector<std::string> argv = {"unshare", "--net",  "--mount",      "--propagation", "private",
                                   "--pid",   "--fork", "--mount-proc", "--kill-child",  "--"};
  argv.insert(argv.end(), program.begin(), program.end());
  return argv;
}

// Tried once with nothing inside. Making them needs root or CAP_SYS_ADMIN, which a plain user or
// a container may lack; there the tests cannot run at all, which is no fault of what they test.
bool namespacesCanBeMade() {
  static const bool can =
      ChildProcess::run(inNamespaces({"true"}), scaledWait(std::chrono::seconds(20))).exitCode == 0;
  return can;
}

[[noreturn]] void abandon(const std::string& why) {
  std::fprintf(stdout, "isolated network: %s\n", why.c_str());
  std::fflush(stdout);
  std::_Exit(3);
}

void run(const std::vector<std::string>& argv) {
  const auto result = ChildProcess::run(argv, scaledWait(std::chrono::seconds(20)));
  if (result.exitCode != 0) {
    std::string command;
    for (const auto& a : argv) command += a + " ";
    abandon("failed: " + command + result.output);
  }
}

void setUpNetwork() {
  // Daemons started by the test write here, never to the machine's /run.
  if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    abandon("cannot mount a tmpfs on /run");
  }
  run({"ip", "link", "set", "lo", "up"});
  run({"ip", "link", "add", IsolatedNetwork::kHostInterface, "type", "veth", "peer", "name",
       "veth1"});
  run({"ip", "addr", "add", std::string(IsolatedNetwork::kHostAddress) + "/16", "dev",
       IsolatedNetwork::kHostInterface});
  run({"ip", "addr", "add", std::string(IsolatedNetwork::kGatewayAddress) + "/16", "dev", "veth1"});
  run({"ip", "link", "set", IsolatedNetwork::kHostInterface, "up"});
  run({"ip", "link", "set", "veth1", "up"});
  run({"ip", "route", "add", "default", "via", IsolatedNetwork::kGatewayAddress, "dev",
       IsolatedNetwork::kHostInterface});
}

}  // namespace

bool IsolatedNetwork::ranInChild() {
  if (std::getenv(kInsideVariable) != nullptr) {
    setUpNetwork();
    return false;
  }
  if (!namespacesCanBeMade()) {
    [] {
      GTEST_SKIP() << "cannot make network, mount and pid namespaces here (unshare is refused: it "
                      "needs root or CAP_SYS_ADMIN); this test runs only in a network of its own";
    }();
    return true;
  }
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  // Read here: inside unshare, /proc/self/exe would name unshare itself.
  char self[4096] = {};
  if (::readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) {
    ADD_FAILURE() << "cannot read the test program's path";
    return true;
  }
  ChildProcess child(
      inNamespaces({self, filter}),
      ChildProcess::Settings{.captureStdout = true,
                             .extraEnvironment = {std::string(kInsideVariable) + "=1"}});
  if (!child.started()) {
    ADD_FAILURE() << "cannot start unshare";
    return true;
  }
  const std::string output = child.readAll(kChildBound);
  auto status = child.wait(scaledWait(std::chrono::seconds(5)));
  std::fputs(output.c_str(), stdout);
  if (!status) {
    status = child.stop(SIGKILL, scaledWait(std::chrono::seconds(5)));
    ADD_FAILURE() << "the test did not end within " << kChildBound.count() << " s";
  }
  EXPECT_EQ(status, 0) << "the test failed inside its network namespace (output above)";
  return true;
}

}  // namespace ombrelia::test
