#include "support/ScriptPeer.hpp"

namespace ombrelia::test {

ScriptPeer::ScriptPeer(const std::vector<std::string>& argv, LineCallback onLine)
    : child_(argv, ChildProcess::Settings{.captureStdout = true, .pipeStdin = true}) {
  if (!child_.started()) return;
  reader_ = std::thread([this, onLine = std::move(onLine)] {
    // The bound only lets the thread notice stopping_; lines are handed on as they come.
    constexpr auto kBound = std::chrono::milliseconds(100);
    while (!stopping_.load()) {
      const auto start = std::chrono::steady_clock::now();
      const auto line = child_.readLine(kBound);
      if (line) {
        onLine(*line);
      } else if (std::chrono::steady_clock::now() - start < kBound) {
        // An early empty read is the end of the output: only the exit is left to see.
        if (child_.wait(kBound)) break;
      }
    }
  });
}

ScriptPeer::~ScriptPeer() {
  stopping_.store(true);
  if (reader_.joinable()) reader_.join();
}

}  // namespace ombrelia::test
