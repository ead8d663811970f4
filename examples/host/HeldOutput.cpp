#include "HeldOutput.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ombrelia::example {
namespace {

// One read of the pipe: a few log lines at a time.
constexpr size_t kReadBytes = 16 * 1024;

}  // namespace

HeldOutput::HeldOutput() {
  std::fflush(stdout);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return;  // unheld: lines come in the order written
  realOutput_ = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
  if (realOutput_ < 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) {
    if (realOutput_ >= 0) ::close(realOutput_);
    realOutput_ = -1;
    ::close(ends[0]);
    ::close(ends[1]);
    return;
  }
  // Descriptor 1 is now the pipe's only write end: restoring it ends the forwarder's input.
  ::close(ends[1]);
  pipeRead_ = ends[0];
  forwarder_ = std::thread([this] { forward(); });
}

HeldOutput::~HeldOutput() {
  if (realOutput_ < 0) return;
  std::fflush(stdout);
  // A library thread still writing after this point writes to the real output directly.
  ::dup2(realOutput_, STDOUT_FILENO);
  forwarder_.join();
  writeOut(held_);  // the URL never came: what was held goes out all the same
  ::close(pipeRead_);
  ::close(realOutput_);
}

void HeldOutput::writeFirstLine(std::string_view line) {
  std::string first(line);
  first.push_back('\n');
  if (realOutput_ < 0) {
    std::fputs(first.c_str(), stdout);
    std::fflush(stdout);
    return;
  }
  std::lock_guard lock(mutex_);
  writeOut(first);
  writeOut(held_);
  held_.clear();
  released_ = true;
}

void HeldOutput::forward() {
  char buffer[kReadBytes];
  for (;;) {
    const ssize_t n = ::read(pipeRead_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    std::lock_guard lock(mutex_);
    if (released_) {
      writeOut(std::string_view(buffer, static_cast<size_t>(n)));
    } else {
      held_.append(buffer, static_cast<size_t>(n));
    }
  }
}

void HeldOutput::writeOut(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(realOutput_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the reader is gone: nothing more can be shown
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace ombrelia::example
