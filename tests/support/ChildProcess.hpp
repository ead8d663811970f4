#pragma once
// Test thread only.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ombrelia::test {

// A helper program run by a test, spoken to in lines over its standard input and output. Its
// standard error goes to the test's. Killed and reaped on destruction.
class ChildProcess {
 public:
  // None when the program cannot be started.
  static std::optional<ChildProcess> start(const std::vector<std::string>& argv);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();

  bool writeLine(const std::string& line);
  // The next line without its newline, or none at the timeout or end of output.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);

 private:
  ChildProcess(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

}  // namespace ombrelia::test
