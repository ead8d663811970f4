#pragma once
// Test thread only: start, read and stop a child process.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ombrelia::test {

// A child process started from an argument list (no shell). Its standard output can be read
// line by line; it is stopped with SIGTERM (then SIGKILL) when the object goes away.
class ChildProcess {
 public:
  struct Settings {
    bool captureStdout = false;
    bool discardStderr = false;
    bool pipeStdin = false;                       // else standard input reads /dev/null
    std::vector<std::string> extraEnvironment{};  // "NAME=value"
    // The child leads a process group of its own, and stopping it signals the whole group:
    // for programs that start helper processes of their own (a browser).
    bool ownProcessGroup = false;
    // The child's limit on open descriptors (soft and hard), as `ulimit -n` sets it in a shell.
    std::optional<unsigned long> maxOpenFiles{};
  };

  ChildProcess(const std::vector<std::string>& argv, Settings settings);
  explicit ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, Settings{}) {}
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Writes one line to the child's standard input (with pipeStdin); false when it is gone.
  bool writeLine(const std::string& line);
  // The next line of standard output, without its newline; absent at end of output or when
  // nothing arrives within the bound.
  std::optional<std::string> readLine(std::chrono::milliseconds bound);
  // Everything left on standard output until the child closes it.
  std::string readAll(std::chrono::milliseconds bound);
  // Sends a signal; then waits for the exit with a bound. The exit status, or absent.
  std::optional<int> stop(int signal, std::chrono::milliseconds bound);
  std::optional<int> wait(std::chrono::milliseconds bound);

  // Runs a command to completion and returns its exit code and standard output.
  struct Result {
    int exitCode = -1;
    std::string output;
  };
  static Result run(const std::vector<std::string>& argv,
                    std::chrono::milliseconds bound = std::chrono::seconds(120));

 private:
  // Reads what the child wrote, for up to `bound`, into the buffer the readers take from.
  void keepOutputFor(std::chrono::milliseconds bound);

  pid_t pid_ = -1;
  int stdoutFd_ = -1;
  int stdinFd_ = -1;
  std::string buffer_;
  std::optional<int> exitStatus_;
  bool ownProcessGroup_ = false;
};

}  // namespace ombrelia::test
