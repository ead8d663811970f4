#pragma once
// Test thread only.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "support/ChildProcess.hpp"
#include "support/StreamOrigin.hpp"

namespace ombrelia::test {

// A copy of the sample stream "ts3" under "<root>/m", in a folder of its own that a test may add
// playlists to; then nginx serving the folder and the example host application's `serve` in
// front of it, as a player's application runs it. The folder is removed when the object goes
// away, once both processes have stopped.
class ServedSampleStream {
 public:
  // `name` names the folder, with the test's process id so that runs side by side never share it.
  explicit ServedSampleStream(const std::string& name);
  ~ServedSampleStream();
  ServedSampleStream(const ServedSampleStream&) = delete;
  ServedSampleStream& operator=(const ServedSampleStream&) = delete;

  const std::filesystem::path& root() const { return root_; }
  // Starts the origin, then `serve` of the origin's `masterPath` (its query too) on a free port,
  // and waits up to `within` for the local URL it prints. False, with failure() saying why, when
  // either did not start.
  bool start(const std::string& masterPath, std::chrono::milliseconds within);
  const std::string& failure() const { return failure_; }

  StreamOrigin& origin() { return *origin_; }
  ChildProcess& serve() { return *serve_; }
  // The local URL of the master, as `serve` printed it, and the proxy's port in it.
  const std::string& localMaster() const { return localMaster_; }
  int port() const { return port_; }

 private:
  std::filesystem::path root_;
  std::unique_ptr<StreamOrigin> origin_;
  std::unique_ptr<ChildProcess> serve_;
  std::string localMaster_;
  int port_ = 0;
  std::string failure_;
};

}  // namespace ombrelia::test
