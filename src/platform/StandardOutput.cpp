#include "platform/StandardOutput.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

namespace ombrelia::platform {

namespace {

// A pipe takes at most 4 KiB in one uninterrupted write; a longer line goes out in several
// writes, between which another thread's line could land. One writer at a time keeps every
// line whole whatever its length.
std::mutex& writerMutex() {
  static std::mutex* mutex = new std::mutex();  // lives until the process ends
  return *mutex;
}

void writeAll(int fd, std::string_view line) {
  std::string buffer;
  buffer.reserve(line.size() + 1);
  buffer.append(line).push_back('\n');
  // Whatever the host printed through stdio goes out first, so lines keep their order.
  std::lock_guard lock(writerMutex());
  std::fflush(fd == STDOUT_FILENO ? stdout : stderr);
  const char* p = buffer.data();
  size_t left = buffer.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return;  // logging never fails the caller
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void StandardOutput::writeLine(std::string_view line) {
  writeAll(STDOUT_FILENO, line);
}
void StandardOutput::writeErrorLine(std::string_view line) {
  writeAll(STDERR_FILENO, line);
}

}  // namespace ombrelia::platform
