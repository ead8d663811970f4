#pragma once
// Test thread creates, writes and destroys; a reader thread of its own hands each line of the
// child's output to the line callback.

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/ChildProcess.hpp"

namespace ombrelia::test {

// Another WebRTC stack in a child process that speaks JSON lines on its standard input and
// output (the interop peer scripts).
class ScriptPeer {
 public:
  using LineCallback = std::function<void(const std::string&)>;

  ScriptPeer(const std::vector<std::string>& argv, LineCallback onLine);
  // Stops reading, then the child (end of input first, then SIGTERM).
  ~ScriptPeer();
  ScriptPeer(const ScriptPeer&) = delete;
  ScriptPeer& operator=(const ScriptPeer&) = delete;

  bool started() const { return child_.started(); }
  bool writeLine(const std::string& line) { return child_.writeLine(line); }

 private:
  ChildProcess child_;
  std::atomic<bool> stopping_{false};
  std::thread reader_;
};

}  // namespace ombrelia::test
