#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "support/WaitScale.hpp"

extern char** environ;

namespace ombrelia::test {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, Settings settings) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // The extra variables replace inherited ones of the same name.
  std::vector<std::string> envStrings;
  auto overridden = [&](const char* entry) {
    for (const auto& extra : settings.extraEnvironment) {
      const size_t eq = extra.find('=');
      if (eq != std::string::npos && std::strncmp(entry, extra.c_str(), eq + 1) == 0) return true;
    }
    return false;
  };
  for (char** e = environ; *e; ++e) {
    if (!overridden(*e)) envStrings.emplace_back(*e);
  }
  for (const auto& e : settings.extraEnvironment) envStrings.push_back(e);
  std::vector<char*> env;
  for (auto& e : envStrings) env.push_back(e.data());
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeFds[2] = {-1, -1};
  if (settings.captureStdout && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  }
  if (settings.discardStderr) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  int inputFds[2] = {-1, -1};
  if (settings.pipeStdin && ::pipe2(inputFds, O_CLOEXEC) == 0) {
    posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (settings.ownProcessGroup) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    ownProcessGroup_ = true;
  }
  if (posix_spawnp(&pid_, args[0], &actions, &attributes, args.data(), env.data()) != 0) pid_ = -1;
  if (pid_ > 0 && settings.maxOpenFiles) {
    // Set from outside, at once: the child is still starting and far from the limit.
    const rlimit limit{*settings.maxOpenFiles, *settings.maxOpenFiles};
    if (::prlimit(pid_, RLIMIT_NOFILE, &limit, nullptr) != 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (pipeFds[1] >= 0) ::close(pipeFds[1]);
  if (inputFds[0] >= 0) ::close(inputFds[0]);
  stdoutFd_ = pipeFds[0];
  stdinFd_ = inputFds[1];
}

ChildProcess::~ChildProcess() {
  if (stdinFd_ >= 0) ::close(stdinFd_);  // a child reading its input sees the end first
  if (pid_ > 0 && (!exitStatus_ || ownProcessGroup_))
    stop(SIGTERM, scaledWait(std::chrono::seconds(5)));
  if (stdoutFd_ >= 0) ::close(stdoutFd_);
}

bool ChildProcess::writeLine(const std::string& line) {
  if (stdinFd_ < 0) return false;
  const std::string out = line + "\n";
  size_t written = 0;
  while (written < out.size()) {
    // MSG_NOSIGNAL does not apply to pipes; a child that is gone shows as EPIPE once SIGPIPE
    // is ignored, which the test main does.
    const ssize_t n = ::write(stdinFd_, out.data() + written, out.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const auto newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    if (stdoutFd_ < 0) {
      // Its output ended while it was being waited for: the last line may lack its newline.
      if (buffer_.empty()) return std::nullopt;
      std::string line = std::move(buffer_);
      buffer_.clear();
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd pfd{stdoutFd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      ::close(stdoutFd_);
      stdoutFd_ = -1;
      if (buffer_.empty()) return std::nullopt;
      std::string line = std::move(buffer_);
      buffer_.clear();
      return line;
    }
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

std::string ChildProcess::readAll(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  std::string all = std::move(buffer_);
  buffer_.clear();
  while (stdoutFd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{stdoutFd_, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(stdoutFd_);
      stdoutFd_ = -1;
      break;
    }
    all.append(chunk, static_cast<size_t>(n));
  }
  return all;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds bound) {
  if (exitStatus_) return exitStatus_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitStatus_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // Its output is read meanwhile and kept for readLine() and readAll(): a child whose pipe is
    // full, as it writes its last lines on the way out, would never exit.
    keepOutputFor(std::chrono::milliseconds(10));
  }
}

void ChildProcess::keepOutputFor(std::chrono::milliseconds bound) {
  if (stdoutFd_ < 0) {
    std::this_thread::sleep_for(bound);
    return;
  }
  pollfd pfd{stdoutFd_, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(bound.count())) <= 0) return;
  char chunk[4096];
  const ssize_t n = ::read(stdoutFd_, chunk, sizeof chunk);
  if (n > 0) {
    buffer_.append(chunk, static_cast<size_t>(n));
  } else if (n == 0 || errno != EINTR) {
    ::close(stdoutFd_);
    stdoutFd_ = -1;
  }
}

std::optional<int> ChildProcess::stop(int signal, std::chrono::milliseconds bound) {
  if (pid_ <= 0) return exitStatus_;
  const pid_t target = ownProcessGroup_ ? -pid_ : pid_;
  if (exitStatus_) {
    // The leader is gone; helpers it left in its group must not outlive the test.
    if (ownProcessGroup_) ::kill(target, SIGKILL);
    return exitStatus_;
  }
  ::kill(target, signal);
  auto status = wait(bound);
  if (!status) {
    ::kill(target, SIGKILL);
    status = wait(std::chrono::seconds(5));
  }
  if (ownProcessGroup_) ::kill(target, SIGKILL);
  return status;
}

ChildProcess::Result ChildProcess::run(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds bound) {
  ChildProcess child(argv, Settings{.captureStdout = true});
  Result result;
  if (!child.started()) return result;
  result.output = child.readAll(bound);
  result.exitCode = child.wait(bound).value_or(-1);
  return result;
}

}  // namespace ombrelia::test
